// Update_Firmware in-process: its choice of the image, on the roads that end before any module
// is reached (the search finds nothing in the test's own network namespace), and what the
// console shows when the link goes at a moment only the display can pick.
#include <gtest/gtest.h>

#include <functional>

#include "aLink.h"

#include "BirdBuilder.h"
#include "NetNamespace.h"
#include "Updater.h"
#include "e2e_ops_support.h"
#include "update_server/UpdateServerEmulator.h"
#include "upgrade_support.h"

using namespace upgradetest;
using opstest::Exists;
using opstest::TempDir;
using opstest::WriteFile;

namespace {

const unsigned kSerial = 0x40F5849A;

std::string sImage()
{
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(64, 1))
        .firmware(0x1000, BirdBuilder::Random(128, 2))
        .descriptor("1300", "1.3.0", "40F5849A", "Dorvel");
    BirdBuilder::Bytes bytes = b.image();
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(UpdateChoice, SerialZeroTouchesNothing)
{
    TempDir root;
    RecordingDisplay display;
    std::string store = root.path + "/updater";
    Updater updater("http://127.0.0.1:9/cgi/u", store.c_str(), display);
    EXPECT_FALSE(updater.Update_Firmware(0, 0, "", 0, 0, false));
    EXPECT_EQ(display.errors, std::vector<std::string>({"Update command must specify the specific device"}));
    EXPECT_TRUE(display.info.empty());
    EXPECT_FALSE(Exists(store));
}

TEST(UpdateChoice, WhichBuild)
{
    qctest::NetNamespaceOptions quiet;
    quiet.loopbackAddresses.clear();
    quiet.multicast = false;
    QC_REQUIRE_PRIVATE_NETWORK(quiet);
    UpdateServerEmulator server;
    ASSERT_TRUE(server.start());
    const std::string image = sImage();
    struct Case {
        const char* what;
        unsigned build;
        bool serverUp;
        std::map<std::string, std::string> files;   // the device's directory
        std::vector<std::string> info, errors;
        const char* logLine;                        // must be in the log ("" for none)
        bool asked;                                 // the server was asked
        bool linked = false;                        // the directory a link to one elsewhere
    };
    const std::string noBuild = "Could not find valid build for this device.";
    const std::string noImage = "Failed to load bird file";
    const std::string noModule = "Failed to connect to module [40F5849A]";
    Case cases[] = {
        {"a build given is not asked for", 1234, true, {},
         {"Updating firmware with build: 1234"}, {noImage}, "", false},
        {"server unreachable, nothing stored", 0, false, {}, {}, {noBuild},
         "Error: Could not convert  to int.\n", false},
        {"a transfer recorded as a path counts as none", 0, false,
         {{".settings", "LATEST_TRANSFER=/tmp/1300.bird\n"}, {"1300.bird", image}}, {},
         {noBuild}, "", false},
        {"the latest transfer", 0, false,
         {{".settings", "LATEST_TRANSFER=1300.bird\n"}, {"1300.bird", image}},
         {"Updating with the Latest Transfer", "Updating firmware with build: 1300"}, {noModule},
         "", false},
        {"the server's build, stored", 0, true, {{"1300.bird", image}},
         {"Updating firmware with build: 1300"}, {noModule}, "", true},
        {"the latest download, the directory a link", 0, false,
         {{".settings", "LATEST_DOWNLOAD=1300.bird\n"}, {"1300.bird", image}},
         {"Updating with the Latest Download", "Updating firmware with build: 1300"}, {noModule},
         "", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        std::string store = root.path + "/updater";
        std::string dir = store + "/40F5849A";
        if (!c.files.empty()) {
            std::string real = c.linked ? root.path + "/elsewhere" : dir;
            ASSERT_TRUE(std::filesystem::create_directories(real));
            for (const auto& f : c.files)
                ASSERT_TRUE(WriteFile(real + "/" + f.first, f.second));
            if (c.linked) {
                ASSERT_TRUE(std::filesystem::create_directories(store));
                std::filesystem::create_directory_symlink(real, dir);
            }
        }
        server.setBuilds(kSerial, {{"1300", "1.3.0", ""}});
        server.setCurrentBuild(kSerial, "1300");
        server.clearQueries();
        std::string url = c.serverUp ? server.url() : "http://127.0.0.1:9/cgi/u";
        RecordingDisplay display;
        qctest::LogCapture log;
        Updater updater(url.c_str(), store.c_str(), display);
        EXPECT_FALSE(updater.Update_Firmware(kSerial, c.build, "", 0, 0, false));
        EXPECT_EQ(display.info, c.info);
        EXPECT_EQ(display.errors, c.errors);
        if (*c.logLine) {
            EXPECT_EQ(log.count(c.logLine), 1u) << log.text();
        }
        EXPECT_EQ(!server.queries().empty(), c.asked);
        // A failed update records nothing.
        auto attributes = opstest::ReadAttributes(dir + "/.settings");
        EXPECT_EQ(attributes.count("LAST_TRANSFER_DATE"), 0u);
    }
}

namespace {

// Runs a hook after recording each info line: on the update's own thread, at that point of
// the update.
struct HookedDisplay : RecordingDisplay {
    std::function<void(const std::string&)> onInfo;
    void info_message(char const* text) override
    {
        RecordingDisplay::info_message(text);
        if (onInfo)
            onInfo(text);
    }
};

// Whether any link of this process still runs.
bool sAnyLinkRunning()
{
    for (aLinkId id = 1; id < 1024; id++)
        if (aLink_GetStatus(id) == kLinkStatusRunning)
            return true;
    return false;
}

} // namespace

// The module's link goes just before LOAD, so LOAD cannot be sent: one error line that says
// so, not that line and the general failure line after it.
TEST(UpdateFailure, LoaderThatCannotBeStartedHasOneLine)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    TempDir root;
    std::string image = root.path + "/fw.bird";
    ASSERT_TRUE(WriteFile(image, sImage()));
    module_emu::UpgradeModuleConfig cfg;
    cfg.identity.serialNumber = kSerial;
    cfg.identity.model = 4;  // "Dorvel", as the image says
    cfg.identity.address = 2;
    std::unique_ptr<UpgradeModule> emu(new UpgradeModule(cfg));
    std::string why;
    ASSERT_TRUE(emu->start(&why)) << why;

    HookedDisplay display;
    bool linkGone = false;
    display.onInfo = [&](const std::string& line) {
        if (line != "Starting Load on Device")
            return;
        // The module goes, and its link has to find it again (a resync that nothing answers),
        // as after a device that dropped off the bus.
        emu->stop();
        for (aLinkId id = 1; id < 1024; id++)
            if (aLink_GetStatus(id) == kLinkStatusRunning)
                aLink_Sync(id);
        linkGone = !sAnyLinkRunning();
    };
    std::string store = root.path + "/updater";
    Updater updater("http://127.0.0.1:9/cgi/u", store.c_str(), display);
    EXPECT_FALSE(updater.Update_Firmware(kSerial, 0, image, 0, 0, false));
    ASSERT_TRUE(linkGone) << "the update never reached LOAD, or its link stayed up";
    ASSERT_EQ(display.errors.size(), 1u) << ::testing::PrintToString(display.errors);
    EXPECT_EQ(display.errors[0].rfind("Error starting loader [", 0), 0u) << display.errors[0];
    EXPECT_FALSE(Exists(store + "/40F5849A/.settings"));
}
