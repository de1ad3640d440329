// The pseudo-terminal under every emulated serial line (boot ROM UARTs, the module's serial
// port and its kernel driver node): a master the emulator reads and writes, the slave path the
// host opens, and a handle on the slave the emulator keeps itself, so the master never reads
// EIO while no host has the port open and a host may close and reopen it.
#ifndef TOOLS_PTY_PSEUDOTERMINAL_H
#define TOOLS_PTY_PSEUDOTERMINAL_H

#include <string>
#include <termios.h>

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens a new pair with the slave raw both ways (the line discipline must neither echo
    // nor translate a protocol). False, with errno kept and `why` saying which step failed,
    // when no pty can be had; nothing stays open then.
    bool open(std::string* why = nullptr);
    // Closes both ends; path() stays, naming the slave this pair had. Safe to call twice.
    void close();
    // Sets the slave's read rule (VMIN, VTIME) and its line speed both ways.
    bool setLine(cc_t vmin, cc_t vtime, speed_t speed);

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& path() const { return path_; }

private:
    bool failed(const char* step, std::string* why);

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

#endif
