// Test fixture: a fresh directory under /tmp, removed with its contents at the end.
#ifndef _ScratchDir_H_
#define _ScratchDir_H_

#include <filesystem>
#include <string>

#include <stdlib.h>
#include <sys/stat.h>

class ScratchDir {
public:
    // prefix names the directory (/tmp/<prefix>_XXXXXX); mode replaces mkdtemp's 0700, for
    // tests whose program runs as another user. path stays empty when nothing could be made.
    explicit ScratchDir(const std::string& prefix = "qc_scratch", mode_t mode = 0700)
    {
        std::string pattern = "/tmp/" + prefix + "_XXXXXX";
        if (mkdtemp(&pattern[0])) {
            path = pattern;
            if (mode != 0700)
                chmod(path.c_str(), mode);
        }
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path;
};

#endif
