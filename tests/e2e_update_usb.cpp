// -U over USB on the real binary: the emulated module is a USB device under umockdev (the
// binary, a child of the test, inherits the test bed) whose UPGRADE protocol is the emulator's
// state machine; REBOOT unplugs it for a while. The module can also leave the bus while it
// restarts into its loader or in the middle of the firmware, and come back on its port under a
// new device number, as itself or as the blank loader's 0xDEADDEAD; or its bus can fail for a
// moment. Another module may answer under 0xDEADDEAD on another port meanwhile.
#include "e2e_ops_support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "ExpectedFirmware.h"
#include "Occurrences.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/UpgradeDevice.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "SkipOrFail.h"

using namespace opstest;
using module_emu::UpgradeDevice;
using module_emu::UsbDevice;
using module_emu::UsbFault;
using module_emu::UsbTestbed;
typedef std::vector<uint8_t> Bytes;
using Clock = std::chrono::steady_clock;

namespace {


// When the module leaves the bus during an update, and how it comes back.
struct Departure {
    uint8_t at = 0xFF;          // the UPGRADE request it goes at (none: it stays)
    int nth = 1;                // the nth such request (the loader phase's counted)
    bool answered = false;      // the request is answered first (gone once the host took it)
    bool answeredWhenBack = false;  // the reply goes on the host's new link instead
    int burstMs = 0;            // instead of leaving, its bus fails this long
    int backMs = -1;            // back on the bus this long after leaving; -1 never
    std::string backAs;         // the serial string it comes back with; "" its own
};

// One updatable module on its own USB device; it leaves the bus as each departure in turn
// says (the requests that place one counted from the start).
struct UsbUpgradeModule {
    UsbUpgradeModule(UsbDevice* device, uint8_t address, const Departure& departure = Departure())
        : UsbUpgradeModule(device, address, std::vector<Departure>{departure})
    {
    }
    UsbUpgradeModule(UsbDevice* device, uint8_t address, const std::vector<Departure>& departures)
        : dev(device), core(address), upgrade(address, 1200, 0x01020000), plans(departures)
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
                                          [this](const module_emu::Packet& p) {
                                              return handle(p);
                                          });
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(*dev);
    }
    ~UsbUpgradeModule()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        stop.notify_all();
        if (back.joinable())
            back.join();
        for (std::thread& t : away)
            if (t.joinable())
                t.join();
        core.detach(*dev);
        // The next case of this program must not find it.
        dev->unplug();
    }
    std::vector<module_emu::Packet> handle(const module_emu::Packet& p)
    {
        const uint8_t sub = p.data.size() >= 2 ? p.data[1] : 0xFF;
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
        const int count = ++seen[sub];
        if (departing || next >= plans.size() || sub != plans[next].at || count != plans[next].nth)
            return r.replies;
        const Departure plan = plans[next++];
        departing = true;
        if (plan.answered)
            for (const module_emu::Packet& reply : r.replies)
                host->send(reply);
        std::vector<module_emu::Packet> held;
        if (plan.answeredWhenBack)
            held = r.replies;
        // Off the device's own thread: leaving the bus goes through the test bed.
        away.emplace_back([this, plan, held] { depart(plan, held); });
        return {};
    }
    // Sleeps ms unless the module is being taken down; false then.
    bool pause(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !stop.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
    void depart(const Departure& plan, std::vector<module_emu::Packet> held)
    {
        depart1(plan, held);
        departing = false;
    }
    void depart1(const Departure& plan, const std::vector<module_emu::Packet>& held)
    {
        // An answer goes out with the transfer that takes it; the module leaves right after.
        for (int i = 0; plan.answered && i < 2000 && dev->queuedForHost() > 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (plan.burstMs > 0) {
            dev->setFault(UsbFault::BusErrors);
            pause(plan.burstMs);
            dev->setFault(UsbFault::None);
            return;
        }
        dev->unplug();
        left = true;
        upgrade.linkDropped();
        core.onDisconnect();
        if (plan.backMs < 0 || !pause(plan.backMs))
            return;
        const size_t routes = core.routeRecords().size();
        dev->replug(plan.backAs);
        returned = true;
        if (held.empty())
            return;
        // After the host's new link is up: its second route-on follows the sync and the
        // clearing of what came during it.
        for (int i = 0; i < 10000 && core.routeRecords().size() < routes + 2; i++)
            if (!pause(1))
                return;
        for (const module_emu::Packet& reply : held)
            host->send(reply);
    }

    UsbDevice* dev;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
    UpgradeDevice upgrade;
    const std::vector<Departure> plans;
    size_t next = 0;              // the handler's own (one thread)
    std::map<uint8_t, int> seen;  // requests of each sub-command so far
    std::thread back;
    std::vector<std::thread> away;  // the handler's own
    std::atomic<bool> rebooted{false}, left{false}, returned{false};
    std::atomic<bool> departing{false};  // one departure at a time
    std::mutex mutex;
    std::condition_variable stop;
    bool stopping = false;
};

// portPath false: libusb reads no port path for it.
UsbDevice* sAddModuleDevice(const char* serial = "40F5849A", bool portPath = true)
{
    module_emu::UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = 0x0104;
    c.serial = serial;
    c.portPath = portPath;
    return UsbTestbed::instance().addDevice(c);
}

// Another module of the family, blank (or in its loader for an update of its own): it answers
// the link and its system entity under the default serial number 0xDEADDEAD, on a port of its
// own, and records what the host sends it.
struct BlankUsbModule {
    explicit BlankUsbModule(UsbDevice* device) : dev(device), core(8)
    {
        module_emu::ModuleIdentity id;
        id.address = 8;
        id.serialNumber = 0xDEADDEAD;
        id.model = 4;
        network.add(id);
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(*dev);
    }
    ~BlankUsbModule()
    {
        core.detach(*dev);
        dev->unplug();
    }
    int upgradePackets() const
    {
        int n = 0;
        for (const module_emu::HostPacket& p : core.hostPackets())
            if (!p.packet.data.empty() && p.packet.data[0] == module_emu::kCmdUpgrade)
                n++;
        return n;
    }
    UsbDevice* dev;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
};

}  // namespace

TEST(UpdateUsb, FromAFile)
{
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    UsbDevice* dev = sAddModuleDevice();
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

namespace {

struct OffTheBusCase {
    const char* name;
    Departure plan;
    bool updated;          // exit 0 with the flash byte-exact; else exit 1, nothing recorded
    std::string log;       // a log line (-X 0x500) the run must show; "" runs without -X
    Departure then = Departure();  // a second departure, once the module is back from the first
    bool anotherBlank = false;     // a blank module under 0xDEADDEAD on another port all along
    bool portPaths = true;         // false: libusb reads no port path for either module
    std::string err = "Firmware update failed [";  // in the error lines of a failed run
};

void PrintTo(const OffTheBusCase& c, std::ostream* os)
{
    *os << c.name;
}

Departure sGone(uint8_t at, int nth, int backMs, const std::string& backAs = "")
{
    Departure d;
    d.at = at;
    d.nth = nth;
    d.backMs = backMs;
    d.backAs = backAs;
    return d;
}

Departure sAnswered(Departure d)
{
    d.answered = true;
    return d;
}

Departure sAnsweredWhenBack(Departure d)
{
    d.answeredWhenBack = true;
    return d;
}

Departure sBurst(uint8_t at, int nth, int ms)
{
    Departure d = sGone(at, nth, -1);
    d.burstMs = ms;
    return d;
}

OffTheBusCase sWithAnotherBlank(OffTheBusCase c)
{
    c.anotherBlank = true;
    return c;
}

OffTheBusCase sWithoutPortPaths(OffTheBusCase c)
{
    c.portPaths = false;
    return c;
}

// The image: a loader of 4 DATA packets, then firmware blocks of 300 bytes (pieces of 128,
// 128 and 44: 12 DATA packets) and of 200 bytes (128 and 72: 8 packets).
const int kLoaderPackets = 4, kFirstBlockPackets = 12;
const char* const kOneAtATime =
    "Another device answers under the default serial number 0xDEADDEAD: modules must be "
    "updated one at a time\n";

class UpdateUsbOffTheBus : public ::testing::TestWithParam<OffTheBusCase> {};

}  // namespace

TEST_P(UpdateUsbOffTheBus, TheModuleIsFoundAgain)
{
    const OffTheBusCase& c = GetParam();
    if (!UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
    UsbDevice* dev = sAddModuleDevice("40F5849A", c.portPaths);
    ASSERT_NE(dev, nullptr) << UsbTestbed::instance().error();
    std::vector<Departure> plans = {c.plan};
    if (c.then.at != 0xFF)
        plans.push_back(c.then);
    UsbUpgradeModule module(dev, 6, plans);
    std::unique_ptr<BlankUsbModule> other;
    if (c.anotherBlank) {
        UsbDevice* blank = sAddModuleDevice("DEADDEAD", c.portPaths);
        ASSERT_NE(blank, nullptr) << UsbTestbed::instance().error();
        ASSERT_NE(blank->port(), dev->port());
        other.reset(new BlankUsbModule(blank));
    }

    TempDir files, store;
    std::string path = files.path + "/fw.bird";
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(100, 1))
        .firmware(0x1000, BirdBuilder::Random(300, 2))
        .firmware(0x4000, BirdBuilder::Random(200, 3))
        .serialInfo(0x1004, 0x1010)
        .descriptor("1300", "1.3.0", "00000000", "Dorvel");
    ASSERT_TRUE(b.writeTo(path));

    std::vector<std::string> words = {"-U", "-d", "40F5849A", "-f", path, "-u",
                                      "http://127.0.0.1:9/cgi/u", "-i", store.path};
    if (!c.log.empty())
        words.insert(words.end(), {"-X", "0x500"});
    Clock::time_point t0 = Clock::now();
    Result r = RunUpdater(words, 90000);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    auto attributes = ReadAttributes(store.path + "/updater/40F5849A/.settings");
    const bool leaves = c.plan.burstMs == 0;
    EXPECT_EQ(module.left.load(), leaves);
    EXPECT_EQ(module.returned.load(), leaves && c.plan.backMs >= 0);
    if (!c.log.empty()) {
        EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
    }
    if (other) {
        // Never taken for this module: not claimed, nothing of the image sent to it.
        EXPECT_EQ(other->upgradePackets(), 0);
        EXPECT_EQ(other->dev->activity().claims, 0);
    }

    if (!c.updated) {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(attributes.count("LATEST_TRANSFER"), 0u);
        // The search after the drop takes its 15 attempts of about 1 s, and no more.
        EXPECT_GE(seconds, 14.0);
        EXPECT_LE(seconds, 30.0);
        EXPECT_EQ(module.upgrade.counts().reboot, 0);
        return;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Firmware update failed"), std::string::npos) << r.err;
    // A block the module was lost in went again and through: it did not fail.
    EXPECT_EQ(r.err.find("NETWORK: Failed to transfer firmware"), std::string::npos) << r.err;
    EXPECT_EQ(module.upgrade.firmware(), qctest::ExpectedFirmware(path, kSerial));
    module_emu::UpgradeCounts n = module.upgrade.counts();
    EXPECT_EQ(n.load, 1);
    EXPECT_EQ(n.reboot, 1);
    // Only the block the module was lost in goes again, once.
    EXPECT_LE(qctest::occurrences(r.out, "  Retry "), 1u) << r.out;
    if (c.plan.at == module_emu::kUpgradeData) {
        EXPECT_EQ(qctest::occurrences(r.out, "Transferring firmware block 1 of 2"), 1u) << r.out;
        EXPECT_NE(r.out.find("Transferring firmware block 2 of 2, 204 bytes\n  Retry 1\n"),
                  std::string::npos)
            << r.out;
    }
    if (c.plan.burstMs > 0) {
        EXPECT_EQ(dev->activity().claims, 2) << "the failed device let go and opened again";
    }
    EXPECT_NE(r.out.find("Transferred 2 blocks, 508 total bytes\nUpdate time: "),
              std::string::npos)
        << r.out;
    EXPECT_EQ(attributes["LATEST_TRANSFER"], path);
    for (int i = 0; i < 200 && !module.rebooted; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(module.upgrade.build(), 1300u);
}

using module_emu::kUpgradeData;
using module_emu::kUpgradeLoad;
using module_emu::kUpgradePrepare;

INSTANTIATE_TEST_SUITE_P(
    , UpdateUsbOffTheBus,
    ::testing::Values(
        OffTheBusCase{"LoadAnsweredGoneAtOnceBackAfterHalfASecond",
                      sAnswered(sGone(kUpgradeLoad, 1, 500)), true, ""},
        // Still there when the update looks right after LOAD: lost on the first PREPARE, and
        // back as the blank loader.
        OffTheBusCase{"LoadAnsweredGoneAtThePrepareBackAsTheDefaultSerialAfterFiveSeconds",
                      sGone(kUpgradePrepare, 2, 5000, "DEADDEAD"), true, ""},
        OffTheBusCase{"LoadUnansweredBackAsTheDefaultSerialAfterEightSeconds",
                      sGone(kUpgradeLoad, 1, 8000, "DEADDEAD"), true, ""},
        // The loader answers LOAD only on the link under the default serial number: the
        // reconnect of LOAD itself finds it there.
        OffTheBusCase{"LoadAnsweredOnlyUnderTheDefaultSerial",
                      sAnsweredWhenBack(sGone(kUpgradeLoad, 1, 3000, "DEADDEAD")), true,
                      "NETWORK: Loader validated start (Reconnect)\n"},
        OffTheBusCase{"GoneInTheSecondBlockBackAfterOneSecond",
                      sGone(kUpgradeData, kLoaderPackets + kFirstBlockPackets + 3, 1000), true, ""},
        OffTheBusCase{"ErrorBurstOf100msInTheSecondBlock",
                      sBurst(kUpgradeData, kLoaderPackets + kFirstBlockPackets + 3, 100), true, ""},
        OffTheBusCase{"LoadAnsweredNeverBack", sAnswered(sGone(kUpgradeLoad, 1, -1)), false, ""},
        // In its loader as 0xDEADDEAD, then lost in the first firmware block and back under
        // its own serial number: the search still looks for that.
        OffTheBusCase{"BackAsTheDefaultSerialThenLostInABlockAndBackAsItself",
                      sGone(kUpgradeLoad, 1, 1000, "DEADDEAD"), true, "",
                      sGone(kUpgradeData, kLoaderPackets + 3, 1000, "40F5849A")},
        // Another module under 0xDEADDEAD on another port, there before LOAD: it is never
        // taken for this one, which is found on its own port or under its own serial number.
        sWithAnotherBlank({"AnotherBlankModuleWhileBackAsTheDefaultSerialOnItsOwnPort",
                           sAnswered(sGone(kUpgradeLoad, 1, 3000, "DEADDEAD")), true, ""}),
        sWithAnotherBlank({"AnotherBlankModuleWhileBackAsItselfAfterTwoSeconds",
                           sAnswered(sGone(kUpgradeLoad, 1, 2000)), true, ""}),
        sWithAnotherBlank({"AnotherBlankModuleWhileNeverBack",
                           sAnswered(sGone(kUpgradeLoad, 1, -1)), false, "", Departure(), true,
                           true, kOneAtATime}),
        // No port path to tell them apart: a device under 0xDEADDEAD is this module only when
        // it is the only one and was not on the bus before LOAD.
        sWithoutPortPaths({"NoPortPathBackAsTheOnlyDefaultSerial",
                           sAnswered(sGone(kUpgradeLoad, 1, 1000, "DEADDEAD")), true, ""}),
        sWithoutPortPaths(
            sWithAnotherBlank({"NoPortPathsAnotherBlankModuleWhileBackAsTheDefaultSerial",
                               sAnswered(sGone(kUpgradeLoad, 1, 1000, "DEADDEAD")), false, "",
                               Departure(), true, false, kOneAtATime}))),
    [](const ::testing::TestParamInfo<OffTheBusCase>& c) { return std::string(c.param.name); });
