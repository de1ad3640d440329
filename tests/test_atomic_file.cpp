// Whole-file replacement and the clean-up of temporaries: a temporary is alive while its
// writer holds its lock, whatever process or PID namespace that writer runs in; a killed
// writer's temporary goes with the next write into its directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <regex>

#include "AtomicFile.h"
#include "SkipOrFail.h"
#include "test_store_support.h"

using storetest::Entries;
using storetest::ReadText;
using storetest::WriteText;

namespace {

// Exit status of a child that could not make a PID namespace of its own.
const int kNoPidNamespace = 120;

std::vector<std::string> sSorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

// Reads a line from fd within limitMs; "" when none came.
std::string sReadLine(int fd, int limitMs)
{
    std::string line;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, limitMs) <= 0)
            return "";
        char c;
        if (read(fd, &c, 1) != 1)
            return "";
        if (c == '\n')
            return line;
        line += c;
    }
}

// A process in the middle of writing a file: it makes a TemporaryFile beside target, writes
// part of the bytes, reports the temporary's path and waits until told to go on, then
// writes the rest and commits. In a PID namespace of its own it runs as that namespace's
// process 1, in a child of the process that made the namespace.
class Writer {
public:
    ~Writer()
    {
        if (pid > 0)
            kill();
        for (int fd : {ready, go})
            if (fd >= 0)
                close(fd);
    }

    // The temporary's path once the writer holds it; "" when it did not get that far (status
    // then says why).
    std::string start(const std::string& target, bool ownPidNamespace)
    {
        int readyPipe[2], goPipe[2];
        if (pipe2(readyPipe, O_CLOEXEC) != 0 || pipe2(goPipe, O_CLOEXEC) != 0)
            return "";
        pid = fork();
        if (pid == 0) {
            close(readyPipe[0]);
            close(goPipe[1]);
            if (ownPidNamespace) {
                if (unshare(CLONE_NEWPID) != 0)
                    _exit(kNoPidNamespace);
                pid_t writer = fork();
                if (writer < 0)
                    _exit(3);
                if (writer > 0) {
                    // The writer's number out here, for the test to kill it by.
                    std::string line = "pid " + std::to_string(writer) + "\n";
                    if (write(readyPipe[1], line.data(), line.size()) != (ssize_t)line.size())
                        _exit(3);
                    int ended = 0;
                    if (waitpid(writer, &ended, 0) != writer || !WIFEXITED(ended))
                        _exit(4);
                    _exit(WEXITSTATUS(ended));
                }
                // Dies with the process that made the namespace, so a kill of that one ends it.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (getpid() != 1)
                    _exit(5);
            }
            _exit(write_(target, readyPipe[1], goPipe[0]));
        }
        close(readyPipe[1]);
        close(goPipe[0]);
        ready = readyPipe[0];
        go = goPipe[1];
        if (pid < 0)
            return "";
        std::string path;
        for (int lines = ownPidNamespace ? 2 : 1; lines > 0; lines--) {
            std::string line = sReadLine(ready, 10000);
            if (line.compare(0, 4, "pid ") == 0)
                inner = (pid_t)std::stol(line.substr(4));
            else if (line.compare(0, 5, "path ") == 0)
                path = line.substr(5);
            else
                break;
        }
        if (path.empty() || (ownPidNamespace && inner <= 0)) {
            status = wait();
            return "";
        }
        return path;
    }

    // Lets the writer finish; its exit status (0: committed).
    int finish()
    {
        close(go);
        go = -1;
        return wait();
    }

    // Kills the writer and waits until it is gone, its files closed. One in a namespace of
    // its own is killed directly; the process that made the namespace ends once it has
    // reaped it.
    void kill()
    {
        ::kill(inner > 0 ? inner : pid, SIGKILL);
        wait();
        inner = -1;
    }

    int status = -1;

private:
    int wait()
    {
        int s = 0;
        if (pid <= 0 || waitpid(pid, &s, 0) != pid)
            return -1;
        pid = -1;
        return WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
    }

    static int write_(const std::string& target, int readyFd, int goFd)
    {
        TemporaryFile temp;
        if (temp.Create(target) != aErrNone || temp.Write("first half, ", 12) != aErrNone)
            return 6;
        std::string line = "path " + temp.Path() + "\n";
        if (write(readyFd, line.data(), line.size()) != (ssize_t)line.size())
            return 7;
        // Until the test closes its end (or is gone), bounded all the same.
        pollfd p = {goFd, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1)
            return 8;
        if (temp.Write("second half", 11) != aErrNone || temp.Sync() != aErrNone ||
            temp.Commit() != aErrNone)
            return 9;
        return 0;
    }

    pid_t pid = -1, inner = -1;
    int ready = -1, go = -1;
};

// Runs RemoveStaleTemporaries(dir) as process 1 of a PID namespace of its own; the number
// removed, or -kNoPidNamespace.
int sCleanUpInOwnPidNamespace(const std::string& dir)
{
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (unshare(CLONE_NEWPID) != 0)
            _exit(kNoPidNamespace);
        pid_t inner = fork();
        if (inner == 0)
            _exit(getpid() == 1 ? AtomicFile::RemoveStaleTemporaries(dir.c_str()) : 99);
        int status = 0;
        if (inner < 0 || waitpid(inner, &status, 0) != inner || !WIFEXITED(status))
            _exit(98);
        _exit(WEXITSTATUS(status));
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status) == kNoPidNamespace ? -kNoPidNamespace : WEXITSTATUS(status);
}

class Replacing : public testing::Test {
protected:
    ScratchDir dir;
};

TEST_F(Replacing, KeepsModeAndLeavesNoTemporary)
{
    std::string p = dir / "f";
    ASSERT_TRUE(WriteText(p, "old"));
    ASSERT_EQ(chmod(p.c_str(), 0640), 0);
    ASSERT_EQ(AtomicFile::Replace(p.c_str(), "new!", 4), aErrNone);
    EXPECT_EQ(ReadText(p), "new!");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(dir.path), std::vector<std::string>{"f"});
    EXPECT_EQ(AtomicFile::Replace(p.c_str(), "", 0), aErrNone);
    EXPECT_EQ(ReadText(p), "");
    EXPECT_EQ(AtomicFile::Replace(nullptr, "x", 1), aErrParam);
    EXPECT_EQ(AtomicFile::Replace(p.c_str(), nullptr, 1), aErrParam);
    EXPECT_EQ(AtomicFile::Replace((dir / "").c_str(), "x", 1), aErrParam);

    // A failure says why, and leaves the old file and no temporary.
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    int reason = 0;
    EXPECT_EQ(AtomicFile::Replace((dir / "d").c_str(), "x", 1, &reason), aErrIO);
    EXPECT_EQ(reason, EISDIR);
    EXPECT_EQ(AtomicFile::Replace((dir / "none/f").c_str(), "x", 1, &reason), aErrNotFound);
    EXPECT_EQ(reason, ENOENT);
    EXPECT_EQ(AtomicFile::ReasonText(aErrNotFound, reason), strerror(ENOENT));
    EXPECT_EQ(AtomicFile::ReasonText(aErrIO, 0), aError_GetErrorDescription(aErrIO));
    EXPECT_EQ(sSorted(Entries(dir.path)), (std::vector<std::string>{"d", "f"}));
}

// The temporary is the file the O_EXCL open made, written through that descriptor: its name
// has the form the clean-up knows, and a new file gets the mode a plain create would.
TEST_F(Replacing, TemporaryIsTheFileItsOpenMade)
{
    const std::string target = dir / "1300.bird";
    TemporaryFile temp;
    ASSERT_EQ(temp.Create(target), aErrNone);
    const std::string name = temp.Path().substr(dir.path.size() + 1);
    EXPECT_TRUE(std::regex_match(name, std::regex("\\.1300\\.bird\\.tmp\\.[0-9a-f]{16}"))) << name;
    EXPECT_TRUE(AtomicFile::IsTemporaryName(name.c_str()));
    EXPECT_EQ(temp.Create(target), aErrBusy);
    struct stat byName, byDescriptor;
    ASSERT_EQ(stat(temp.Path().c_str(), &byName), 0);
    ASSERT_EQ(fstat(temp.Descriptor(), &byDescriptor), 0);
    EXPECT_EQ(byName.st_ino, byDescriptor.st_ino);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(byName.st_mode & 07777, 0666u & ~mask);
    // Its lock is held: no other open file description gets it.
    int other = open(temp.Path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);

    ASSERT_EQ(temp.Write("bytes", 5), aErrNone);
    ASSERT_EQ(temp.Sync(), aErrNone);
    ASSERT_EQ(temp.Commit(), aErrNone);
    EXPECT_EQ(ReadText(target), "bytes");
    EXPECT_EQ(Entries(dir.path), std::vector<std::string>{"1300.bird"});

    // One that is not committed is removed with its object.
    {
        TemporaryFile dropped;
        ASSERT_EQ(dropped.Create(target), aErrNone);
        EXPECT_EQ(Entries(dir.path).size(), 2u);
    }
    EXPECT_EQ(Entries(dir.path), std::vector<std::string>{"1300.bird"});
    TemporaryFile none;
    EXPECT_EQ(none.Create(dir / ""), aErrParam);
    EXPECT_EQ(none.Create(dir / "missing/x"), aErrNotFound);
    EXPECT_EQ(none.Reason(), ENOENT);
    EXPECT_EQ(none.Write("x", 1), aErrParam);
}

// A killed writer's temporary goes with the next write into its directory; a temporary whose
// writer still runs (another process, or this one) stays, and so does every other file.
TEST_F(Replacing, RemovesOnlyTemporariesWhoseLockItTakes)
{
    Writer killed, running;
    const std::string killedPath = killed.start(dir / "1300.bird", false);
    ASSERT_FALSE(killedPath.empty()) << killed.status;
    killed.kill();
    const std::string runningPath = running.start(dir / ".settings", false);
    ASSERT_FALSE(runningPath.empty()) << running.status;
    TemporaryFile own;
    ASSERT_EQ(own.Create(dir / "1200.bird"), aErrNone);

    const std::string hex = "0123456789abcdef";
    // Named as a temporary, but no writer holds it (its writer died before it took the lock).
    const std::string abandoned = ".download.bird.tmp." + hex;
    ASSERT_TRUE(WriteText(dir / abandoned, "left over"));
    const std::vector<std::string> others = {
        "1300.bird",
        ".settings",
        ".settings.lock",
        ".notes.tmp",
        // Look-alikes of other forms.
        "1300.bird.tmp." + hex,
        ".tmp." + hex,
        ".1300.bird.tmp." + hex.substr(1),
        ".1300.bird.tmp." + hex + "0",
        ".1300.bird.tmp.0123456789ABCDEF",
        ".1300.bird.tmp.1234.5678.0",
    };
    for (const std::string& name : others)
        ASSERT_TRUE(WriteText(dir / name, "keep"));
    // A directory and a link named like temporaries are no temporary files.
    const std::string folder = ".old.tmp." + hex;
    ASSERT_EQ(mkdir((dir / folder).c_str(), 0755), 0);
    const std::string link = ".link.tmp." + hex;
    ASSERT_EQ(symlink("1300.bird", (dir / link).c_str()), 0);

    ASSERT_EQ(AtomicFile::Replace((dir / "1300.bird").c_str(), "new", 3), aErrNone);
    std::vector<std::string> want = others;
    for (const std::string& p : {runningPath, own.Path()})
        want.push_back(p.substr(dir.path.size() + 1));
    want.push_back(folder);
    want.push_back(link);
    EXPECT_EQ(sSorted(Entries(dir.path)), sSorted(want));
    EXPECT_EQ(ReadText(dir / "1300.bird"), "new");
    EXPECT_EQ(ReadText(dir / ".1300.bird.tmp.1234.5678.0"), "keep");

    // The running writer was not disturbed: it finishes its file.
    EXPECT_EQ(running.finish(), 0);
    EXPECT_EQ(ReadText(dir / ".settings"), "first half, second half");
    EXPECT_EQ(AtomicFile::RemoveStaleTemporaries(dir.path.c_str()), 0);
}

// Runs on one store may live in other PID namespaces (containers): a process number says
// nothing there. A writer in a namespace of its own keeps its temporary against a clean-up
// outside, and a clean-up in a namespace of its own leaves this process's temporary.
TEST_F(Replacing, TemporaryOfAWriterInAnotherPidNamespaceStays)
{
    Writer inside;
    const std::string insidePath = inside.start(dir / "1300.bird", true);
    if (inside.status == kNoPidNamespace)
        QC_SKIP_OR_FAIL("no PID namespace of its own for the writer (needs root)");
    ASSERT_FALSE(insidePath.empty()) << inside.status;
    EXPECT_EQ(AtomicFile::RemoveStaleTemporaries(dir.path.c_str()), 0);
    EXPECT_EQ(ReadText(insidePath), "first half, ");
    EXPECT_EQ(inside.finish(), 0);
    EXPECT_EQ(ReadText(dir / "1300.bird"), "first half, second half");

    TemporaryFile outside;
    ASSERT_EQ(outside.Create(dir / "1200.bird"), aErrNone);
    ASSERT_EQ(outside.Write("being written", 13), aErrNone);
    int removed = sCleanUpInOwnPidNamespace(dir.path);
    if (removed == -kNoPidNamespace)
        QC_SKIP_OR_FAIL("no PID namespace of its own for the clean-up (needs root)");
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(ReadText(outside.Path()), "being written");
    ASSERT_EQ(outside.Commit(), aErrNone);
    EXPECT_EQ(ReadText(dir / "1200.bird"), "being written");

    // A writer killed in its namespace is gone for every clean-up.
    Writer killed;
    const std::string killedPath = killed.start(dir / "1100.bird", true);
    ASSERT_FALSE(killedPath.empty()) << killed.status;
    killed.kill();
    EXPECT_EQ(sCleanUpInOwnPidNamespace(dir.path), 1);
    EXPECT_EQ(sSorted(Entries(dir.path)), (std::vector<std::string>{"1200.bird", "1300.bird"}));
}

}  // namespace
