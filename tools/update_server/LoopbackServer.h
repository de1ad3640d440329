// What the update server and its HTTPS front share: a TCP listener on 127.0.0.1 whose own
// thread hands each connection to a handler, one at a time, and the bounded waits and sends
// their handlers make while watching for stop().
#ifndef _LoopbackServer_H_
#define _LoopbackServer_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

class LoopbackServer {
public:
    using Clock = std::chrono::steady_clock;
    // Runs on the listener's thread with a non-blocking connection, closed once it returns.
    using Handler = std::function<void(int fd)>;

    LoopbackServer() = default;
    ~LoopbackServer() { stop(); }
    LoopbackServer(LoopbackServer const&) = delete;
    LoopbackServer& operator=(LoopbackServer const&) = delete;

    // Listens on 127.0.0.1:port (0 = an ephemeral port); false with errno set when it cannot.
    bool start(uint16_t port, bool reuseAddress, Handler handler);
    // Wakes a handler in progress (see wakeFd), joins the thread and closes the listener.
    void stop();
    bool running() const { return listenFd >= 0; }
    uint16_t port() const { return boundPort; }
    // Readable once stop() is asked: a handler that waits polls it too.
    int wakeFd() const { return wakeFds[0]; }

    // Milliseconds left until deadline (0 once it has passed).
    static int remainingMs(Clock::time_point deadline);
    // Waits for events on fd; false at the deadline or once wakeFd is readable.
    static bool await(int fd, short events, int wakeFd, Clock::time_point deadline);
    // Sends everything; false at the deadline, on stop, or when the client has gone.
    static bool sendAll(int fd, int wakeFd, char const* data, size_t size, Clock::time_point deadline);

private:
    void serve();

    Handler handler;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    uint16_t boundPort = 0;
    std::thread worker;
};

#endif
