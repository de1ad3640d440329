// Small helpers of the BIRD, attribute-file and store tests (beside the shared ScratchDir):
// whole-file reads and writes, and a log capture.
#ifndef _test_store_support_H_
#define _test_store_support_H_

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Log.h"
#include "ScratchDir.h"

namespace storetest {

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

// Names in a directory, "." and ".." left out.
inline std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// Captures Log::log output of the given packages while it lives.
class LogCapture {
public:
    explicit LogCapture(unsigned int packages) : file(tmpfile()), saved(Log::package_bitmask)
    {
        Log::SetOutput(file);
        Log::package_bitmask = packages;
    }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = saved;
        if (file)
            fclose(file);
    }
    std::string text()
    {
        if (!file)
            return "";
        fflush(file);
        long end = ftell(file);
        std::string out(size_t(end > 0 ? end : 0), '\0');
        rewind(file);
        size_t got = fread(&out[0], 1, out.size(), file);
        out.resize(got);
        fseek(file, 0, SEEK_END);
        return out;
    }

private:
    FILE* file;
    unsigned int saved;
};

}  // namespace storetest

#endif
