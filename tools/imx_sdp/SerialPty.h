// A boot ROM's UART as a pseudo-terminal: the host opens slavePath() like a serial port, and a
// thread hands every byte it writes to a protocol core, paced like a real line when throttled.
// The emulator keeps a handle on the slave itself, so the host may close and reopen the port.
// Only the host-to-chip direction is paced: the chip's answers are short, and the time the
// host must spend is in what it sends.
#ifndef _SerialPty_H_
#define _SerialPty_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SerialPty {
public:
    // Called on the pty thread for each received byte (at its arrival time when throttled);
    // appends what the emulated chip sends back to `out`, which goes out after `delayMs`
    // (a chip busy erasing, say) without holding up locked().
    using ByteHandler = std::function<void(uint8_t byte, std::string& out, unsigned& delayMs)>;

    SerialPty();
    ~SerialPty();
    SerialPty(const SerialPty&) = delete;
    SerialPty& operator=(const SerialPty&) = delete;

    // Opens the pty and starts the thread; false (with errno set) when no pty can be had.
    bool start(ByteHandler handler);
    // Stops the thread and closes the pty; safe to call twice.
    void stop();
    // Host-to-chip rate in bytes per second; 0 takes bytes as fast as they come.
    void setThrottle(unsigned bytesPerSecond);
    // Runs `fn` while the handler cannot run, for reading or changing the core's state.
    void locked(const std::function<void()>& fn);

    const std::string& slavePath() const { return path; }
    // Bytes the host has written so far (all of them handed to the handler).
    uint64_t bytesReceived();

private:
    void run();
    bool sendAll(const std::string& out);

    int master = -1;
    int slave = -1;
    int wake[2] = {-1, -1};
    std::string path;
    ByteHandler handler;
    std::thread thread;
    std::mutex mutex;
    unsigned throttle = 0;
    uint64_t received = 0;
    bool running = false;
};

#endif
