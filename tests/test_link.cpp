// The link engine against the emulator on a socket pair: life cycle on the wire, requests and
// replies, heartbeats, the user filter, resync after a framing error, late replies, the stop
// flush and the idle cost of a waiting in-pipe thread.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"
#include "test_link_support.h"

using namespace linktest;
using module_emu::HostPacket;
using module_emu::Packet;
using module_emu::ReplyFate;

namespace {

struct Match {
    u8 address;
    u8 command;
};

unsigned char matchCommand(const aPacket* p, const void* ref)
{
    const Match* m = (const Match*)ref;
    return p->address == m->address && p->length > 0 && p->data[0] == m->command;
}

unsigned char anyPacket(const aPacket*, const void*)
{
    return 1;
}

aErr put(aLinkId id, u8 address, std::vector<u8> data)
{
    static const u8 none = 0; // an empty vector may have no data pointer
    aPacket* p = aPacket_CreateWithData(address, (u8)data.size(), data.empty() ? &none : data.data());
    aErr err = aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    return err;
}

std::vector<u8> wireOf(const HostPacket& h)
{
    return h.packet.wire();
}

bool hasPacket(const std::vector<HostPacket>& all, std::vector<u8> wire)
{
    for (const HostPacket& h : all)
        if (wireOf(h) == wire)
            return true;
    return false;
}

} // namespace

TEST(LinkLifeCycle, RouteOnAtStartRouteOffAtRelease)
{
    EmulatedLink link;
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return all.size() >= 1; }, 2000));
    EXPECT_EQ(link.core.routeRecords(), (std::vector<u8>{1}));
    EXPECT_EQ(aLink_Start(link.id), aErrNone); // already running: no second route-on
    aLinkId id = link.id;
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&link.id), aErrNone);
    EXPECT_LT(msSince(t), 800); // a stop does not wait out the pipe threads' idle waits
    EXPECT_EQ(link.id, 0u);
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return all.size() >= 2; }, 2000));
    EXPECT_EQ(link.core.routeRecords(), (std::vector<u8>{1, 0}));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
    EXPECT_EQ(aLink_Destroy(&id), aErrParam);
    EXPECT_EQ(id, 0u);
}

TEST(LinkUnknownIds, EachOperationReportsItsOwnWay)
{
    aLinkId none = 0;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(aLink_Destroy(NULL), aErrParam);
    EXPECT_EQ(aLink_Start(0xFFFF), aErrParam);
    EXPECT_EQ(aLink_Sync(0xFFFF), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(0xFFFF, 1), aErrNotFound);
    EXPECT_EQ(aLink_GetStatus(0xFFFF), kLinkStatusNoStream);
    EXPECT_EQ(aLink_InstallUserPacketFilter(0xFFFF, NULL, NULL), aErrParam);
    EXPECT_EQ(aLink_DrainPackets(0xFFFF, anyPacket, NULL), 0u);
    EXPECT_EQ(put(0xFFFF, 2, {1}), aErrParam);
    EXPECT_EQ(aLink_AwaitFirst(0xFFFF, anyPacket, NULL, 10), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(0xFFFF, 10), nullptr);
    EXPECT_EQ(aLink_Create(NULL), 0u);
    // Shared links: no USB device has serial number 1, and an existing id must be registered.
    u16 port = 0;
    u32 iface = 0;
    EXPECT_EQ(aLink_CreateServer(1, &port, &iface, true), 0u);
    EXPECT_EQ(aLink_CreateClient(0x7F000001, 9000, 0xFFFF), 0u);
}

// A record released before it was set up (never initialised, or without a stream) is torn
// down without touching what it does not have.
TEST(LinkRelease, PartlyMadeRecordsAreTornDownSafely)
{
    aLinkId bare = sCreate(0xCAFE0001, 0, aLINKTYPE_STREAM);
    ASSERT_NE(bare, 0u);
    EXPECT_EQ(aLink_Destroy(&bare), aErrNone);
    EXPECT_EQ(sLookupEntryByID(bare), nullptr);

    aLinkId noStream = sCreate(0xCAFE0002, 0, aLINKTYPE_STREAM);
    ASSERT_EQ(aLink_Init(noStream, NULL), noStream);
    EXPECT_EQ(aLink_GetStatus(noStream), kLinkStatusNoStream);
    EXPECT_NE(aLink_Start(noStream), aErrNone);
    aLinkId copy = noStream;
    EXPECT_EQ(aLink_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLink_GetStatus(noStream), kLinkStatusNoStream);
    EXPECT_EQ(sLookupEntryByID(noStream), nullptr);
}

TEST(LinkExchange, RequestAndReply)
{
    EmulatedLink link;
    ASSERT_NE(link.id, 0u);
    link.core.setHandler(2, echo);
    ASSERT_EQ(put(link.id, 2, {0x11, 0x22, 0x33}), aErrNone);
    Match m{2, 0x11};
    aPacket* reply = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->length, 3);
    EXPECT_EQ(reply->data[2], 0x33);
    aPacket_Destroy(&reply);
    // The write is one frame: address, length and data in one write.
    auto all = link.core.hostPackets();
    EXPECT_TRUE(hasPacket(all, {2, 3, 0x11, 0x22, 0x33}));
    // A time-out of 0 offers nothing and returns at once.
    ASSERT_EQ(put(link.id, 2, {0x44}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return link.core.hostPacketCount() >= all.size() + 1; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m.command = 0x44;
    EXPECT_EQ(aLink_AwaitFirst(link.id, matchCommand, &m, 0), nullptr);
    reply = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    EXPECT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
}

TEST(LinkExchange, ManyRequestsInFlightKeepTheirOrder)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    for (int i = 0; i < 200; i++)
        ASSERT_EQ(put(link.id, 2, {0x30, (u8)i}), aErrNone);
    for (int i = 0; i < 200; i++) {
        aPacket* reply = aLink_AwaitPacket(link.id, 1000);
        ASSERT_NE(reply, nullptr) << i;
        EXPECT_EQ(reply->data[1], (u8)i);
        aPacket_Destroy(&reply);
    }
}

// The device's heartbeats are answered on the same address with s + 2 and never delivered.
TEST(LinkHeartbeat, AnswerTable)
{
    EmulatedLink link;
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    const u8 beats[] = {0, 1, 7, 254, 255};
    for (u8 s : beats)
        ASSERT_TRUE(link.core.sendHeartbeat(s));
    ASSERT_TRUE(waitUntil([&] { return link.core.heartbeatAnswersOk() == 5; }, 2000))
        << link.core.heartbeatAnswersOk() << " wrong " << link.core.heartbeatAnswersWrong();
    EXPECT_EQ(link.core.heartbeatAnswersWrong(), 0);
    auto all = link.core.hostPackets();
    const std::vector<std::vector<u8>> answers = {
        {2, 2, 0, 2}, {2, 2, 0, 3}, {2, 2, 0, 9}, {2, 2, 0, 0}, {2, 2, 0, 1}};
    for (auto& a : answers)
        EXPECT_TRUE(hasPacket(all, a)) << (int)a[3];
    EXPECT_EQ(aLink_AwaitPacket(link.id, 50), nullptr);
    // A packet of length 2 whose command byte is not 0 is ordinary data.
    ASSERT_TRUE(link.core.sendRaw({2, 2, 5, 0}));
    aPacket* p = aLink_AwaitPacket(link.id, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 5);
    aPacket_Destroy(&p);
}

namespace {

struct FilterProbe {
    std::atomic<int> seen{0};
    unsigned char result = 0;
};

unsigned char userFilter(const aPacket*, void* ref)
{
    FilterProbe* probe = (FilterProbe*)ref;
    probe->seen++;
    return probe->result;
}

} // namespace

TEST(LinkUserFilter, OnlyExactlyOneConsumes)
{
    struct Row { unsigned char result; bool delivered; };
    const Row rows[] = {{0, true}, {1, false}, {2, true}, {255, true}};
    EmulatedLink link;
    link.core.setHandler(2, echo);
    for (const Row& r : rows) {
        FilterProbe probe;
        probe.result = r.result;
        ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, userFilter, &probe), aErrNone);
        ASSERT_EQ(put(link.id, 2, {0x50, r.result}), aErrNone);
        aPacket* p = aLink_AwaitPacket(link.id, r.delivered ? 1000 : 200);
        EXPECT_EQ(p != nullptr, r.delivered) << (int)r.result;
        aPacket_Destroy(&p);
        EXPECT_EQ(probe.seen, 1);
        // Removing the filter returns only after a call in progress; none runs afterwards.
        ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, NULL, NULL), aErrNone);
    }
}

TEST(LinkDrain, RemovesSelectedReceivedPackets)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    for (u8 c : {0x60, 0x61, 0x60})
        put(link.id, 2, {c});
    ASSERT_TRUE(waitUntil([&] { return aPacketFifo_GetLength(sGetLink(link.id)->inFifo) == 3; }, 1000));
    Match m{2, 0x60};
    EXPECT_EQ(aLink_DrainPackets(link.id, matchCommand, &m), 2u);
    aPacket* p = aLink_GetPacket(link.id);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x61);
    aPacket_Destroy(&p);
}

// A reply that comes after its wait has given up is taken by the next wait that matches it.
TEST(LinkExchange, LateReplyGoesToTheNextMatchingWait)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    link.core.pushScript({ReplyFate::Delayed, 1200});
    Match m{2, 0x70};
    ASSERT_EQ(put(link.id, 2, {0x70, 1}), aErrNone);
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id, matchCommand, &m, 1000), nullptr);
    EXPECT_GE(msSince(t), 1000);
    ASSERT_EQ(put(link.id, 2, {0x70, 2}), aErrNone);
    aPacket* first = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    ASSERT_NE(first, nullptr);
    aPacket* second = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    ASSERT_NE(second, nullptr);
    // Both arrive; the second request's reply came first, the late one after it.
    EXPECT_EQ(first->data[1] + second->data[1], 3);
    aPacket_Destroy(&first);
    aPacket_Destroy(&second);
}

namespace {

struct OfferCount {
    std::atomic<int> offers{0};
};

unsigned char countAndReject(const aPacket*, const void* ref)
{
    const_cast<OfferCount*>(static_cast<const OfferCount*>(ref))->offers++;
    return 0;
}

} // namespace

// One wait offers each queued packet to its filter once, however its time-out falls; a wait
// without a filter returns at once instead of spinning out its time-out.
TEST(LinkExchange, AWaitOffersEachQueuedPacketOnce)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    ASSERT_EQ(put(link.id, 2, {0x74}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return aPacketFifo_GetLength(sGetLink(link.id)->inFifo) == 1; }, 1000));
    for (unsigned long ms : {1ul, 7ul, 20ul, 33ul}) {
        OfferCount count;
        EXPECT_EQ(aLink_AwaitFirst(link.id, countAndReject, &count, ms), nullptr);
        EXPECT_EQ(count.offers, 1) << ms << " ms";
    }
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id, NULL, NULL, 300), nullptr);
    EXPECT_LT(msSince(t), 150);
    // A time-out too long for the clock's arithmetic still waits for the reply.
    ASSERT_EQ(put(link.id, 2, {0x75}), aErrNone);
    Match m{2, 0x75};
    aPacket* reply = aLink_AwaitFirst(link.id, matchCommand, &m, ULONG_MAX);
    EXPECT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
}

TEST(LinkExchange, DroppedReplyTimesOutWithoutResend)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    link.core.pushScript({ReplyFate::Dropped, 0});
    Match m{2, 0x71};
    ASSERT_EQ(put(link.id, 2, {0x71}), aErrNone);
    EXPECT_EQ(aLink_AwaitFirst(link.id, matchCommand, &m, 300), nullptr);
    size_t requests = 0;
    for (auto& h : link.core.hostPackets())
        requests += h.packet.address == 2;
    EXPECT_EQ(requests, 1u);
}

// An odd address byte is a framing error on any transport: the link resyncs. While it syncs,
// waits give NULL at once; a silent device gets one burst of six requests per second (not a
// flood); once it answers the link runs again and the surplus sync replies do not reach users.
TEST(LinkResync, FramingErrorRestartsTheHandshake)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    link.core.setAnswerSync(false);
    link.core.pushScript({ReplyFate::OddAddress, 0});
    ASSERT_EQ(put(link.id, 2, {0x72}), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(link.id) == kLinkStatusSyncing; }, 1000));
    auto t = std::chrono::steady_clock::now();
    Match m{2, 0x72};
    EXPECT_EQ(aLink_AwaitFirst(link.id, matchCommand, &m, 500), nullptr);
    EXPECT_LT(msSince(t), 300); // a wait would take its 500 ms

    // The rest of the odd reply's bytes may restart the handshake once more; after that the
    // device is silent and only the one-second rule may send another burst.
    ASSERT_TRUE(waitUntil([&] { return link.core.syncRequests() >= 6; }, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int settled = link.core.syncRequests();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(link.core.syncRequests(), settled); // no flood while the device is silent
    ASSERT_TRUE(waitUntil([&] { return link.core.syncRequests() >= settled + 6; }, 1500));
    EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusSyncing);
    // The new burst came a full second after the last one began (10 ms allowed for the
    // delivery of either first request).
    std::vector<std::chrono::steady_clock::time_point> requests;
    for (const HostPacket& h : link.core.hostPackets())
        if (h.packet.address == 0xAD && h.packet.data.empty())
            requests.push_back(h.when);
    ASSERT_EQ(settled % 6, 0);
    ASSERT_GE(requests.size(), (size_t)settled + 1);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(requests[settled]
                                                                    - requests[settled - 6])
                  .count(),
              990);

    link.core.setAnswerSync(true);
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(link.id) == kLinkStatusRunning; }, 2500));
    // The first answer ends the handshake while the rest of its burst may still be on the way
    // to the device; once it is in, no part-burst is left.
    EXPECT_TRUE(waitUntil([&] { return link.core.syncRequests() % 6 == 0; }, 1000))
        << link.core.syncRequests();
    // Replies to the rest of the last burst are not delivered as packets.
    EXPECT_EQ(aLink_AwaitPacket(link.id, 200), nullptr);
    // And the link works again.
    ASSERT_EQ(put(link.id, 2, {0x73}), aErrNone);
    m.command = 0x73;
    aPacket* p = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
}

TEST(LinkResync, HandshakeNeedsTwoEmptyPacketsFromOneAddress)
{
    struct Row { std::vector<u8> bytes; bool synced; };
    const Row rows[] = {
        {{4, 0, 4, 0}, true},
        {{4, 0, 6, 0}, false},
        {{4, 1}, false},
        {{5, 0, 5, 0}, false},
        {{0, 0}, false},
        {{4, 0, 6, 0, 8, 0, 8, 0}, true}, // the 6 sends it back to start, the 8 restarts it
    };
    for (const Row& r : rows) {
        EmulatedLink link;
        ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
        link.core.setAnswerSync(false);
        ASSERT_TRUE(link.core.sendRaw({3, 0})); // odd address: the link starts syncing
        ASSERT_TRUE(waitUntil([&] { return link.core.syncRequests() >= 6; }, 1000));
        ASSERT_TRUE(link.core.sendRaw(r.bytes));
        bool synced = waitUntil([&] { return aLink_GetStatus(link.id) == kLinkStatusRunning; }, 300);
        EXPECT_EQ(synced, r.synced) << r.bytes.size();
    }
}

namespace {

unsigned char emptyPacket(const aPacket* p, const void*)
{
    return p->length == 0;
}

} // namespace

// After a handshake whose surplus replies never come, an address query's reply (an empty
// packet from the same address) must still reach the user who asked.
TEST(LinkResync, AddressQueryAfterResyncIsAnswered)
{
    EmulatedLink link;
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    link.core.setAnswerSync(false);
    ASSERT_TRUE(link.core.sendRaw({3, 0}));
    ASSERT_TRUE(waitUntil([&] { return link.core.syncRequests() >= 6; }, 1000));
    ASSERT_TRUE(link.core.sendRaw({2, 0, 2, 0})); // the handshake; no further replies come
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(link.id) == kLinkStatusRunning; }, 1000));
    link.core.setAnswerSync(true);
    ASSERT_EQ(put(link.id, 0xAD, {}), aErrNone);
    aPacket* reply = aLink_AwaitFirst(link.id, emptyPacket, NULL, 500);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 2);
    aPacket_Destroy(&reply);
}

TEST(LinkSync, SyncWaitsForTheDeviceAndEmptiesBothFifos)
{
    EmulatedLink link;
    ASSERT_NE(link.id, 0u);
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(link.id), aErrNone);
    EXPECT_LT(msSince(t), 900); // 100 ms of it is the settling pause
    EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
    // Requests of the burst not yet written when the device had answered twice are dropped
    // from the out FIFO; the replies to the rest are drained from the in FIFO.
    EXPECT_GE(link.core.syncRequests(), 2);
    EXPECT_LE(link.core.syncRequests(), 6);
    EXPECT_EQ(aLink_AwaitPacket(link.id, 100), nullptr);

    link.core.setAnswerSync(false);
    t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(link.id), aErrNotReady);
    EXPECT_GE(msSince(t), 2000);
    EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusSyncing);
}

TEST(LinkStop, QueuedPacketsAreWrittenBeforeTheThreadsEnd)
{
    EmulatedLink link;
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(put(link.id, 4, {0x80, (u8)i}), aErrNone);
    ASSERT_EQ(aLink_Destroy(&link.id), aErrNone);
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return all.size() >= 102; }, 2000));
    auto all = link.core.hostPackets();
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(wireOf(all[1 + i]), (std::vector<u8>{4, 2, 0x80, (u8)i}));
    EXPECT_EQ(wireOf(all[101]), (std::vector<u8>{0xAF, 1, 0}));
}

// A device that takes no data (its firmware hung, the USB endpoint refusing every OUT
// transfer): each write waits out its time-out and fails. The release must not then spend
// a failed write on every packet still queued; what the first failure leaves is dropped.
struct RefusingStream {
    static aErr get(char*, void*) { return aErrNotReady; }
    static aErr write(const char*, size_t, void* ref)
    {
        ((RefusingStream*)ref)->writes++;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return aErrWrite;
    }
    std::atomic<int> writes{0};
};

TEST(LinkStop, ADeviceThatTakesNothingDoesNotHoldTheRelease)
{
    RefusingStream device;
    aLinkId id = aLink_Create(
        aStream_Create(RefusingStream::get, NULL, RefusingStream::write, NULL, &device));
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(put(id, 4, {0x80, (u8)i}), aErrNone);
    auto t = std::chrono::steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(msSince(t), 500);
    EXPECT_LT(device.writes.load(), 10);
}

TEST(LinkPacketLog, PipeThreadsRecordSentAndReceived)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
    ASSERT_EQ(put(link.id, 2, {0x90, 0x91}), aErrNone);
    Match m{2, 0x90};
    aPacket* p = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    // The out-pipe thread records a packet after writing it, so the reply can be here before
    // the sent record: read the log until both are in, within a deadline.
    const std::vector<u8> wire = {2, 2, 0x90, 0x91};
    bool sent = false, received = false;
    waitUntil(
        [&] {
            u8 buffer[64];
            u32 n = sizeof buffer;
            int kind;
            while (aLink_PacketDebug_Read(link.id, &kind, &n, buffer) == aErrNone) {
                std::vector<u8> record(buffer, buffer + n);
                sent |= kind == kPacketLogSent && record == wire;
                received |= kind == kPacketLogReceived && record == wire;
                n = sizeof buffer;
            }
            return sent && received;
        },
        2000);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received);
}

// Packet debugging turned on while both pipe threads are busy: each sees the log only with
// its lock in place (a thread sanitizer run reports any ordering fault), and from then on
// both record.
TEST(LinkPacketLog, EnablingDuringTrafficIsSafe)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    std::thread user([&] {
        for (u8 i = 0; !stop.load(); i++) {
            if (put(link.id, 2, {0x92, i}) != aErrNone)
                return;
            Match m{2, 0x92};
            aPacket* p = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
            if (p)
                replies++;
            aPacket_Destroy(&p);
        }
    });
    ASSERT_TRUE(waitUntil([&] { return replies.load() >= 20; }, 2000));
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
    const int before = replies.load();
    EXPECT_TRUE(waitUntil([&] { return replies.load() >= before + 20; }, 2000));
    stop = true;
    user.join();
    int sent = 0, received = 0;
    for (;;) {
        u8 buffer[64];
        u32 n = sizeof buffer;
        int kind;
        if (aLink_PacketDebug_Read(link.id, &kind, &n, buffer) != aErrNone)
            break;
        sent += kind == kPacketLogSent && n == 4 && buffer[2] == 0x92;
        received += kind == kPacketLogReceived && n == 4 && buffer[2] == 0x92;
    }
    EXPECT_GE(sent, 10);
    EXPECT_GE(received, 10);
}

// An idle link blocks on its stream's readiness: it costs next to no CPU, and a packet that
// arrives is still read at once.
TEST(LinkIdle, WaitingCostsNoCpuAndWakesAtOnce)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    double used = cpuSecondsWhileSleeping(500);
    EXPECT_LT(used, 0.05) << used; // a spinning reader would use about 0.5 s
    auto t = std::chrono::steady_clock::now();
    ASSERT_EQ(put(link.id, 2, {0xA0}), aErrNone);
    Match m{2, 0xA0};
    aPacket* p = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_LT(msSince(t), 300); // the idle wait is up to 1000 ms
}

// Users on several threads share one link; each takes only its own replies.
TEST(LinkConcurrency, UsersOnSeveralThreads)
{
    EmulatedLink link;
    link.core.setHandler(2, echo);
    std::vector<std::thread> users;
    std::atomic<int> ok{0};
    for (int u = 0; u < 4; u++)
        users.emplace_back([&, u] {
            for (int i = 0; i < 50; i++) {
                Match m{2, (u8)(0xB0 + u)};
                if (put(link.id, 2, {m.command, (u8)i}) != aErrNone)
                    return;
                aPacket* p = aLink_AwaitFirst(link.id, matchCommand, &m, 1000);
                if (p && p->data[1] == (u8)i)
                    ok++;
                aPacket_Destroy(&p);
            }
        });
    for (auto& t : users)
        t.join();
    EXPECT_EQ(ok, 200);
}
