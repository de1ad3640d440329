// Test fixture: collects what a child process writes to two pipes (or a pipe and a
// pseudo-terminal) until both reach their end.
#ifndef _ChildPipes_H_
#define _ChildPipes_H_

#include <string>

// Appends what arrives on outFd to out and on errFd to err until both end (end of file, or
// EIO once a pseudo-terminal's child side is closed), for at most timeoutMs in total. A
// descriptor of -1 counts as ended. Closes both descriptors; false when time ran out.
bool DrainPipes(int outFd, int errFd, std::string& out, std::string& err, int timeoutMs);

#endif
