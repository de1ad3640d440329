// The link-sharing server on a running link whose far end is a scripted device, reached by
// raw ZeroMQ DEALER clients (exact frames) and found by the discovery searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <czmq.h>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ThreadCount.h"
#include "NetNamespace.h"
#include "ScriptedDevice.h"
#include "ServedLinkFixture.h"
#include "SocketPairLink.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aMulticast.h"
#include "aServer_ZeroMQ.h"
#include "aStream_ZeroMQClient.h"
#include "discover.h"
#include "test_sharing_tsan.h"
#include "zBeaconInterface.h"
#include "SkipOrFail.h"

namespace {

using Bytes = std::vector<u8>;

using FakeDevice = qctest::ScriptedDevice;

// A raw client of the server: one DEALER, exact frames both ways.
class Client {
public:
    explicit Client(u16 port, const char* host = "127.0.0.1")
    {
        socket_ = zsock_new(ZMQ_DEALER);
        if (socket_)
            zsock_connect(socket_, "tcp://%s:%d", host, (int)port);
    }
    ~Client() { zsock_destroy(&socket_); }

    bool send(const Bytes& frame)
    {
        zframe_t* f = zframe_new(frame.data(), frame.size());
        if (zframe_send(&f, socket_, 0) == 0)
            return true;
        zframe_destroy(&f);
        return false;
    }

    // The next frame within ms; empty (and *got false) when none came.
    Bytes receive(int ms, bool* got = nullptr)
    {
        zsock_set_rcvtimeo(socket_, ms);
        zframe_t* f = zframe_recv(socket_);
        if (got)
            *got = f != nullptr;
        if (!f)
            return {};
        Bytes bytes(zframe_data(f), zframe_data(f) + zframe_size(f));
        zframe_destroy(&f);
        return bytes;
    }

private:
    zsock_t* socket_ = nullptr;
};

// Entity packets of the tests: module address, then [command][option][specifier]...
const u8 kCommand = 0x10;
const u8 kOther = 0x11;

Bytes sGet(u8 address, u8 command, u8 option = 0x41)
{
    return {address, 3, command, option, 0x20};
}

Bytes sReply(u8 address, u8 command, u8 value, u8 option = 0x01)
{
    return {address, 4, command, option, 0x00, value};
}

// A byte-string write chunk of 28 data bytes (24 payload, trailer last).
Bytes sChunk(u8 address, u8 command, u8 sequence, bool more, u8 generation = 0)
{
    Bytes p = {address, 28, command, 0x8A, 0x20};
    for (int i = 0; i < 24; i++)
        p.push_back((u8)(sequence * 24 + i + generation));
    p.push_back((u8)((more ? 0x80 : 0) | sequence));
    return p;
}

// A device stream packet: an entity command with the stream bit in the specifier.
Bytes sStreamPacket(u8 value, u8 length = 5)
{
    Bytes p = {2, length, kCommand, 0x01, 0x40};
    for (u8 i = 3; i < length; i++)
        p.push_back((u8)(value + i));
    return p;
}

// Answers every entity GET with the value 0x55 from the module it was sent to.
void sEcho(FakeDevice& device, const Bytes& packet)
{
    if (packet.size() >= 5 && packet[1] == 3)
        device.send(sReply(packet[0], packet[2], 0x55));
}

struct ServerFixture : qctest::ServedLinkFixture {
    // Every server takes a loopback discovery slot: keep that inside a namespace of its own.
    void SetUp() override
    {
        qctest::NetNamespaceOptions options;
        options.loopbackAddresses.clear();
        std::string why;
        if (!qctest::enterPrivateNetwork(options, &why))
            QC_SKIP_OR_FAIL("no private network namespace: " << why);
        openLink();
    }

    void TearDown() override { EXPECT_EQ(closeServedLink(), aErrNone); }
};

} // namespace

TEST(SharingServer, UnknownLinkAndMissingArguments)
{
    EXPECT_EQ(aServer_Create(0, 0, true), nullptr);
    EXPECT_EQ(aServer_Create(0x7FFFFFF0, 0, true), nullptr);
    aServer* none = nullptr;
    EXPECT_EQ(aServer_Destroy(&none), aErrParam);
    EXPECT_EQ(aServer_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aServer_Start(nullptr), aErrParam);
    u16 port;
    u32 address;
    EXPECT_EQ(aServer_GetPort(nullptr, &port), aErrParam);
    EXPECT_EQ(aServer_GetInterface(nullptr, &address), aErrParam);
    EXPECT_EQ(aServer_SetModel(nullptr, 1), aErrParam);
    EXPECT_EQ(aServer_SetModuleAddress(nullptr, 2), aErrParam);
    EXPECT_EQ(aServer_FlushFIFO(nullptr), aErrParam);
}

TEST_F(ServerFixture, LocalServerServesLoopbackAndAnswersARequest)
{
    // A local server serves loopback, whatever interface it was given.
    startServer(htonl(0x0A010203));
    u32 served = 0;
    ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
    EXPECT_EQ(served, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(aServer_GetPort(server, nullptr), aErrParam);
    EXPECT_EQ(aServer_GetInterface(server, nullptr), aErrParam);

    device->setScript(sEcho);
    Client client(port);
    ASSERT_TRUE(client.send(sGet(2, kCommand)));
    EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
    EXPECT_EQ(device->modulePackets(), std::vector<Bytes>({sGet(2, kCommand)}));
    bool got = true;
    client.receive(300, &got);
    EXPECT_FALSE(got) << "one request, one reply frame";
}

TEST_F(ServerFixture, PacketQueuedBeforeTheStartIsNeverDelivered)
{
    // A stale reply of the very kind the first request will ask for.
    device->send(sReply(2, kCommand, 0x99));
    aLinkEntry* entry = sLookupEntryByID(link);
    ASSERT_NE(entry, nullptr);
    for (int i = 0; i < 200 && aPacketFifo_GetLength(entry->link->inFifo) == 0; i++)
        zclock_sleep(5);
    ASSERT_EQ(aPacketFifo_GetLength(entry->link->inFifo), 1u);
    startServer();
    device->setScript(sEcho);
    Client client(port);
    ASSERT_TRUE(client.send(sGet(2, kCommand)));
    EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
}

TEST_F(ServerFixture, UnsolicitedAndLatePacketsNeverShiftRepliesToAnotherClient)
{
    startServer();
    std::atomic<int> requests{0};
    device->setScript([&](FakeDevice& d, const Bytes& p) {
        int n = ++requests;
        if (n == 1) {
            // Noise first: another module, another command, then the real answer.
            d.send(sReply(4, kCommand, 0x44));
            d.send(sReply(2, kOther, 0x33));
            d.send(sReply(p[0], p[2], 0x01));
        } else if (n == 2) {
            // Too late for the server's wait: it arrives while the third request runs.
            std::thread([&d, p] {
                zclock_sleep(2300);
                d.send(sReply(p[0], p[2], 0x02));
            }).detach();
        } else {
            d.send(sReply(p[0], p[2], (u8)(0x10 + n)));
        }
    });
    Client a(port);
    Client b(port);
    ASSERT_TRUE(a.send(sGet(2, kCommand)));
    EXPECT_EQ(a.receive(2000), sReply(2, kCommand, 0x01));
    ASSERT_TRUE(b.send(sGet(2, kCommand)));
    bool got = true;
    b.receive(2600, &got);
    EXPECT_FALSE(got) << "a reply later than the server's wait is not passed on";
    ASSERT_TRUE(a.send(sGet(2, kCommand)));
    EXPECT_EQ(a.receive(2000), sReply(2, kCommand, 0x13));
    ASSERT_TRUE(b.send(sGet(2, kCommand)));
    EXPECT_EQ(b.receive(2000), sReply(2, kCommand, 0x14));
    a.receive(200, &got);
    EXPECT_FALSE(got);
    b.receive(200, &got);
    EXPECT_FALSE(got);
}

TEST_F(ServerFixture, TwoClientsInTurnGetOnlyTheirOwnReplies)
{
    startServer();
    // The device answers each request with the tag it carried, so a reply shows whose it is
    // whichever request the server took first.
    device->setScript([](FakeDevice& d, const Bytes& p) {
        if (p.size() >= 6)
            d.send(sReply(p[0], p[2], p[5]));
    });
    auto tagged = [](u8 tag) {
        Bytes p = sGet(2, kCommand);
        p[1] = 4;
        p.push_back(tag);
        return p;
    };
    Client a(port);
    Client b(port);
    // Both send before either reads.
    for (int round = 0; round < 5; round++) {
        const u8 tagA = (u8)(2 * round + 1), tagB = (u8)(2 * round + 2);
        ASSERT_TRUE(a.send(tagged(tagA)));
        ASSERT_TRUE(b.send(tagged(tagB)));
        EXPECT_EQ(a.receive(2000), sReply(2, kCommand, tagA)) << "round " << round;
        EXPECT_EQ(b.receive(2000), sReply(2, kCommand, tagB)) << "round " << round;
    }
    bool got = true;
    a.receive(200, &got);
    EXPECT_FALSE(got) << "no reply is left over for a";
    b.receive(200, &got);
    EXPECT_FALSE(got) << "no reply is left over for b";
}

TEST_F(ServerFixture, ByteStringReadRepliesArriveTogetherInOrder)
{
    startServer();
    device->setScript([](FakeDevice& d, const Bytes& p) {
        for (u8 s = 0; s < 3; s++)
            d.send(sChunk(p[0], p[2], s, true));
        d.send({p[0], 5, p[2], 0x0A, 0x20, 0x77, 0x03});
    });
    Client client(port);
    ASSERT_TRUE(client.send(sGet(2, kCommand, 0x4A)));
    for (u8 s = 0; s < 3; s++)
        EXPECT_EQ(client.receive(3000), sChunk(2, kCommand, s, true)) << "chunk " << (int)s;
    EXPECT_EQ(client.receive(3000), Bytes({2, 5, kCommand, 0x0A, 0x20, 0x77, 0x03}));
}

TEST_F(ServerFixture, ClientForceRouteIsBlocked)
{
    startServer();
    device->setScript(sEcho);
    size_t before = device->countAddress(cmdFORCEROUTE);
    Client client(port);
    ASSERT_TRUE(client.send({cmdFORCEROUTE, 1, 1}));
    // A request behind it shows the blocked packet did not take a reply slot either.
    ASSERT_TRUE(client.send(sGet(2, kCommand)));
    EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
    EXPECT_EQ(device->countAddress(cmdFORCEROUTE), before);
}

TEST_F(ServerFixture, NonPacketFramesAreDroppedWithoutASlot)
{
    startServer();
    device->setScript(sEcho);
    Client client(port);
    const Bytes junk[] = {{}, {2}, {2, 5, 1, 2}, Bytes(31, 2)};
    for (const Bytes& frame : junk)
        ASSERT_TRUE(client.send(frame));
    ASSERT_TRUE(client.send(sGet(2, kCommand)));
    EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
    EXPECT_EQ(device->modulePackets().size(), 1u);
}

TEST_F(ServerFixture, OneByteRepliesReachTheirClient)
{
    startServer();
    // A reply of three bytes on the wire is shaped like a server command.
    device->setScript([](FakeDevice& d, const Bytes& p) { d.send({p[0], 1, p[2]}); });
    Client client(port);
    const Bytes request = {2, 2, kCommand, 0x07}; // a raw command, no entity layout
    ASSERT_TRUE(client.send(request));
    EXPECT_EQ(client.receive(2000), Bytes({2, 1, kCommand}));
}

TEST_F(ServerFixture, PooledWritesGoOutWholeAndAreAnsweredOnce)
{
    startServer();
    device->setScript([](FakeDevice& d, const Bytes& p) {
        // Only the last chunk of a write is answered; entity GETs are echoed.
        if (p[1] == 3)
            d.send(sReply(p[0], p[2], 0x55));
        else if (p.size() >= 3 && (p.back() & 0x80) == 0)
            d.send({p[0], 4, p[2], 0xCA, 0x00, p.back()});
    });
    Client client(port);
    // Two writes interleaved on one client link, to the modules at 2 and 4.
    for (u8 s = 0; s < 4; s++) {
        ASSERT_TRUE(client.send(sChunk(2, kCommand, s, true)));
        ASSERT_TRUE(client.send(sChunk(4, kCommand, s, true)));
    }
    // Other packets pass while writes are pooled.
    ASSERT_TRUE(client.send(sGet(2, kOther)));
    EXPECT_EQ(client.receive(2000), sReply(2, kOther, 0x55));
    EXPECT_EQ(device->modulePackets().size(), 1u) << "no chunk before its write is complete";

    ASSERT_TRUE(client.send(sChunk(2, kCommand, 4, false)));
    EXPECT_EQ(client.receive(2000), Bytes({2, 4, kCommand, 0xCA, 0x00, 4}));
    ASSERT_TRUE(client.send(sChunk(4, kCommand, 4, false)));
    EXPECT_EQ(client.receive(2000), Bytes({4, 4, kCommand, 0xCA, 0x00, 4}));
    bool got = true;
    client.receive(300, &got);
    EXPECT_FALSE(got) << "a write is answered once";

    std::vector<Bytes> expected = {sGet(2, kOther)};
    for (u8 address : {2, 4})
        for (u8 s = 0; s < 5; s++)
            expected.push_back(sChunk(address, kCommand, s, s < 4));
    EXPECT_EQ(device->modulePackets(), expected);
}

TEST_F(ServerFixture, OutOfSequenceChunkSpoilsTheWriteUntilANewStart)
{
    startServer();
    device->setScript([](FakeDevice& d, const Bytes& p) {
        if ((p.back() & 0x80) == 0)
            d.send({p[0], 4, p[2], 0xCA, 0x00, p.back()});
    });
    Client client(port);
    for (u8 s : {0, 1, 3, 3, 4})
        ASSERT_TRUE(client.send(sChunk(2, kCommand, s, true)));
    ASSERT_TRUE(client.send(sChunk(2, kCommand, 5, false)));
    bool got = true;
    client.receive(500, &got);
    EXPECT_FALSE(got);
    EXPECT_TRUE(device->modulePackets().empty()) << "nothing of a spoilt write goes out";

    // The client starts the write again with new data: the new first chunk replaces the
    // spoilt pool, so none of the old chunks goes out with it.
    for (u8 s = 0; s < 4; s++)
        ASSERT_TRUE(client.send(sChunk(2, kCommand, s, true, 100)));
    ASSERT_TRUE(client.send(sChunk(2, kCommand, 4, false, 100)));
    EXPECT_EQ(client.receive(2000), Bytes({2, 4, kCommand, 0xCA, 0x00, 4}));
    std::vector<Bytes> expected;
    for (u8 s = 0; s < 5; s++)
        expected.push_back(sChunk(2, kCommand, s, s < 4, 100));
    EXPECT_EQ(device->modulePackets(), expected);
}

// Writes whose last chunk never comes are held until the server goes: none of their chunks
// reaches the device, and the destroy frees what they hold (the leak check sees the rest).
TEST_F(ServerFixture, UnfinishedWritesNeverGoOutAndGoWithTheServer)
{
    startServer();
    device->setScript(sEcho);
    Client client(port);
    for (u8 s = 0; s < 3; s++) {
        ASSERT_TRUE(client.send(sChunk(2, kCommand, s, true)));
        ASSERT_TRUE(client.send(sChunk(4, kCommand, s, true)));
    }
    // The broker takes a client's packets in order: once the GET is answered, every chunk
    // before it sits in a pool.
    ASSERT_TRUE(client.send(sGet(2, kOther)));
    EXPECT_EQ(client.receive(2000), sReply(2, kOther, 0x55));
    EXPECT_EQ(device->modulePackets(), std::vector<Bytes>({sGet(2, kOther)}));
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
}

// Only a write's own chunks join its pool: other requests for the value being written pass at
// once, and a write that lost a chunk is dropped whole while the value's other traffic goes on.
TEST_F(ServerFixture, WritePoolTakesOnlyTheChunksOfItsWrite)
{
    startServer();
    device->setScript([](FakeDevice& d, const Bytes& p) {
        if (p[1] == 3)
            d.send(sReply(p[0], p[2], 0x55, (u8)(p[3] & 0x3F)));
        else if ((p.back() & 0x80) == 0)
            d.send({p[0], 4, p[2], 0xCA, 0x00, p.back()});
    });
    const Bytes get = sGet(2, kCommand, 0x4A);
    const Bytes value = sReply(2, kCommand, 0x55, 0x0A);
    const Bytes set = {2, 7, kCommand, 0x8A, 0x20, 0, 0, 0, 5}; // a 32-bit SET of the value
    auto chunk = [](u8 sequence, bool more, u8 generation = 0) {
        return sChunk(2, kCommand, sequence, more, generation);
    };
    auto written = [](u8 last) { return Bytes({2, 4, kCommand, 0xCA, 0x00, last}); };
    struct Row {
        const char* what;
        std::vector<Bytes> sent;
        std::vector<Bytes> atDevice;
        std::vector<Bytes> replies;
    };
    const Row rows[] = {
        {"a GET of the value during its write",
         {chunk(0, true), chunk(1, true), get, chunk(2, false)},
         {get, chunk(0, true), chunk(1, true), chunk(2, false)},
         {value, written(2)}},
        {"a SET of the value during its write",
         {chunk(0, true), set, chunk(1, false)},
         {set, chunk(0, true), chunk(1, false)},
         {written(5), written(1)}},
        {"GETs after a lost chunk",
         {chunk(0, true), chunk(2, true), get, chunk(3, true), chunk(4, false), get},
         {get, get},
         {value, value}},
        {"a lost chunk before the last one, then the write again",
         {chunk(0, true), chunk(1, true), chunk(3, false), get, chunk(0, true, 9),
          chunk(1, false, 9)},
         {get, chunk(0, true, 9), chunk(1, false, 9)},
         {value, written(1)}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Client client(port); // a client of its own: no pool of an earlier row
        size_t before = device->modulePackets().size();
        for (const Bytes& packet : row.sent)
            ASSERT_TRUE(client.send(packet));
        for (const Bytes& reply : row.replies)
            EXPECT_EQ(client.receive(2000), reply);
        bool got = true;
        client.receive(300, &got);
        EXPECT_FALSE(got) << "no further reply";
        std::vector<Bytes> all = device->modulePackets();
        EXPECT_EQ(std::vector<Bytes>(all.begin() + (long)std::min(before, all.size()), all.end()),
                  row.atDevice);
    }
}

// After a resync whose surplus sync replies never come, a client's address query through the
// server is answered: the server's put cancels the surplus drop as a local put does.
TEST_F(ServerFixture, AddressQueryAfterResyncIsAnswered)
{
    startServer();
    Client client(port);
    size_t queries = device->countAddress(cmdMAGIC);
    device->send({3}); // odd address: the link resyncs
    ASSERT_TRUE(device->waitAddress(cmdMAGIC, queries + 6, 2000));
    device->send({2, 0, 2, 0}); // the handshake; the rest of the burst is never answered
    for (int i = 0; i < 200 && aLink_GetStatus(link) != kLinkStatusRunning; i++)
        zclock_sleep(5);
    ASSERT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    ASSERT_TRUE(client.send({cmdMAGIC, 0}));
    ASSERT_TRUE(device->waitAddress(cmdMAGIC, queries + 7, 2000));
    device->send({2, 0});
    EXPECT_EQ(client.receive(2000), Bytes({2, 0}));
}

// Acknowledges stream enables, echoes GETs.
void sStreamDevice(FakeDevice& d, const Bytes& p)
{
    if (p.size() > 2 && p[2] == 93)
        d.send({p[0], 4, 93, 0xC1, 0x00, 0});
    else
        sEcho(d, p);
}

TEST_F(ServerFixture, StreamBatchesGoToStreamClientsOnly)
{
    startServer();
    device->setScript(sStreamDevice);
    Client streamer(port);
    Client quiet(port);
    const Bytes enable = {2, 7, 93, 0x81, 0x20, 0, 0, 0, 1};
    const Bytes ack = {2, 4, 93, 0xC1, 0x00, 0};
    // Enabled twice, listed once: one copy of each batch.
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(streamer.send(enable));
        ASSERT_EQ(streamer.receive(2000), ack);
    }
    ASSERT_TRUE(quiet.send(sGet(2, kCommand)));
    ASSERT_EQ(quiet.receive(2000), sReply(2, kCommand, 0x55));

    Bytes batch;
    for (u8 v : {1, 2, 3}) {
        Bytes p = sStreamPacket(v, (u8)(4 + v));
        device->send(p);
        batch.insert(batch.end(), p.begin(), p.end());
    }
    device->send({2, 2, 0, 0}); // heartbeat-shaped: sends the batch
    EXPECT_EQ(streamer.receive(2000), batch);
    bool got = true;
    streamer.receive(300, &got);
    EXPECT_FALSE(got) << "one copy per stream client";
    quiet.receive(100, &got);
    EXPECT_FALSE(got) << "streaming is for clients that enabled it";

    // Stream packets never reach the in FIFO, so they are never taken for a reply.
    aLinkEntry* entry = sLookupEntryByID(link);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(entry->link->inFifo), 0u);
}

TEST_F(ServerFixture, FullBatchIsSentWithoutAHeartbeat)
{
    startServer();
    device->setScript(sStreamDevice);
    Client streamer(port);
    ASSERT_TRUE(streamer.send({2, 7, 93, 0x81, 0x20, 0, 0, 0, 1}));
    ASSERT_EQ(streamer.receive(2000).size(), 6u);
    Bytes all;
    for (int i = 0; i < 140; i++) {
        Bytes p = sStreamPacket((u8)i, 28);
        all.insert(all.end(), p.begin(), p.end());
    }
    device->send(all);
    Bytes first = streamer.receive(2000);
    ASSERT_EQ(first.size(), 136u * 30) << "sent once it passes 4065 bytes";
    EXPECT_TRUE(std::equal(first.begin(), first.end(), all.begin()));
    bool got = true;
    streamer.receive(300, &got);
    EXPECT_FALSE(got) << "the rest waits for a heartbeat or a full batch";
    device->send({2, 2, 0, 0});
    Bytes rest = streamer.receive(2000);
    EXPECT_EQ(rest, Bytes(all.begin() + 136 * 30, all.end()));
}

TEST_F(ServerFixture, FlushDropsOwedRepliesAndLaterRequestsPairCorrectly)
{
    startServer();
    std::atomic<int> n{0};
    device->setScript([&](FakeDevice& d, const Bytes& p) {
        if (++n == 1) {
            std::thread([&d, p] {
                zclock_sleep(600);
                d.send(sReply(p[0], p[2], 0x01));
            }).detach();
        } else {
            d.send(sReply(p[0], p[2], (u8)n.load()));
        }
    });
    Client a(port);
    Client b(port);
    ASSERT_TRUE(a.send(sGet(2, kCommand)));
    ASSERT_TRUE(device->waitModulePackets(1, 2000));
    ASSERT_EQ(aServer_FlushFIFO(server), aErrNone);
    zclock_sleep(50);
    // Queued behind the flushed request: it must get its own reply, not the flushed one.
    ASSERT_TRUE(b.send(sGet(2, kCommand)));
    EXPECT_EQ(b.receive(3000), sReply(2, kCommand, 2));
    bool got = true;
    a.receive(300, &got);
    EXPECT_FALSE(got) << "the flushed request is answered to nobody";
    b.receive(100, &got);
    EXPECT_FALSE(got);
    ASSERT_TRUE(a.send(sGet(2, kCommand)));
    EXPECT_EQ(a.receive(2000), sReply(2, kCommand, 3));
}

using qctest::threadCount;

TEST_F(ServerFixture, DestroyEndsEveryServerThread)
{
    // A first server starts ZeroMQ's own threads, which stay.
    startServer();
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    zclock_sleep(100);
    int before = threadCount();
    startServer();
    EXPECT_GE(threadCount(), before + 3) << "broker, request thread, discovery responder";
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    int after = threadCount();
    for (int i = 0; i < 200 && after != before; i++) {
        zclock_sleep(10);
        after = threadCount();
    }
    EXPECT_EQ(after, before);
}

// Discovery of running servers, inside a private network namespace.
struct NetServerFixture : ServerFixture {
    qctest::NetNamespaceOptions options;
    void SetUp() override
    {
        options.loopbackAddresses.clear();
        options.veths = {{"qcs0", "10.77.0.1/24"}};
        std::string why;
        if (!qctest::enterPrivateNetwork(options, &why))
            QC_SKIP_OR_FAIL("no private network namespace: " << why);
        openLink();
    }
};

struct Found {
    std::vector<linkSpec> specs;
};

bool cbFound(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    static_cast<Found*>(ref)->specs.push_back(*linkSpecifier);
    *found = true;
    return true;
}

u32 sIp(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

TEST_F(NetServerFixture, LoopbackServerAnswersOnceIdentified)
{
    sLookupEntryByID(link)->identifier = 0x0BADF00D;
    startServer();
    Found before;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &before, 0), 0)
        << "no answer while the model is not known";
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
    ASSERT_EQ(aServer_SetModuleAddress(server, 2), aErrNone);
    // Answered at once every time: a client waits only 1 s for the reply.
    for (int i = 0; i < 3; i++) {
        Found found;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &found, 0), 1) << "search " << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
        ASSERT_EQ(found.specs.size(), 1u);
        linkSpec expected{};
        expected.type = AETHER;
        expected.serialNumber = 0x0BADF00D;
        expected.model = 0x13;
        expected.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        expected.t.ip.ipPort = port;
        EXPECT_EQ(memcmp(&found.specs[0], &expected, sizeof(expected)), 0);
    }
}

TEST_F(NetServerFixture, BeaconServerServesItsInterfaceAndPublishesWhenAsked)
{
    sLookupEntryByID(link)->identifier = 0x00C0FFEE;
    startServer(0, false);
    u32 served = 0;
    ASSERT_EQ(aServer_GetInterface(server, &served), aErrNone);
    EXPECT_EQ(served, sIp("10.77.0.1")) << "the first interface takes the place of 127.0.0.1";
    Found before;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &before, served), 0);
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &found, served), 1);
    ASSERT_EQ(found.specs.size(), 1u);
    EXPECT_EQ(found.specs[0].type, (u32)AETHER);
    EXPECT_EQ(found.specs[0].serialNumber, 0x00C0FFEEu);
    EXPECT_EQ(found.specs[0].model, 0x13u);
    EXPECT_EQ(found.specs[0].t.ip.ipAddress, served);
    EXPECT_EQ(found.specs[0].t.ip.ipPort, port);
}

unsigned char sAny(const aPacket*, const void*)
{
    return 1;
}

Bytes sBytes(const aPacket* p)
{
    Bytes b(2 + (size_t)p->length);
    b[0] = p->address;
    b[1] = p->length;
    for (u8 i = 0; i < p->length; i++)
        b[2 + i] = p->data[i];
    return b;
}

TEST_F(ServerFixture, EngineLinkOnTheClientStreamTalksThroughTheServer)
{
    startServer();
    device->setScript(sStreamDevice);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), port, &stream), aErrNone);
    aLinkId client = aLink_Create(stream);
    ASSERT_NE(client, 0u);
    for (int i = 0; i < 200 && aLink_GetStatus(client) != kLinkStatusRunning; i++)
        zclock_sleep(10);
    ASSERT_EQ(aLink_GetStatus(client), kLinkStatusRunning);

    struct Case {
        Bytes request;
        Bytes reply;
    };
    const Case cases[] = {
        {sGet(2, kCommand), sReply(2, kCommand, 0x55)},
        {sGet(4, kOther), sReply(4, kOther, 0x55)},
        {{2, 7, 93, 0x81, 0x20, 0, 0, 0, 1}, {2, 4, 93, 0xC1, 0x00, 0}},
    };
    for (const Case& c : cases) {
        aPacket* request = aPacket_CreateWithData(c.request[0], c.request[1], c.request.data() + 2);
        ASSERT_EQ(aLink_PutPacket(client, request), aErrNone);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(client, sAny, nullptr, 2000);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(sBytes(reply), c.reply);
        aPacket_Destroy(&reply);
    }

    // A batch of stream packets comes out of the client link as the packets it held.
    std::vector<Bytes> sent;
    for (u8 v : {1, 2, 3}) {
        sent.push_back(sStreamPacket(v, (u8)(5 + v)));
        device->send(sent.back());
    }
    device->send({2, 2, 0, 0});
    for (const Bytes& want : sent) {
        aPacket* p = aLink_AwaitFirst(client, sAny, nullptr, 2000);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(sBytes(p), want);
        aPacket_Destroy(&p);
    }
    // The client link's own route-on never reached the device.
    EXPECT_EQ(device->countAddress(cmdFORCEROUTE), 1u) << "only the served link's";
    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
}

TEST_F(NetServerFixture, TwoLoopbackServersHoldSlotsInOrder)
{
    sLookupEntryByID(link)->identifier = 0x100;
    startServer();
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);

    // A second link with a server of its own.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    FakeDevice second(fds[1]);
    aStream* stream = qctest::socketPairStream(fds[0]);
    ASSERT_NE(stream, nullptr);
    aLinkId link2 = aLink_Create(stream);
    ASSERT_NE(link2, 0u);
    sLookupEntryByID(link2)->identifier = 0x200;
    aServer* server2 = aServer_Create(link2, 0, true);
    ASSERT_NE(server2, nullptr);
    ASSERT_EQ(aServer_Start(server2), aErrNone);
    ASSERT_EQ(aServer_SetModel(server2, 0x14), aErrNone);
    u16 port2 = 0;
    aServer_GetPort(server2, &port2);

    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &found, 0), 2);
    ASSERT_EQ(found.specs.size(), 2u);
    EXPECT_EQ(found.specs[0].serialNumber, 0x100u);
    EXPECT_EQ(found.specs[0].t.ip.ipPort, port);
    EXPECT_EQ(found.specs[1].serialNumber, 0x200u);
    EXPECT_EQ(found.specs[1].model, 0x14u);
    EXPECT_EQ(found.specs[1].t.ip.ipPort, port2);

    // Once the first server stops, its slot is free and the second is found alone.
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    Found after;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &after, 0), 1);
    ASSERT_EQ(after.specs.size(), 1u);
    EXPECT_EQ(after.specs[0].serialNumber, 0x200u);
    EXPECT_EQ(aServer_Destroy(&server2), aErrNone);
    aLink_Destroy(&link2);
}

// Collects the 128-byte beacons heard on the interface for ms, sending none itself.
int sSpecBeaconsHeard(const char* networkInterface, int ms)
{
    if (!zBeaconInterface_setAndLock(networkInterface))
        return -1;
    zactor_t* listener = zactor_new(zbeacon, NULL);
    zsock_send(listener, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
    char* host = zstr_recv(listener);
    zBeaconInterface_unlock();
    zstr_free(&host);
    zsock_send(listener, "sb", "SUBSCRIBE", "", (size_t)0);
    zsock_set_rcvtimeo(listener, 50);
    int heard = 0;
    for (int64_t end = zclock_mono() + ms; zclock_mono() < end;) {
        char* sender = zstr_recv(listener);
        if (!sender)
            continue;
        zstr_free(&sender);
        zframe_t* frame = zframe_recv(listener);
        heard += frame && zframe_size(frame) == sizeof(linkSpec);
        zframe_destroy(&frame);
    }
    zactor_destroy(&listener);
    return heard;
}

TEST_F(NetServerFixture, BeaconServerFallsSilentAfterPublishing)
{
    startServer(sIp("10.77.0.1"), false);
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
    EXPECT_EQ(sSpecBeaconsHeard("10.77.0.1", 300), 0) << "silent until a client asks";
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &found, sIp("10.77.0.1")), 1);
    // The search ran about 2.2 s; publishing ends 2 to 3 s after it began.
    zclock_sleep(1500);
    EXPECT_EQ(sSpecBeaconsHeard("10.77.0.1", 400), 0) << "silent again after publishing";
    Found again;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFound, &again, sIp("10.77.0.1")), 1)
        << "publishes again at the next client beacon";
}

TEST_F(NetServerFixture, FrontendListensOnlyWhereItServes)
{
    device->setScript(sEcho);
    struct Case {
        bool localOnly;
        const char* answers;
        const char* silent;
    };
    const Case cases[] = {{true, "127.0.0.1", "10.77.0.1"}, {false, "10.77.0.1", "127.0.0.1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.localOnly ? "local only" : "served interface");
        startServer(sIp("10.77.0.1"), c.localOnly);
        Client silent(port, c.silent);
        ASSERT_TRUE(silent.send(sGet(2, kCommand)));
        bool got = true;
        silent.receive(500, &got);
        EXPECT_FALSE(got);
        Client client(port, c.answers);
        ASSERT_TRUE(client.send(sGet(2, kCommand)));
        EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
        ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    }
}

TEST_F(NetServerFixture, FailedStartIsUndoneByDestroy)
{
    // A first server starts ZeroMQ's own threads, which stay.
    startServer();
    ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    zclock_sleep(100);
    int before = threadCount();
    // No interface has this address, so the beacon cannot be set up.
    server = aServer_Create(link, sIp("10.99.0.1"), false);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(aServer_Start(server), aErrResource);
    EXPECT_EQ(aServer_Destroy(&server), aErrNone);
    EXPECT_EQ(server, nullptr);
    int after = threadCount();
    for (int i = 0; i < 200 && after != before; i++) {
        zclock_sleep(10);
        after = threadCount();
    }
    EXPECT_EQ(after, before);
    // The link is left as it was: a new server on it works.
    device->setScript(sEcho);
    startServer();
    Client client(port);
    ASSERT_TRUE(client.send(sGet(2, kCommand)));
    EXPECT_EQ(client.receive(2000), sReply(2, kCommand, 0x55));
}

// Two interfaces: a beacon server on the first while beacon users on the second come and go.
struct TwoInterfaceServerFixture : ServerFixture {
    void SetUp() override
    {
        qctest::NetNamespaceOptions options;
        options.loopbackAddresses.clear();
        options.veths = {{"qcs0", "10.77.0.1/24"}, {"qcs1", "10.78.0.1/24"}};
        std::string why;
        if (!qctest::enterPrivateNetwork(options, &why))
            QC_SKIP_OR_FAIL("no private network namespace: " << why);
        openLink();
    }
};

bool cbFirst(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    static_cast<Found*>(ref)->specs.push_back(*linkSpecifier);
    *found = true;
    return false;
}

// The beacon actor reads the process-wide interface while it is configured, so the server
// holds the guard until the configuration is answered: another thread that sets the guard
// meanwhile (a search on another interface) must not move the server's beacon there.
TEST_F(TwoInterfaceServerFixture, BeaconStaysOnItsInterfaceWhileOthersSetTheGuard)
{
    for (int round = 0; round < 4; round++) {
        SCOPED_TRACE(round);
        std::atomic<bool> stop{false};
        std::thread mover([&stop] {
            while (!stop.load())
                if (zBeaconInterface_setAndLock("10.78.0.1"))
                    zBeaconInterface_unlock();
        });
        startServer(sIp("10.77.0.1"), false);
        stop = true;
        mover.join();
        ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
        Found found;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbFirst, &found, sIp("10.77.0.1")), 1);
        ASSERT_EQ(found.specs.size(), 1u);
        EXPECT_EQ(found.specs[0].t.ip.ipAddress, sIp("10.77.0.1"))
            << "the beacon advertises the interface the frontend serves";
        EXPECT_EQ(found.specs[0].t.ip.ipPort, port);
        ASSERT_EQ(aServer_Destroy(&server), aErrNone);
    }
}
