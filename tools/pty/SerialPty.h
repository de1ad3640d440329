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
#include <signal.h>
#include <string>
#include <thread>

#include "pty/PseudoTerminal.h"

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

    // Sends bytes to the host as if the chip had sent them (a late or stray answer); false
    // when they cannot be written.
    bool inject(const std::string& bytes);

    const std::string& slavePath() const { return term.path(); }
    // Bytes the host has written so far (all of them handed to the handler).
    uint64_t bytesReceived();

private:
    void run();
    bool sendAll(const std::string& out);

    PseudoTerminal term;
    int wake[2] = {-1, -1};
    ByteHandler handler;
    std::thread thread;
    std::mutex mutex;
    unsigned throttle = 0;
    uint64_t received = 0;
    bool running = false;
};

// A protocol core behind a SerialPty. Subclasses start() the pty with the core's byte
// handler; tests reach the core's knobs and record through locked().
template <class Core>
class PtyEmulator {
public:
    void stop() { pty.stop(); }
    // Host-to-chip bytes per second (11520 models 115200 baud); 0 for no limit.
    void setThrottle(unsigned bytesPerSecond) { pty.setThrottle(bytesPerSecond); }
    const std::string& path() const { return pty.slavePath(); }
    uint64_t bytesReceived() { return pty.bytesReceived(); }
    bool inject(const std::string& bytes) { return pty.inject(bytes); }
    // Runs fn with the core while the pty thread cannot touch it.
    void locked(const std::function<void(Core&)>& fn)
    {
        pty.locked([&] { fn(core); });
    }

protected:
    Core core;
    SerialPty pty;
};

// What the standalone boot ROM programs share around their core: SIGTERM and SIGINT held for
// wait(), the options --link PATH and --throttle BPS, the line "PTY <path>" once the port is
// ready, and the link removed again at the end.
class PtyProgram {
public:
    // Blocks SIGTERM and SIGINT, so construct it before any thread starts.
    PtyProgram(const char* name, int argc, char** argv);
    ~PtyProgram();
    PtyProgram(const PtyProgram&) = delete;
    PtyProgram& operator=(const PtyProgram&) = delete;

    // The next option word; false when none is left.
    bool next(std::string& option);
    // The word after the current option; ends the program with status 2 when there is none.
    std::string value();
    // value() as a whole unsigned 32-bit number in base; ends the program with status 2 and
    // a line naming the option when the word is none.
    unsigned numberValue(int base = 10);
    // Takes the shared options; false for any other.
    bool common(const std::string& option);
    // "<name>: <what> <word>" on standard error; the exit status for a bad command line.
    int refuse(const char* what, const std::string& word);

    // Starts the emulator with the throttle asked for; 0, or 1 when no pty can be opened.
    template <class Emulator>
    int start(Emulator& emu)
    {
        if (!emu.start())
            return fail("openpty");
        emu.setThrottle(throttle);
        return 0;
    }
    // Makes the link to path and prints the PTY line; 0, or 1 when the link cannot be made.
    int publish(const std::string& path);
    // Returns once SIGTERM or SIGINT arrives.
    void wait();

private:
    int fail(const char* what);

    const char* name;
    int argc;
    char** argv;
    int at = 0;
    std::string link;
    bool linked = false;
    unsigned throttle = 0;
};

#endif
