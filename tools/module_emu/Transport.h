// Byte transports of the module emulator: the host side of every library stream talks to one
// of these. The protocol core sits on top of a Transport and never knows which one it has.
//
// Bytes from the host arrive on the transport's own reader thread and go to the handler (and
// into the received record, which every transport keeps). send() may be called from any
// thread, the handler included.
#ifndef MODULE_EMU_TRANSPORT_H
#define MODULE_EMU_TRANSPORT_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace module_emu {

class Transport {
public:
    using Handler = std::function<void(const uint8_t* data, size_t n)>;

    Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    virtual ~Transport() = default;

    // Replaces the handler; it runs on the reader thread, never two calls at once.
    void setHandler(Handler handler);
    // Sends bytes to the host; true when all of them were handed to the system.
    virtual bool send(const uint8_t* data, size_t n) = 0;
    bool send(const std::vector<uint8_t>& bytes) { return send(bytes.data(), bytes.size()); }

    // Every byte received so far, in order.
    std::vector<uint8_t> received() const;
    size_t receivedCount() const;
    void clearReceived();
    // Waits until at least n bytes have been received in all; false on time-out.
    bool waitForReceived(size_t n, int timeoutMs) const;

protected:
    // Called by the reader thread of a subclass for each run of bytes that arrived.
    void deliver(const uint8_t* data, size_t n);

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<uint8_t> received_;
    Handler handler_;
    std::recursive_mutex handlerCall_;   // one handler call at a time; setHandler waits for it
};

// Blocks until the descriptor is readable or the wake descriptor fires; helper of the reader
// threads. Returns the poll revents of fd, or -1 when woken.
int waitReadable(int fd, int wakeFd, int timeoutMs);

}  // namespace module_emu

#endif
