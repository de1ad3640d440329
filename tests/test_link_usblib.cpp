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

// The device is added before libusb first looks (it learns the list once). The core lives as
// long as the testbed's device does: for the whole program.
struct Module {
    UsbDevice* device = nullptr;
    ModuleCore* core = nullptr;
};

Module& module()
{
    static Module m = [] {
        Module r;
        r.device = qctest::addFamilyModule(kSerial);
        if (r.device) {
            r.core = new ModuleCore(8);
            r.core->attach(*r.device);
            r.core->setHandler(8, echo);
        }
        return r;
    }();
    return m;
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
