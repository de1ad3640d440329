// -U over USB on the real binary: the emulated module is a USB device under umockdev (the
// binary, a child of the test, inherits the test bed) whose UPGRADE protocol is the emulator's
// state machine; REBOOT unplugs it for a while.
#include "e2e_ops_support.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UpgradeDevice.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"

using namespace opstest;
using module_emu::UpgradeDevice;
using module_emu::UsbDevice;
using module_emu::UsbFault;
using module_emu::UsbTestbed;
typedef std::vector<uint8_t> Bytes;

namespace {

const uint32_t kSerial = 0x40F5849A;

// One updatable module on its own USB device.
struct UsbUpgradeModule {
    UsbUpgradeModule(UsbDevice* device, uint8_t address)
        : dev(device), core(address), upgrade(address, 1200, 0x01020000)
    {
        module_emu::ModuleIdentity id;
        id.address = address;
        id.serialNumber = kSerial;
        id.model = 4;
        id.build = 1200;
        module_emu::UpgradeConfig cfg;
        cfg.blockSize = 128;
        cfg.newBuild = 1300;
        upgrade.setConfig(cfg);
        network.add(id).setCommandHandler(module_emu::kCmdUpgrade,
                                          [this](const module_emu::EmuPacket& p) {
                                              return handle(p);
                                          });
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(*dev);
    }
    ~UsbUpgradeModule()
    {
        if (back.joinable())
            back.join();
        core.detach(*dev);
    }
    std::vector<module_emu::EmuPacket> handle(const module_emu::EmuPacket& p)
    {
        module_emu::UpgradeResult r = upgrade.handle(p.data);
        if (r.link == module_emu::LinkAction::Reboot) {
            // Gone from the bus at once (long enough for the host to see its link fall), back
            // running the new build later.
            dev->setFault(UsbFault::Unplugged);
            back = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2000));
                upgrade.finishReboot();
                dev->setFault(UsbFault::None);
                rebooted = true;
            });
        }
        return r.replies;
    }
    UsbDevice* dev;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
    UpgradeDevice upgrade;
    std::thread back;
    std::atomic<bool> rebooted{false};
};

}  // namespace

TEST(UpdateUsb, FromAFile)
{
    if (!UsbTestbed::instance().ok())
        GTEST_SKIP() << UsbTestbed::instance().error();
    module_emu::UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = 0x0104;
    c.serial = "40F5849A";
    UsbDevice* dev = UsbTestbed::instance().addDevice(c);
    ASSERT_NE(dev, nullptr) << UsbTestbed::instance().error();
    UsbUpgradeModule module(dev, 6);

    TempDir files, store;
    std::string path = files.path + "/fw.bird";
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(100, 1))
        .firmware(0x1000, BirdBuilder::Random(300, 2))
        .serialInfo(0x1004, 0x1010)
        .descriptor("1300", "1.3.0", "00000000", "Dorvel");
    ASSERT_TRUE(b.writeTo(path));

    Result r = RunUpdater({"-U", "-d", "40F5849A", "-f", path, "-u", "http://127.0.0.1:9/cgi/u",
                           "-i", store.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Transferred 1 blocks, 304 total bytes\nUpdate time: "), std::string::npos)
        << r.out;

    BirdFile image(path.c_str());
    image.ReplaceSerialNumber(kSerial);
    std::vector<BirdBlock> fw = image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 1u);
    auto written = module.upgrade.firmware();
    EXPECT_EQ(written[0x1000], Bytes(fw[0].data + 4, fw[0].data + fw[0].length));
    module_emu::UpgradeCounts n = module.upgrade.counts();
    EXPECT_EQ(n.write, 3) << "pieces of 128, 128 and 44";
    EXPECT_EQ(n.reboot, 1);
    for (int i = 0; i < 200 && !module.rebooted; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(module.upgrade.build(), 1300u);
    auto attributes = ReadAttributes(store.path + "/updater/40F5849A/.settings");
    EXPECT_EQ(attributes["LATEST_TRANSFER"], path);
}
