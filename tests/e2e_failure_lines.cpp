// Every way the real binary ends with exit status 1 says why on standard error: one row per
// failure path of the command line, the store, the download, the lists, the fingerprint, the
// update (before and after reaching the module) and the recovery. The emulated module sits in
// a private network namespace; the LPC boot ROM on a pseudo-terminal; the update server on
// loopback.
#include "e2e_ops_support.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>

#include <functional>
#include <memory>

#include "BirdBuilder.h"
#include "NetNamespace.h"
#include "lpc_isp/LpcIspEmulator.h"
#include "module_emu/UpgradeModule.h"
#include "update_server/UpdateServerEmulator.h"
#include "SkipOrFail.h"

using namespace opstest;
using Fault = UpdateServerEmulator::Fault;
using module_emu::UpgradeModule;
using module_emu::UpgradeModuleConfig;

namespace {


BirdBuilder sModuleImage(const std::string& model)
{
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(100, 1))
        .firmware(0x1000, BirdBuilder::Random(300, 2))
        .descriptor("1300", "1.3.0", "00000000", model);
    return b;
}

// What a row needs around the run.
struct Need {
    bool module = false;                              // the emulated module, searched for
    std::function<void(UpgradeModuleConfig&)> configure;
    std::function<void(UpdateServerEmulator&)> server;
    std::function<void(LpcIspRom&)> chip;             // the LPC boot ROM's knobs
    std::function<void(const std::string&)> store;    // prepares the store (-i's directory)
    bool recordLocked = false;  // another run holds the device's record lock throughout
};

struct Row {
    const char* what;
    std::vector<std::string> words;  // "@STORE", "@URL", "@LPC", "@FILE" and "@DIR/" replaced
    std::string says;                // a part of what standard error must hold
    Need need;
};

class FailureLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
        ASSERT_FALSE(files.path.empty());
        BirdBuilder good = sModuleImage("Dorvel");
        good.serialInfo(0x1010, 0x1020);
        ASSERT_TRUE(good.writeTo(files.path + "/good.bird"));
        // The serial number's places lie below the only firmware block.
        BirdBuilder unpatchable = sModuleImage("Dorvel");
        unpatchable.serialInfo(0x0100, 0x0200);
        ASSERT_TRUE(unpatchable.writeTo(files.path + "/unpatchable.bird"));
        BirdBuilder loaderOnly;
        loaderOnly.loader(0x20000000, BirdBuilder::Random(100, 1))
            .descriptor("1300", "1.3.0", "00000000", "Dorvel");
        ASSERT_TRUE(loaderOnly.writeTo(files.path + "/loaderonly.bird"));
        BirdBuilder chip;
        chip.firmware(0x0, BirdBuilder::Random(512, 3));
        ASSERT_TRUE(chip.writeTo(files.path + "/chip.bird"));
        BirdBuilder chipWithSerial;
        chipWithSerial.firmware(0x0, BirdBuilder::Random(512, 3)).serialInfo(0x10, 0x20);
        ASSERT_TRUE(chipWithSerial.writeTo(files.path + "/chipserial.bird"));
        ASSERT_TRUE(WriteFile(files.path + "/plain", "a file, no directory"));
        ASSERT_TRUE(lpc.start());
    }
    void TearDown() override { lpc.stop(); }

    std::string expand(const std::string& word, const TempDir& store)
    {
        std::string w = Replace(word, "@STORE", store.path);
        w = Replace(w, "@URL", server.url());
        w = Replace(w, "@LPC", lpc.path());
        w = Replace(w, "@FILE", files.path + "/plain");
        return Replace(w, "@DIR/", files.path + "/");
    }

    TempDir files;
    UpdateServerEmulator server;
    LpcIspEmulator lpc;
};

// What every failure must show: exit status 1 and a whole line on standard error that says why.
void sExpectSaysWhy(const Result& r, const std::string& says)
{
    EXPECT_EQ(r.status, 1) << r.err;
    if (r.err.empty()) {
        ADD_FAILURE() << "nothing on standard error";
        return;
    }
    EXPECT_EQ(r.err.back(), '\n') << "a whole line";
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
}

uid_t sUserWithoutEntry()
{
    for (uid_t candidate = 54321; candidate < 54400; ++candidate)
        if (!getpwuid(candidate))
            return candidate;
    return 0;
}

}  // namespace

TEST_F(FailureLines, EveryExitOneSaysWhy)
{
    Need module;
    module.module = true;
    Need otherModel = module;
    otherModel.configure = [](UpgradeModuleConfig& c) { c.identity.model = 5; };
    Need refusesBlocks = module;
    refusesBlocks.configure = [](UpgradeModuleConfig& c) { c.upgrade.prepareStatus = 1; };
    Need listed;
    listed.server = [&](UpdateServerEmulator& s) {
        s.setBuilds(kSerial, {{"1300", "1.3.0", files.path + "/good.bird"}});
        s.setCurrentBuild(kSerial, "1300");
    };
    Need imageFails = listed;
    imageFails.server = [&](UpdateServerEmulator& s) {
        listed.server(s);
        s.setFault("bird", Fault::Status500);
    };
    Need serverDown;
    serverDown.server = [](UpdateServerEmulator& s) { s.setFault("", Fault::Status500); };
    Need listRefused = listed;
    listRefused.server = [&](UpdateServerEmulator& s) {
        listed.server(s);
        s.setFault("builds", Fault::Status500);
    };
    // The fingerprint fails, the download after it succeeds.
    Need silentChipThenListed = listed;
    silentChipThenListed.chip = [](LpcIspRom& r) { r.silent = true; };
    Need eraseRefused;
    eraseRefused.chip = [](LpcIspRom& r) { r.forced = {{'E', 11, 0, 0}}; };
    Need silentChip;
    silentChip.chip = [](LpcIspRom& r) { r.silent = true; };
    const std::string device = "/updater/40F5849A";
    Need recordLocked = listed;
    recordLocked.store = [&](const std::string& root) {
        ASSERT_TRUE(std::filesystem::create_directories(root + device));
        ASSERT_TRUE(WriteFile(root + device + "/.settings", "CREATED_TIME=then\n"));
    };
    recordLocked.recordLocked = true;
    Need recordUnsaveable = module;
    recordUnsaveable.store = [&](const std::string& root) {
        // A directory where the record belongs: it cannot be read, so it is never replaced.
        ASSERT_TRUE(std::filesystem::create_directories(root + device + "/.settings/x"));
    };

    const std::vector<std::string> at = {"-i", "@STORE", "-u", "@URL"};
    auto with = [&](std::vector<std::string> words) {
        words.insert(words.end(), at.begin(), at.end());
        return words;
    };
    const std::vector<Row> rows = {
        // Command line and store.
        {"a serial number that is no number", with({"-D", "-d", "xyz"}),
         "Invalid serial number obtained from argument [xyz]", {}},
        {"a store directory under a file", {"-I", "-i", "@FILE/x"},
         "Could not find updater directory at", {}},
        {"a serial number beyond 32 bits", with({"-U", "-d", "140F5849A"}),
         "Invalid serial number obtained from argument [140F5849A]", {}},
        {"a router serial number beyond 32 bits", with({"-D", "-r", "1D272031D"}),
         "Invalid router serial number obtained from argument [1D272031D]", {}},
        {"a build beyond 32 bits", with({"-G", "-d", "40F5849A", "-b", "4294967296"}),
         "Invalid build number obtained from argument [4294967296]", listed},
        {"a build that is no number", with({"-G", "-d", "40F5849A", "-b", "12x"}),
         "Invalid build number obtained from argument [12x]", listed},
        {"a server URL of the file scheme",
         {"-B", "-d", "40F5849A", "-u", "file:///etc/passwd", "-i", "@STORE"},
         "Invalid server URL obtained from argument [file:///etc/passwd]", listed},
        {"a server URL of the ftp scheme",
         {"-G", "-d", "40F5849A", "-u", "ftp://127.0.0.1/cgi/u", "-i", "@STORE"},
         "Invalid server URL obtained from argument [ftp://127.0.0.1/cgi/u]", listed},
        // Dispatch checks.
        {"-N without -s", with({"-N"}), "Must specify the serial port used for connecting", {}},
        {"-G without -d", with({"-G"}), "-G must specify a specific device via -d", {}},
        {"-U without -d", with({"-U"}), "Must specify the specific device to be updated", {}},
        {"-B without -d", with({"-B"}), "Error must supply a serial number for the List Builds", {}},
        {"-L without -d", with({"-L"}), "Error must supply a serial number for the List Local", {}},
        // A failed command fails the run, whatever runs after it.
        {"-N fails, -G after it succeeds", with({"-N", "-s", "@LPC", "-G", "-d", "40F5849A"}),
         "Got no response from chip", silentChipThenListed},
        {"-G fails, -D after it", with({"-G", "-D", "-d", "40F5849A"}), "Server request failed",
         serverDown},
        {"-G fails, -U is not run", with({"-G", "-U", "-d", "40F5849A"}), "Download failed",
         imageFails},
        {"-G fails, -B after it", with({"-G", "-B", "-d", "40F5849A"}), "Download failed",
         imageFails},
        {"-G fails, -L after it", with({"-G", "-L", "-d", "40F5849A"}), "Download failed",
         imageFails},
        // Lists.
        {"-B, server refuses", with({"-B", "-d", "40F5849A"}), "Server request failed", serverDown},
        {"-B, list refused", with({"-B", "-d", "40F5849A"}),
         "Failed to retrieve builds for 40F5849A\n  HTTP status 500", listRefused},
        // Download.
        {"download, server refuses", with({"-G", "-d", "40F5849A"}), "Server request failed",
         serverDown},
        {"download, build not listed", with({"-G", "-d", "40F5849A", "-b", "999"}),
         "No valid build 999", listed},
        {"download, image refused", with({"-G", "-d", "40F5849A"}), "Download failed", imageFails},
        {"download, record lock held by another run", with({"-G", "-d", "40F5849A"}),
         "Failed to record the download with 18\n  Timed out after 10 s waiting for the lock [",
         recordLocked},
        // Fingerprint.
        {"fingerprint, no chip", with({"-N", "-s", "@LPC"}), "Got no response from chip",
         silentChip},
        // Update, before the module.
        {"update, no build anywhere", with({"-U", "-d", "40F5849A"}),
         "Could not find valid build for this device.", serverDown},
        {"update, image not found", with({"-U", "-d", "40F5849A", "-b", "1234"}),
         "Failed to load bird file", {}},
        {"update, image without firmware",
         with({"-U", "-d", "40F5849A", "-f", "@DIR/loaderonly.bird"}), "Failed to load bird file",
         {}},
        {"update, serial number cannot be patched",
         with({"-U", "-d", "40F5849A", "-f", "@DIR/unpatchable.bird"}),
         "Unable to modify serial number in bird", {}},
        {"update, no module", with({"-U", "-d", "40F5849A", "-f", "@DIR/good.bird"}),
         "Failed to connect to module [40F5849A]", {}},
        {"update, nothing behind the router",
         with({"-U", "-d", "51A2B3C4", "-r", "0BADF00D", "-f", "@DIR/good.bird"}),
         "Unable to find modules on Network", {}},
        // Update, at the module.
        {"update, image for another model", with({"-U", "-d", "40F5849A", "-f", "@DIR/good.bird"}),
         "Birdfile failed validation", otherModel},
        {"update, blocks refused", with({"-U", "-d", "40F5849A", "-f", "@DIR/good.bird"}),
         "Firmware update failed [29, aErrInvalidOption]", refusesBlocks},
        {"update, transfer not recorded", with({"-U", "-d", "40F5849A", "-f", "@DIR/good.bird"}),
         "Could not record the transfer in @STORE/updater/40F5849A\n  Is a directory\n",
         recordUnsaveable},
        // Recovery.
        {"recovery, no chip", with({"-U", "-t", "RECOVER", "-s", "@LPC", "-f", "@DIR/chip.bird"}),
         "Could not get Device Identifier", silentChip},
        {"recovery, server does not know the chip", with({"-U", "-t", "RECOVER", "-s", "@LPC"}),
         "Failed to retrieve recovery information", {}},
        {"recovery, image with a serial block",
         with({"-U", "-t", "RECOVER", "-s", "@LPC", "-f", "@DIR/chipserial.bird"}),
         "Updater does not support offline recovery", {}},
        {"recovery, erase refused",
         with({"-U", "-t", "RECOVER", "-s", "@LPC", "-f", "@DIR/chip.bird"}),
         "Recovery failed: erase [11, BUSY]", eraseRefused},
    };

    ASSERT_TRUE(server.start());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        server.clearFaults();
        server.setBuilds(kSerial, {});
        server.setCurrentBuild(kSerial, "");
        if (row.need.server)
            row.need.server(server);
        lpc.locked([&](LpcIspRom& r) {
            r = LpcIspRom();
            if (row.need.chip)
                row.need.chip(r);
        });
        std::unique_ptr<UpgradeModule> emu;
        if (row.need.module) {
            UpgradeModuleConfig cfg;
            cfg.identity.serialNumber = kSerial;
            cfg.identity.model = 4;  // "Dorvel", as the images say
            cfg.identity.address = 2;
            if (row.need.configure)
                row.need.configure(cfg);
            emu.reset(new UpgradeModule(cfg));
            std::string why;
            ASSERT_TRUE(emu->start(&why)) << why;
        }
        TempDir store;
        if (row.need.store)
            row.need.store(store.path);
        int lock = -1;
        if (row.need.recordLocked) {
            lock = open((store.path + device + "/.settings.lock").c_str(),
                        O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(lock, 0);
            ASSERT_EQ(flock(lock, LOCK_EX), 0);
        }
        std::vector<std::string> words;
        for (const std::string& w : row.words)
            words.push_back(expand(w, store));
        SCOPED_TRACE(Join(words));
        Result r = RunUpdater(words, 60000);
        if (lock >= 0)
            close(lock);
        sExpectSaysWhy(r, expand(row.says, store));
    }
}

// A user without a password entry or HOME has no home directory for the store. A case of its
// own, not a row: only root can run the tool as a user the system does not know, and the run
// needs no network, module or boot ROM.
TEST(FailureLinesNoHome, NoHomeDirectoryForTheStore)
{
    if (geteuid() != 0)
        QC_SKIP_OR_FAIL("root, to run the tool as a user without a password entry");
    ChildSetup setup;
    setup.uid = sUserWithoutEntry();
    ASSERT_NE(setup.uid, 0u);
    setup.replaceHome = true;  // and no HOME
    const std::vector<std::string> words = {"-I"};
    SCOPED_TRACE(Join(words));
    sExpectSaysWhy(RunUpdater(words, 60000, setup), "Could not find the home directory");
}
