// TCP links through the emulator's TCP listener: the life cycle on the wire, two users of one
// link and the order of their releases, heartbeats, and a dropped connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "aLinkManagerInternal.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/TcpTransport.h"
#include "test_link_support.h"

using namespace linktest;
using module_emu::ModuleCore;
using module_emu::TcpConfig;
using module_emu::TcpTransport;

namespace {

// Links are shared by address, so each test takes its own loopback address.
struct TcpModule {
    explicit TcpModule(const char* address) : core(2), tcp(config(address))
    {
        core.attach(tcp);
        core.setHandler(2, echo);
    }
    ~TcpModule() { core.detach(tcp); }
    static TcpConfig config(const char* address)
    {
        TcpConfig c;
        c.address = address;
        return c;
    }
    aLinkId open() { return aLink_CreateTCPIP(tcp.addressNetworkOrder(), tcp.port()); }
    // The transport goes first: its reader thread ends before the core it feeds.
    ModuleCore core;
    TcpTransport tcp;
};

unsigned char command(const aPacket* p, const void* ref)
{
    return p->length > 0 && p->data[0] == *(const u8*)ref;
}

bool exchange(aLinkId id, u8 cmd)
{
    u8 data[] = {cmd, 1};
    aPacket* p = aPacket_CreateWithData(2, 2, data);
    aErr err = aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    if (err != aErrNone)
        return false;
    aPacket* reply = aLink_AwaitFirst(id, command, &cmd, 1000);
    bool ok = reply != nullptr;
    aPacket_Destroy(&reply);
    return ok;
}

} // namespace

TEST(TcpLink, RouteOnAfterConnectRouteOffAndResetAtTheLastRelease)
{
    TcpModule module("127.0.2.1");
    ASSERT_TRUE(module.tcp.ok()) << module.tcp.error();
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    ASSERT_TRUE(module.tcp.waitForConnections(1, 2000));
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    EXPECT_EQ(module.core.hostPackets()[0].packet.wire(), (std::vector<u8>{0xAF, 1, 1}));
    EXPECT_EQ(module.core.syncRequests(), 0); // TCP links are not synced
    EXPECT_TRUE(exchange(id, 0x31));

    aLinkId copy = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return all.size() >= 3; }, 2000));
    auto all = module.core.hostPackets();
    EXPECT_EQ(all.back().packet.wire(), (std::vector<u8>{0xAF, 1, 0}));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1, 0}));
    EXPECT_TRUE(waitUntil([&] { return !module.tcp.connected(); }, 2000));
    EXPECT_EQ(aLink_GetStatus(copy), kLinkStatusNoStream);
    EXPECT_EQ(module.tcp.connections(), 1);
}

TEST(TcpLink, TwoUsersShareOneLinkWhateverThePort)
{
    TcpModule module("127.0.2.2");
    ASSERT_TRUE(module.tcp.ok()) << module.tcp.error();
    aLinkId first = module.open();
    ASSERT_NE(first, 0u);
    // The same address with another port is the same link (shared by address).
    aLinkId second = aLink_CreateTCPIP(module.tcp.addressNetworkOrder(), module.tcp.port() + 1);
    EXPECT_EQ(second, first);
    EXPECT_EQ(sLookupEntryByID(first)->useCount, 2);
    ASSERT_TRUE(module.tcp.waitForConnections(1, 2000));

    struct Row { bool firstGoesFirst; };
    for (Row r : {Row{true}, Row{false}}) {
        if (!first) {
            first = module.open();
            second = module.open();
            ASSERT_EQ(first, second);
        }
        aLinkId& early = r.firstGoesFirst ? first : second;
        aLinkId& late = r.firstGoesFirst ? second : first;
        aLinkId id = late;
        EXPECT_EQ(aLink_Destroy(&early), aErrNone);
        EXPECT_EQ(early, 0u);
        // The other user still has a running link.
        EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
        EXPECT_TRUE(exchange(id, 0x32));
        EXPECT_EQ(aLink_Destroy(&late), aErrNone);
        EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
        EXPECT_EQ(sLookupEntryByID(id), nullptr);
        first = second = 0;
    }
    // Every link made a connection of its own, routed on and off once each.
    EXPECT_TRUE(waitUntil([&] { return module.core.routeRecords().size() == 4; }, 2000));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1, 0, 1, 0}));
    EXPECT_EQ(module.tcp.connections(), 2); // one per link, none for the shared opens
}

TEST(TcpLink, NothingListeningGivesNoLinkAndNoEntry)
{
    TcpConfig c;
    c.address = "127.0.2.3";
    c.mode = module_emu::TcpMode::ClosedPort;
    TcpTransport closed(c);
    ASSERT_TRUE(closed.ok()) << closed.error();
    EXPECT_EQ(aLink_CreateTCPIP(closed.addressNetworkOrder(), closed.port()), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(closed.addressNetworkOrder()), nullptr);
}

TEST(TcpLink, HeartbeatsAreAnsweredOverTcp)
{
    TcpModule module("127.0.2.4");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    ASSERT_TRUE(module.core.sendHeartbeat(0));
    ASSERT_TRUE(module.core.sendHeartbeat(1));
    EXPECT_TRUE(waitUntil([&] { return module.core.heartbeatAnswersOk() == 2; }, 2000));
    EXPECT_EQ(aLink_AwaitPacket(id, 50), nullptr);
    aLink_Destroy(&id);
}

// The module resets the connection: the link's next write makes a new one, and requests
// go on over it.
TEST(TcpLink, ResetConnectionIsReestablished)
{
    TcpModule module("127.0.2.5");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(exchange(id, 0x33));
    module.tcp.resetConnection();
    module.core.onDisconnect();
    bool again = false;
    for (int i = 0; i < 5 && !again; i++)
        again = exchange(id, 0x34);
    EXPECT_TRUE(again);
    EXPECT_GE(module.tcp.connections(), 2);
    aLink_Destroy(&id);
}

// An idle TCP link blocks on readiness and wakes at once for a packet.
TEST(TcpLink, IdleLinkDoesNotSpin)
{
    TcpModule module("127.0.2.6");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    double used = cpuSecondsWhileSleeping(500);
    EXPECT_LT(used, 0.05) << used;
    auto t = std::chrono::steady_clock::now();
    EXPECT_TRUE(exchange(id, 0x35));
    EXPECT_LT(msSince(t), 300); // the idle wait is up to 1000 ms
    aLink_Destroy(&id);
}

// A reset stops the link, connects anew and starts it again: route-off on the old
// connection, route-on on the new one, and requests work.
TEST(TcpLink, ResetReconnectsAndStartsAgain)
{
    TcpModule module("127.0.2.7");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    ASSERT_TRUE(exchange(id, 0x36));
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    ASSERT_TRUE(module.tcp.waitForConnections(2, 2000));
    EXPECT_TRUE(exchange(id, 0x37));
    EXPECT_TRUE(waitUntil([&] { return module.core.routeRecords().size() == 3; }, 2000));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1, 0, 1}));
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady); // the log went with the reset
    EXPECT_EQ(aLink_Reset(0xFFFFFF), aErrParam);
    aLink_Destroy(&id);
}

// A module that closes the connection in order is not noticed by reads (they find nothing),
// but the link must not spin on a descriptor that stays readable at its end.
TEST(TcpLink, OrderlyCloseDoesNotSpin)
{
    TcpModule module("127.0.2.8");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(exchange(id, 0x38));
    module.tcp.closeConnection();
    ASSERT_TRUE(waitUntil([&] { return !module.tcp.connected(); }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double used = cpuSecondsWhileSleeping(500);
    EXPECT_LT(used, 0.05) << used;
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(msSince(t), 800);
}

// The module resets the connection while a packet is half sent. What came on the old
// connection is no start of anything on the new one: the next packet arrives whole and alone,
// never glued to the stale half.
TEST(TcpLink, PacketCutByAResetIsNotJoinedToTheNextConnection)
{
    TcpModule module("127.0.2.9");
    aLinkId id = module.open();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(exchange(id, 0x39));
    const u8 cmd = 0x3A;
    ASSERT_TRUE(module.tcp.send(std::vector<u8>{0x04, 0x05, cmd, 0x01}));  // 2 of 5 data bytes
    std::this_thread::sleep_for(std::chrono::milliseconds(100));           // the link reads them
    module.tcp.resetConnection();
    module.core.onDisconnect();
    // The link's reader meets the reset and connects again at once.
    ASSERT_TRUE(module.tcp.waitForConnections(2, 2000));
    ASSERT_TRUE(waitUntil([&] { return module.tcp.connected(); }, 2000));
    ASSERT_TRUE(module.tcp.send(std::vector<u8>{0x04, 0x02, cmd, 0x02}));
    aPacket* p = aLink_AwaitFirst(id, command, &cmd, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x04);
    EXPECT_EQ(p->length, 2);
    EXPECT_EQ(p->data[1], 0x02);
    aPacket_Destroy(&p);
    aLink_Destroy(&id);
}
