#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

bool LoopbackServer::start(uint16_t port, bool reuseAddress, Handler h)
{
    if (listenFd >= 0)
        return true;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int one = 1;
    if (reuseAddress)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr*)&addr, &len) != 0 || pipe2(wakeFds, O_CLOEXEC) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    handler = std::move(h);
    listenFd = fd;
    boundPort = ntohs(addr.sin_port);
    worker = std::thread([this] { serve(); });
    return true;
}

void LoopbackServer::stop()
{
    if (listenFd < 0)
        return;
    char byte = 1;
    (void)!write(wakeFds[1], &byte, 1);
    if (worker.joinable())
        worker.join();
    close(listenFd);
    close(wakeFds[0]);
    close(wakeFds[1]);
    listenFd = -1;
    wakeFds[0] = wakeFds[1] = -1;
}

void LoopbackServer::serve()
{
    // A client gone mid-reply must fail the write (OpenSSL writes with write(2)), not raise
    // SIGPIPE in the process. A blocked SIGPIPE stays with this thread.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    for (;;) {
        pollfd fds[2] = {{wakeFds[0], POLLIN, 0}, {listenFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                handler(fd);
                close(fd);
            }
        }
    }
}

int LoopbackServer::remainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

bool LoopbackServer::await(int fd, short events, int wakeFd, Clock::time_point deadline)
{
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int left = remainingMs(deadline);
        if (left == 0)
            return false;
        int r = poll(fds, 2, left);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && !fds[1].revents;
    }
}

bool LoopbackServer::sendAll(int fd, int wakeFd, char const* data, size_t size,
                             Clock::time_point deadline)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= (size_t)n;
        } else if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ||
                   !await(fd, POLLOUT, wakeFd, deadline)) {
            return false;
        }
    }
    return true;
}
