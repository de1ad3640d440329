#include "TlsFront.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

// A client gets this long for its handshake; a connection ends after this long without
// traffic (longer than the emulator's longest delay), and its close waits this long for
// the client to hang up.
int const kHandshakeMs = 5000;
int const kIdleMs = 15000;
int const kLingerMs = 1000;

using Clock = std::chrono::steady_clock;

Clock::time_point sAfter(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

int sRemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

std::string sSslError()
{
    unsigned long code = ERR_get_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// Waits for events on fd; false at the deadline or once the wake descriptor is readable.
bool sAwait(int fd, short events, int wakeFd, Clock::time_point deadline)
{
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int left = sRemainingMs(deadline);
        if (left == 0)
            return false;
        int r = poll(fds, 2, left);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && !fds[1].revents;
    }
}

// Repeats an SSL call on a non-blocking socket while it only waits for the socket; the
// call's own result (above 0 on success).
template <typename Call>
int sRetry(SSL* ssl, int fd, int wakeFd, Clock::time_point deadline, Call call)
{
    for (;;) {
        ERR_clear_error();
        int r = call();
        if (r > 0)
            return r;
        int e = SSL_get_error(ssl, r);
        short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!events || !sAwait(fd, events, wakeFd, deadline))
            return r;
    }
}

bool sSendAll(int fd, int wakeFd, char const* data, size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= (size_t)n;
        } else if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
                   !sAwait(fd, POLLOUT, wakeFd, deadline)) {
            return false;
        }
    }
    return true;
}

} // namespace

TlsFront::TlsFront() {}

TlsFront::~TlsFront() { stop(); }

bool TlsFront::start(std::string const& certFile, std::string const& keyFile,
                     uint16_t backendPort, std::string* why, uint16_t port)
{
    std::string ignored;
    if (!why)
        why = &ignored;
    if (listenFd >= 0)
        return true;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        *why = "no TLS context: " + sSslError();
        return false;
    }
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        *why = "cannot load " + certFile + " with " + keyFile + ": " + sSslError();
        SSL_CTX_free(ctx);
        return false;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, (sockaddr*)&addr, sizeof addr) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, (sockaddr*)&addr, &len) != 0 || pipe2(wakeFds, O_CLOEXEC) != 0) {
        *why = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
        if (fd >= 0)
            close(fd);
        SSL_CTX_free(ctx);
        return false;
    }
    context = ctx;
    listenFd = fd;
    boundPort = ntohs(addr.sin_port);
    backend = backendPort;
    worker = std::thread([this] { serve(); });
    return true;
}

void TlsFront::stop()
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
    SSL_CTX_free(context);
    context = nullptr;
}

uint16_t TlsFront::port() const { return boundPort; }

std::string TlsFront::url() const
{
    return "https://127.0.0.1:" + std::to_string(boundPort) + "/cgi/u";
}

void TlsFront::serve()
{
    // OpenSSL writes with write(2): a client gone mid-reply must fail that write, not raise
    // SIGPIPE in the test process. A blocked SIGPIPE stays with this thread.
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
                handle(fd);
                close(fd);
            }
        }
    }
}

void TlsFront::handle(int fd)
{
    SSL* ssl = SSL_new(context);
    if (!ssl)
        return;
    // A client that refuses the certificate ends here, before the emulator is reached.
    if (SSL_set_fd(ssl, fd) == 1 &&
        sRetry(ssl, fd, wakeFds[0], sAfter(kHandshakeMs), [&] { return SSL_accept(ssl); }) == 1) {
        int b = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(backend);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A loopback connect completes or is refused at once.
        if (b >= 0 && connect(b, (sockaddr*)&addr, sizeof addr) == 0 &&
            fcntl(b, F_SETFL, fcntl(b, F_GETFL) | O_NONBLOCK) == 0)
            relay(ssl, fd, b);
        if (b >= 0)
            close(b);
    }
    SSL_free(ssl);
}

void TlsFront::relay(SSL* ssl, int clientFd, int backendFd)
{
    char buffer[16384];
    for (;;) {
        Clock::time_point idle = sAfter(kIdleMs);
        bool fromClient = SSL_pending(ssl) > 0;
        bool fromBackend = false;
        if (!fromClient) {
            pollfd fds[3] = {
                {clientFd, POLLIN, 0}, {backendFd, POLLIN, 0}, {wakeFds[0], POLLIN, 0}};
            int r = poll(fds, 3, kIdleMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || fds[2].revents)
                return;
            fromClient = fds[0].revents != 0;
            fromBackend = fds[1].revents != 0;
        }
        if (fromClient) {
            ERR_clear_error();
            int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n > 0) {
                if (!sSendAll(backendFd, wakeFds[0], buffer, (size_t)n, idle))
                    return;
            } else {
                int e = SSL_get_error(ssl, n);
                // WANT_READ: a record not yet whole, or one without application data.
                if (e == SSL_ERROR_WANT_WRITE)
                    sAwait(clientFd, POLLOUT, wakeFds[0], idle);
                else if (e != SSL_ERROR_WANT_READ)
                    return;  // the client closed or broke off
            }
        }
        if (fromBackend) {
            ssize_t n = recv(backendFd, buffer, sizeof buffer, 0);
            if (n > 0) {
                if (sRetry(ssl, clientFd, wakeFds[0], idle,
                           [&] { return SSL_write(ssl, buffer, (int)n); }) <= 0)
                    return;
            } else if (n == 0) {
                // The emulator closes after each reply: close the session as cleanly, then
                // let the client hang up first, so closing with its last bytes unread does
                // not reset the connection under the reply.
                ERR_clear_error();
                SSL_shutdown(ssl);
                shutdown(clientFd, SHUT_WR);
                Clock::time_point linger = sAfter(kLingerMs);
                while (sAwait(clientFd, POLLIN, wakeFds[0], linger) &&
                       recv(clientFd, buffer, sizeof buffer, 0) > 0) {
                }
                return;
            } else if (errno != EAGAIN && errno != EINTR) {
                return;
            }
        }
    }
}
