// The command dispatch on the real binary against the update-server emulator: the build tables
// of -B and -L, the checks of every command, and the fixed order in which commands run.
#include "e2e_ops_support.h"

#include <cstdarg>

#include "BirdBuilder.h"
#include "update_server/UpdateServerEmulator.h"

using namespace opstest;
using Fault = UpdateServerEmulator::Fault;

namespace {

const std::string kBird1300 = "bld=1300&fw=1.3.0&no_cal=false&op=bird&sn=40F5849A&";

std::string sImage(const std::string& build, const std::string& version, uint32_t seed)
{
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(200, seed))
        .firmware(0x1000, BirdBuilder::Random(1000, seed + 1), 1)
        .descriptor(build, version, "40F5849A", "USBHub3p");
    BirdBuilder::Bytes bytes = b.image();
    return std::string(bytes.begin(), bytes.end());
}

std::string sRow(const char* build, const char* version)
{
    char line[64];
    snprintf(line, sizeof line, "%-15.15s\t%-15.15s\n", build, version);
    return line;
}

std::string sTable(const std::vector<std::pair<const char*, const char*>>& rows)
{
    std::string text = "Build List for device [40F5849A]:\n\n" + sRow("Build", "Version");
    for (const auto& row : rows)
        text += sRow(row.first, row.second);
    return text;
}

const std::string kNoBuilds = "No builds found for device [40F5849A]\n";
const std::string kDownload = "Retrieving firmware for device with serial number 40F5849A\n"
                              "No build specified\nUsing Latest build\nRetrieving build 1300\n"
                              "Validating build 1300 with server\nBuild 1300 is valid\n";

class Ops : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(files.path.empty());
        ASSERT_TRUE(WriteFile(files.path + "/1300.bird", sImage("1300", "1.3.0", 5)));
        configure();
        ASSERT_TRUE(server.start());
    }

    void configure()
    {
        server.clearFaults();
        // Listed out of version order; the long build and version are cut to their columns.
        server.setBuilds(kSerial, {{"100", "1.2.3", ""},
                                   {"1200", "", ""},
                                   {"101", "1.10.0", ""},
                                   {"1300", "1.3.0", files.path + "/1300.bird"},
                                   {"12345678901234567890", "2.0.0-candidate-77", ""}});
        server.setCurrentBuild(kSerial, "1300");
        server.clearQueries();
    }

    Result run(const TempDir& store, std::vector<std::string> words)
    {
        words.insert(words.end(), {"-u", server.url(), "-i", store.path});
        return RunUpdater(words);
    }

    TempDir files;
    UpdateServerEmulator server;
};

// Newest version first; a build without a readable version last.
const std::string kServerTable = sTable({{"12345678901234567890", "2.0.0-candidate-77"},
                                         {"101", "1.10.0"},
                                         {"1300", "1.3.0"},
                                         {"100", "1.2.3"},
                                         {"1200", ""}});

struct Case {
    const char* what;
    std::vector<std::string> words;
    std::function<void(UpdateServerEmulator&)> setup;
    std::string out;                 // after the version line
    std::string err;                 // "@URL": the server's URL; "@USAGE": the short usage
    int status;
    std::vector<std::string> queries;
};

void sCheck(const Case& c, const Result& r, UpdateServerEmulator& server)
{
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, kVersion + c.out);
    std::string err = Replace(c.err, "@URL", server.url());
    size_t usage = err.find("@USAGE");
    if (usage == std::string::npos) {
        EXPECT_EQ(r.err, err);
    } else {
        // The short usage follows the error line; its text is the command line's own test.
        err.erase(usage);
        EXPECT_EQ(r.err.substr(0, err.size()), err);
        EXPECT_EQ(r.err.substr(err.size(), 21), "\n\nApplication Usage:\n");
    }
    EXPECT_EQ(server.queries(), c.queries);
}

}  // namespace

TEST_F(Ops, ServerBuildList)
{
    const std::vector<Case> cases = {
        {"table", {"-B", "-d", "40F5849A"}, nullptr, kServerTable, "", 0, {kHi, kBuilds}},
        {"CR LF replies", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setLineEnd("\r\n"); }, kServerTable, "", 0,
         {kHi, kBuilds}},
        // A query that failed is no empty list: its error line and reason, no table, exit 1.
        {"unknown device", {"-B", "-d", "0BADF00D"}, nullptr, "",
         "Failed to retrieve builds for 0BADF00D\n  the server answered \"error unknown device\"\n",
         1, {kHi, "op=builds&sn=0BADF00D&"}},
        {"list 500", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("builds", Fault::Status500); }, "",
         "Failed to retrieve builds for 40F5849A\n  HTTP status 500\n", 1, {kHi, kBuilds}},
        {"list redirected", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) {
             s.setRedirect("builds", 302, "http://127.0.0.1:1/cgi/u?op=builds");
         },
         "",
         "Failed to retrieve builds for 40F5849A\n  redirected (HTTP 302) to "
         "http://127.0.0.1:1/cgi/u?op=builds; redirects are not followed\n",
         1, {kHi, kBuilds}},
        // The server announces the 80 bytes of the list and sends half of them.
        {"list cut short", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("builds", Fault::CloseMidBody); }, "",
         "Failed to retrieve builds for 40F5849A\n  transfer closed with 40 bytes remaining to "
         "read\n",
         1, {kHi, kBuilds}},
        {"ping fails", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("hi", Fault::EmptyBody); }, "",
         "Server request failed for @URL\n  the server's reply is empty\n", 1, {kHi}},
        // An answered list with no build in it (a line too short to be one) stays "none".
        {"empty list", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setReply("builds", 200, "ok\n99\n"); }, kNoBuilds, "", 0,
         {kHi, kBuilds}},
        {"list of nothing", {"-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setBuilds(kSerial, {}); }, kNoBuilds, "", 0,
         {kHi, kBuilds}},
        {"no device", {"-B"}, nullptr, "",
         "Error must supply a serial number for the List Builds command@USAGE", 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configure();
        server.setLineEnd("\n");
        if (c.setup)
            c.setup(server);
        TempDir store;
        sCheck(c, run(store, c.words), server);
    }
}

// The store's own list: every visible entry of the device's directory, by name up to ".bird",
// with the version of each image that carries one.
TEST_F(Ops, LocalBuildList)
{
    TempDir store;
    std::string dir = store.path + "/updater/40F5849A";
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    ASSERT_TRUE(WriteFile(dir + "/1200.bird", sImage("1200", "1.2.0", 1)));
    ASSERT_TRUE(WriteFile(dir + "/1300.bird", sImage("1300", "1.10.0", 2)));
    ASSERT_TRUE(WriteFile(dir + "/notes.txt", "not an image\n"));
    // The signature of an image, then nothing that decompresses.
    ASSERT_TRUE(WriteFile(dir + "/broken.bird", std::string("bird\x01\x01", 6) + "garbage here"));
    // An image whose descriptor carries no version.
    ASSERT_TRUE(WriteFile(dir + "/1250.bird", sImage("1250", "", 3)));
    ASSERT_TRUE(WriteFile(dir + "/.settings", "LATEST_DOWNLOAD=1300.bird\n"));
    ASSERT_TRUE(WriteFile(dir + "/.hidden.bird", sImage("9", "9.9.9", 4)));

    Case table = {"table", {"-L", "-d", "40F5849A"}, nullptr,
                  sTable({{"1300", "1.10.0"}, {"1200", "1.2.0"}, {"1250", ""}, {"broken", ""},
                          {"notes.txt", ""}}),
                  "", 0, {}};
    sCheck(table, run(store, table.words), server);
    {
        // The device's directory a link to the same directory elsewhere: the same table.
        SCOPED_TRACE("device directory is a link");
        TempDir linked;
        ASSERT_TRUE(std::filesystem::create_directories(linked.path + "/updater"));
        std::filesystem::create_directory_symlink(dir, linked.path + "/updater/40F5849A");
        sCheck(table, run(linked, table.words), server);
    }

    const std::vector<Case> cases = {
        {"no directory", {"-L", "-d", "0BADF00D"}, nullptr,
         "No builds found for device [0BADF00D]\n", "", 0, {}},
        {"no device", {"-L"}, nullptr, "",
         "Error must supply a serial number for the List Local Builds command@USAGE", 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sCheck(c, run(store, c.words), server);
    }
    // Listing writes nothing, and makes no directory for an unknown device.
    EXPECT_FALSE(Exists(store.path + "/updater/0BADF00D"));
}

// -N and -G first, then the first of -D, -U, -B, -L; the exit status of what ran last.
TEST_F(Ops, CommandOrderAndChecks)
{
    const std::string notAvailable = "Not available in this version of the updater: ";
    const std::string kNewFirmware = "New firmware is available.  Updater will proceed if valid "
                                     "firmware is found locally.\n";
    const std::string kNoValidBuild = "Could not find valid build for this device.\n";
    const std::vector<std::string> download = {kHi, kQu, kBuilds, kBird1300};
    std::vector<std::string> downloadThenList = download;
    downloadThenList.insert(downloadThenList.end(), {kHi, kBuilds});
    const std::string localAfterDownload = sTable({{"1300", "1.3.0"}});
    const std::string kQuBlank = "op=qu&sn=DEADDEAD&";
    std::vector<std::string> blankThenDownload = {kHi, kQuBlank};
    blankThenDownload.insert(blankThenDownload.end(), download.begin(), download.end());

    const std::vector<Case> cases = {
        {"-G then -B", {"-B", "-G", "-d", "40F5849A"}, nullptr, kDownload + kServerTable, "", 0,
         downloadThenList},
        {"-G then -L sees the image", {"-L", "-G", "-d", "40F5849A"}, nullptr,
         kDownload + localAfterDownload, "", 0, download},
        // A failed command fails the run, whatever runs after it.
        {"a failed -G before -B: -B runs, exit 1", {"-G", "-B", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("bird", Fault::Status500); },
         kDownload + kServerTable,
         "Download failed\n  HTTP status 500\nFailed to retrieve a valid BIRD file\n", 1,
         downloadThenList},
        {"a failed -G before -L: -L runs, exit 1", {"-G", "-L", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("bird", Fault::Status500); },
         kDownload + kNoBuilds,
         "Download failed\n  HTTP status 500\nFailed to retrieve a valid BIRD file\n", 1,
         download},
        // Nothing is installed in place of the build that did not come.
        {"a failed -G ends the run before -U", {"-G", "-U", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("bird", Fault::Status500); }, kDownload,
         "Download failed\n  HTTP status 500\nFailed to retrieve a valid BIRD file\n", 1,
         download},
        {"-G fails at the server before -U", {"-G", "-U", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("", Fault::Status500); },
         "Retrieving firmware for device with serial number 40F5849A\n"
         "No build specified\nUsing Latest build\n",
         "Server request failed for @URL\n  HTTP status 500\n", 1, {kHi}},
        {"a failed -G alone exits 1", {"-G", "-d", "40F5849A", "-b", "5"}, nullptr,
         "Retrieving firmware for device with serial number 40F5849A\n"
         "Retrieving firmware build 5\nRetrieving build 5\nValidating build 5 with server\n",
         "No valid build 5\n", 1, {kHi, kQu, kBuilds}},
        {"-B wins over -L", {"-L", "-B", "-d", "40F5849A"}, nullptr, kServerTable, "", 0,
         {kHi, kBuilds}},
        {"-N without -s ends before -G", {"-N", "-G", "-d", "40F5849A"}, nullptr, "",
         "Must specify the serial port used for connecting\n", 1, {}},
        {"-N -D without -s", {"-N", "-D"}, nullptr, "",
         "Must specify the serial port used for connecting\n", 1, {}},
        {"a failed -G before -D: -D runs, exit 1", {"-D", "-G", "-d", "40F5849A", "-b", "5"},
         nullptr,
         "Retrieving firmware for device with serial number 40F5849A\n"
         "Retrieving firmware build 5\nRetrieving build 5\nValidating build 5 with server\n"
         "Searching for Quillcore devices\nDiscovered Devices: (USB)\n    No devices found.\n",
         "No valid build 5\n", 1, {kHi, kQu, kBuilds}},
        {"-D wins over -U and -L", {"-L", "-U", "-D", "-d", "40F5849A"}, nullptr,
         "Searching for Quillcore devices\nDiscovered Devices: (USB)\n    No devices found.\n", "",
         0, {}},
        // No chip answers on /dev/null: the probe's look for a default loader image finds
        // none. The download after it still runs, and succeeds, but the run has failed.
        {"a failed -N before -G: -G runs, exit 1", {"-N", "-s", "/dev/null", "-G", "-d", "40F5849A"},
         nullptr, kDownload, "Got no response from chip\n", 1, blankThenDownload},
        {"-U without -d", {"-U"}, nullptr, "", "Must specify the specific device to be updated\n",
         1, {}},
        // No device anywhere: the server's build is not stored, nor is any other.
        {"-U", {"-U", "-d", "40F5849A"}, nullptr, kNewFirmware, kNoValidBuild, 1, {kQu}},
        {"-U wins over -B", {"-B", "-U", "-d", "40F5849A"}, nullptr, kNewFirmware, kNoValidBuild,
         1, {kQu}},
        {"-G then -U", {"-G", "-U", "-d", "40F5849A"}, nullptr,
         kDownload + "Updating firmware with build: 1300\n",
         "Failed to connect to module [40F5849A]\n", 1, download},
        {"recovery needs no -d", {"-U", "-t", "RECOVER", "-s", "/dev/null"}, nullptr, "",
         "Could not get Device Identifier\n", 1, {kHi, kQuBlank}},
        {"-G without -d ends before -B", {"-G", "-B"}, nullptr, "",
         "-G must specify a specific device via -d\n--help for usage information\n", 1, {}},
        {"recorded-only commands", {"-I", "-C", "-Z", "x", "-d", "40F5849A"}, nullptr, "", "", 0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configure();
        if (c.setup)
            c.setup(server);
        TempDir store;
        sCheck(c, run(store, c.words), server);
    }
}
