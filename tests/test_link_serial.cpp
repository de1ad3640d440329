// Serial links through the emulator's pseudo-terminal: baud table, life cycle on the wire,
// sharing by serial number, and an idle serial link that does not spin.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "aLinkManagerInternal.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/PtyTransport.h"
#include "test_link_support.h"

using namespace linktest;
using module_emu::ModuleCore;
using module_emu::PtyTransport;

namespace {

struct SerialModule {
    SerialModule() : core(4)
    {
        core.attach(pty);
        core.setHandler(4, echo);
    }
    ~SerialModule() { core.detach(pty); }
    // The transport goes first: its reader thread ends before the core it feeds.
    ModuleCore core;
    PtyTransport pty;
};

unsigned char command(const aPacket* p, const void* ref)
{
    return p->length > 0 && p->data[0] == *(const u8*)ref;
}

} // namespace

TEST(SerialLink, BaudRatesOutsideTheTableOpenNothing)
{
    SerialModule module;
    ASSERT_TRUE(module.pty.ok()) << module.pty.error();
    const u32 serial = 0x5E000001;
    const int refused[] = {0, 300, 12345, 460800, -9600};
    for (int baud : refused) {
        EXPECT_EQ(aLink_CreateSerial(serial, module.pty.slavePath().c_str(), baud), 0u) << baud;
        EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr) << baud;
    }
    EXPECT_EQ(aLink_CreateSerial(serial, "/dev/nonexistent-serial-port", 9600), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    aLinkId id = aLink_CreateSerial(serial, module.pty.slavePath().c_str(), 9600);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(SerialLink, LifeCycleOnTheWireAndTwoUsers)
{
    SerialModule module;
    ASSERT_TRUE(module.pty.ok()) << module.pty.error();
    const u32 serial = 0x5E000002;
    aLinkId first = aLink_CreateSerial(serial, module.pty.slavePath().c_str(), 115200);
    ASSERT_NE(first, 0u);
    // A second user of the same serial number shares the link, whatever path or rate it names.
    aLinkId second = aLink_CreateSerial(serial, "/dev/null", 2400);
    EXPECT_EQ(second, first);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1}));

    u8 data[] = {0x21, 0x22};
    aPacket* p = aPacket_CreateWithData(4, 2, data);
    ASSERT_EQ(aLink_PutPacket(first, p), aErrNone);
    aPacket_Destroy(&p);
    u8 want = 0x21;
    aPacket* reply = aLink_AwaitFirst(second, command, &want, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 4);
    aPacket_Destroy(&reply);

    // The first release leaves the link running for the other user.
    aLinkId copy = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(aLink_GetStatus(second), kLinkStatusRunning);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1}));
    // The last one routes off and frees the link.
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return all.size() >= 3; }, 2000));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1, 0}));
    EXPECT_EQ(aLink_GetStatus(copy), kLinkStatusNoStream);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    // A new link for that serial number is a new link.
    aLinkId again = aLink_CreateSerial(serial, module.pty.slavePath().c_str(), 9600);
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, copy);
    aLink_Destroy(&again);
}

TEST(SerialLink, IdleLinkDoesNotSpin)
{
    SerialModule module;
    ASSERT_TRUE(module.pty.ok()) << module.pty.error();
    aLinkId id = aLink_CreateSerial(0x5E000003, module.pty.slavePath().c_str(), 115200);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    double used = cpuSecondsWhileSleeping(500);
    EXPECT_LT(used, 0.05) << used;
    aLink_Destroy(&id);
}

// When the far end hangs up, reads fail: the link reports an I/O error, waits give NULL at
// once, and the in-pipe thread pauses between reads instead of spinning.
TEST(SerialLink, HangUpIsAnIOError)
{
    SerialModule module;
    ASSERT_TRUE(module.pty.ok()) << module.pty.error();
    aLinkId id = aLink_CreateSerial(0x5E000004, module.pty.slavePath().c_str(), 115200);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    module.core.detach(module.pty);
    module.pty.closeMaster();
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == kLinkStatusIOError; }, 2000));
    u8 want = 1;
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, command, &want, 500), nullptr);
    EXPECT_LT(msSince(t), 300);
    EXPECT_LT(cpuSecondsWhileSleeping(300), 0.05);
    t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(msSince(t), 1500);
}
