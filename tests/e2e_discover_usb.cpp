// -D over USB on the real binary: emulated devices under umockdev (the binary, a child of the
// test, inherits the test bed), each answering as a module of the family.
#include "e2e_ops_support.h"

#include <algorithm>
#include <memory>

#include "BirdBuilder.h"
#include "aVersion.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "SkipOrFail.h"

using namespace opstest;
using module_emu::UsbDevice;
using module_emu::UsbDeviceConfig;
using module_emu::UsbFault;
using module_emu::UsbTestbed;

namespace {

// One emulated module on its own USB device.
struct UsbModule {
    UsbModule(UsbDevice* device, uint8_t address, uint32_t serial, uint8_t model,
              uint32_t version, uint32_t build)
        : dev(device), core(address)
    {
        module_emu::ModuleIdentity id;
        id.address = address;
        id.serialNumber = serial;
        id.model = model;
        id.version = version;
        id.build = build;
        network.add(id);
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(*dev);
    }
    ~UsbModule()
    {
        core.detach(*dev);
    }
    UsbDevice* dev;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
};

UsbDevice* sAdd(const char* serial, uint16_t product)
{
    UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = product;
    c.serial = serial;
    return UsbTestbed::instance().addDevice(c);
}

std::vector<std::string> sLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace

// Every device of the family is listed with what it runs; one that another program holds is
// listed with the error of its connection. Sharing is off for every connect, so each device
// runs on a plain USB link (with sharing on a USB link could not be made at all).
TEST(DiscoverUsb, DeviceTable)
{
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    UsbDevice* a = sAdd("40F5849A", 0x0104);
    UsbDevice* b = sAdd("0BADF00D", 0x0105);
    UsbDevice* c = sAdd("12345678", 0x0110);
    ASSERT_TRUE(a && b && c) << UsbTestbed::instance().error();
    UsbModule ma(a, 6, 0x40F5849A, 4, aVersion_Pack(1, 2, 3), 1300);
    UsbModule mb(b, 8, 0x0BADF00D, 5, aVersion_Pack(2, 16, 9), 77);
    c->setFault(UsbFault::ClaimBusy);

    {
        TempDir store;
        Result r = RunUpdater({"-D", "-u", "http://127.0.0.1:9/cgi/u", "-i", store.path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> lines = sLines(r.out);
        ASSERT_EQ(lines.size(), 7u) << r.out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
                  (std::vector<std::string>{
                      "Updater (Version: 2.10.8 Sep 13 2024)", "Searching for Quillcore devices",
                      "Discovered Devices: (USB)",
                      "    Device    Module   Router  Model          Firmware Version (Build)"}));
        // The system's device order.
        std::vector<std::string> rows(lines.begin() + 4, lines.end());
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows[0], "    0BADF00D  08       00      Kaltrin        2.16.9 (77)");
        EXPECT_EQ(rows[1], "    12345678  [Error (" + std::to_string(int(aErrConnection))
                               + "): Is someone else connected to this device?]");
        EXPECT_EQ(rows[2], "    40F5849A  06       00      Dorvel         1.2.3 (1300)");
    }
}

// An update of a device that another program holds: the connection's failure line, and under
// it libusb's reason.
TEST(DiscoverUsb, UpdateOfAHeldDeviceSaysWhy)
{
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    UsbDevice* held = sAdd("12345678", 0x0104);
    ASSERT_TRUE(held) << UsbTestbed::instance().error();
    held->setFault(UsbFault::ClaimBusy);
    TempDir store;
    BirdBuilder image;
    image.loader(0x20000000, BirdBuilder::Random(100, 1))
        .firmware(0x1000, BirdBuilder::Random(300, 2))
        .descriptor("1300", "1.3.0", "00000000", "Dorvel");
    ASSERT_TRUE(image.writeTo(store.path + "/fw.bird"));
    Result r = RunUpdater({"-U", "-d", "12345678", "-f", store.path + "/fw.bird", "-u",
                           "http://127.0.0.1:9/cgi/u", "-i", store.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to connect to module [12345678]\n"
                     "  libusb_claim_interface: " + std::string(libusb_strerror(LIBUSB_ERROR_BUSY)) +
                         "\n");
}
