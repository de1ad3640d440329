// The i.MX road of -N and -U -t RECOVER on the real binary to the end: the loader goes into the
// i.MX boot ROM emulator over a serial pty, and the started loader is an emulated module on
// USB under umockdev (the binary, a child of this test, inherits the test bed) with the blank
// device's serial number: it gives the fingerprint through system option 39 and takes the
// firmware blocks through the UPGRADE protocol, then drops off the bus as it reboots. With
// -s USB the loader goes in over USB HID instead (the real hidapi against the ROM emulator on an
// emulated hidraw device in the same test bed).
#include "e2e_ops_support.h"

#include <atomic>
#include <thread>

#include "BirdBuilder.h"
#include "imx_sdp/ImxHidEmulator.h"
#include "imx_sdp/ImxSerialEmulator.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UpgradeDevice.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "update_server/UpdateServerEmulator.h"
#include "SkipOrFail.h"

using namespace opstest;
using namespace module_emu;

namespace {

const uint32_t kSerial = 0x40F5849A;
// Option 39 by subindex as the loader holds it; the fingerprint lists subindex 3 first.
const uint32_t kWords[4] = {0x0A0B0C0D, 0x1F2E3D4C, 0x00C0FFEE, 0x8BADF00D};
const std::string kTable = "[ 8BADF00D 00C0FFEE 1F2E3D4C 0A0B0C0D ]\n";

// The live loader on USB: entities with the chip's words, and the UPGRADE protocol already in
// its loader state. On REBOOT it leaves the bus, as a chip does that starts its new firmware.
class LiveLoader {
public:
    explicit LiveLoader(uint32_t serial = 0xDEADDEAD) : upgrade(kAddress, 1, 0x01000000)
    {
        ModuleIdentity id;
        id.address = kAddress;
        id.serialNumber = serial;
        id.model = 4;
        memcpy(id.fingerprint, kWords, sizeof kWords);
        entity.reset(new EntityModule(id));
        // The loader takes firmware blocks from its start on.
        upgrade.handle({kCmdUpgrade, kUpgradeInit});
        upgrade.handle({kCmdUpgrade, kUpgradeLoad});
        entity->setCommandHandler(kCmdUpgrade, [this](const Packet& p) {
            UpgradeResult r = upgrade.handle(p.data);
            if (r.link != LinkAction::Keep)
                leave = true;
            return r.replies;
        });
        UsbDeviceConfig c;
        c.vendorId = QCUSB_VENDOR_ID;
        c.productId = 0x0104;
        char text[16];
        snprintf(text, sizeof text, "%08X", serial);
        c.serial = text;
        device = UsbTestbed::instance().addDevice(c);
        if (!device)
            return;
        core.setHandler(kAddress, [this](const Packet& request) {
            Packet e;
            e.address = request.address;
            e.data = request.data;
            std::vector<Packet> out;
            for (const Packet& reply : entity->handle(e))
                out.push_back(Packet{reply.address, reply.data});
            return out;
        });
        core.attach(*device);
        // Leaving the bus is done off the device's own thread.
        watcher = std::thread([this] {
            while (!stopping) {
                if (leave.exchange(false))
                    device->setFault(UsbFault::Unplugged);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~LiveLoader()
    {
        stopping = true;
        if (watcher.joinable())
            watcher.join();
        if (device)
            core.detach(*device);
    }

    static const uint8_t kAddress = 2;
    UpgradeDevice upgrade;
    std::unique_ptr<EntityModule> entity;
    ModuleCore core{kAddress};
    UsbDevice* device = nullptr;
    std::atomic<bool> leave{false};
    std::atomic<bool> stopping{false};
    std::thread watcher;
};

BirdBuilder sLoaderImage()
{
    BirdBuilder b;
    b.loader(0x20000400, BirdBuilder::Random(2500, 61)).startAddress(0x20000404);
    b.firmware(0x0, BirdBuilder::Random(64, 62));
    return b;
}

class RecoveryUsb : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!UsbTestbed::instance().ok())
            QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(rom.start());
        rom.setThrottle(11520);
        store = dir.path + "/store";
        // The live loader is stored for the blank device.
        std::string device = store + "/updater/DEADDEAD";
        ASSERT_EQ(system(("mkdir -p " + device).c_str()), 0);
        ASSERT_TRUE(WriteFile(device + "/.settings", "LATEST_DOWNLOAD=3.bird\n"));
        ASSERT_TRUE(sLoaderImage().writeTo(device + "/3.bird"));
    }
    void TearDown() override
    {
        rom.stop();
        server.stop();
    }
    void expectLoaderStarted()
    {
        rom.locked([](SdpRom& sdp) {
            ASSERT_EQ(sdp.writes.size(), 1u);
            EXPECT_EQ(sdp.writes[0].address, 0x20000400u);
            EXPECT_TRUE(sdp.writes[0].data == BirdBuilder::Random(2500, 61));
            EXPECT_TRUE(sdp.writes[0].complete);
            EXPECT_EQ(sdp.jumps, std::vector<uint32_t>{0x20000404u});
        });
    }

    UpdateServerEmulator server;
    ImxSerialEmulator rom;
    TempDir dir;
    std::string store;
};

TEST_F(RecoveryUsb, FingerprintThroughTheStartedLoader)
{
    LiveLoader loader;
    ASSERT_NE(loader.device, nullptr) << UsbTestbed::instance().error();
    Result r = RunUpdater({"-N", "-s", rom.path(), "-i", store, "-u", server.url()}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kVersion + kTable);
    EXPECT_EQ(r.err, "");
    expectLoaderStarted();
    EXPECT_EQ(loader.entity->resets(), 1) << "the fingerprint leaves the live loader reset";
}

// A store entry that names no loader image: the probe downloads the blank device's current
// build (its lines muted) and goes on with it.
TEST_F(RecoveryUsb, FingerprintWithTheLoaderDownloadedForAnEmptyEntry)
{
    LiveLoader loader;
    ASSERT_NE(loader.device, nullptr) << UsbTestbed::instance().error();
    ASSERT_TRUE(WriteFile(store + "/updater/DEADDEAD/.settings", "LATEST_DOWNLOAD=\n"));
    std::string served = dir.path + "/served.bird";
    ASSERT_TRUE(sLoaderImage().writeTo(served));
    server.setBuilds(0xDEADDEAD, {{"7", "1.0.0", served}});
    server.setCurrentBuild(0xDEADDEAD, "7");
    Result r = RunUpdater({"-N", "-s", rom.path(), "-i", store, "-u", server.url()}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kVersion + kTable);
    EXPECT_EQ(r.err, "");
    bool downloaded = false;
    for (const std::string& q : server.queries())
        downloaded = downloaded || (q.find("op=bird") != std::string::npos &&
                                    q.find("sn=DEADDEAD") != std::string::npos);
    EXPECT_TRUE(downloaded) << Join(server.queries());
    expectLoaderStarted();
    EXPECT_EQ(loader.entity->resets(), 1) << "the fingerprint leaves the live loader reset";
}

// -s USB: the loader goes in through the HID transport, the rest as over the serial line.
TEST_F(RecoveryUsb, FingerprintWithTheLoaderSentOverHid)
{
    LiveLoader loader;
    ASSERT_NE(loader.device, nullptr) << UsbTestbed::instance().error();
    ImxHidEmulator* hid = ImxHidEmulator::instance();
    ASSERT_NE(hid, nullptr) << ImxHidEmulator::error();
    hid->reset();
    Result r = RunUpdater({"-N", "-s", "USB", "-i", store, "-u", server.url()}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kVersion + kTable);
    EXPECT_EQ(r.err, "");
    hid->locked([](SdpRom& sdp) {
        EXPECT_EQ(sdp.commandLog, "ERROR_STATUS\nWRITE_FILE 0x20000400 2500\nJUMP_ADDRESS 0x20000404\n");
        ASSERT_EQ(sdp.writes.size(), 1u);
        EXPECT_TRUE(sdp.writes[0].data == BirdBuilder::Random(2500, 61));
        EXPECT_TRUE(sdp.writes[0].complete);
    });
    EXPECT_EQ(hid->device().activity().opens, 1);
    EXPECT_EQ(loader.entity->resets(), 1) << "the fingerprint leaves the live loader reset";
    rom.locked([](SdpRom& sdp) { EXPECT_TRUE(sdp.commandLog.empty()) << "the serial ROM is not used"; });
}

TEST_F(RecoveryUsb, RecoveryWritesTheFirmwareThroughTheStartedLoader)
{
    LiveLoader loader;
    ASSERT_NE(loader.device, nullptr) << UsbTestbed::instance().error();
    BirdBuilder::Bytes a = BirdBuilder::Random(5000, 71), b = BirdBuilder::Random(700, 72);
    BirdBuilder image;
    image.firmware(0x8000, a).firmware(0x20000, b);
    std::string served = dir.path + "/served.bird";
    ASSERT_TRUE(image.writeTo(served));
    server.setBuilds(kSerial, {{"1300", "1.2.3", served}});
    uint32_t fp[4] = {kWords[3], kWords[2], kWords[1], kWords[0]};
    server.setRecovery(fp, kSerial, "1300");

    Result r = RunUpdater({"-U", "-t", "RECOVER", "-s", rom.path(), "-i", store, "-u",
                           server.url()}, 90000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Recovering firmware with build: 1300\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferred 2 blocks, 5708 total bytes\n"), std::string::npos) << r.out;
    expectLoaderStarted();
    std::map<uint32_t, std::vector<uint8_t>> written = loader.upgrade.firmware();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(written[0x8000] == a);
    EXPECT_TRUE(written[0x20000] == b);
    EXPECT_EQ(loader.upgrade.counts().reboot, 1);
    EXPECT_EQ(loader.entity->resets(), 0) << "a recovery does not reset the live loader";
}

// With -f and -d the file carries the loader too, and the started loader answers on USB under
// the module's own serial number. One that never confirms a block: the recovery fails and the
// module is not rebooted.
TEST_F(RecoveryUsb, ATransferTheLoaderRefusesIsAFailedRecovery)
{
    LiveLoader loader(kSerial);
    ASSERT_NE(loader.device, nullptr) << UsbTestbed::instance().error();
    UpgradeFaults faults;
    faults.wrongSumAlways = true;
    loader.upgrade.setFaults(faults);
    BirdBuilder image;
    image.loader(0x20000400, BirdBuilder::Random(2500, 61)).startAddress(0x20000404);
    image.firmware(0x8000, BirdBuilder::Random(600, 81));
    std::string file = dir.path + "/recovery.bird";
    ASSERT_TRUE(image.writeTo(file));

    Result r = RunUpdater({"-U", "-t", "RECOVER", "-s", rom.path(), "-f", file, "-d", "40F5849A",
                           "-i", store, "-u", server.url()}, 90000);
    EXPECT_EQ(r.status, 1);
    // The transfer logs each refused try; the recovery's own line comes last.
    const std::string last = "\nFailed to transfer firmware\n";
    ASSERT_GE(r.err.size(), last.size());
    EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last) << r.err;
    EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
    expectLoaderStarted();
    EXPECT_EQ(loader.upgrade.counts().reboot, 0);
    EXPECT_EQ(loader.entity->resets(), 0) << "a recovery does not reset the live loader";
    EXPECT_GT(loader.upgrade.counts().sum, 0);
    EXPECT_EQ(loader.upgrade.counts().write, 0) << "no block may be written after a wrong sum";
    EXPECT_TRUE(server.queries().empty()) << "-f must not ask the server: " << Join(server.queries());
}

}  // namespace
