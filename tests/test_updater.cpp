// The download and list operations in-process, for what the binary cannot show: the spinner's
// cadence while the worker waits, the bound on a stalled request (the worker always ends and
// is joined), build texts the command line never passes, and a store that cannot be made.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "BirdBuilder.h"
#include "HTTPRequest.h"
#include "ScratchDir.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "update_server/UpdateServerEmulator.h"

using Fault = UpdateServerEmulator::Fault;

namespace {

const uint32_t kSerial = 0x40F5849A;

// Keeps every line and spinner call, in order.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool active, char const* label) override
    {
        events.push_back(std::string(active ? "spin " : "clear ") + (label ? label : ""));
    }
    void info_message(char const* text) override { events.push_back(std::string("I ") + text); }
    void error_message(char const* text) override { events.push_back(std::string("E ") + text); }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        for (const std::string& e : events)
            if (e.compare(0, 2, "I ") == 0 || e.compare(0, 2, "E ") == 0)
                out.push_back(e);
        return out;
    }
    std::vector<std::string> events;
};

class UpdaterOps : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path.empty());
        BirdBuilder b;
        b.loader(0x20000000, BirdBuilder::Random(100, 7))
            .firmware(0x1000, BirdBuilder::Random(500, 8))
            .descriptor("1300", "1.3.0", "40F5849A", "USBHub3p");
        ASSERT_TRUE(b.writeTo(dir.path + "/1300.bird"));
        server.setBuilds(kSerial, {{"1300", "1.3.0", dir.path + "/1300.bird"}});
        ASSERT_TRUE(server.start());
        store = dir.path + "/updater";
    }
    void TearDown() override { HTTPRequest::SetLimits(HTTPLimits()); }

    // The lines a failed image request ends with, curl's reason (which begins with
    // `reason`) indented under the first, and no image in the store.
    void expectFailedDownloadStoredNothing(const std::string& reason)
    {
        std::vector<std::string> lines = display.lines();
        ASSERT_GE(lines.size(), 3u);
        std::vector<std::string> tail(lines.end() - 3, lines.end());
        EXPECT_EQ(tail[0], "E Download failed");
        EXPECT_EQ(tail[1].substr(0, 4 + reason.size()), "E   " + reason) << tail[1];
        EXPECT_EQ(tail[2], "E Failed to retrieve a valid BIRD file");
        EXPECT_FALSE(std::filesystem::exists(store + "/40F5849A/1300.bird"));
    }

    ScratchDir dir{"test_updater"};
    std::string store;
    UpdateServerEmulator server;
    RecordingDisplay display;
};

}  // namespace

// One spinner frame first and one per 100 ms of waiting, then the line cleared, all before the
// result is looked at.
TEST_F(UpdaterOps, SpinnerTurnsWhileTheImageIsFetched)
{
    // A wait long enough that a loaded machine (sanitizers, parallel tests) still shows several
    // frames; the upper bound follows the time the download really took.
    server.setFault("bird", Fault::Delay, 1000);
    Updater updater(server.url().c_str(), store.c_str(), display);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 1300u);
    auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();

    size_t spins = 0, firstSpin = display.events.size(), clearAt = display.events.size();
    for (size_t i = 0; i < display.events.size(); ++i) {
        if (display.events[i] == "spin Downloading") {
            ++spins;
            firstSpin = std::min(firstSpin, i);
            EXPECT_LT(i, clearAt) << "a frame after the line was cleared";
        } else if (display.events[i] == "clear Downloading") {
            EXPECT_EQ(clearAt, display.events.size()) << "cleared twice";
            clearAt = i;
        }
    }
    EXPECT_GE(spins, 5u);
    EXPECT_LE(spins, static_cast<size_t>(tookMs / 100 + 2));
    ASSERT_LT(clearAt, display.events.size());
    EXPECT_EQ(clearAt, display.events.size() - 1) << "the result was shown before the line was cleared";
    EXPECT_EQ(display.events[firstSpin - 1], "I Build 1300 is valid");
}

// A server that stops sending is given up by the request's low-speed bound: the worker ends,
// is joined, and the download fails well before the server would have answered.
TEST_F(UpdaterOps, StalledImageRequestEnds)
{
    HTTPLimits limits;
    limits.lowSpeedTimeS = 1;
    HTTPRequest::SetLimits(limits);
    server.setFault("bird", Fault::Delay, 8000);
    Updater updater(server.url().c_str(), store.c_str(), display);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));
    ASSERT_NO_FATAL_FAILURE(expectFailedDownloadStoredNothing("Operation too slow."));
}

// A server that sends the image a few bytes at a time, fast enough for the low-speed limit,
// is given up at the bound on the request as a whole (shortened here to 1.5 s): the lines of
// any failed request, nothing stored.
TEST_F(UpdaterOps, TricklingImageRequestEndsAtItsBound)
{
    HTTPLimits limits;
    limits.imageTimeoutMs = 1500;
    HTTPRequest::SetLimits(limits);
    server.setFault("bird", Fault::Trickle, 200);
    Updater updater(server.url().c_str(), store.c_str(), display);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    ASSERT_NO_FATAL_FAILURE(expectFailedDownloadStoredNothing("Operation timed out after"));
    std::ifstream settings(store + "/40F5849A/.settings");
    std::string text((std::istreambuf_iterator<char>(settings)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("LATEST_DOWNLOAD"), std::string::npos) << text;
}

// Build texts as a caller may give them: letters fail before anything else is looked at, a
// number with a tail counts by its digits, and the serial number is checked next.
TEST_F(UpdaterOps, BuildTextAndSerialChecks)
{
    struct Row {
        unsigned int serial;
        const char* build;
        unsigned int result;
        std::vector<std::string> lines;
        size_t queries;
    };
    const Row rows[] = {
        {0, "abc", 0, {"E Build number 'abc' must be an number"}, 0},
        {kSerial, "99999999999999999999999", 0,
         {"E Build number '99999999999999999999999' must be an number"}, 0},
        {0, "", 0, {"E Serial Number must be non-zero"}, 0},
        {0, "1300", 0, {"E Serial Number must be non-zero"}, 0},
        {kSerial, "1300abc", 1300,
         {"I Retrieving build 1300", "I Validating build 1300 with server", "I Build 1300 is valid"},
         4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.build);
        server.clearQueries();
        RecordingDisplay sink;
        Updater updater(server.url().c_str(), store.c_str(), sink);
        EXPECT_EQ(updater.Download_Firmware(row.serial, row.build, false, false), row.result);
        EXPECT_EQ(sink.lines(), row.lines);
        EXPECT_EQ(server.queries().size(), row.queries);
    }
}

// A store base that is a regular file: the operation names itself in the error line and fails
// without a further line.
TEST_F(UpdaterOps, StoreThatCannotBeMade)
{
    std::ofstream(store) << "a file";
    {
        RecordingDisplay sink;
        Updater updater(server.url().c_str(), store.c_str(), sink);
        EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
        ASSERT_EQ(sink.lines().size(), 1u);
        EXPECT_EQ(sink.lines()[0].rfind("E Failed to Create UpdaterStore in: Download_Firmware - "
                                        "Exception: ",
                                        0),
                  0u)
            << sink.lines()[0];
        EXPECT_EQ(server.queries(), std::vector<std::string>{"op=hi&rv=2&"});
    }
    {
        RecordingDisplay sink;
        Updater updater(server.url().c_str(), store.c_str(), sink);
        EXPECT_TRUE(updater.Get_BuildListLocal(kSerial).empty());
        ASSERT_EQ(sink.lines().size(), 1u);
        EXPECT_EQ(sink.lines()[0].rfind("E Failed to Create UpdaterStore in: Get_BuildListLocal - "
                                        "Exception: ",
                                        0),
                  0u)
            << sink.lines()[0];
    }
}

// Entries whose names give one build (the image, a backup of an older one, a bare number), in
// each order a directory may list them: the build shows the version of "<build>.bird", the
// image an update loads; without that image the first entry listed stands for the build.
TEST_F(UpdaterOps, LocalBuildListPrefersTheImageToItsCopies)
{
    const std::string device = store + "/40F5849A";
    ASSERT_TRUE(std::filesystem::create_directories(device));
    auto image = [&](const char* name, const char* version) {
        BirdBuilder b;
        b.firmware(0x1000, BirdBuilder::Random(64, 3)).descriptor("1300", version, "40F5849A", "M");
        EXPECT_TRUE(b.writeTo(device + "/" + name));
        return UpdaterStoreItem(device.c_str(), name, STORE_ITEM_FILE);
    };
    UpdaterStoreItem real = image("1300.bird", "1.3.0");
    UpdaterStoreItem backup = image("1300.bird.bak", "1.2.9");
    UpdaterStoreItem bare = image("1300", "1.2.8");
    UpdaterStoreItem other = image("1300.old.bird", "1.2.7");
    struct Row {
        std::vector<UpdaterStoreItem> listed;
        std::map<std::string, std::string> builds;
    };
    const std::map<std::string, std::string> both = {{"1300", "1.3.0"}, {"1300.old", "1.2.7"}};
    const Row rows[] = {
        {{real, backup, bare, other}, both},
        {{backup, real, bare, other}, both},
        {{bare, other, backup, real}, both},
        {{backup, bare}, {{"1300", "1.2.9"}}},
        {{bare, backup}, {{"1300", "1.2.8"}}},
    };
    for (const Row& row : rows) {
        std::string order;
        for (const UpdaterStoreItem& item : row.listed)
            order += item.name + " ";
        SCOPED_TRACE(order);
        EXPECT_EQ(_local_build_list(row.listed), row.builds);
    }
}
