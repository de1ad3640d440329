#include "ChildPipes.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScratchDir.h"

extern char** environ;

bool DrainPipes(int outFd, int errFd, std::string& out, std::string& err, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int fds[2] = {outFd, errFd};
    std::string* sinks[2] = {&out, &err};
    bool inTime = true;
    while (fds[0] >= 0 || fds[1] >= 0) {
        long left = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - Clock::now()).count();
        pollfd p[2];
        int n = 0, which[2];
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0) {
                p[n] = {fds[i], POLLIN, 0};
                which[n++] = i;
            }
        // A child that never stops writing is cut off by the deadline too.
        if (left <= 0 || poll(p, n, (int)left) <= 0) {
            inTime = false;
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
    return inTime;
}

ChildResult RunProgram(const std::string& path, const std::vector<std::string>& argv,
                       int limitMs, const ChildSetup& setup)
{
    ChildResult result;
    // Another user may not be able to reach the program where it was built (a clone in a
    // 0700 home directory): that user runs a copy from a scratch folder everybody can enter.
    std::optional<ScratchDir> reachable;
    std::string program = path;
    if (setup.uid != 0) {
        reachable.emplace("qc_program", 0755);
        if (reachable->path.empty())
            return result;
        program = reachable->path + "/" + std::filesystem::path(path).filename().string();
        std::error_code failed;
        std::filesystem::copy_file(path, program, failed);
        if (failed || chmod(program.c_str(), 0755) != 0)
            return result;
    }
    // The child must not call open() or close(): under umockdev-wrapper those go through its
    // preload library, whose lock another thread of this process may hold at the fork, and the
    // child would wait on it for ever. So every descriptor is made here, close-on-exec, and the
    // child only dup2()s the three it keeps (dup2 clears close-on-exec on the copy).
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        return result;
    }
    // Everything the child needs is built before fork: it only calls async-signal-safe functions.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!setup.replaceHome || strncmp(*e, "HOME=", 5) != 0)
            env.push_back(*e);
    if (setup.replaceHome && setup.home)
        env.push_back(std::string("HOME=") + setup.home);
    std::vector<char*> envp, args;
    for (std::string& e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> words(argv);
    for (std::string& a : words)
        args.push_back(&a[0]);
    args.push_back(nullptr);

    if (setup.closedOut) {
        close(outPipe[0]);
        outPipe[0] = -1;
    }
    const std::string tmpfsOptions = "size=" + std::to_string(setup.tmpfsBytes);
    const bool bind = !setup.bindSource.empty() && !setup.bindTarget.empty();

    pid_t pid = fork();
    if (pid == 0) {
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(setup.merged ? outPipe[1] : errPipe[1], 2);
        if (setup.noUmask)
            umask(0);
        if (setup.closedOut)
            signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
        if (setup.ownPidNamespace) {
            if (unshare(CLONE_NEWPID) != 0)
                _exit(kNoPidNamespace);
            pid_t inner = fork();
            if (inner < 0)
                _exit(kNoPidNamespace);
            if (inner > 0) {
                // Passes the program's end on; a kill of this process ends the program too.
                int status = 0;
                if (waitpid(inner, &status, 0) != inner)
                    _exit(126);
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
            prctl(PR_SET_PDEATHSIG, SIGKILL);
        }
        // Private propagation first, so the mounts never reach the parent's namespace.
        if ((bind || !setup.tmpfsTarget.empty()) &&
            (unshare(CLONE_NEWNS) != 0 ||
             mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            _exit(kNoMountNamespace);
        if (bind && mount(setup.bindSource.c_str(), setup.bindTarget.c_str(), nullptr, MS_BIND,
                          nullptr) != 0)
            _exit(kNoMountNamespace);
        if (!setup.tmpfsTarget.empty() && mount("tmpfs", setup.tmpfsTarget.c_str(), "tmpfs",
                                                MS_NOSUID | MS_NODEV, tmpfsOptions.c_str()) != 0)
            _exit(kNoMountNamespace);
        if (setup.uid != 0 && (setgid(setup.uid) != 0 || setuid(setup.uid) != 0))
            _exit(126);
        if (setup.fileSizeLimit != 0) {
            // An ignored signal stays ignored across exec: the program must meet the default.
            signal(SIGXFSZ, SIG_DFL);
            struct rlimit limit = {setup.fileSizeLimit, setup.fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
        }
        execve(program.c_str(), args.data(), envp.data());
        _exit(127);
    }
    close(devnull);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        if (outPipe[0] >= 0)
            close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    bool timedOut = !DrainPipes(outPipe[0], errPipe[0], result.out, result.err, limitMs);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !timedOut)
        result.status = WEXITSTATUS(status);
    return result;
}
