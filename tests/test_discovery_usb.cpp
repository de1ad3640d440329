// USB discovery against emulated devices under umockdev: which devices are offered, the
// specifiers made from them, find-by-serial, and a Module connected over USB by serial number.
#include <gtest/gtest.h>

#include <memory>

#include "DiscoveryFixture.h"
#include "EmulatedModules.h"
#include "Module.h"
#include "SystemClass.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "SkipOrFail.h"

using namespace Velmoran::Quillcore;
using module_emu::UsbDevice;
using module_emu::UsbDeviceConfig;
using module_emu::UsbTestbed;
using qctest::Collected;

namespace {

struct Expected {
    u32 serial;
    u32 model;
};

// Every device of this program, added before libusb first looks (it learns the list once).
UsbDevice* devices()
{
    static UsbDevice* module = [] {
        UsbTestbed& tb = UsbTestbed::instance();
        if (!tb.ok())
            return (UsbDevice*)nullptr;
        auto add = [&](const char* serial, u16 product, auto tweak) {
            UsbDeviceConfig c;
            c.vendorId = QCUSB_VENDOR_ID;
            c.productId = product;
            c.serial = serial;
            tweak(c);
            return tb.addDevice(c);
        };
        UsbDevice* first = add("0000B001", 0x0105, [](UsbDeviceConfig&) {});
        // Lower case is the same number; its sysfs entry gives libusb no port path.
        add("0000b002", 0x0211, [](UsbDeviceConfig& c) { c.portPath = false; });
        add("000B003", 0x0105, [](UsbDeviceConfig&) {});         // 7 characters
        add("00000B004", 0x0105, [](UsbDeviceConfig&) {});       // 9 characters
        add("0000B005", 0x8005, [](UsbDeviceConfig&) {});        // product id of another family
        add("0000B006", 0x0105, [](UsbDeviceConfig& c) { c.vendorId ^= 0x1111; });
        add("0000B007", 0x0105, [](UsbDeviceConfig& c) { c.serialReadable = false; });
        add("0000XB08", 0x0105, [](UsbDeviceConfig&) {});        // not hexadecimal
        return first;
    }();
    return module;
}

const Expected kOffered[] = {{0x0000B001, 0x05}, {0x0000B002, 0x11}};

struct UsbDiscovery : testing::Test {
    void SetUp() override
    {
        if (!UsbTestbed::instance().ok())
            QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
        ASSERT_NE(devices(), nullptr) << UsbTestbed::instance().error();
    }
};

} // namespace

TEST_F(UsbDiscovery, OnlyDevicesOfTheFamilyWithAnEightDigitSerial)
{
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, qctest::cbCollect, &c, 0), 2);
    ASSERT_EQ(c.specs.size(), 2u);
    // The order is the system's device list order.
    if (c.specs[0].serialNumber != kOffered[0].serial)
        std::swap(c.specs[0], c.specs[1]);
    for (size_t i = 0; i < 2; i++) {
        const linkSpec& s = c.specs[i];
        EXPECT_EQ(s.type, (u32)USB);
        EXPECT_EQ(s.serialNumber, kOffered[i].serial);
        EXPECT_EQ(s.t.usb.usbId, kOffered[i].serial);
        EXPECT_EQ(s.model, kOffered[i].model) << "low byte of the product id";
        EXPECT_EQ(s.module, 0u);
        EXPECT_EQ(s.router, 0u);
        EXPECT_EQ(s.routerSerialNumber, 0u);
    }
    // The port path as libusb gives it: bus 1, the device's port on its root hub; none for a
    // device whose path cannot be read. Never a request to stay at it.
    EXPECT_EQ(c.specs[0].t.usb.path.bus, 1);
    ASSERT_EQ(c.specs[0].t.usb.path.count, 1);
    EXPECT_EQ(c.specs[0].t.usb.path.ports[0], devices()->port());
    EXPECT_EQ(c.specs[1].t.usb.path.count, 0);
    EXPECT_EQ(c.specs[0].t.usb.atPath, 0);

    Collected first;
    first.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, qctest::cbCollect, &first, 0), 1);
    EXPECT_EQ(first.specs.size(), 1u) << "nothing is offered after false";

    Collected none;
    none.take = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, qctest::cbCollect, &none, 0), 0);
    EXPECT_EQ(none.specs.size(), 2u);
}

TEST_F(UsbDiscovery, FindBySerial)
{
    linkSpec* linkSpecifier = aDiscovery_FindModule(USB, 0x0000B002, 0);
    ASSERT_NE(linkSpecifier, nullptr);
    EXPECT_EQ(linkSpecifier->serialNumber, 0x0000B002u);
    EXPECT_EQ(linkSpecifier->model, 0x11u);
    aLinkSpec_Destroy(&linkSpecifier);
    for (u32 absent : {0x0000B003u, 0x0000B004u, 0x0000B005u, 0x0000B006u, 0x0000B007u, 0x1u})
        EXPECT_EQ(aDiscovery_FindModule(USB, absent, 0), nullptr) << std::hex << absent;
    linkSpecifier = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(linkSpecifier, nullptr);
    EXPECT_TRUE(linkSpecifier->serialNumber == 0x0000B001u || linkSpecifier->serialNumber == 0x0000B002u);
    aLinkSpec_Destroy(&linkSpecifier);
}

TEST_F(UsbDiscovery, ModuleConnectsBySerialAndByModel)
{
    module_emu::ModuleIdentity id;
    id.address = 4;
    id.serialNumber = 0x0000B001;
    module_emu::ModuleCore core(id.address);
    module_emu::ModuleNetwork network;
    network.add(id);
    module_emu::EntityHost host(core, network);
    core.attach(*devices());

    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(m.connect(USB, 0x0000B001), aErrNone)
        << "host packets " << core.hostPacketCount() << " sync requests " << core.syncRequests()
        << " out transfers " << devices()->activity().outTransfers.size();
    EXPECT_EQ(m.getModuleAddress(), 4);
    SystemClass sys;
    sys.init(&m, 0);
    unsigned int serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0000B001u);
    m.disconnect();

    // By model (0x05 is only the first device); a model nobody has leaves the specifier alone.
    Link link("byModel");
    ASSERT_EQ(link.setConfig(qctest::plainConfig()), aErrNone);
    EXPECT_EQ(link.discoverAndConnect(USB, 0, 0x77), aErrNotFound);
    linkSpec linkSpecifier;
    EXPECT_EQ(link.getLinkSpecifier(&linkSpecifier), aErrNotFound);
    ASSERT_EQ(link.discoverAndConnect(USB, 0, 0x05), aErrNone);
    ASSERT_EQ(link.getLinkSpecifier(&linkSpecifier), aErrNone);
    EXPECT_EQ(linkSpecifier.serialNumber, 0x0000B001u);
    link.disconnect();

    Module absent(2, (unsigned char)0);
    ASSERT_EQ(absent.setConfig(qctest::plainConfig()), aErrNone);
    EXPECT_EQ(absent.connect(USB, 0x0000B0FF), aErrNotFound) << "the updater then tries TCP/IP";

    // Sharing on (the defaults): the module is reached through a local sharing server on its
    // USB link; a device missing on USB is searched among sharing servers as well.
    Module shared(2, (unsigned char)0);
    EXPECT_EQ(shared.connect(USB, 0x0000B001), aErrNone);
    aEtherConfig served;
    ASSERT_EQ(shared.getConfig(&served), aErrNone);
    EXPECT_NE(served.assignedPort, 0) << "the server's port is written back";
    shared.disconnect();
    EXPECT_EQ(shared.connect(USB, 0x0000B0FF), aErrNotFound);
    aEtherConfig noFallback;
    noFallback.fallback = false;
    ASSERT_EQ(shared.setConfig(noFallback), aErrNone);
    EXPECT_EQ(shared.connect(USB, 0x0000B0FF), aErrNotFound);
    core.detach(*devices());
}
