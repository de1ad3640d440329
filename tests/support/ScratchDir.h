// Test fixture: a fresh directory under TMPDIR (or /tmp), removed with its contents at the end.
#ifndef _ScratchDir_H_
#define _ScratchDir_H_

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

class ScratchDir {
public:
    // prefix names the directory (<TMPDIR or /tmp>/<prefix>_XXXXXX); mode replaces mkdtemp's
    // 0700, for tests whose program runs as another user (who must be able to reach TMPDIR as
    // well). path stays empty when nothing could be made.
    explicit ScratchDir(const std::string& prefix = "qc_scratch", mode_t mode = 0700)
    {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "_XXXXXX";
        if (!mkdtemp(&pattern[0]))
            return;
        if (mode != 0700 && chmod(pattern.c_str(), mode) != 0) {
            rmdir(pattern.c_str());
            return;
        }
        path = pattern;
    }
    ~ScratchDir()
    {
        if (!path.empty())
            Remove(path);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // A path inside the directory.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

    // Removes p and, for a directory, everything below it (symbolic links are not followed).
    // A directory a test took its own rights from gets them back first, which
    // std::filesystem::remove_all does not do for a user other than root.
    static void Remove(const std::string& p)
    {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode)) {
            chmod(p.c_str(), 0700);
            if (DIR* d = opendir(p.c_str())) {
                while (struct dirent* e = readdir(d)) {
                    std::string n = e->d_name;
                    if (n != "." && n != "..")
                        Remove(p + "/" + n);
                }
                closedir(d);
            }
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }

    std::string path;
};

#endif
