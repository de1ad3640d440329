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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace opstest {

inline const char* UpdaterPath() { return QC_BINARY_DIR "/Updater/updater"; }

const std::string kVersion = "Updater (Version: 2.10.8 Sep 13 2024)\n";

struct Result {
    std::string out, err;
    int status = -1;  // -1 when the program did not exit by itself within the bound
};

// Runs the updater with words (no terminal: standard input is /dev/null, output on pipes) for
// at most limitMs; a program still running then is killed and reported with status -1.
inline Result RunUpdater(const std::vector<std::string>& words, int limitMs = 30000)
{
    Result result;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0)
        return result;
    if (pipe(errPipe) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    std::vector<std::string> args(words);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(UpdaterPath()));
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], devnull})
            close(fd);
        execv(UpdaterPath(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    bool timedOut = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[2];
        int n = 0, which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        if (poll(p, n, limitMs) <= 0) {
            timedOut = true;
            break;
        }
        for (int k = 0; k < n; ++k) {
            if (!p[k].revents)
                continue;
            char buffer[8192];
            ssize_t got = read(p[k].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[which[k]]->append(buffer, (size_t)got);
            } else {
                close(p[k].fd);
                fds[which[k]] = -1;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !timedOut)
        result.status = WEXITSTATUS(status);
    return result;
}

// A fresh directory, removed with its contents at the end.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/e2e_ops_XXXXXX";
        const char* made = mkdtemp(pattern);
        path = made ? made : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

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
