#include "TlsFront.h"

#include "LoopbackServer.h"

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

using Clock = LoopbackServer::Clock;

Clock::time_point sAfter(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

std::string sSslError()
{
    unsigned long code = ERR_get_error();
    if (code == 0)
        return "no reason given";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
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
        if (!events || !LoopbackServer::await(fd, events, wakeFd, deadline))
            return r;
    }
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
    if (server.running())
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
    context = ctx;
    backend = backendPort;
    if (!server.start(port, false, [this](int fd) { handle(fd); })) {
        *why = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
        SSL_CTX_free(ctx);
        context = nullptr;
        return false;
    }
    return true;
}

void TlsFront::stop()
{
    if (!server.running())
        return;
    server.stop();
    SSL_CTX_free(context);
    context = nullptr;
}

uint16_t TlsFront::port() const { return server.port(); }

std::string TlsFront::url() const
{
    return "https://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u";
}

void TlsFront::handle(int fd)
{
    SSL* ssl = SSL_new(context);
    if (!ssl)
        return;
    // A client that refuses the certificate ends here, before the emulator is reached.
    if (SSL_set_fd(ssl, fd) == 1 &&
        sRetry(ssl, fd, server.wakeFd(), sAfter(kHandshakeMs), [&] { return SSL_accept(ssl); }) == 1) {
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
                {clientFd, POLLIN, 0}, {backendFd, POLLIN, 0}, {server.wakeFd(), POLLIN, 0}};
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
                if (!LoopbackServer::sendAll(backendFd, server.wakeFd(), buffer, (size_t)n, idle))
                    return;
            } else {
                int e = SSL_get_error(ssl, n);
                // WANT_READ: a record not yet whole, or one without application data.
                if (e == SSL_ERROR_WANT_WRITE)
                    LoopbackServer::await(clientFd, POLLOUT, server.wakeFd(), idle);
                else if (e != SSL_ERROR_WANT_READ)
                    return;  // the client closed or broke off
            }
        }
        if (fromBackend) {
            ssize_t n = recv(backendFd, buffer, sizeof buffer, 0);
            if (n > 0) {
                if (sRetry(ssl, clientFd, server.wakeFd(), idle,
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
                while (LoopbackServer::await(clientFd, POLLIN, server.wakeFd(), linger) &&
                       recv(clientFd, buffer, sizeof buffer, 0) > 0) {
                }
                return;
            } else if (errno != EAGAIN && errno != EINTR) {
                return;
            }
        }
    }
}
