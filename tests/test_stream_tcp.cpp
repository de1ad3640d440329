// TCP socket stream against the emulator's TCP listener.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "StreamRead.h"
#include "Timing.h"
#include "aStream.h"
#include "aStreamsocket.h"
#include "module_emu/TcpTransport.h"

using module_emu::TcpConfig;
using module_emu::TcpMode;
using module_emu::TcpTransport;
using Clock = std::chrono::steady_clock;

namespace {

TcpConfig config(const char* address, TcpMode mode = TcpMode::Record)
{
    TcpConfig c;
    c.address = address;
    c.mode = mode;
    return c;
}

using qctest::msSince;

// A packet frame [4][28][tag][seq hi][seq lo][25 bytes of seq lo].
std::vector<u8> frame(u8 tag, u16 seq)
{
    std::vector<u8> f = {0x04, 28, tag, (u8)(seq >> 8), (u8)seq};
    f.resize(30, (u8)seq);
    return f;
}

struct TcpPeer {
    TcpTransport peer;
    aStream* stream = nullptr;
    explicit TcpPeer(const TcpConfig& c) : peer(c) {}
    ~TcpPeer()
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    aErr open() { return aStream_CreateSocket(peer.addressNetworkOrder(), peer.port(), &stream); }
    // Reads n bytes one at a time, waiting up to timeoutMs for them.
    std::vector<u8> readBytes(size_t n) { return qctest::readBytesWithin(stream, n, 2000); }
};

}  // namespace

TEST(TcpStream, NothingListeningGivesResourceError)
{
    TcpPeer t(config("127.0.0.21", TcpMode::ClosedPort));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    t.stream = (aStream*)0x1;   // must be cleared
    aStream* s = (aStream*)0x1;
    EXPECT_EQ(aStream_CreateSocket(t.peer.addressNetworkOrder(), t.peer.port(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    t.stream = nullptr;
    EXPECT_EQ(aStream_CreateSocket(t.peer.addressNetworkOrder(), t.peer.port(), nullptr), aErrResource);
}

// A host that never answers the connect (here a listener whose accept queue is full, so its
// SYNs are dropped) holds a connect for the bound only, not for the system's minutes.
TEST(TcpStream, ConnectToASilentHostIsBounded)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr("127.0.0.29");
    ASSERT_EQ(bind(listener, (struct sockaddr*)&sa, sizeof(sa)), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(getsockname(listener, (struct sockaddr*)&sa, &len), 0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(filler, (struct sockaddr*)&sa, sizeof(sa)), 0);   // fills the queue

    aStream* stream = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(aStream_CreateSocket(sa.sin_addr.s_addr, ntohs(sa.sin_port), &stream), aErrResource);
    long ms = msSince(start);
    EXPECT_EQ(stream, nullptr);
    EXPECT_GE(ms, aSOCKET_CONNECT_TIMEOUT_MS - 100);
    EXPECT_LT(ms, aSOCKET_CONNECT_TIMEOUT_MS + 2000);
    close(filler);
    close(listener);
}

TEST(TcpStream, IdleReadAndEmptyWriteReturnAtOnce)
{
    TcpPeer t(config("127.0.0.22"));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    auto start = Clock::now();
    char c;
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(aStream_Read(t.stream, &c, 1), aErrNotReady);
    EXPECT_EQ(aStream_Write(t.stream, "", 0), aErrNone);
    EXPECT_LT(msSince(start), 100);
}

TEST(TcpStream, BytesKeepTheirOrderBothWays)
{
    TcpPeer t(config("127.0.0.23"));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));

    std::vector<u8> toHost;
    for (int i = 0; i < 10000; i++)
        toHost.push_back((u8)(i * 7 + i / 256));
    // In pieces, so that the stream's read-ahead meets several arrivals.
    for (size_t off = 0; off < toHost.size(); off += 1500)
        ASSERT_TRUE(t.peer.send(toHost.data() + off, std::min<size_t>(1500, toHost.size() - off)));
    EXPECT_EQ(t.readBytes(toHost.size()), toHost);

    std::vector<u8> sent;
    for (u16 seq = 0; seq < 200; seq++) {
        std::vector<u8> f = frame(1, seq);
        ASSERT_EQ(aStream_Write(t.stream, f.data(), f.size()), aErrNone);
        sent.insert(sent.end(), f.begin(), f.end());
    }
    ASSERT_EQ(aStream_Write(t.stream, "!", 1), aErrNone);   // a single byte goes through put
    sent.push_back('!');
    ASSERT_TRUE(t.peer.waitForReceived(sent.size(), 2000));
    EXPECT_EQ(t.peer.received(), sent);
}

TEST(TcpStream, OrderlyCloseReadsAsSilence)
{
    TcpPeer t(config("127.0.0.24", TcpMode::OrderlyClose));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    char c;
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(aStream_Read(t.stream, &c, 1), aErrNotReady);
}

TEST(TcpStream, ResetAndRelistenDeliversTheWholeNextPacket)
{
    TcpPeer t(config("127.0.0.25", TcpMode::ResetAndRelisten));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    std::vector<u8> first = frame(1, 1), second = frame(2, 2);
    ASSERT_EQ(aStream_Write(t.stream, first.data(), first.size()), aErrNone);
    ASSERT_TRUE(t.peer.waitForReceived(first.size(), 2000));
    for (int i = 0; i < 200 && t.peer.resets() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(t.peer.resets(), 1);
    // Let the reset reach the host's socket: a write before that would go to the dead
    // connection, as it would with any TCP peer.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    ASSERT_EQ(aStream_Write(t.stream, second.data(), second.size()), aErrNone);
    ASSERT_TRUE(t.peer.waitForReceived(first.size() + second.size(), 2000));
    ASSERT_EQ(t.peer.connections(), 2);
    std::vector<u8> all = t.peer.received();
    EXPECT_EQ(std::vector<u8>(all.begin() + t.peer.connectionOffsets()[1], all.end()), second);
    // The new connection carries the host's reads as well.
    const u8 reply[] = {0x04, 0x00};
    ASSERT_TRUE(t.peer.send(reply, 2));
    EXPECT_EQ(t.readBytes(2), std::vector<u8>(reply, reply + 2));
}

TEST(TcpStream, ReaderReconnectsAfterAReset)
{
    TcpPeer t(config("127.0.0.26"));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    t.peer.resetConnection();
    // The reset reaches the host a moment later; until then and after the reconnect the
    // reads find nothing.
    char c;
    for (int i = 0; i < 400 && t.peer.connections() < 2; i++) {
        ASSERT_EQ(aStream_Read(t.stream, &c, 1), aErrNotReady);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(t.peer.waitForConnections(2, 2000));
    const u8 hello[] = {0x06, 0x01, 0x55};
    ASSERT_TRUE(t.peer.send(hello, 3));
    EXPECT_EQ(t.readBytes(3), std::vector<u8>(hello, hello + 3));
    std::vector<u8> f = frame(3, 3);
    ASSERT_EQ(aStream_Write(t.stream, f.data(), f.size()), aErrNone);
    ASSERT_TRUE(t.peer.waitForReceived(f.size(), 2000));
    EXPECT_EQ(t.peer.received(), f);
}

TEST(TcpStream, PeerThatNeverReadsTimesOutAndTheNextWriteStartsClean)
{
    TcpPeer t(config("127.0.0.27", TcpMode::NeverRead));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    // Far more than both socket buffers hold: some goes, then the attempts run out.
    std::vector<u8> big(8 << 20, 0x5A);
    auto start = Clock::now();
    EXPECT_EQ(aStream_Write(t.stream, big.data(), big.size()), aErrTimeout);
    long ms = msSince(start);
    EXPECT_GE(ms, 500);
    EXPECT_LT(ms, 3000);
    // The connection that took part of the buffer is gone; the next write makes a new one.
    std::vector<u8> f = frame(4, 4);
    EXPECT_EQ(aStream_Write(t.stream, f.data(), f.size()), aErrNone);
    EXPECT_TRUE(t.peer.waitForConnections(2, 2000));
}

// After a write gave up and ended its connection, the reader does not wait for the next write
// to make a new one: the link engine writes little while its reads fail.
TEST(TcpStream, ReaderReconnectsAfterAWriteGaveUp)
{
    TcpPeer t(config("127.0.0.30", TcpMode::NeverRead));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    std::vector<u8> big(8 << 20, 0x5A);
    ASSERT_EQ(aStream_Write(t.stream, big.data(), big.size()), aErrTimeout);
    char c;
    EXPECT_EQ(aStream_Read(t.stream, &c, 1), aErrNotReady);
    ASSERT_TRUE(t.peer.waitForConnections(2, 2000));
    const u8 hello[] = {0x06, 0x01, 0x55};
    ASSERT_TRUE(t.peer.send(hello, 3));
    EXPECT_EQ(t.readBytes(3), std::vector<u8>(hello, hello + 3));
}

TEST(TcpStream, ResetsDuringTrafficNeverSendATail)
{
    // Both pipe threads run while the peer keeps resetting: whoever notices reconnects, and
    // every connection's bytes must begin at a packet boundary.
    TcpPeer t(config("127.0.0.28"));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char c;
        while (!done)
            if (aStream_Read(t.stream, &c, 1) == aErrNotReady)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
    std::thread writer([&] {
        for (u16 seq = 0; !done; seq++) {
            std::vector<u8> f = frame(5, seq);
            aStream_Write(t.stream, f.data(), f.size());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 5; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        t.peer.resetConnection();
        const u8 ping[] = {0x04, 0x00};
        t.peer.send(ping, 2);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    done = true;
    reader.join();
    writer.join();

    EXPECT_GE(t.peer.connections(), 3);
    std::vector<u8> all = t.peer.received();
    std::vector<size_t> offsets = t.peer.connectionOffsets();
    offsets.push_back(all.size());
    for (size_t k = 0; k + 1 < offsets.size(); k++) {
        SCOPED_TRACE(testing::Message() << "connection " << k);
        for (size_t at = offsets[k]; at + 30 <= offsets[k + 1]; at += 30) {
            ASSERT_EQ(all[at], 0x04) << "offset " << at - offsets[k];
            ASSERT_EQ(all[at + 1], 28);
            ASSERT_EQ(all[at + 2], 5);
            for (size_t i = 5; i < 30; i++)
                ASSERT_EQ(all[at + i], all[at + 4]);
        }
    }
}

// The connection number tells a reader which connection a byte came from: bytes the stream
// took from a connection before it was replaced still carry its number, the first byte of
// the new one another.
TEST(TcpStream, ConnectionNumberChangesWithTheConnectionTheBytesCameFrom)
{
    TcpPeer t(config("127.0.0.31"));
    ASSERT_TRUE(t.peer.ok()) << t.peer.error();
    ASSERT_EQ(t.open(), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(1, 2000));
    const u8 old[] = {0x04, 0x05};
    ASSERT_TRUE(t.peer.send(old, 2));
    EXPECT_EQ(t.readBytes(1), std::vector<u8>{0x04});
    const u32 first = aStream_GetConnection(t.stream);

    // The writer meets the reset and connects again; the byte already taken is still the
    // old connection's.
    t.peer.resetConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<u8> f = frame(6, 6);
    ASSERT_EQ(aStream_Write(t.stream, f.data(), f.size()), aErrNone);
    ASSERT_TRUE(t.peer.waitForConnections(2, 2000));
    EXPECT_EQ(t.readBytes(1), std::vector<u8>{0x05});
    EXPECT_EQ(aStream_GetConnection(t.stream), first);

    const u8 fresh[] = {0x06};
    bool sent = false;
    for (int i = 0; i < 400 && !(sent = t.peer.send(fresh, 1)); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(sent);
    EXPECT_EQ(t.readBytes(1), std::vector<u8>{0x06});
    EXPECT_NE(aStream_GetConnection(t.stream), first);

    // A stream without the hook gives 0.
    aStream* plain = aStream_Create(NULL, NULL, NULL, NULL, NULL);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(aStream_GetConnection(plain), 0u);
    EXPECT_EQ(aStream_GetConnection(nullptr), 0u);
    aStream_Destroy(&plain);
}
