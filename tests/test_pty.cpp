// The pseudo-terminal under every emulated serial line: the protocol's bytes must cross it
// untouched both ways, and a host closing its port must not hang the emulator's side up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "pty/PseudoTerminal.h"

namespace {

// Reads what arrives on fd within ms (fd non-blocking or polled).
std::string readFor(int fd, int ms)
{
    std::string got;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN))
            return got;
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return got;
        got.append(buf, size_t(n));
        ms = 50;  // the rest of a write follows at once
    }
}

bool writeAll(int fd, const std::string& bytes)
{
    return write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

}  // namespace

TEST(PseudoTerminal, BytesCrossUntranslatedAndAHostMayCloseAndReopen)
{
    PseudoTerminal pty;
    std::string why;
    ASSERT_TRUE(pty.open(&why)) << why;
    ASSERT_GE(pty.master(), 0);
    ASSERT_FALSE(pty.path().empty());
    // CR, LF, the interrupt and end-of-file characters and a high byte: what a cooked line
    // would translate, echo or act on.
    const std::string hostBytes("a\nb\rc\x03\x04\xff", 8);
    const std::string chipBytes("x\ry\nz\x03\x7f", 7);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round ? "reopened" : "first open");
        int host = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(host, 0);
        ASSERT_TRUE(writeAll(host, hostBytes));
        EXPECT_EQ(readFor(pty.master(), 1000), hostBytes);
        ASSERT_TRUE(writeAll(pty.master(), chipBytes));
        EXPECT_EQ(readFor(host, 1000), chipBytes);
        EXPECT_EQ(readFor(pty.master(), 100), "") << "no echo of the chip's bytes";
        ::close(host);
        // The slave handle the pair keeps: no hang-up, no EIO between hosts.
        struct pollfd p = {pty.master(), POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 100), 0) << "revents " << p.revents;
    }
    std::string path = pty.path();
    pty.close();
    EXPECT_EQ(pty.master(), -1);
    EXPECT_EQ(pty.slave(), -1);
    EXPECT_EQ(pty.path(), path) << "the slave it had stays named";
}

TEST(PseudoTerminal, SetLineGivesTheSlaveItsReadRuleAndSpeed)
{
    struct Row { cc_t vmin, vtime; speed_t speed; };
    const Row rows[] = {{0, 10, B115200}, {1, 0, B9600}};
    for (const Row& r : rows) {
        SCOPED_TRACE(int(r.vmin));
        PseudoTerminal pty;
        ASSERT_TRUE(pty.open());
        ASSERT_TRUE(pty.setLine(r.vmin, r.vtime, r.speed));
        struct termios t;
        ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
        EXPECT_EQ(t.c_cc[VMIN], r.vmin);
        EXPECT_EQ(t.c_cc[VTIME], r.vtime);
        EXPECT_EQ(cfgetispeed(&t), r.speed);
        EXPECT_EQ(cfgetospeed(&t), r.speed);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "still raw";
    }
    PseudoTerminal closed;
    EXPECT_FALSE(closed.setLine(1, 0, B9600)) << "no slave to set";
}
