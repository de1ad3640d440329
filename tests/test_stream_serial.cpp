// Serial-port stream against the emulator's pseudo-terminal peer.
#include <gtest/gtest.h>

#include <string.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

#include "StreamRead.h"
#include "aStream.h"
#include "module_emu/PtyTransport.h"
#include "unix_streamserial.h"

using module_emu::PtyTransport;

namespace {

struct SerialPeer : testing::Test {
    PtyTransport peer;
    aStream* stream = nullptr;
    void SetUp() override { ASSERT_TRUE(peer.ok()) << peer.error(); }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    void openDefault(u32 index = 6)
    {
        ASSERT_EQ(aStream_CreateSerial(peer.slavePath().c_str(), index, 0, 0, 0, &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
    }
    // Reads n bytes, waiting up to a second for them to arrive.
    std::vector<u8> readBytes(size_t n) { return qctest::readBytesWithin(stream, n, 1000); }
};

}  // namespace

TEST(SerialStream, ArgumentsAndMissingDevice)
{
    const std::string tooLong(4096, 'a');
    std::string longest = "/no-such-dir";   // 4095 characters: fits the record
    while (longest.size() < 4095)
        longest += "/a";
    longest.resize(4095);
    struct Row { const char* name; const char* path; u32 dataBits, stopBits; bool withStream; aErr err; };
    const Row rows[] = {
        {"missing device", "/dev/no-such-serial-port", 0, 0, true, aErrNotFound},
        {"seven data bits of a missing device", "/dev/no-such-serial-port", 1, 1, true, aErrNotFound},
        {"data bits 2", "/dev/null", 2, 0, true, aErrResource},
        {"stop bits 2", "/dev/null", 0, 2, true, aErrResource},
        {"no path", nullptr, 0, 0, true, aErrResource},
        {"no stream pointer", "/dev/null", 0, 0, false, aErrResource},
        {"path of 4096 characters", tooLong.c_str(), 0, 0, true, aErrResource},
        {"path of 4095 characters", longest.c_str(), 0, 0, true, aErrNotFound},
        {"not a terminal", "/dev/null", 0, 0, true, aErrIO},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        aStream* stream = nullptr;
        EXPECT_EQ(aStream_CreateSerial(r.path, 6, 0, r.dataBits, r.stopBits,
                                       r.withStream ? &stream : nullptr), r.err);
        EXPECT_EQ(stream, nullptr);
    }
}

TEST_F(SerialPeer, LineSettingsSeenFromTheFarSide)
{
    const speed_t speeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    struct Row { u32 index; u8 parity; u32 dataBits, stopBits; };
    const Row rows[] = {
        {0, 0, 0, 0}, {1, 0, 0, 0}, {2, 0, 0, 0}, {3, 0, 0, 0}, {4, 0, 0, 0}, {5, 0, 0, 0},
        {6, 0, 0, 0}, {7, 0, 0, 0}, {6, 1, 0, 0}, {6, 0, 1, 0}, {6, 0, 0, 1}, {2, 1, 1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "index " << r.index << " parity " << (int)r.parity
                                        << " seven " << r.dataBits << " two stop " << r.stopBits);
        ASSERT_EQ(aStream_CreateSerial(peer.slavePath().c_str(), r.index, r.parity, r.dataBits,
                                       r.stopBits, &stream), aErrNone);
        struct termios t;
        ASSERT_TRUE(peer.lineSettings(&t));
        EXPECT_EQ(cfgetispeed(&t), speeds[r.index]);
        EXPECT_EQ(cfgetospeed(&t), speeds[r.index]);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_iflag, (tcflag_t)(IGNBRK | (r.parity ? IGNPAR : 0)));
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.stopBits != 0);
        // A pseudo-terminal keeps eight data bits and no parity whatever it is asked; the
        // character format the stream applied is checked on its own record.
        const aSerialStream* rec = (const aSerialStream*)stream->ref;
        EXPECT_EQ(rec->settings.c_cflag & CSIZE, (tcflag_t)(r.dataBits ? CS7 : CS8));
        EXPECT_EQ((rec->settings.c_cflag & PARENB) != 0, r.parity != 0);
        EXPECT_EQ(rec->baudIndex, r.index);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        aStream_Destroy(&stream);
    }
}

TEST_F(SerialPeer, SettingsRestoredOnDestroy)
{
    struct termios before, during, after;
    ASSERT_TRUE(peer.lineSettings(&before));
    openDefault(7);
    ASSERT_TRUE(peer.lineSettings(&during));
    EXPECT_NE(cfgetospeed(&during), cfgetospeed(&before));
    EXPECT_NE(during.c_cc[VMIN], before.c_cc[VMIN]);
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    ASSERT_TRUE(peer.lineSettings(&after));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof(before.c_cc)), 0);
}

TEST_F(SerialPeer, EveryByteValuePassesBothWays)
{
    openDefault();
    std::vector<u8> all(256);
    for (int i = 0; i < 256; i++)
        all[i] = (u8)i;
    // Host to emulator: one write of the whole buffer.
    ASSERT_EQ(aStream_Write(stream, all.data(), all.size()), aErrNone);
    ASSERT_TRUE(peer.waitForReceived(256, 2000));
    EXPECT_EQ(peer.received(), all);
    // Emulator to host, read back one byte at a time as the link engine does.
    ASSERT_TRUE(peer.send(all));
    EXPECT_EQ(readBytes(256), all);
    // Single-byte writes go through put.
    ASSERT_EQ(aStream_Write(stream, "\r", 1), aErrNone);
    ASSERT_TRUE(peer.waitForReceived(257, 2000));
    EXPECT_EQ(peer.received().back(), '\r');
}

TEST_F(SerialPeer, IdleReadReturnsAtOnce)
{
    openDefault();
    auto start = std::chrono::steady_clock::now();
    char c;
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(SerialPeer, FarSideClosedGivesIOError)
{
    openDefault();
    peer.closeMaster();
    char c;
    EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);
    EXPECT_EQ(aStream_Write(stream, "ab", 2), aErrIO);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}
