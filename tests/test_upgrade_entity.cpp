// The host's UPGRADE entity against the emulated module over a loopback TCP link: the order
// and shape of the exchanges, the sums, the progress, and what each device fault gives.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "Timing.h"
#include "UpdaterEntity.h"
#include "aTime.h"
#include "upgrade_support.h"

using namespace upgradetest;
using module_emu::UpgradeCounts;
using module_emu::UpgradeFaults;
using module_emu::UpgradeMode;
typedef std::vector<uint8_t> Bytes;

namespace {

// A block as the image holds it: 4 address bytes (big-endian), then the bytes.
Bytes block(uint32_t address, const Bytes& bytes)
{
    Bytes b(bytes.size() + 4);
    for (int i = 0; i < 4; i++)
        b[i] = uint8_t(address >> (24 - 8 * i));
    std::copy(bytes.begin(), bytes.end(), b.begin() + 4);
    return b;
}

Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        b[i] = uint8_t(seed >> 16);
    }
    return b;
}

// Makes the byte sum a multiple of 256, so a SUM reply cut after its third sum byte would
// still read as the right sum if the cut went unnoticed.
Bytes withRoundSum(Bytes b)
{
    uint32_t s = std::accumulate(b.begin(), b.end(), 0u);
    b.back() = uint8_t(b.back() - (s & 0xFF));
    return b;
}

using qctest::msSince;

// Brings the emulated module into its loader, as the loader phase does.
void startLoader(EntityRig& t)
{
    Rig& rig = t.rig;
    UpdaterEntity& e = t.e;
    ASSERT_TRUE(rig.connected);
    ASSERT_EQ(e.LoaderInit(), aErrNone);
    Bytes loader = block(0x10000000, pattern(60, 1));
    unsigned short size = 0;
    ASSERT_EQ(e.TransferPrepare(loader.data(), (unsigned)loader.size(), 0, size), aErrNone);
    ASSERT_EQ(e.LoaderTransfer(loader.data(), (unsigned)loader.size()), aErrNone);
    ASSERT_EQ(e.LoaderStart(), aErrNone);
    ASSERT_EQ(rig.device().mode(), UpgradeMode::Loader);
    rig.device().clearCounts();
}

} // namespace

TEST(UpgradeEntity, LoaderThenFirmwareThenReboot)
{
    UpgradeModuleConfig cfg;
    cfg.ip = "127.0.0.21";
    cfg.upgrade.blockSize = 512;
    cfg.upgrade.newBuild = 4321;
    cfg.rebootDownMs = 100;
    EntityRig t(cfg);
    auto& [rig, log, display, e] = t;
    ASSERT_TRUE(rig.connected);

    ASSERT_EQ(e.LoaderInit(), aErrNone);
    EXPECT_EQ(log.count("NETWORK: load base = 536870912 [20000000]\n"), 1u);
    Bytes loader = block(0x10000000, pattern(60, 1));
    unsigned short size = 0;
    ASSERT_EQ(e.TransferPrepare(loader.data(), (unsigned)loader.size(), 3, size), aErrNone);
    EXPECT_EQ(size, 512);
    ASSERT_EQ(e.LoaderTransfer(loader.data(), (unsigned)loader.size()), aErrNone);
    UpgradeCounts c = rig.device().counts();
    EXPECT_EQ(c.data, 3) << "26 + 26 + 8 bytes";
    EXPECT_EQ(c.sum, 1);
    EXPECT_EQ(c.write, 0) << "loader blocks are not written";
    ASSERT_EQ(e.LoaderStart(), aErrNone);
    EXPECT_EQ(rig.device().mode(), UpgradeMode::Loader);
    EXPECT_EQ(rig.device().loader().at(0x10000000), Bytes(loader.begin() + 4, loader.end()));

    // 4 address bytes and 1000 bytes with block size 512: pieces of 512 and 488.
    rig.device().clearCounts();
    Bytes fw = block(0x00008000, pattern(1000, 2));
    ASSERT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrNone);
    ASSERT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), size, display), aErrNone);
    EXPECT_EQ(rig.device().firmware().at(0x8000), Bytes(fw.begin() + 4, fw.end()));
    c = rig.device().counts();
    EXPECT_EQ(c.data, 20 + 19);
    EXPECT_EQ(c.sum, 2);
    EXPECT_EQ(c.write, 2);
    ASSERT_EQ(display.progress.size(), 2u);
    EXPECT_DOUBLE_EQ(display.progress[0], 516.0 / 1004.0);
    EXPECT_DOUBLE_EQ(display.progress[1], 1.0);
    EXPECT_EQ(display.progressShown, std::vector<bool>({true, false}));

    // REBOOT: the link falls at once, so the wait is short; the module comes back new.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.LoaderReboot(display), aErrNone);
    EXPECT_LT(msSince(t0), 1000);
    EXPECT_FALSE(rig.module->isConnected());
    ASSERT_FALSE(display.spinner.empty());
    EXPECT_FALSE(display.spinner.back());
    ASSERT_TRUE(rig.emu->waitForReboots(1, 3000));
    EXPECT_EQ(rig.device().build(), 4321u);
}

TEST(UpgradeEntity, FirmwarePieceFaults)
{
    struct Case {
        const char* what;
        UpgradeFaults faults;
        uint16_t blockSize;
        uint8_t prepareStatus;
        aErr prepare;        // TransferPrepare's result
        aErr transfer;       // FirmwareTransfer's (when the prepare passed)
        int data;            // DATA packets the device received (-1: not checked)
        int sums, writes;
        bool recorded;       // the device holds the whole block afterwards
    };
    const int pieceData = 3;  // 60 bytes: 26 + 26 + 8
    UpgradeFaults none, shortOnce, shortAlways, wrongSum, noDataReply, cutSum, cutData, cutWrite,
        cutPrepare, cutRefusal, drop;
    shortOnce.shortDataAt = 2;
    shortAlways.shortDataAt = 1;
    shortAlways.shortDataTimes = -1;
    wrongSum.wrongSumAt = 1;
    noDataReply.withholdCommand = module_emu::kUpgradeData;
    noDataReply.withholdAt = 2;
    cutSum.truncateCommand = module_emu::kUpgradeSum;
    cutSum.truncateTo = 6;
    cutData.truncateCommand = module_emu::kUpgradeData;
    cutData.truncateTo = 2;
    cutWrite.truncateCommand = module_emu::kUpgradeWrite;
    cutWrite.truncateTo = 2;
    cutPrepare.truncateCommand = module_emu::kUpgradePrepare;
    cutPrepare.truncateTo = 4;
    cutRefusal.truncateCommand = module_emu::kUpgradePrepare;
    cutRefusal.truncateTo = 3;
    drop.dropLinkAtData = 2;
    Case cases[] = {
        {"no fault", none, 4096, 0, aErrNone, aErrNone, pieceData, 1, 1, true},
        {"one short count: the packet goes again", shortOnce, 4096, 0, aErrNone, aErrNone,
         pieceData + 1, 1, 1, true},
        {"never the full count: 10 resends, then give up", shortAlways, 4096, 0, aErrNone,
         aErrPacket, 11, 0, 0, false},
        {"wrong sum", wrongSum, 4096, 0, aErrNone, aErrInvalidOption, pieceData, 1, 0, false},
        {"no DATA reply", noDataReply, 4096, 0, aErrNone, aErrPacket, 2, 0, 0, false},
        {"SUM reply without its last byte", cutSum, 4096, 0, aErrNone, aErrPacket, pieceData, 1, 0, false},
        {"DATA reply without the count", cutData, 4096, 0, aErrNone, aErrPacket, 1, 0, 0, false},
        {"WRITE reply without the status", cutWrite, 4096, 0, aErrNone, aErrInvalidOption,
         pieceData, 1, 1, true},
        {"PREPARE refused", none, 4096, 5, aErrInvalidOption, aErrNone, 0, 0, 0, false},
        {"PREPARE block size 0: no piece can go", none, 0, 0, aErrNone, aErrInvalidOption, 0, 0, 0,
         false},
        {"PREPARE reply without the block size", cutPrepare, 4096, 0, aErrTimeout, aErrNone, 0, 0,
         0, false},
        {"PREPARE refused, its reply without the block size", cutRefusal, 4096, 5,
         aErrInvalidOption, aErrNone, 0, 0, 0, false},
        {"link drops mid-piece", drop, 4096, 0, aErrNone, aErrPacket, 2, 0, 0, false},
    };
    Bytes fw = block(0x4000, withRoundSum(pattern(60, 7)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EntityRig t(configAt("127.0.0.22"));
        auto& [rig, log, display, e] = t;
        ASSERT_NO_FATAL_FAILURE(startLoader(t));
        module_emu::UpgradeConfig ucfg = rig.device().config();
        ucfg.blockSize = c.blockSize;
        ucfg.prepareStatus = c.prepareStatus;
        rig.device().setConfig(ucfg);
        rig.device().setFaults(c.faults);

        unsigned short size = 0;
        EXPECT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), c.prepare);
        if (c.prepare == aErrNone) {
            EXPECT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), size, display), c.transfer);
        }
        UpgradeCounts n = rig.device().counts();
        EXPECT_EQ(n.data, c.data);
        EXPECT_EQ(n.sum, c.sums);
        EXPECT_EQ(n.write, c.writes);
        auto recorded = rig.device().firmware();
        EXPECT_EQ(recorded.count(0x4000) && recorded[0x4000] == Bytes(fw.begin() + 4, fw.end()),
                  c.recorded);
    }
}

TEST(UpgradeEntity, FirmwareTransferRefusesBlockSizeZero)
{
    EntityRig t(configAt("127.0.0.23"));
    auto& [rig, log, display, e] = t;
    ASSERT_NO_FATAL_FAILURE(startLoader(t));
    Bytes fw = block(0x4000, pattern(60, 3));
    unsigned short size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrNone);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), 0, display), aErrInvalidOption);
    EXPECT_LT(msSince(t0), 500);
    EXPECT_EQ(rig.device().counts().data, 0);
}

TEST(UpgradeEntity, LateReplyIsNotTakenByTheNextWait)
{
    EntityRig t(configAt("127.0.0.24"));
    auto& [rig, log, display, e] = t;
    ASSERT_NO_FATAL_FAILURE(startLoader(t));
    UpgradeFaults late;
    late.withholdCommand = module_emu::kUpgradeSum;
    late.withholdDelayMs = 1300;
    rig.device().setFaults(late);

    Bytes fw = block(0x4000, pattern(60, 4));
    unsigned short size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrNone);
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), size, display), aErrPacket);
    // The SUM reply arrives now and stays queued; it must not pass for the PREPARE reply of
    // the retry (status 0 and a block size of the sum's high bytes) nor for a later status.
    aTime_MSSleep(600);
    ASSERT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrNone);
    EXPECT_EQ(size, 4096);
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), size, display), aErrNone);
    EXPECT_EQ(rig.device().firmware().at(0x4000), Bytes(fw.begin() + 4, fw.end()));
}

TEST(UpgradeEntity, WithoutSumCheckNoSumIsSent)
{
    EntityRig t(configAt("127.0.0.25"), false);
    auto& [rig, log, display, e] = t;
    ASSERT_NO_FATAL_FAILURE(startLoader(t));
    Bytes fw = block(0x4000, pattern(100, 5));
    unsigned short size = 0;
    ASSERT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrNone);
    EXPECT_EQ(e.FirmwareTransfer(fw.data(), (unsigned)fw.size(), size, display), aErrNone);
    EXPECT_EQ(rig.device().counts().sum, 0);
    EXPECT_EQ(rig.device().counts().write, 1);
}

TEST(UpgradeEntity, InitReplyWithoutLoadBase)
{
    EntityRig t(configAt("127.0.0.26"));
    auto& [rig, log, display, e] = t;
    ASSERT_TRUE(rig.connected);
    UpgradeFaults cut;
    cut.truncateCommand = module_emu::kUpgradeInit;
    cut.truncateTo = 5;
    rig.device().setFaults(cut);
    EXPECT_EQ(e.LoaderInit(), aErrPacket);
    EXPECT_EQ(e.LoaderInit(), aErrNone);
}

TEST(UpgradeEntity, LoaderStartWhenTheReplyDoesNotCome)
{
    struct Case {
        const char* what;
        UpgradeFaults faults;
        aErr result;
        const char* line;
    };
    UpgradeFaults never, afterReconnect;
    never.withholdCommand = module_emu::kUpgradeLoad;
    afterReconnect.loadReplyOnReconnect = true;
    Case cases[] = {
        {"never answers", never, aErrTimeout,
         "NETWORK: Invalid or reply when starting loader (Reconnect). [18, aErrTimeout]\n"},
        {"answers once reconnected", afterReconnect, aErrNone,
         "NETWORK: Loader validated start (Reconnect)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EntityRig t(configAt("127.0.0.27"));
        auto& [rig, log, display, e] = t;
        ASSERT_TRUE(rig.connected);
        ASSERT_EQ(e.LoaderInit(), aErrNone);
        rig.device().setFaults(c.faults);
        int before = rig.emu->connections();
        EXPECT_EQ(e.LoaderStart(), c.result);
        EXPECT_EQ(log.count(c.line), 1u) << log.text();
        EXPECT_EQ(rig.emu->connections(), before + 1) << "one reconnect";
        EXPECT_TRUE(rig.module->isConnected());
        EXPECT_EQ(rig.device().mode(), UpgradeMode::Loader);
    }
}

TEST(UpgradeEntity, RebootWaitIsBounded)
{
    struct Case {
        const char* what;
        bool noWaitForDrop;
        long atLeastMs, belowMs;
        size_t spinnerOn;  // frames shown
    };
    Case cases[] = {
        {"waits for the drop until the bound", false, 400, 2000, 2},
        {"through a router: one pass", true, 200, 1000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EntityRig t(configAt("127.0.0.28"), true, c.noWaitForDrop);
        auto& [rig, log, display, e] = t;
        ASSERT_TRUE(rig.connected);
        e.setRebootWait(400);
        UpgradeFaults stays;
        stays.ignoreReboot = true;
        rig.device().setFaults(stays);
        auto t0 = std::chrono::steady_clock::now();
        bool stayedUp = c.noWaitForDrop;  // the opposite of what the call must report
        EXPECT_EQ(e.LoaderReboot(display, &stayedUp), aErrNone);
        long ms = msSince(t0);
        // Only a wait that ran its course can tell the module did not restart.
        EXPECT_EQ(stayedUp, !c.noWaitForDrop);
        // The tool counts whole wall-clock milliseconds, this clock rounds its own way: a
        // wait that ends on its 400 ms bound may read a little less here.
        EXPECT_GE(ms, c.atLeastMs - 5);
        EXPECT_LT(ms, c.belowMs);
        EXPECT_TRUE(rig.module->isConnected());
        EXPECT_EQ(rig.device().counts().reboot, 1);
        ASSERT_FALSE(display.spinner.empty());
        EXPECT_FALSE(display.spinner.back());
        EXPECT_GE((size_t)std::count(display.spinner.begin(), display.spinner.end(), true),
                  c.spinnerOn);
        if (c.noWaitForDrop) {
            EXPECT_EQ((size_t)std::count(display.spinner.begin(), display.spinner.end(), true), 1u);
        }
        EXPECT_EQ(log.count("NETWORK: Link did not drop within 400 ms after REBOOT; going on.\n"),
                  c.noWaitForDrop ? 0u : 1u);
    }
}

TEST(UpgradeEntity, UnboundOrDisconnectedEntitySendsNothing)
{
    RecordingDisplay display;
    UpdaterEntity unbound;
    EXPECT_EQ(unbound.LoaderInit(), aErrResource);
    Velmoran::Quillcore::Module module(2, 0);
    UpdaterEntity e;
    e.init(&module, 0, true, false);
    Bytes fw = block(0x4000, pattern(30, 1));
    unsigned short size = 0;
    EXPECT_EQ(e.TransferPrepare(fw.data(), (unsigned)fw.size(), 0, size), aErrConnection);
    EXPECT_EQ(e.FirmwareWrite(30), aErrConnection);
    // Not connected: the reboot wait has nothing to wait for.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(e.LoaderReboot(display), aErrConnection);
    EXPECT_LT(msSince(t0), 200);
}
