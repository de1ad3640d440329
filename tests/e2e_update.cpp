// The update of a running module by the real binary over TCP/IP, inside a private network
// namespace: an emulated module answering the search, the entities and the UPGRADE protocol,
// and the update-server emulator. Checks the console, the exit status, what the module
// received, the exchange counts and the store.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <thread>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "ExpectedFirmware.h"
#include "NetNamespace.h"
#include "aError.h"
#include "e2e_ops_support.h"
#include "module_emu/UpgradeModule.h"
#include "update_server/UpdateServerEmulator.h"

using namespace opstest;
using module_emu::ModuleIdentity;
using module_emu::UpgradeCounts;
using module_emu::UpgradeFaults;
using module_emu::UpgradeModule;
using module_emu::UpgradeModuleConfig;
typedef std::vector<uint8_t> Bytes;

namespace {

const char* const kSerialText = "40F5849A";
const uint8_t kModel = 4;               // "Dorvel"
const uint16_t kBlockSize = 256;

struct ImageSpec {
    std::string build = "1300";
    std::string model = "Dorvel";
    std::string serial = "00000000";    // descriptor serial (patched when serialBlock)
    bool serialBlock = true;
    bool firmware = true;
    bool cut = false;                   // the block stream ends inside the last firmware block
};

// Two loader blocks, two firmware blocks (the first one over several pieces), the serial
// number's places inside the first firmware block.
Bytes sImage(const ImageSpec& shape)
{
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(300, 11)).loader(0x20000400, BirdBuilder::Random(40, 12), 2);
    if (shape.serialBlock)
        b.serialInfo(0x1010, 0x1020);
    b.descriptor(shape.build, "1.3.0", shape.serial, shape.model);
    if (shape.firmware)
        b.firmware(0x1000, BirdBuilder::Random(700, 13), 1).firmware(0x8000, BirdBuilder::Random(90, 14));
    if (!shape.cut)
        return b.image();
    // Cut, then compressed whole: the zlib stream is sound, the last block is not.
    BirdBuilder::Bytes stream = b.stream();
    stream.resize(stream.size() - 50);
    return BirdBuilder::Wrap(BirdBuilder::Compress(stream));
}

// The loader blocks as the module must have taken them.
std::map<uint32_t, Bytes> sExpectedLoader(const std::string& path)
{
    std::map<uint32_t, Bytes> blocks;
    BirdFile image(path.c_str());
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER))
        blocks[b.address] = Bytes(b.data + 4, b.data + b.length);
    return blocks;
}

// DATA, SUM and WRITE exchanges of one update of the image (no resends).
UpgradeCounts sExpectedCounts(const std::string& path)
{
    UpgradeCounts c;
    BirdFile image(path.c_str());
    auto packets = [](uint32_t n) { return int((n + 25) / 26); };
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER)) {
        c.data += packets(b.length - 4);
        c.sum += 1;
    }
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)) {
        for (uint32_t left = b.length - 4; left > 0;) {
            uint32_t piece = left < kBlockSize ? left : kBlockSize;
            c.data += packets(piece);
            c.sum += 1;
            c.write += 1;
            left -= piece;
        }
    }
    return c;
}

std::string sTimeless(const std::string& out)
{
    return std::regex_replace(out, std::regex("Update time: [0-9]+\\.[0-9]{4} sec\n"),
                              "Update time: T sec\n");
}

// The console of a successful update of that image, after what chose it.
std::string sTransferLines()
{
    return "Transferring loader to device\n"
           "Transferring loader block 1 of 2, 304 bytes\n"
           "Transferring loader block 2 of 2, 44 bytes\n"
           "Transferred 2 blocks, 348 total bytes\n"
           "Starting Load on Device\n"
           "Transferring firmware block 1 of 2, 704 bytes\n"
           "Transferring firmware block 2 of 2, 94 bytes\n"
           "Transferred 2 blocks, 798 total bytes\n"
           "Update time: T sec\n";
}

class Update : public ::testing::Test {
protected:
    void SetUp() override
    {
        QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
        ASSERT_FALSE(files.path.empty());
        ASSERT_FALSE(store.path.empty());
        imagePath = files.path + "/fw.bird";
        ASSERT_TRUE(BirdBuilder::WriteBytes(imagePath, sImage(ImageSpec())));
        ASSERT_TRUE(server.start());
    }

    // The module on 127.0.0.11, found by the search; others behind it when given.
    void startModule(uint8_t model = kModel, std::vector<ModuleIdentity> behind = {},
                     const std::function<void(UpgradeModuleConfig&)>& adjust = {})
    {
        UpgradeModuleConfig cfg;
        cfg.identity.serialNumber = kSerial;
        cfg.identity.model = model;
        cfg.identity.address = 2;
        cfg.identity.build = 1200;
        cfg.behind = behind;
        cfg.upgrade.blockSize = kBlockSize;
        cfg.upgrade.newBuild = 1300;
        cfg.rebootDownMs = 200;
        if (adjust)
            adjust(cfg);
        emu.reset(new UpgradeModule(cfg));
        std::string why;
        ASSERT_TRUE(emu->start(&why)) << why;
    }

    Result run(std::vector<std::string> words)
    {
        words.insert(words.end(), {"-u", server.url(), "-i", store.path});
        return RunUpdater(words, 60000);
    }

    std::string deviceDir() const { return store.path + "/updater/" + kSerialText; }

    // The device's directory with these files.
    void stock(const std::map<std::string, std::string>& contents)
    {
        ASSERT_TRUE(std::filesystem::create_directories(deviceDir()));
        for (const auto& f : contents)
            ASSERT_TRUE(WriteFile(deviceDir() + "/" + f.first, f.second));
    }

    std::string imageBytes() const
    {
        std::string bytes;
        ReadFile(imagePath, &bytes);
        return bytes;
    }

    void expectWritten(size_t module = 0, uint32_t serial = kSerial)
    {
        EXPECT_EQ(emu->device(module).firmware(), qctest::ExpectedFirmware(imagePath, serial));
        EXPECT_EQ(emu->device(module).loader(), sExpectedLoader(imagePath));
        // Each PREPARE carries its block's flags.
        EXPECT_EQ(emu->device(module).flags(),
                  (std::map<uint32_t, uint8_t>{
                      {0x20000000, 0}, {0x20000400, 2}, {0x1000, 1}, {0x8000, 0}}));
        UpgradeCounts want = sExpectedCounts(imagePath), got = emu->device(module).counts();
        EXPECT_EQ(got.data, want.data);
        EXPECT_EQ(got.sum, want.sum);
        EXPECT_EQ(got.write, want.write);
        EXPECT_EQ(got.init, 1);
        EXPECT_EQ(got.load, 1);
        EXPECT_EQ(got.reboot, 1);
        EXPECT_TRUE(emu->waitForReboots(1, 5000));
        EXPECT_EQ(emu->device(module).build(), 1300u);
    }

    void expectRecorded(const std::string& transfer)
    {
        auto attributes = ReadAttributes(deviceDir() + "/.settings");
        EXPECT_EQ(attributes["LATEST_TRANSFER"], transfer);
        // The date as ctime writes it, without its newline.
        EXPECT_TRUE(std::regex_match(attributes["LAST_TRANSFER_DATE"],
                                     std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] "
                                                "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")))
            << attributes["LAST_TRANSFER_DATE"];
        EXPECT_TRUE(attributes.count("UPDATED_TIME"));
        EXPECT_TRUE(attributes.count("CREATED_TIME"));
    }

    TempDir files, store;
    std::string imagePath;
    UpdateServerEmulator server;
    std::unique_ptr<UpgradeModule> emu;
};

} // namespace

TEST_F(Update, FromAFileNamedOnTheCommandLine)
{
    startModule();
    // The record must land in the device's directory, never in the working directory.
    TempDir cwd;
    std::string before = std::filesystem::current_path().string();
    std::filesystem::current_path(cwd.path);
    Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
    std::filesystem::current_path(before);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sTimeless(r.out), kVersion + "Updating from Birdfile: " + imagePath + "\n" +
                                    sTransferLines());
    EXPECT_EQ(r.err, "");
    expectWritten();
    expectRecorded(imagePath);
    EXPECT_FALSE(Exists(cwd.path + "/.settings"));
    EXPECT_TRUE(server.queries().empty()) << "a named file asks no server";
}

TEST_F(Update, FromTheStore)
{
    struct Case {
        const char* what;
        std::string current;                 // the server's current build
        std::map<std::string, std::string> files;
        std::string chose;                   // console lines before the transfer
        std::string recorded;
    };
    const std::string image = imageBytes();
    const std::string settings =
        "CREATED_TIME=Thu Dec 10 08:00:00 2026\nLATEST_DOWNLOAD=1300.bird\n";
    Case cases[] = {
        {"the server's build is stored", "1300", {{"1300.bird", image}},
         "Updating firmware with build: 1300\n", "1300.bird"},
        {"newer on the server: the latest download", "1400",
         {{"1300.bird", image}, {".settings", settings}},
         "New firmware is available.  Updater will proceed if valid firmware is found locally.\n"
         "Updating with the Latest Download\nUpdating firmware with build: 1300\n",
         "1300.bird"},
        // 2^32 + 1300: cut to 32 bits it would name build 1300, which the server never gave.
        {"the server's build beyond 32 bits: the latest download", "4294968596",
         {{"1300.bird", image}, {".settings", settings}},
         "Updating with the Latest Download\nUpdating firmware with build: 1300\n", "1300.bird"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startModule();
        std::filesystem::remove_all(store.path + "/updater");
        stock(c.files);
        server.setBuilds(kSerial, {{c.current, "1.4.0", ""}});
        server.setCurrentBuild(kSerial, c.current);
        Result r = run({"-U", "-d", kSerialText});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sTimeless(r.out), kVersion + c.chose + sTransferLines());
        expectWritten();
        expectRecorded(c.recorded);
        emu.reset();
    }
}

// A second updater saving the device's settings while this one transfers (a download
// recording its image): the transfer's record keeps that updater's keys.
TEST_F(Update, RecordKeepsWhatAnotherUpdaterSavedMeanwhile)
{
    startModule();
    stock({{"1300.bird", imageBytes()},
           {".settings", "CREATED_TIME=Thu Dec 10 08:00:00 2026\nLATEST_DOWNLOAD=1300.bird\n"}});
    // The first WRITE goes unanswered, so the transfer waits there for its retry.
    UpgradeFaults noReply;
    noReply.withholdCommand = module_emu::kUpgradeWrite;
    emu->device().setFaults(noReply);
    const std::string other = "CREATED_TIME=Thu Dec 10 08:00:00 2026\n"
                              "LAST_DOWNLOAD_DATE=Thu Dec 10 09:00:00 2026\n"
                              "LATEST_DOWNLOAD=1400.bird\n";
    bool wrote = false;
    std::thread meanwhile([&]() {
        for (int i = 0; i < 2000 && emu->device().counts().write < 1; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        wrote = emu->device().counts().write >= 1 &&
                WriteFile(deviceDir() + "/.settings", other);
    });
    Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
    meanwhile.join();
    ASSERT_TRUE(wrote) << "the transfer never reached its first WRITE";
    EXPECT_EQ(r.status, 0) << r.err;
    expectRecorded(imagePath);
    auto attributes = ReadAttributes(deviceDir() + "/.settings");
    EXPECT_EQ(attributes["LATEST_DOWNLOAD"], "1400.bird");
    EXPECT_EQ(attributes["LAST_DOWNLOAD_DATE"], "Thu Dec 10 09:00:00 2026");
}

// A module that takes REBOOT but keeps its link (and its old firmware) after the bounded
// wait: the image is written and checked, so the update stands (exit 0, recorded), and the
// console says the module must be restarted.
TEST_F(Update, ModuleThatDoesNotRestart)
{
    startModule();
    UpgradeFaults stays;
    stays.ignoreReboot = true;
    emu->device().setFaults(stays);
    Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sTimeless(r.out), kVersion + "Updating from Birdfile: " + imagePath + "\n" +
                                    sTransferLines());
    EXPECT_EQ(r.err, "Device did not restart after the update\n");
    EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
    EXPECT_EQ(emu->device().counts().reboot, 1);
    expectRecorded(imagePath);
}

// A running firmware that gives the loader's PREPAREs block size 0: a loader block goes in
// one piece without a WRITE, so the size has no use there and the update goes through.
TEST_F(Update, LoaderPrepareWithoutABlockSize)
{
    startModule(kModel, {}, [](UpgradeModuleConfig& cfg) { cfg.upgrade.loaderBlockSize = 0; });
    Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expectWritten();
    expectRecorded(imagePath);
}

TEST_F(Update, DownloadThenUpdate)
{
    startModule();
    server.setBuilds(kSerial, {{"1300", "1.3.0", imagePath}});
    server.setCurrentBuild(kSerial, "1300");
    Result r = run({"-G", "-U", "-d", kSerialText});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Build 1300 is valid\nUpdating firmware with build: 1300\n"),
              std::string::npos)
        << r.out;
    std::string stored;
    EXPECT_TRUE(ReadFile(deviceDir() + "/1300.bird", &stored));
    EXPECT_EQ(stored, imageBytes());
    expectWritten();
    auto attributes = ReadAttributes(deviceDir() + "/.settings");
    EXPECT_EQ(attributes["LATEST_DOWNLOAD"], "1300.bird");
    expectRecorded("1300.bird");
}

// A download that fails ends the run before the update: the older build stored from before is
// not installed in place of the one asked for, and the run fails.
TEST_F(Update, FailedDownloadInstallsNothing)
{
    startModule();
    stock({{"1200.bird", imageBytes()}, {".settings", "LATEST_DOWNLOAD=1200.bird\n"}});
    server.setBuilds(kSerial, {{"1300", "1.3.0", imagePath}});
    server.setCurrentBuild(kSerial, "1300");
    server.setFault("bird", UpdateServerEmulator::Fault::Status500);
    Result r = run({"-G", "-U", "-d", kSerialText});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Download failed\n  HTTP status 500\nFailed to retrieve a valid BIRD file\n");
    EXPECT_EQ(r.out.find("Updating"), std::string::npos) << r.out;
    UpgradeCounts got = emu->device(0).counts();
    EXPECT_EQ(got.init, 0);
    EXPECT_EQ(got.data, 0);
    EXPECT_TRUE(emu->device(0).firmware().empty());
    EXPECT_EQ(ReadAttributes(deviceDir() + "/.settings").count("LATEST_TRANSFER"), 0u);
}

TEST_F(Update, ThroughARoutingModule)
{
    ModuleIdentity target;
    target.serialNumber = 0x51A2B3C4;
    target.address = 10;
    target.model = kModel;
    target.build = 1200;
    startModule(kModel, {target});
    Result r = run({"-U", "-d", "51A2B3C4", "-r", kSerialText, "-f", imagePath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(emu->device(1).firmware(), qctest::ExpectedFirmware(imagePath, 0x51A2B3C4));
    EXPECT_EQ(emu->device(1).counts().reboot, 1);
    EXPECT_TRUE(emu->device(0).firmware().empty()) << "the router is not written";
    EXPECT_EQ(emu->device(0).counts().data, 0);
    auto attributes = ReadAttributes(store.path + "/updater/51A2B3C4/.settings");
    EXPECT_EQ(attributes["LATEST_TRANSFER"], imagePath);
}

TEST_F(Update, ImageThatDoesNotFitTheModule)
{
    struct Case {
        const char* what;
        uint8_t model;
        ImageSpec image;
        std::string err;        // without -OVERRIDE
    };
    ImageSpec otherSerial;
    otherSerial.serialBlock = false;
    otherSerial.serial = "12345678";
    Case cases[] = {
        {"model", 5, ImageSpec(),
         "Connected device model and Bird file model do not match [Kaltrin] (0)\n"
         "Birdfile failed validation\n"},
        {"serial", kModel, otherSerial, "Birdfile failed validation\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(BirdBuilder::WriteBytes(imagePath, sImage(c.image)));
        std::filesystem::remove_all(store.path + "/updater");
        startModule(c.model);
        Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(emu->device().counts().init, 0) << "nothing sent";
        EXPECT_FALSE(Exists(deviceDir() + "/.settings"));

        ASSERT_TRUE(emu->waitUntilListening(5000));
        r = run({"-U", "-d", kSerialText, "-f", imagePath, "-OVERRIDE"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
        emu.reset();
    }
}

TEST_F(Update, ImageWithoutFirmwareIsRefusedBeforeConnecting)
{
    ImageSpec loaderOnly, cut;
    loaderOnly.firmware = false;
    // Its first firmware block is whole: written, the module would hold part of the firmware.
    cut.cut = true;
    const std::pair<const char*, ImageSpec> images[] = {{"loader blocks only", loaderOnly},
                                                        {"ends inside a firmware block", cut}};
    startModule();
    for (const auto& image : images) {
        ASSERT_TRUE(BirdBuilder::WriteBytes(imagePath, sImage(image.second)));
        for (bool override : {false, true}) {
            SCOPED_TRACE(std::string(image.first) + (override ? ", with -OVERRIDE" : ", without"));
            std::vector<std::string> words = {"-U", "-d", kSerialText, "-f", imagePath};
            if (override)
                words.push_back("-OVERRIDE");
            Result r = run(words);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, kVersion + "Updating from Birdfile: " + imagePath + "\n");
            EXPECT_EQ(r.err, "Failed to load bird file\n");
        }
    }
    EXPECT_EQ(emu->connections(), 0);
    EXPECT_FALSE(Exists(deviceDir()));
}

// Every fault: exit 1 with an error on the console and the store untouched; then the same
// update without the fault goes through.
TEST_F(Update, DeviceFaults)
{
    struct Case {
        const char* what;
        UpgradeFaults faults;
        uint8_t prepareStatus;
        uint16_t blockSize;
        std::string err;     // a line the console must show
        bool loads;          // the module is told to start its loader
        int data = -1;       // DATA packets the module was sent (-1: not checked)
    };
    UpgradeFaults sumAlways, shortAlways, noInitReply, firstLoaderSum, shortRefusal;
    noInitReply.withholdCommand = module_emu::kUpgradeInit;
    sumAlways.wrongSumAlways = true;
    shortAlways.shortDataAt = 16;
    shortAlways.shortDataTimes = -1;
    // The first loader block arrives damaged and the second one whole: a loader missing a
    // piece must not be started.
    firstLoaderSum.wrongSumAt = 1;
    // A refusal is not a silent PREPARE: the loader block it refuses does not go.
    shortRefusal.truncateCommand = module_emu::kUpgradePrepare;
    shortRefusal.truncateTo = 3;
    Case cases[] = {
        {"wrong sum every time", sumAlways, 0, kBlockSize, "NETWORK: Unable to validate transfer", false},
        {"DATA never taken", shortAlways, 0, kBlockSize, "NETWORK: Failed to transfer firmware\n", true},
        {"PREPARE refused", UpgradeFaults(), 1, kBlockSize,
         "Firmware update failed [29, aErrInvalidOption]\n", false, 0},
        {"PREPARE refused without a block size", shortRefusal, 1, kBlockSize,
         "Firmware update failed [29, aErrInvalidOption]\n", false, 0},
        {"block size 0", UpgradeFaults(), 0, 0,
         "Firmware update failed [29, aErrInvalidOption]\n", true},
        {"INIT unanswered", noInitReply, 0, kBlockSize, "Firmware update failed [18, aErrTimeout]\n", false},
        {"a loader block other than the last fails", firstLoaderSum, 0, kBlockSize,
         "Firmware update failed [29, aErrInvalidOption]\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startModule();
        std::filesystem::remove_all(store.path + "/updater");
        stock({{"1300.bird", imageBytes()},
               {".settings", "CREATED_TIME=Thu Dec 10 08:00:00 2026\n"
                             "UPDATED_TIME=Thu Dec 10 08:00:00 2026\n"}});
        auto before = Snapshot(store.path);
        module_emu::UpgradeConfig cfg = emu->device().config();
        module_emu::UpgradeConfig good = cfg;
        cfg.prepareStatus = c.prepareStatus;
        cfg.blockSize = c.blockSize;
        emu->device().setConfig(cfg);
        emu->device().setFaults(c.faults);
        Result r = run({"-U", "-d", kSerialText, "-b", "1300"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(Snapshot(store.path), before);
        EXPECT_EQ(emu->device().counts().reboot, 0);
        EXPECT_EQ(emu->device().counts().load, c.loads ? 1 : 0);
        if (c.data >= 0) {
            EXPECT_EQ(emu->device().counts().data, c.data);
        }

        ASSERT_TRUE(emu->waitUntilListening(5000));
        emu->device().setConfig(good);
        emu->device().setFaults(UpgradeFaults());
        emu->device().clearCounts();
        r = run({"-U", "-d", kSerialText, "-b", "1300"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
        expectRecorded("1300.bird");
        emu.reset();
    }
}

// Faults a retry absorbs: the update goes through, showing the retry, and nothing says the
// block failed.
TEST_F(Update, FaultsARetryAbsorbs)
{
    struct Case {
        const char* what;
        UpgradeFaults faults;
    };
    UpgradeFaults sumOnce, noReply, shortOnce, drop, lateWrite, lateSum;
    sumOnce.wrongSumAt = 3;          // the first firmware piece: the loader's two sums come first
    noReply.withholdCommand = module_emu::kUpgradeWrite;
    // Answered after its wait gave up, by a module that answers nothing else before it (busy
    // writing its flash): the reply comes while the retry waits for its PREPARE's.
    lateWrite.withholdCommand = module_emu::kUpgradeWrite;
    lateWrite.withholdDelayMs = 1400;
    lateWrite.withholdBusy = true;
    lateSum = lateWrite;
    lateSum.withholdCommand = module_emu::kUpgradeSum;
    lateSum.withholdAt = 3;
    shortOnce.shortDataAt = 20;
    // In the firmware phase (the loader takes 14): the module is found again once it listens.
    drop.dropLinkAtData = 20;
    Case cases[] = {
        {"one wrong sum", sumOnce},
        {"one WRITE reply withheld", noReply},
        {"the link drops in a block", drop},
        {"one WRITE answered late", lateWrite},
        {"one SUM answered late", lateSum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startModule();
        emu->device().setFaults(c.faults);
        Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Transferring firmware block 1 of 2, 704 bytes\n  Retry 1\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.err.find("NETWORK: Failed to transfer firmware"), std::string::npos) << r.err;
        EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
        emu.reset();
    }
    // A loader that starts without answering LOAD, its link dropping: taken as started; the
    // module is found again and takes the firmware.
    {
        startModule();
        emu->setDropDown(300);
        UpgradeFaults silentLoad;
        silentLoad.dropOnLoad = true;
        emu->device().setFaults(silentLoad);
        Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(emu->device().counts().load, 1);
        EXPECT_EQ(emu->device().counts().reboot, 1);
        EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
        emu.reset();
    }
    // A short count only makes that packet go again, within the piece.
    startModule();
    emu->device().setFaults(shortOnce);
    Result r = run({"-U", "-d", kSerialText, "-f", imagePath});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Retry"), std::string::npos);
    EXPECT_EQ(emu->device().counts().dataResent, 1);
    EXPECT_EQ(emu->device().firmware(), qctest::ExpectedFirmware(imagePath, kSerial));
}

// Through a router: a target that is not on its module network, a router without any module
// behind it, a router that answers the search but takes no connection, or one that takes the
// search's connection and no other: each ends before anything is sent, with its error line.
TEST_F(Update, ThroughARouterThatDoesNotReachTheTarget)
{
    ModuleIdentity other, target;
    other.serialNumber = 0x51A2B3C4;
    other.address = 10;
    other.model = kModel;
    target = other;
    target.serialNumber = 0x1234ABCD;
    struct Case {
        const char* what;
        std::vector<ModuleIdentity> behind;
        std::function<void(UpgradeModuleConfig&)> router;
        std::string err;
    };
    Case cases[] = {
        {"the target is not behind it", {other}, {},
         "Module address required for indirect firmware update, could not find serial number "
         "[0x1234ABCD] on network\n"},
        {"nothing behind it", {}, {}, "Unable to find modules on Network\n"},
        {"the router refuses connections", {target},
         [](UpgradeModuleConfig& cfg) { cfg.listening = false; },
         "Error " + std::to_string(int(aErrConnection)) + " on connectFromSpec\n"
         "Unable to find modules on Network\n"},
        {"the router cannot be reached after the search", {target},
         [](UpgradeModuleConfig& cfg) { cfg.acceptLimit = 1; },
         "Failed to connect to link module [40F5849A]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startModule(kModel, c.behind, c.router);
        Result r = run({"-U", "-d", "1234ABCD", "-r", kSerialText, "-f", imagePath});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        for (size_t i = 0; i < emu->modules(); i++) {
            EXPECT_EQ(emu->device(i).counts().init, 0);
            EXPECT_EQ(emu->device(i).counts().prepare, 0);
        }
        EXPECT_FALSE(Exists(store.path + "/updater/1234ABCD/.settings"));
        emu.reset();
    }
}
