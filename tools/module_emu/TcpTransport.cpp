// TCP listener of the module emulator.
#include "module_emu/TcpTransport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace module_emu {

TcpTransport::TcpTransport(const TcpConfig& config) : config_(config)
{
    if (config_.mode == TcpMode::NeverRead && config_.receiveBuffer == 0)
        config_.receiveBuffer = 4096;
    struct in_addr a;
    if (inet_pton(AF_INET, config_.address.c_str(), &a) != 1) {
        error_ = "bad address " + config_.address;
        return;
    }
    address_ = a.s_addr;
    port_ = config_.port;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!listenOn())
        return;
    ok_ = true;
    thread_ = std::thread(&TcpTransport::loop, this);
}

TcpTransport::~TcpTransport()
{
    stop_ = true;
    wake();
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard<std::mutex> lock(connMutex_);
        if (conn_ >= 0)
            close(conn_);
        conn_ = -1;
    }
    if (listener_ >= 0)
        close(listener_);
    if (wake_ >= 0)
        close(wake_);
}

bool TcpTransport::listenOn()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (config_.receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &config_.receiveBuffer, sizeof(config_.receiveBuffer));
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    sa.sin_addr.s_addr = address_;
    if (bind(fd, (struct sockaddr*)&sa, sizeof(sa)) < 0) {
        error_ = "bind " + config_.address + ": " + strerror(errno);
        close(fd);
        return false;
    }
    socklen_t len = sizeof(sa);
    getsockname(fd, (struct sockaddr*)&sa, &len);
    port_ = ntohs(sa.sin_port);
    if (config_.mode != TcpMode::ClosedPort && listen(fd, 8) < 0) {
        error_ = std::string("listen: ") + strerror(errno);
        close(fd);
        return false;
    }
    listener_ = fd;
    return true;
}

bool TcpTransport::connected() const
{
    std::lock_guard<std::mutex> lock(connMutex_);
    return conn_ >= 0;
}

bool TcpTransport::waitForConnections(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(waitMutex_);
    return accepted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return connections_.load() >= count; });
}

std::vector<size_t> TcpTransport::connectionOffsets() const
{
    std::lock_guard<std::mutex> lock(waitMutex_);
    return offsets_;
}

void TcpTransport::wake()
{
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof(one)) < 0) {
    }
}

void TcpTransport::dropLocked(bool reset)
{
    if (conn_ < 0)
        return;
    if (reset) {
        struct linger l = {1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    } else {
        shutdown(conn_, SHUT_WR);
    }
    close(conn_);
    conn_ = -1;
}

void TcpTransport::resetConnection()
{
    std::lock_guard<std::mutex> lock(connMutex_);
    dropLocked(true);
    wake();
}

void TcpTransport::closeConnection()
{
    std::lock_guard<std::mutex> lock(connMutex_);
    dropLocked(false);
    wake();
}

bool TcpTransport::send(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(connMutex_);
    size_t done = 0;
    while (conn_ >= 0 && done < n) {
        ssize_t w = ::send(conn_, data + done, n - done, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += (size_t)w;
    }
    return conn_ >= 0;
}

void TcpTransport::loop()
{
    bool firstReset = config_.mode == TcpMode::ResetAndRelisten;
    while (!stop_) {
        int conn;
        {
            std::lock_guard<std::mutex> lock(connMutex_);
            conn = conn_;
        }
        bool readConn = conn >= 0 && config_.mode != TcpMode::NeverRead;
        struct pollfd p[3] = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}, {conn, POLLIN, 0}};
        int count = readConn ? 3 : 2;
        if (config_.mode == TcpMode::ClosedPort)
            p[1].fd = -1;
        if (poll(p, count, -1) < 0)
            continue;
        if (p[0].revents) {
            uint64_t v;
            if (read(wake_, &v, sizeof(v)) < 0) {
            }
            continue;   // look at the connection again: it may have been replaced
        }
        if (p[1].revents & POLLIN) {
            acceptOne();
            continue;
        }
        if (readConn && (p[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) &&
            !readFrom(conn, firstReset))
            return;
    }
}

void TcpTransport::acceptOne()
{
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    std::lock_guard<std::mutex> lock(connMutex_);
    // One host connection at a time: a reconnecting host replaces the old one.
    dropLocked(false);
    if (config_.mode == TcpMode::OrderlyClose) {
        shutdown(fd, SHUT_WR);
        close(fd);
    } else {
        conn_ = fd;
    }
    {
        std::lock_guard<std::mutex> w(waitMutex_);
        offsets_.push_back(receivedCount());
        connections_++;
    }
    accepted_.notify_all();
    if (config_.acceptLimit > 0 && connections_.load() >= config_.acceptLimit) {
        close(listener_);
        listener_ = -1;
    }
}

// Reads what the host sent on conn and delivers it; the first delivery of a reset-and-relisten
// transport then resets the connection. False when listening again fails.
bool TcpTransport::readFrom(int conn, bool& firstReset)
{
    uint8_t buf[4096];
    ssize_t r;
    {
        // The descriptor may have been dropped (and its number reused) since the poll.
        std::lock_guard<std::mutex> lock(connMutex_);
        if (conn_ != conn)
            return true;
        r = recv(conn, buf, sizeof(buf), MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
    }
    if (r <= 0) {
        std::lock_guard<std::mutex> lock(connMutex_);
        if (conn_ == conn)
            dropLocked(false);
        return true;
    }
    deliver(buf, (size_t)r);
    if (!firstReset)
        return true;
    firstReset = false;
    std::lock_guard<std::mutex> lock(connMutex_);
    if (conn_ == conn)
        dropLocked(true);
    // Listen again on the same address and port.
    close(listener_);
    listener_ = -1;
    if (!listenOn())
        return false;
    resets_++;
    return true;
}

}  // namespace module_emu
