// USB links through the kernel-node emulator (a pseudo-terminal with the driver's bounded
// one-second read behind the node's path): route on, a burst of sync requests, route on
// again; a device that never answers gets a burst per empty read; two users of one link.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "aLinkManagerInternal.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/PtyTransport.h"
#include "qcusb_driver.h"
#include "test_link_support.h"
#include "UsbNodeDirectory.h"

using namespace linktest;
using module_emu::ModuleCore;
using module_emu::PtyTransport;

namespace {

::testing::Environment* const gNodes =
    ::testing::AddGlobalTestEnvironment(new UsbNodeDirectory("qc_link_usb"));

struct UsbModule {
    explicit UsbModule(u32 serial) : core(6), node(UsbNodePath(serial))
    {
        core.attach(node);
        core.setHandler(6, echo);
    }
    ~UsbModule() { core.detach(node); }
    ModuleCore core; // the transport goes first: its reader ends before the core
    PtyTransport node;
};

std::vector<std::vector<u8>> wires(const ModuleCore& core)
{
    std::vector<std::vector<u8>> out;
    for (auto& h : core.hostPackets())
        out.push_back(h.packet.wire());
    return out;
}

unsigned char command(const aPacket* p, const void* ref)
{
    return p->length > 0 && p->data[0] == *(const u8*)ref;
}

const std::vector<u8> kRouteOn = {0xAF, 1, 1};
const std::vector<u8> kRouteOff = {0xAF, 1, 0};
const std::vector<u8> kSync = {0xAD, 0};

} // namespace

TEST(UsbLink, RouteOnSyncRouteOnThenRouteOffAtTheLastRelease)
{
    const u32 serial = 0x0B000001;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    aLinkId id = aLink_CreateUSB(serial);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    ASSERT_TRUE(module.core.waitFor([](auto& all) {
        return all.size() >= 4 && all.back().packet.wire() == std::vector<u8>{0xAF, 1, 1};
    }, 2000));
    // Route-on, the burst (requests still queued once the device has answered twice are
    // dropped, so 2 to 6 of them go out), route-on.
    auto w = wires(module.core);
    EXPECT_EQ(w.front(), kRouteOn);
    EXPECT_EQ(w.back(), kRouteOn);
    EXPECT_GE(w.size(), 4u);
    EXPECT_LE(w.size(), 8u);
    for (size_t i = 1; i + 1 < w.size(); i++)
        EXPECT_EQ(w[i], kSync) << i;
    // The device's surplus answers to the burst were drained: nothing waits for a user.
    EXPECT_EQ(aLink_AwaitPacket(id, 50), nullptr);

    // A second user shares the link; the first release leaves it running.
    aLinkId second = aLink_CreateUSB(serial);
    EXPECT_EQ(second, id);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);

    u8 data[] = {0x41, 7};
    aPacket* p = aPacket_CreateWithData(6, 2, data);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
    u8 want = 0x41;
    aPacket* reply = aLink_AwaitFirst(id, command, &want, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 6);
    aPacket_Destroy(&reply);

    aLinkId copy = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    ASSERT_TRUE(module.core.waitFor([](auto& all) {
        return !all.empty() && all.back().packet.wire() == std::vector<u8>{0xAF, 1, 0};
    }, 2000));
    EXPECT_EQ(module.core.routeRecords(), (std::vector<u8>{1, 1, 0}));
    EXPECT_EQ(aLink_GetStatus(copy), kLinkStatusNoStream);
}

// A device that never answers: bursts of six until the sync gives up (about 2 s), then the
// link is torn down (route-off) and no entry remains.
TEST(UsbLink, SilentDeviceGivesNoLink)
{
    const u32 serial = 0x0B000002;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    module.core.setAnswerSync(false);
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(serial), 0u);
    long took = msSince(t);
    EXPECT_GE(took, 2000);
    EXPECT_LT(took, 4500);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    ASSERT_TRUE(module.core.waitFor([](auto& all) {
        return !all.empty() && all.back().packet.wire() == std::vector<u8>{0xAF, 1, 0};
    }, 2000));
    int requests = module.core.syncRequests();
    EXPECT_GE(requests, 6);
    EXPECT_LE(requests, 18); // one burst per empty one-second read, not a flood
    EXPECT_EQ(requests % 6, 0);
    EXPECT_EQ(wires(module.core).front(), kRouteOn);
}

TEST(UsbLink, NoDeviceNoLink)
{
    EXPECT_EQ(aLink_CreateUSB(0), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x0B0000FF), 0u); // no node, and no such device on the bus
    EXPECT_EQ(sLookupEntryByIdentifier(0x0B0000FF), nullptr);
}
