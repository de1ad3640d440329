// USB links over libusb against an emulated device under umockdev: the whole creating call
// (route on, sync, route on), an exchange, and a device that is unplugged under the link.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "UsbModules.h"
#include "aLinkManagerInternal.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "test_link_support.h"
#include "SkipOrFail.h"

using namespace linktest;
using module_emu::ModuleCore;
using module_emu::UsbDevice;
using module_emu::UsbFault;
using module_emu::UsbTestbed;

namespace {

const u32 kSerial = 0x0C000001;
const u32 kTwin = 0x0C000002;  // two modules answer under it, on two ports

// The devices are added before libusb first looks (it learns the list once). The cores live as
// long as the testbed's devices do: for the whole program.
struct Module {
    UsbDevice* device = nullptr;
    ModuleCore* core = nullptr;
};

Module sAttached(u32 serial, u8 address)
{
    Module r;
    r.device = qctest::addFamilyModule(serial);
    if (r.device) {
        r.core = new ModuleCore(address);
        r.core->attach(*r.device);
        r.core->setHandler(address, echo);
    }
    return r;
}

struct Modules {
    Module one, twins[2];
};

Modules& modules()
{
    static Modules m = [] {
        Modules r;
        r.one = sAttached(kSerial, 8);
        r.twins[0] = sAttached(kTwin, 10);
        r.twins[1] = sAttached(kTwin, 12);
        return r;
    }();
    return m;
}

Module& module()
{
    return modules().one;
}

aUSBPortPath sPathOf(const Module& m)
{
    aUSBPortPath path{};
    path.bus = 1;
    path.count = 1;
    path.ports[0] = m.device->port();
    return path;
}

unsigned char command(const aPacket* p, const void* ref)
{
    return p->length > 0 && p->data[0] == *(const u8*)ref;
}

} // namespace

TEST(UsbLibLink, CreateExchangeAndUnplug)
{
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    Module& m = module();
    ASSERT_NE(m.core, nullptr);
    aLinkId id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    // The second route-on is queued when the creating call returns and written just after.
    EXPECT_TRUE(waitUntil([&] { return m.core->routeRecords().size() == 2; }, 1000));
    EXPECT_EQ(m.core->routeRecords(), (std::vector<u8>{1, 1}));
    EXPECT_GE(m.core->syncRequests(), 2);

    u8 data[] = {0x51, 3};
    aPacket* p = aPacket_CreateWithData(8, 2, data);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
    u8 want = 0x51;
    aPacket* reply = aLink_AwaitFirst(id, command, &want, 1000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, 8);
    aPacket_Destroy(&reply);

    // Unplugged: the driver tolerates a few errors, then the link reports an I/O error and
    // waits give NULL at once.
    m.device->setFault(UsbFault::Unplugged);
    ASSERT_TRUE(waitUntil([&] { return aLink_GetStatus(id) == kLinkStatusIOError; }, 5000));
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, command, &want, 500), nullptr);
    EXPECT_LT(msSince(t), 300);
    t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(msSince(t), 2500);
    EXPECT_EQ(sLookupEntryByIdentifier(kSerial), nullptr);
}

// A link bound to a port path runs on the device there, never on the other one with the same
// serial number; it is shared only by a link bound to the same path, and a reset opens the
// same device again.
TEST(UsbLibLink, BoundToAPortPath)
{
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    Modules& m = modules();
    ASSERT_NE(m.twins[1].core, nullptr);
    Module& first = m.twins[0];
    Module& second = m.twins[1];
    const aUSBPortPath at = sPathOf(second);
    aLinkId id = aLink_CreateUSBAt(kTwin, &at);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_GE(second.core->syncRequests(), 1);
    EXPECT_EQ(first.core->syncRequests(), 0);
    EXPECT_EQ(first.device->activity().claims, 0);

    aLinkId same = aLink_CreateUSBAt(kTwin, &at);
    EXPECT_EQ(same, id) << "shared by a link bound to the same path";
    EXPECT_EQ(aLink_Destroy(&same), aErrNone);
    const aUSBPortPath elsewhere = sPathOf(first);
    aLinkId other = aLink_CreateUSBAt(kTwin, &elsewhere);
    ASSERT_NE(other, 0u);
    EXPECT_NE(other, id);
    EXPECT_EQ(first.device->activity().claims, 1);
    EXPECT_EQ(aLink_Destroy(&other), aErrNone);

    const int claims = second.device->activity().claims;
    const int firstClaims = first.device->activity().claims;
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(second.device->activity().claims, claims + 1);
    EXPECT_EQ(first.device->activity().claims, firstClaims);

    aUSBPortPath none{};
    EXPECT_EQ(aLink_CreateUSBAt(kTwin, &none), 0u);
    EXPECT_EQ(aLink_CreateUSBAt(kTwin, nullptr), 0u);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}
