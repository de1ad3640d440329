#include "ChildPipes.h"

#include <chrono>

#include <poll.h>
#include <unistd.h>

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
