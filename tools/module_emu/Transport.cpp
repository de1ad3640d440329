// Received-byte record and handler delivery shared by the emulator's transports.
#include "module_emu/Transport.h"

#include <poll.h>

#include <chrono>

namespace module_emu {

void Transport::setHandler(Handler handler)
{
    // Waits for a call in progress, so that after detaching nothing calls the old handler.
    std::lock_guard<std::recursive_mutex> call(handlerCall_);
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<uint8_t> Transport::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

size_t Transport::receivedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.size();
}

void Transport::clearReceived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

bool Transport::waitForReceived(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return received_.size() >= n; });
}

void Transport::deliver(const uint8_t* data, size_t n)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.insert(received_.end(), data, data + n);
    }
    arrived_.notify_all();
    // The handler is read under the call lock, so one replaced by setHandler is never called
    // afterwards. Outside the record's lock: a handler that replies calls send() and may read
    // the record itself.
    std::lock_guard<std::recursive_mutex> call(handlerCall_);
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = handler_;
    }
    if (handler)
        handler(data, n);
}

int waitReadable(int fd, int wakeFd, int timeoutMs)
{
    struct pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(p, fd >= 0 ? 2 : 1, timeoutMs);
    if (n < 0)
        return 0;
    if (p[0].revents)
        return -1;
    return fd >= 0 ? p[1].revents : 0;
}

}  // namespace module_emu
