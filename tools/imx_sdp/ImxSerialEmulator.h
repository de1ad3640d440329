// The i.MX boot ROM in serial download mode behind a pseudo-terminal (no report-id bytes on
// the line). Tests reach the ROM's knobs and record through rom() inside locked().
#ifndef _ImxSerialEmulator_H_
#define _ImxSerialEmulator_H_

#include "imx_sdp/SdpRom.h"
#include "imx_sdp/SerialPty.h"

#include <functional>
#include <string>

class ImxSerialEmulator {
public:
    // Starts the pty; false when none can be opened.
    bool start();
    void stop() { pty.stop(); }
    // Host-to-ROM bytes per second (11520 models 115200 baud); 0 for no limit.
    void setThrottle(unsigned bytesPerSecond) { pty.setThrottle(bytesPerSecond); }
    const std::string& path() const { return pty.slavePath(); }
    uint64_t bytesReceived() { return pty.bytesReceived(); }
    // Runs fn with the ROM while the pty thread cannot touch it.
    void locked(const std::function<void(SdpRom&)>& fn);

private:
    SdpRom core;
    SerialPty pty;
};

#endif
