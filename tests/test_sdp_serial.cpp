// The serial download engine over the UART transport, against the i.MX ROM emulator on a
// pseudo-terminal.
#include "Timing.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader_unix.h"
#include "imx_sdp/ImxSerialEmulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

using qctest::msSince;

std::vector<unsigned char> sPattern(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (unsigned char)(i * 7 + (i >> 8) * 3);
    return v;
}

class SdpSerial : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(emu.start()); }
    ImxSerialEmulator emu;
};

// A block still queued on the line when the final status is read is not a failure: at
// 115200 baud 2500 bytes take over 200 ms, twice the reply time-out.
TEST_F(SdpSerial, ThrottledBlockIsAccepted)
{
    emu.setThrottle(11520);
    std::vector<unsigned char> file = sPattern(2500);
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path().c_str(), 0)));
    ASSERT_EQ(sdp.init(), 0);
    EXPECT_EQ(sdp.writeLoader(file, 0x20000400), 0);
    EXPECT_EQ(sdp.startLoader(0x20000400), 0);
    emu.locked([&](SdpRom& r) {
        ASSERT_EQ(r.writes.size(), 1u);
        EXPECT_EQ(r.writes[0].data, file);
        EXPECT_EQ(r.jumps, std::vector<uint32_t>{0x20000400});
    });
    // No report id on the line: 16 bytes per command, the file's bytes as they are.
    EXPECT_EQ(emu.bytesReceived(), 16u + 16u + 2500u + 16u);
}

// A "?" left by a probe for another chip family does not throw the ROM off.
TEST_F(SdpSerial, StrayProbeBytesAreSkipped)
{
    int fd = open(emu.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "?", 1), 1);
    close(fd);
    // Let it reach the ROM before the transport's open discards what is still queued.
    for (int i = 0; i < 200 && emu.bytesReceived() < 1; ++i)
        usleep(1000);
    ASSERT_EQ(emu.bytesReceived(), 1u);
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path().c_str(), 0)));
    ASSERT_EQ(sdp.init(), 0);
    std::vector<unsigned char> file = sPattern(100);
    EXPECT_EQ(sdp.writeLoader(file, 0x20000000), 0);
    emu.locked([&](SdpRom& r) {
        EXPECT_EQ(r.droppedBytes, 1u);
        ASSERT_EQ(r.writes.size(), 1u);
        EXPECT_EQ(r.writes[0].data, file);
    });
}

// Bytes waiting on the line before a command (a reply that came late, a stray byte) are
// dropped before the command goes out, never read as its reply. The line is paced, so a reply
// cannot arrive before the host looks at what is waiting.
TEST_F(SdpSerial, StaleInputBeforeACommandIsNotItsReply)
{
    const std::string lateReply("\x56\x78\x78\x56\xF0\xF0\xF0\xF0", 8);
    struct Row {
        const char* what;
        std::string stale;
    };
    const Row rows[] = {
        {"a stray byte", "?"},
        {"a late reply", lateReply},
        {"a late reply and a half", lateReply + std::string("\x12\x34\x34\x12", 4)},
    };
    emu.setThrottle(2000);
    emu.locked([](SdpRom& r) {
        r.registers = {{0x401F4410, 0x11223344}, {0x401F4420, 0x55667788}};
    });
    // A second handle on the host's end shows what waits there without taking it.
    int watch = open(emu.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watch, 0);
    auto queue = [&](const std::string& stale) {
        ASSERT_TRUE(emu.inject(stale));
        int waiting = 0;
        for (int i = 0; i < 1000 && waiting < int(stale.size()); ++i) {
            ASSERT_EQ(ioctl(watch, FIONREAD, &waiting), 0);
            if (waiting < int(stale.size()))
                usleep(1000);
        }
        ASSERT_EQ(waiting, int(stale.size()));
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SDPLoader sdp;
        ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path().c_str(), 0)));
        ASSERT_EQ(sdp.init(), 0);
        queue(row.stale);
        unsigned long id = 0;
        EXPECT_EQ(sdp.getFingerprint(id), SDPLoader::SDP_OK);
        EXPECT_EQ(id, 0x5566778811223344UL);
        queue(row.stale);
        std::vector<unsigned char> file = sPattern(100);
        EXPECT_EQ(sdp.writeLoader(file, 0x20000000), SDPLoader::SDP_OK);
        emu.locked([&](SdpRom& r) {
            ASSERT_FALSE(r.writes.empty());
            EXPECT_EQ(r.writes.back().data, file);
            r.writes.clear();
        });
    }
    close(watch);
}

TEST_F(SdpSerial, SilentRom)
{
    emu.locked([](SdpRom& r) { r.silent = true; });
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path().c_str(), 0)));
    ASSERT_EQ(sdp.init(), 0);
    Clock::time_point t = Clock::now();
    EXPECT_EQ(sdp.writeLoader(sPattern(8), 0x20000000), SDPLoader::SDP_NO_ANSWER);
    EXPECT_GE(msSince(t), 500);
    emu.locked([](SdpRom& r) { EXPECT_EQ(r.statusRequests, 5u); });
}

TEST_F(SdpSerial, OpenFailures)
{
    for (const char* path : {"/dev/null", "/nonexistent/tty"}) {
        SCOPED_TRACE(path);
        Serial_SDPLoader s(path, 0);
        EXPECT_FALSE(s.init());
        std::vector<unsigned char> reply;
        EXPECT_EQ(s.writeData({1, 5, 5}), -1);
        EXPECT_EQ(s.readData(reply, 0), 0);
    }
}

TEST_F(SdpSerial, ReplyReadsEndWithACompleteReply)
{
    Serial_SDPLoader s(emu.path().c_str(), 0);
    ASSERT_TRUE(s.init());
    std::vector<unsigned char> status(17, 0);
    status[0] = 1, status[1] = 5, status[2] = 5;
    ASSERT_EQ(s.writeData(status), 16);
    std::vector<unsigned char> reply;
    Clock::time_point t = Clock::now();
    EXPECT_EQ(s.readData(reply, 2000), 8);
    EXPECT_LT(msSince(t), 1000);  // it returned on the reply, not on the time-out
    unsigned int word = 0;
    EXPECT_TRUE(s.getDataFromBuffer(reply, 0, word));
    EXPECT_EQ(word, SdpRom::STATUS_OK);
    word = 0;
    EXPECT_FALSE(s.getDataFromBuffer(reply, 16, word));
    std::vector<unsigned char> seven(reply.begin(), reply.begin() + 7);
    EXPECT_FALSE(s.getDataFromBuffer(seven, 0, word));
    // Nothing waiting: a read with time-out 0 comes back empty at once.
    reply.clear();
    t = Clock::now();
    EXPECT_EQ(s.readData(reply, 0), 0);
    EXPECT_LT(msSince(t), 50);
}

// A device that stops taking bytes ends the write after about a second instead of forever.
TEST(SdpSerialStall, WriteThatMakesNoProgressGivesUp)
{
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    {
        Serial_SDPLoader s(name, 0);
        ASSERT_TRUE(s.init());
        std::vector<unsigned char> big(1 + 1024 * 1024, 0x55);
        big[0] = 2;
        Clock::time_point t = Clock::now();
        EXPECT_EQ(s.writeData(big), -1);
        long ms = msSince(t);
        EXPECT_GE(ms, 900);
        EXPECT_LT(ms, 5000);
    }
    close(master);
    close(slave);
}

}

#include "NXPSerial.h"

namespace {

// The fingerprint probe takes every chip for an LPC first: its sync attempt on an i.MX ROM
// gets no answer, and the bytes it left on the line do not disturb the download after it.
TEST_F(SdpSerial, LpcProbeBeforeTheDownload)
{
    {
        NXPSerialClass nxp;
        ASSERT_EQ(nxp.Connect(emu.path().c_str(), 115200), aErrNone);
        Clock::time_point t = Clock::now();
        EXPECT_NE(nxp.Sync(), aErrNone);
        EXPECT_LT(msSince(t), 1000);
    }
    SDPLoader sdp;
    ASSERT_TRUE(sdp.setLoader(new Serial_SDPLoader(emu.path().c_str(), 0)));
    ASSERT_EQ(sdp.init(), 0);
    std::vector<unsigned char> file = sPattern(600);
    EXPECT_EQ(sdp.writeLoader(file, 0x20000000), 0);
    emu.locked([&](SdpRom& r) {
        EXPECT_GE(r.droppedBytes, 1u);
        ASSERT_EQ(r.writes.size(), 1u);
        EXPECT_EQ(r.writes[0].data, file);
    });
}

}
