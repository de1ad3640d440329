// Pseudo-terminal transport of the module emulator: the host opens the slave side (a serial
// port, or the kernel driver node reached through a symlink) and the emulator keeps the
// master open and reads it continuously.
#ifndef MODULE_EMU_PTYTRANSPORT_H
#define MODULE_EMU_PTYTRANSPORT_H

#include <termios.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "module_emu/Transport.h"
#include "pty/PseudoTerminal.h"

namespace module_emu {

class PtyTransport : public Transport {
public:
    // A serial-port peer: the slave starts raw at 9600 baud with VMIN 1, so that a host that
    // sets its own line up visibly changes it. Check ok().
    PtyTransport();
    // A kernel driver node: the slave is raw with VMIN 0 / VTIME 10 (an idle read returns
    // after about 1 s, like the driver's bounded read) and linkPath is made a symlink to it
    // (an old entry there is replaced); the symlink is removed again on destruction.
    explicit PtyTransport(const std::string& linkPath);
    ~PtyTransport() override;

    bool ok() const { return pty_.master() >= 0; }
    const std::string& error() const { return error_; }
    // The slave device the host opens ("/dev/pts/N").
    const std::string& slavePath() const { return pty_.path(); }
    // The symlink of a kernel node; empty for a serial-port peer.
    const std::string& linkPath() const { return linkPath_; }

    // The line settings the host side has now (read through the master).
    bool lineSettings(struct termios* settings) const;
    // The far end goes away: the reader stops and the master and the emulator's own slave
    // handle are closed, so the host's reads see a hang-up and its writes fail.
    void closeMaster();

    using Transport::send;
    bool send(const uint8_t* data, size_t n) override;

private:
    bool open(bool kernelNode);
    void readLoop();
    void stopReader();

    PseudoTerminal pty_;   // its master is closed only with the reader stopped
    int wake_ = -1;
    std::string linkPath_, error_;
    std::thread reader_;
    std::mutex sendMutex_;
};

}  // namespace module_emu

#endif
