// The LPC ISP boot ROM behind a pseudo-terminal. Tests reach its knobs and record through
// locked(); the chip's state survives the host closing and reopening the port.
#ifndef _LpcIspEmulator_H_
#define _LpcIspEmulator_H_

#include "imx_sdp/SerialPty.h"
#include "lpc_isp/LpcIspRom.h"

#include <functional>
#include <string>

class LpcIspEmulator {
public:
    // Starts the pty; false when none can be opened.
    bool start();
    void stop() { pty.stop(); }
    // Host-to-chip bytes per second (11520 models 115200 baud); 0 for no limit.
    void setThrottle(unsigned bytesPerSecond) { pty.setThrottle(bytesPerSecond); }
    const std::string& path() const { return pty.slavePath(); }
    uint64_t bytesReceived() { return pty.bytesReceived(); }
    // Runs fn with the chip while the pty thread cannot touch it.
    void locked(const std::function<void(LpcIspRom&)>& fn);

private:
    LpcIspRom core;
    SerialPty pty;
};

#endif
