// Shared by the end-to-end tests of the updater's operations: running the real binary with
// pipes for its output, scratch store directories, whole-file reads and a served device.
#ifndef _e2e_ops_support_H_
#define _e2e_ops_support_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "ChildPipes.h"
#include "ScratchDir.h"

namespace opstest {

inline const char* UpdaterPath() { return QC_BINARY_DIR "/Updater/updater"; }

const std::string kVersion = "Updater (Version: 2.10.8 Sep 13 2024)\n";

// The module the operation tests update, and the server requests they expect about it.
const uint32_t kSerial = 0x40F5849A;
const std::string kHi = "op=hi&rv=2&";
const std::string kQu = "op=qu&sn=40F5849A&";
const std::string kBuilds = "op=builds&sn=40F5849A&";

using Result = ChildResult;
using TempDir = ScratchDir;

// Runs the updater with words (no terminal: standard input is /dev/null, output on pipes) for
// at most limitMs; a program still running then is killed and reported with status -1.
inline Result RunUpdater(const std::vector<std::string>& words, int limitMs = 30000,
                         const ChildSetup& setup = ChildSetup())
{
    std::vector<std::string> argv{UpdaterPath()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(UpdaterPath(), argv, limitMs, setup);
}

inline bool ReadFile(const std::string& path, std::string* bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return true;
}

inline bool WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return bool(out);
}

inline bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every entry below dir (relative names, directories with a trailing "/") with the content of
// each file: two snapshots compare equal when nothing in the tree changed.
inline std::map<std::string, std::string> Snapshot(const std::string& dir)
{
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = std::filesystem::relative(it->path(), dir, ec).string();
        if (it->is_directory(ec)) {
            tree[rel + "/"] = "";
        } else {
            std::string bytes;
            ReadFile(it->path().string(), &bytes);
            tree[rel] = bytes;
        }
    }
    return tree;
}

// key=value lines of an attribute file.
inline std::map<std::string, std::string> ReadAttributes(const std::string& path)
{
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

inline std::string Join(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

inline std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace opstest

#endif
