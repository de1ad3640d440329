// Test fixture: runs a program in a child process and collects what it writes to two pipes
// (or a pipe and a pseudo-terminal) until both reach their end.
#ifndef _ChildPipes_H_
#define _ChildPipes_H_

#include <string>
#include <vector>

#include <sys/types.h>

// Appends what arrives on outFd to out and on errFd to err until both end (end of file, or
// EIO once a pseudo-terminal's child side is closed), for at most timeoutMs in total. A
// descriptor of -1 counts as ended. Closes both descriptors; false when time ran out.
bool DrainPipes(int outFd, int errFd, std::string& out, std::string& err, int timeoutMs);

struct ChildResult {
    std::string out, err;
    int status = -1;  // -1 when the program did not exit by itself within the bound
};

// How the child is set up before the program starts.
struct ChildSetup {
    bool merged = false;          // standard error into the same pipe as standard output
    bool replaceHome = false;     // drop HOME from the environment, then set it to home if given
    const char* home = nullptr;
    bool noUmask = false;         // umask 0, so the modes of what the program makes show exactly
    uid_t uid = 0;                // run as this user (and group of that number) when not 0
    unsigned long fileSizeLimit = 0;  // RLIMIT_FSIZE in bytes when not 0 (SIGXFSZ at its default)
    // Standard output a pipe nobody reads (its read end closed before the program starts, as
    // after "| head" has gone), with SIGPIPE at its default; out stays empty.
    bool closedOut = false;
    // When both are set: the program runs in a private mount namespace in which the file
    // bindSource is mounted over bindTarget (another program's view is untouched). A child
    // that cannot set this up exits with kNoMountNamespace.
    std::string bindSource, bindTarget;
    // When set: the program runs in a private mount namespace in which a tmpfs of
    // tmpfsBytes bytes is mounted at tmpfsTarget (a small, full disk of its own).
    std::string tmpfsTarget;
    unsigned long tmpfsBytes = 0;
    // The program runs as process 1 of a PID namespace of its own (as in a container), in a
    // child of the process that made the namespace. A child that cannot make it exits with
    // kNoPidNamespace.
    bool ownPidNamespace = false;
};

const int kNoMountNamespace = 125;
const int kNoPidNamespace = 124;

// Runs path with argv (argv[0] included; an empty argv hands the program none) without a
// terminal: standard input is /dev/null, output on pipes. A program still running after
// limitMs is killed and reported with status -1. A program run as another user (setup.uid) is
// run from a copy in a scratch folder that user can enter.
ChildResult RunProgram(const std::string& path, const std::vector<std::string>& argv,
                       int limitMs, const ChildSetup& setup = ChildSetup());

#endif
