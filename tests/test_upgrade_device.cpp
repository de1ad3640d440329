// The emulated module's UPGRADE state machine on its own: request bytes in, replies out.
#include <gtest/gtest.h>

#include <numeric>

#include "module_emu/UpgradeDevice.h"

using namespace module_emu;
typedef std::vector<uint8_t> Bytes;

namespace {

Bytes req(std::initializer_list<uint8_t> tail)
{
    Bytes d(tail.size() + 1);
    d[0] = kCmdUpgrade;
    std::copy(tail.begin(), tail.end(), d.begin() + 1);
    return d;
}

Bytes prepareReq(uint32_t address, uint8_t flags = 0)
{
    return req({kUpgradePrepare, flags, uint8_t(address >> 24), uint8_t(address >> 16),
                uint8_t(address >> 8), uint8_t(address)});
}

Bytes dataReq(const Bytes& bytes)
{
    Bytes d(bytes.size() + 2);
    d[0] = kCmdUpgrade;
    d[1] = kUpgradeData;
    std::copy(bytes.begin(), bytes.end(), d.begin() + 2);
    return d;
}

Bytes writeReq(uint16_t n)
{
    return req({kUpgradeWrite, uint8_t(n >> 8), uint8_t(n)});
}

Bytes only(const UpgradeResult& r)
{
    EXPECT_EQ(r.replies.size(), 1u);
    return r.replies.empty() ? Bytes() : r.replies[0].data;
}

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

uint32_t byteSum(const Bytes& b)
{
    return std::accumulate(b.begin(), b.end(), uint32_t(0));
}

Bytes statusWithSum(uint8_t status, uint32_t s)
{
    return {kCmdUpgrade, kUpgradeStatus, status, uint8_t(s >> 24), uint8_t(s >> 16),
            uint8_t(s >> 8), uint8_t(s)};
}

// Sends bytes in DATA packets of up to 26, as a host does; the count each reply gave.
std::vector<int> sendData(UpgradeDevice& dev, const Bytes& bytes)
{
    std::vector<int> taken;
    for (size_t at = 0; at < bytes.size(); at += 26) {
        size_t n = std::min<size_t>(26, bytes.size() - at);
        UpgradeResult r = dev.handle(dataReq(Bytes(bytes.begin() + at, bytes.begin() + at + n)));
        taken.push_back(r.replies.empty() ? -1 : r.replies[0].data.at(2));
    }
    return taken;
}

// A device that has taken a loader and runs it.
void startLoader(UpgradeDevice& dev)
{
    dev.handle(req({kUpgradeInit}));
    dev.handle(prepareReq(0x10000000));
    sendData(dev, pattern(40, 1));
    dev.handle(req({kUpgradeSum}));
    ASSERT_EQ(only(dev.handle(req({kUpgradeLoad}))), req({kUpgradeLoad}));
    ASSERT_EQ(dev.mode(), UpgradeMode::Loader);
}

} // namespace

TEST(UpgradeDevice, WholeUpdateIsRecordedAndRebootsIntoTheNewBuild)
{
    UpgradeConfig cfg;
    cfg.loadBase = 0x20001234;
    cfg.blockSize = 60;
    cfg.newBuild = 1300;
    cfg.newVersion = 0x01020003;
    UpgradeDevice dev(6, 1200, 0x01010000, cfg);

    // The running firmware refuses a block before INIT and starts no loader.
    EXPECT_EQ(only(dev.handle(prepareReq(0x10000000))),
              Bytes({kCmdUpgrade, kUpgradeStatus, kUpgradeRefused, 0, 0}));
    EXPECT_TRUE(dev.handle(req({kUpgradeLoad})).replies.empty());
    EXPECT_EQ(dev.mode(), UpgradeMode::Running);

    UpgradeResult init = dev.handle(req({kUpgradeInit}));
    EXPECT_EQ(only(init), Bytes({kCmdUpgrade, kUpgradeInit, 0x20, 0x00, 0x12, 0x34}));
    EXPECT_EQ(init.replies[0].address, 6);

    Bytes loader = pattern(70, 3);
    EXPECT_EQ(only(dev.handle(prepareReq(0x10000000, 2))),
              Bytes({kCmdUpgrade, kUpgradeStatus, 0, 0, 60}));
    EXPECT_EQ(sendData(dev, loader), std::vector<int>({26, 26, 18}));
    EXPECT_EQ(only(dev.handle(req({kUpgradeSum}))), statusWithSum(0, byteSum(loader)));
    EXPECT_EQ(only(dev.handle(req({kUpgradeLoad}))), req({kUpgradeLoad}));
    EXPECT_EQ(dev.mode(), UpgradeMode::Loader);

    // Firmware block of 100 bytes in pieces of 60 and 40, each summed and written.
    Bytes fw = pattern(100, 9);
    ASSERT_EQ(only(dev.handle(prepareReq(0x00004000, 5))).at(2), 0);
    Bytes first(fw.begin(), fw.begin() + 60), second(fw.begin() + 60, fw.end());
    EXPECT_EQ(sendData(dev, first), std::vector<int>({26, 26, 8}));
    EXPECT_EQ(only(dev.handle(req({kUpgradeSum}))), statusWithSum(0, byteSum(first)));
    EXPECT_EQ(only(dev.handle(writeReq(60))), Bytes({kCmdUpgrade, kUpgradeStatus, 0}));
    sendData(dev, second);
    // The sum starts again after each WRITE.
    EXPECT_EQ(only(dev.handle(req({kUpgradeSum}))), statusWithSum(0, byteSum(second)));
    EXPECT_EQ(only(dev.handle(writeReq(40))), Bytes({kCmdUpgrade, kUpgradeStatus, 0}));

    EXPECT_EQ(dev.firmware(), (std::map<uint32_t, Bytes>{{0x4000, fw}}));
    EXPECT_EQ(dev.loader(), (std::map<uint32_t, Bytes>{{0x10000000, loader}}));
    EXPECT_EQ(dev.flags(), (std::map<uint32_t, uint8_t>{{0x10000000, 2}, {0x4000, 5}}));

    UpgradeResult reboot = dev.handle(req({kUpgradeReboot}));
    EXPECT_TRUE(reboot.replies.empty());
    EXPECT_EQ(reboot.link, LinkAction::Reboot);
    EXPECT_EQ(dev.mode(), UpgradeMode::Rebooting);
    EXPECT_TRUE(dev.handle(req({kUpgradeInit})).replies.empty()) << "silent while rebooting";
    EXPECT_EQ(dev.build(), 1200u);
    dev.finishReboot();
    EXPECT_EQ(dev.mode(), UpgradeMode::Running);
    EXPECT_EQ(dev.build(), 1300u);
    EXPECT_EQ(dev.version(), 0x01020003u);

    UpgradeCounts c = dev.counts();
    EXPECT_EQ(c.init, 1);
    EXPECT_EQ(c.prepare, 3);
    EXPECT_EQ(c.data, 3 + 3 + 2);
    EXPECT_EQ(c.sum, 3);
    EXPECT_EQ(c.write, 2);
    EXPECT_EQ(c.load, 2);
    EXPECT_EQ(c.reboot, 1);
}

TEST(UpgradeDevice, RebootWithoutWrittenFirmwareKeepsTheOldBuild)
{
    UpgradeConfig cfg;
    cfg.newBuild = 1300;
    UpgradeDevice dev(2, 1200, 7, cfg);
    startLoader(dev);
    EXPECT_EQ(dev.handle(req({kUpgradeReboot})).link, LinkAction::Reboot);
    dev.finishReboot();
    EXPECT_EQ(dev.build(), 1200u);
}

TEST(UpgradeDevice, WriteIsCheckedAgainstTheBytesSinceTheLastPrepareOrWrite)
{
    struct Case {
        const char* what;
        bool loader;
        size_t sent;
        Bytes write;
        uint8_t status;
    } cases[] = {
        {"exact count", true, 30, writeReq(30), 0},
        {"one byte more", true, 30, writeReq(31), kUpgradeBadCount},
        {"one byte fewer", true, 30, writeReq(29), kUpgradeBadCount},
        {"nothing sent", true, 0, writeReq(0), kUpgradeBadCount},
        {"count cut off", true, 30, req({kUpgradeWrite, 0}), kUpgradeMalformed},
        {"running firmware", false, 30, writeReq(30), kUpgradeNotLoader},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeDevice dev(2, 1, 1);
        if (c.loader)
            startLoader(dev);
        else
            dev.handle(req({kUpgradeInit}));
        dev.handle(prepareReq(0x8000));
        Bytes bytes = pattern(c.sent, 5);
        sendData(dev, bytes);
        Bytes r = only(dev.handle(c.write));
        ASSERT_EQ(r.size(), 3u);
        EXPECT_EQ(r[2], c.status);
        Bytes recorded = c.status == 0 ? bytes : Bytes();
        auto fw = dev.firmware();
        EXPECT_EQ(fw.count(0x8000) ? fw[0x8000] : Bytes(), recorded);
    }
}

TEST(UpgradeDevice, DataPastTheBlockSizeIsNotTakenUntilWritten)
{
    UpgradeConfig cfg;
    cfg.blockSize = 30;
    UpgradeDevice dev(2, 1, 1, cfg);
    startLoader(dev);
    dev.handle(prepareReq(0x8000));
    Bytes fw = pattern(56, 4);
    // 26 fit; the next 26 would pass the 30 the loader can hold.
    EXPECT_EQ(sendData(dev, Bytes(fw.begin(), fw.begin() + 52)), std::vector<int>({26, 0}));
    EXPECT_EQ(sendData(dev, Bytes(fw.begin() + 26, fw.begin() + 30)), std::vector<int>({4}));
    EXPECT_EQ(only(dev.handle(writeReq(30))).at(2), 0);
    // Written: room for the next piece.
    EXPECT_EQ(sendData(dev, Bytes(fw.begin() + 30, fw.end())), std::vector<int>({26}));
    EXPECT_EQ(only(dev.handle(writeReq(26))).at(2), 0);
    EXPECT_EQ(dev.firmware()[0x8000], fw);
}

TEST(UpgradeDevice, WrongSumMeansADamagedByteThatAWriteWouldKeep)
{
    UpgradeDevice dev(2, 1, 1);
    startLoader(dev);
    UpgradeFaults wrong;
    wrong.wrongSumAt = 1;
    dev.setFaults(wrong);
    Bytes fw = pattern(60, 6);
    dev.handle(prepareReq(0x8000));
    sendData(dev, fw);
    EXPECT_EQ(only(dev.handle(req({kUpgradeSum}))), statusWithSum(0, byteSum(fw) + 1));
    // A host that wrote all the same would leave the damage in the module.
    EXPECT_EQ(only(dev.handle(writeReq(60))).at(2), 0);
    Bytes damaged = fw;
    damaged[0]++;
    EXPECT_EQ(dev.firmware()[0x8000], damaged);
}

TEST(UpgradeDevice, PrepareStartsTheAddressAfresh)
{
    UpgradeDevice dev(2, 1, 1);
    startLoader(dev);
    Bytes fw = pattern(20, 11);
    dev.handle(prepareReq(0x100));
    sendData(dev, fw);
    dev.handle(writeReq(20));
    // A retried block: the second PREPARE drops what the first attempt wrote.
    dev.handle(prepareReq(0x100));
    sendData(dev, Bytes(fw.begin(), fw.begin() + 10));
    EXPECT_EQ(only(dev.handle(writeReq(10))).at(2), 0);
    EXPECT_EQ(dev.firmware()[0x100], Bytes(fw.begin(), fw.begin() + 10));
}

TEST(UpgradeDevice, ConfiguredPrepareStatusAndBlockSize)
{
    struct Case {
        uint8_t status;
        uint16_t blockSize;
        Bytes reply;
    } cases[] = {
        {0, 4096, {kCmdUpgrade, kUpgradeStatus, 0, 0x10, 0x00}},
        {0, 0, {kCmdUpgrade, kUpgradeStatus, 0, 0, 0}},
        {9, 4096, {kCmdUpgrade, kUpgradeStatus, 9, 0, 0}},
    };
    for (const Case& c : cases) {
        UpgradeConfig cfg;
        cfg.prepareStatus = c.status;
        cfg.blockSize = c.blockSize;
        UpgradeDevice dev(2, 1, 1, cfg);
        dev.handle(req({kUpgradeInit}));
        EXPECT_EQ(only(dev.handle(prepareReq(0x1000))), c.reply);
        // A refused block takes no data.
        EXPECT_EQ(sendData(dev, pattern(5, 1)), std::vector<int>({c.status ? 0 : 5}));
    }
    UpgradeDevice dev(2, 1, 1);
    dev.handle(req({kUpgradeInit}));
    EXPECT_EQ(only(dev.handle(req({kUpgradePrepare, 0, 1}))).at(2), kUpgradeMalformed);
}

TEST(UpgradeDevice, FaultKnobs)
{
    // Each knob against the DATA/SUM sequence of one 3-packet piece (26, 26, 8 bytes).
    Bytes piece = pattern(60, 2);
    struct Case {
        const char* what;
        UpgradeFaults faults;
        std::vector<int> taken;   // per DATA packet: count, -1 for no reply
        bool sumRight;
        bool dropped;             // a DATA packet asked for the link to drop
        int resent;               // DATA packets the device answered short
    };
    UpgradeFaults drop, shortOnce, shortForever, wrongOnce, withholdData, lateSum;
    drop.dropLinkAtData = 2;
    shortOnce.shortDataAt = 3;
    shortForever.shortDataAt = 1;
    shortForever.shortDataTimes = -1;
    wrongOnce.wrongSumAt = 1;
    withholdData.withholdCommand = kUpgradeData;
    withholdData.withholdAt = 2;
    lateSum.withholdCommand = kUpgradeSum;
    lateSum.withholdDelayMs = 1500;
    Case cases[] = {
        {"no fault", UpgradeFaults(), {26, 26, 8}, true, false, 0},
        {"drop at the second DATA", drop, {26, -1, 0}, false, true, 0},
        {"third DATA short once", shortOnce, {26, 26, 7}, false, false, 1},
        {"every DATA short", shortForever, {25, 25, 7}, false, false, 3},
        {"wrong sum once", wrongOnce, {26, 26, 8}, false, false, 0},
        {"second DATA reply withheld", withholdData, {26, -1, 8}, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpgradeDevice dev(2, 1, 1);
        startLoader(dev);
        dev.setFaults(c.faults);
        dev.handle(prepareReq(0x2000));
        std::vector<int> taken;
        bool dropped = false;
        for (size_t at = 0, i = 0; at < piece.size(); at += 26, i++) {
            Bytes part(piece.begin() + at, piece.begin() + std::min<size_t>(at + 26, 60));
            UpgradeResult r = dev.handle(dataReq(part));
            taken.push_back(r.replies.empty() ? -1 : r.replies[0].data.at(2));
            EXPECT_NE(r.link, LinkAction::Reboot);
            if (r.link == LinkAction::Drop) {
                dropped = true;
                dev.linkDropped();
            }
        }
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(dropped, c.dropped);
        EXPECT_EQ(dev.counts().dataResent, c.resent);
        UpgradeResult s = dev.handle(req({kUpgradeSum}));
        ASSERT_EQ(s.replies.size(), 1u);
        bool right = s.replies[0].data == statusWithSum(0, byteSum(piece));
        EXPECT_EQ(right, c.sumRight);
        // A second piece after the spent faults goes through, except for the lasting one.
        bool lasting = c.faults.shortDataTimes < 0;
        dev.handle(prepareReq(0x3000));
        std::vector<int> again = sendData(dev, piece);
        EXPECT_EQ(again == std::vector<int>({26, 26, 8}), !lasting);
        EXPECT_EQ(dev.handle(req({kUpgradeSum})).replies.at(0).data ==
                      statusWithSum(0, byteSum(piece)),
                  !lasting);
    }

    // A late reply is made with its delay; the one after is on time.
    UpgradeDevice dev(2, 1, 1);
    startLoader(dev);
    dev.setFaults(lateSum);
    dev.handle(prepareReq(0x2000));
    sendData(dev, piece);
    UpgradeResult late = dev.handle(req({kUpgradeSum}));
    ASSERT_EQ(late.replies.size(), 1u);
    EXPECT_EQ(late.replies[0].delayMs, 1500);
    EXPECT_EQ(late.replies[0].data, statusWithSum(0, byteSum(piece)));
    EXPECT_EQ(dev.handle(req({kUpgradeSum})).replies.at(0).delayMs, 0);
    // A busy device answers nothing before its late reply: the next reply goes after it.
    UpgradeFaults busy = lateSum;
    busy.withholdBusy = true;
    dev.setFaults(busy);
    dev.handle(prepareReq(0x2000));
    sendData(dev, piece);
    EXPECT_EQ(dev.handle(req({kUpgradeSum})).replies.at(0).delayMs, 1500);
    int behind = dev.handle(prepareReq(0x2000)).replies.at(0).delayMs;
    EXPECT_GT(behind, 1000);
    EXPECT_LE(behind, 1505);

    // Every SUM wrong: the sum never matches.
    UpgradeFaults always;
    always.wrongSumAlways = true;
    dev.setFaults(always);
    for (int i = 0; i < 3; i++) {
        dev.handle(prepareReq(0x2000));
        sendData(dev, piece);
        EXPECT_NE(only(dev.handle(req({kUpgradeSum}))), statusWithSum(0, byteSum(piece)));
    }
}

TEST(UpgradeDevice, LinkDropForgetsTheHalfSentBlockButNotTheLoader)
{
    UpgradeDevice dev(2, 1, 1);
    startLoader(dev);
    dev.handle(prepareReq(0x2000));
    sendData(dev, pattern(10, 1));
    dev.linkDropped();
    EXPECT_EQ(dev.mode(), UpgradeMode::Loader);
    // Without a new PREPARE nothing is taken and the WRITE fails.
    EXPECT_EQ(sendData(dev, pattern(10, 1)), std::vector<int>({0}));
    EXPECT_EQ(only(dev.handle(writeReq(10))).at(2), kUpgradeBadCount);
    // The loader takes a block at once, without INIT.
    EXPECT_EQ(only(dev.handle(prepareReq(0x2000))).at(2), 0);
}

TEST(UpgradeDevice, OtherCommandsAndShortRequestsGetNoReply)
{
    UpgradeDevice dev(2, 1, 1);
    EXPECT_TRUE(dev.handle({3, 0x40, 0x20}).replies.empty());
    EXPECT_TRUE(dev.handle({kCmdUpgrade}).replies.empty());
    EXPECT_TRUE(dev.handle({kCmdUpgrade, kUpgradeStatus}).replies.empty());
    EXPECT_TRUE(dev.handle({kCmdUpgrade, 0x40}).replies.empty());
}

TEST(UpgradeDevice, CutRepliesHeldLoadAndIgnoredReboot)
{
    UpgradeDevice dev(2, 1, 1);
    UpgradeFaults cut;
    cut.truncateCommand = kUpgradeInit;
    cut.truncateTo = 5;
    dev.setFaults(cut);
    EXPECT_EQ(only(dev.handle(req({kUpgradeInit}))).size(), 5u);
    EXPECT_EQ(only(dev.handle(req({kUpgradeInit}))).size(), 6u) << "spent after once";

    UpgradeFaults held;
    held.loadReplyOnReconnect = true;
    held.ignoreReboot = true;
    dev.setFaults(held);
    EXPECT_TRUE(dev.handle(req({kUpgradeLoad})).replies.empty());
    EXPECT_EQ(dev.mode(), UpgradeMode::Loader) << "the loader started all the same";
    std::vector<Packet> back = dev.linkDropped();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].data, req({kUpgradeLoad}));
    EXPECT_TRUE(dev.linkDropped().empty());

    UpgradeResult reboot = dev.handle(req({kUpgradeReboot}));
    EXPECT_EQ(reboot.link, LinkAction::Keep);
    EXPECT_EQ(dev.mode(), UpgradeMode::Loader);
}
