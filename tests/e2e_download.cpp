// -G on the real binary against the update-server emulator: the lines, the requests in their
// order and form, the stored image and attribute keys, the exit status; and every server or
// store fault giving its error line, exit 1 and a store left exactly as it was; over https,
// the server's certificate checked.
#include "e2e_ops_support.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <regex>
#include <thread>

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include "AtomicFile.h"
#include "BirdBuilder.h"
#include "SelfSignedCert.h"
#include "aError.h"
#include "base64.h"
#include "update_server/TlsFront.h"
#include "update_server/UpdateServerEmulator.h"
#include "SkipOrFail.h"

using namespace opstest;
using Fault = UpdateServerEmulator::Fault;

namespace {


std::string sBird(const std::string& build, const std::string& fw)
{
    return "bld=" + build + "&fw=" + fw + "&no_cal=false&op=bird&sn=40F5849A&";
}

std::string sImage(const std::string& build, const std::string& version, uint32_t seed)
{
    BirdBuilder b;
    b.loader(0x20000000, BirdBuilder::Random(300, seed))
        .firmware(0x1000, BirdBuilder::Random(2000, seed + 1), 1)
        .serialInfo(0x1000, 0x1010)
        .descriptor(build, version, "40F5849A", "USBHub3p");
    BirdBuilder::Bytes bytes = b.image();
    return std::string(bytes.begin(), bytes.end());
}

std::string sBase64(const std::string& bytes)
{
    unsigned long n = 0;
    char* text = base64_encode(bytes.data(), bytes.size(), &n);
    std::string out(text ? text : "", n);
    free(text);
    return out;
}

const std::string kLatestPreamble = kVersion
    + "Retrieving firmware for device with serial number 40F5849A\n"
      "No build specified\n"
      "Using Latest build\n";

std::string sValidated(const std::string& build)
{
    return "Retrieving build " + build + "\nValidating build " + build + " with server\nBuild "
        + build + " is valid\n";
}

class Download : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(files.path.empty());
        images["1200"] = sImage("1200", "1.2.0", 10);
        images["1300"] = sImage("1300", "1.3.0", 20);
        for (auto& entry : images)
            ASSERT_TRUE(WriteFile(files.path + "/" + entry.first + ".bird", entry.second));
        configure();
        ASSERT_TRUE(server.start());
    }

    void configure()
    {
        server.clearFaults();
        server.setLineEnd("\n");
        server.setBuilds(kSerial, {{"1200", "1.2.0", files.path + "/1200.bird"},
                                   {"1300", "1.3.0", files.path + "/1300.bird"}});
        server.setCurrentBuild(kSerial, "1300");
        server.clearQueries();
    }

    // The updater with words, the server and store arguments added.
    Result run(const TempDir& store, std::vector<std::string> words)
    {
        words.insert(words.end(), {"-u", server.url(), "-i", store.path});
        return RunUpdater(words);
    }

    static std::string deviceDir(const TempDir& store) { return store.path + "/updater/40F5849A"; }

    // A store that already holds an older image of build 1300 and a recorded download.
    static void prepare(const TempDir& store)
    {
        std::string dir = deviceDir(store);
        ASSERT_TRUE(std::filesystem::create_directories(dir));
        ASSERT_TRUE(WriteFile(dir + "/1300.bird", sImage("1300", "1.3.0", 99)));
        ASSERT_TRUE(WriteFile(dir + "/.settings",
                              "CREATED_TIME=Mon Dec  7 10:00:00 2026\n"
                              "LAST_DOWNLOAD_DATE=Mon Dec  7 10:00:00 2026\n"
                              "LATEST_DOWNLOAD=1200.bird\n"
                              "UPDATED_TIME=Mon Dec  7 10:00:00 2026\n"));
        ASSERT_TRUE(WriteFile(dir + "/1200.bird", sImage("1200", "1.2.0", 98)));
    }

    // After a successful download of build: the stored file is the served image and the two
    // keys name it and a ctime date.
    void expectStored(const TempDir& store, const std::string& build)
    {
        std::string stored;
        ASSERT_TRUE(ReadFile(deviceDir(store) + "/" + build + ".bird", &stored));
        EXPECT_TRUE(stored == images[build]) << "stored image differs from the served one";
        auto keys = ReadAttributes(deviceDir(store) + "/.settings");
        EXPECT_EQ(keys["LATEST_DOWNLOAD"], build + ".bird");
        static const std::regex ctimeText(
            "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
            "[0-9]{4}");
        EXPECT_TRUE(std::regex_match(keys["LAST_DOWNLOAD_DATE"], ctimeText))
            << keys["LAST_DOWNLOAD_DATE"];
        EXPECT_NE(keys["LAST_DOWNLOAD_DATE"], "Mon Dec  7 10:00:00 2026");
        // No probe or temporary file is left behind (the lock file of the record stays).
        for (auto& entry : std::filesystem::directory_iterator(deviceDir(store))) {
            std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == ".settings" || name == ".settings.lock" || name == "1200.bird" ||
                        name == "1300.bird")
                << name;
        }
    }

    TempDir files;
    UpdateServerEmulator server;
    std::map<std::string, std::string> images;
};

struct Case {
    const char* what;
    std::vector<std::string> words;           // -u and -i are added
    std::function<void(UpdateServerEmulator&)> setup;
    std::string out;
    std::string err;                          // "@URL" stands for the server's base URL
    int status;
    std::vector<std::string> queries;
    std::string stored;                       // build stored on success, "" on failure
};

}  // namespace

TEST_F(Download, LatestGivenAndOverriddenBuilds)
{
    const std::vector<Case> cases = {
        {"latest", {"-G", "-d", "40F5849A"}, nullptr, kLatestPreamble + sValidated("1300"), "", 0,
         {kHi, kQu, kBuilds, sBird("1300", "1.3.0")}, "1300"},
        {"build 0 is the latest", {"-G", "-d", "40F5849A", "-b", "0"}, nullptr,
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 0\n" + sValidated("1300"),
         "", 0, {kHi, kQu, kBuilds, sBird("1300", "1.3.0")}, "1300"},
        // The device's current version goes with the request of an older build.
        {"given build", {"-G", "-d", "40F5849A", "-b", "1200"}, nullptr,
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 1200\n" + sValidated("1200"),
         "", 0, {kHi, kQu, kBuilds, sBird("1200", "1.3.0")}, "1200"},
        {"override skips the list", {"-G", "-d", "40F5849A", "-b", "1200", "-OVERRIDE"}, nullptr,
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 1200\nRetrieving build 1200\n"
                    "Override specified, skipping validation of build 1200\n",
         "", 0, {kHi, kQu, sBird("1200", "1.3.0")}, "1200"},
        {"CR LF replies", {"-G", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setLineEnd("\r\n"); },
         kLatestPreamble + sValidated("1300"), "", 0, {kHi, kQu, kBuilds, sBird("1300", "1.3.0")},
         "1300"},
        {"slow image", {"-G", "-d", "40F5849A"},
         [](UpdateServerEmulator& s) { s.setFault("bird", Fault::Delay, 400); },
         kLatestPreamble + sValidated("1300"), "", 0, {kHi, kQu, kBuilds, sBird("1300", "1.3.0")},
         "1300"},
        {"unlisted build", {"-G", "-d", "40F5849A", "-b", "999"}, nullptr,
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 999\nRetrieving build 999\n"
                    "Validating build 999 with server\n",
         "No valid build 999\n", 1, {kHi, kQu, kBuilds}, ""},
        {"unlisted build, override", {"-G", "-d", "40F5849A", "-b", "999", "-OVERRIDE"}, nullptr,
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 999\nRetrieving build 999\n"
                    "Override specified, skipping validation of build 999\n",
         "Download failed\n  the server answered \"error no such build\"\n"
         "Failed to retrieve a valid BIRD file\n",
         1, {kHi, kQu, sBird("999", "1.3.0")}, ""},
        // A current build that is no number leaves build 0, which no success can report: not
        // fetched, even with the list check skipped and a server that would send an image.
        {"current build no number, override", {"-G", "-d", "40F5849A", "-OVERRIDE"},
         [this](UpdateServerEmulator& s) {
             s.setReply("qu", 200, "ok\nlatest\n1.3.0\n");
             s.setReply("bird", 200, "ok\n" + sBase64(images["1300"]) + "\n");
         },
         kLatestPreamble + "Retrieving build 0\n", "No valid build 0\n", 1, {kHi, kQu}, ""},
    };
    for (bool fresh : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (fresh ? " (fresh store)" : " (prepared store)"));
            configure();
            if (c.setup)
                c.setup(server);
            TempDir store;
            if (!fresh)
                prepare(store);
            auto before = Snapshot(store.path);
            Result r = run(store, c.words);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, Replace(c.err, "@URL", server.url()));
            EXPECT_EQ(server.queries(), c.queries);
            if (!c.stored.empty()) {
                expectStored(store, c.stored);
            } else if (!fresh) {
                EXPECT_EQ(Snapshot(store.path), before);
            } else {
                // Only the device's directory and its attribute file were made.
                EXPECT_FALSE(Exists(deviceDir(store) + "/999.bird"));
                EXPECT_EQ(ReadAttributes(deviceDir(store) + "/.settings").count("LATEST_DOWNLOAD"),
                          0u);
            }
        }
    }
}

// Each fault of the server: its error line, exit 1, and the prepared store unchanged.
TEST_F(Download, ServerFaultsLeaveTheStoreUnchanged)
{
    const std::string notBird = sBase64("this is no firmware image at all!");
    std::string badStream = "bird";
    badStream += std::string("\x01\x01", 2) + "not a zlib stream";
    const std::string brokenBird = sBase64(badStream);
    // A block stream cut inside its last firmware block, then compressed whole: the zlib
    // stream is sound, the image lacks the rest of its firmware.
    BirdBuilder cutBuilder;
    cutBuilder.loader(0x20000000, BirdBuilder::Random(300, 30))
        .descriptor("1300", "1.3.0", "40F5849A", "USBHub3p")
        .firmware(0x1000, BirdBuilder::Random(2000, 31), 1)
        .firmware(0x1800, BirdBuilder::Random(2000, 32), 1);
    BirdBuilder::Bytes cutStream = cutBuilder.stream();
    cutStream.resize(cutStream.size() - 1000);
    BirdBuilder::Bytes cutImage = BirdBuilder::Wrap(BirdBuilder::Compress(cutStream));
    const std::string cutBird = sBase64(std::string(cutImage.begin(), cutImage.end()));
    const std::string invalid = "Failed to retrieve a valid BIRD file\n";
    const std::string toBird = kLatestPreamble + sValidated("1300");
    // A reply cut mid-body: "ok", the image's base64 and their line ends announced, half sent.
    const size_t replyBytes = 3 + sBase64(images["1300"]).size() + 1;
    const size_t cutRemaining = replyBytes - replyBytes / 2;
    const std::vector<std::string> all = {kHi, kQu, kBuilds, sBird("1300", "1.3.0")};

    const std::vector<Case> cases = {
        // Each failed request: its line, then the reason indented by two spaces.
        {"ping 500", {}, [](UpdateServerEmulator& s) { s.setFault("hi", Fault::Status500); },
         kLatestPreamble, "Server request failed for @URL\n  HTTP status 500\n", 1, {kHi}, ""},
        {"ping not ok", {}, [](UpdateServerEmulator& s) { s.setFault("hi", Fault::NotOk); },
         kLatestPreamble, "Server request failed for @URL\n  the server answered \"error\"\n", 1,
         {kHi}, ""},
        // The client asks the server it was given, never another one.
        {"ping redirected", {},
         [](UpdateServerEmulator& s) { s.setRedirect("hi", 302, "https://mirror.example/cgi/u"); },
         kLatestPreamble,
         "Server request failed for @URL\n  redirected (HTTP 302) to https://mirror.example/cgi/u; "
         "redirects are not followed\n",
         1, {kHi}, ""},
        {"ping redirected without a location", {},
         [](UpdateServerEmulator& s) { s.setReply("hi", 301, "moved\n"); }, kLatestPreamble,
         "Server request failed for @URL\n  redirected (HTTP 301) without a location; redirects "
         "are not followed\n",
         1, {kHi}, ""},
        {"no build information", {},
         [](UpdateServerEmulator& s) { s.setFault("qu", Fault::EmptyBody); }, kLatestPreamble,
         "No build information for device\n  the server's reply is empty\n", 1, {kHi, kQu}, ""},
        {"current build no number", {},
         [](UpdateServerEmulator& s) { s.setReply("qu", 200, "ok\nlatest\n1.3.0\n"); },
         kLatestPreamble + "Retrieving build 0\nValidating build 0 with server\n",
         "No valid build 0\n", 1, {kHi, kQu, kBuilds}, ""},
        {"current build no number, 0 listed", {},
         [](UpdateServerEmulator& s) {
             s.setReply("qu", 200, "ok\nlatest\n1.3.0\n");
             s.setReply("builds", 200, "ok\n0;1.0.0\n1300;1.3.0\n");
         },
         kLatestPreamble + "Retrieving build 0\nValidating build 0 with server\n",
         "No valid build 0\n", 1, {kHi, kQu, kBuilds}, ""},
        {"current build no number, a build listed that is none", {},
         [](UpdateServerEmulator& s) {
             s.setReply("qu", 200, "ok\nlatest\n1.3.0\n");
             s.setReply("builds", 200, "ok\nlatest;1.3.0\n1300;1.3.0\n");
         },
         kLatestPreamble + "Retrieving build 0\nValidating build 0 with server\n",
         "No valid build 0\n", 1, {kHi, kQu, kBuilds}, ""},
        // Numbers std::stoul reads but no 32-bit build is: cut to 32 bits they would fetch
        // and store another build than the one the server named (4294968496 is 2^32 + 1200).
        {"current build beyond 32 bits", {},
         [](UpdateServerEmulator& s) {
             s.setReply("qu", 200, "ok\n4294968496\n1.3.0\n");
             s.setReply("builds", 200, "ok\n1200;1.2.0\n4294968496;1.3.0\n");
         },
         kLatestPreamble + "Retrieving build 0\nValidating build 0 with server\n",
         "No valid build 0\n", 1, {kHi, kQu, kBuilds}, ""},
        {"negative current build", {},
         [](UpdateServerEmulator& s) {
             s.setReply("qu", 200, "ok\n-1\n1.3.0\n");
             s.setReply("builds", 200, "ok\n-1;1.3.0\n1300;1.3.0\n");
         },
         kLatestPreamble + "Retrieving build 0\nValidating build 0 with server\n",
         "No valid build 0\n", 1, {kHi, kQu, kBuilds}, ""},
        {"given build listed only beyond 32 bits", {"-G", "-d", "40F5849A", "-b", "1200"},
         [](UpdateServerEmulator& s) { s.setReply("builds", 200, "ok\n4294968496;1.3.0\n"); },
         kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                    "Retrieving firmware build 1200\nRetrieving build 1200\n"
                    "Validating build 1200 with server\n",
         "No valid build 1200\n", 1, {kHi, kQu, kBuilds}, ""},
        {"build list 500", {}, [](UpdateServerEmulator& s) { s.setFault("builds", Fault::Status500); },
         kLatestPreamble + "Retrieving build 1300\nValidating build 1300 with server\n",
         "No valid build 1300\n  HTTP status 500\n", 1, {kHi, kQu, kBuilds}, ""},
        {"image 500", {}, [](UpdateServerEmulator& s) { s.setFault("bird", Fault::Status500); },
         toBird, "Download failed\n  HTTP status 500\n" + invalid, 1, all, ""},
        {"image empty body", {}, [](UpdateServerEmulator& s) { s.setFault("bird", Fault::EmptyBody); },
         toBird, "Download failed\n  the server's reply is empty\n" + invalid, 1, all, ""},
        {"image not ok", {}, [](UpdateServerEmulator& s) { s.setFault("bird", Fault::NotOk); },
         toBird, "Download failed\n  the server answered \"error\"\n" + invalid, 1, all, ""},
        {"image redirected", {},
         [](UpdateServerEmulator& s) {
             s.setRedirect("bird", 307, "http://127.0.0.1:1/cgi/u?op=bird&bld=1300");
         },
         toBird,
         "Download failed\n  redirected (HTTP 307) to http://127.0.0.1:1/cgi/u?op=bird&bld=1300; "
         "redirects are not followed\n" + invalid,
         1, all, ""},
        {"image cut mid-body", {},
         [](UpdateServerEmulator& s) { s.setFault("bird", Fault::CloseMidBody); }, toBird,
         "Download failed\n  transfer closed with " + std::to_string(cutRemaining) +
             " bytes remaining to read\n" + invalid,
         1, all, ""},
        {"ok without image", {}, [](UpdateServerEmulator& s) { s.setReply("bird", 200, "ok\n"); },
         toBird, invalid, 1, all, ""},
        {"bad base64", {}, [](UpdateServerEmulator& s) { s.setFault("bird", Fault::BadBase64); },
         toBird, invalid, 1, all, ""},
        {"base64 of no BIRD file", {},
         [&](UpdateServerEmulator& s) { s.setReply("bird", 200, "ok\n" + notBird + "\n"); }, toBird,
         invalid, 1, all, ""},
        {"BIRD signature, broken stream", {},
         [&](UpdateServerEmulator& s) { s.setReply("bird", 200, "ok\n" + brokenBird + "\n"); },
         toBird, invalid, 1, all, ""},
        {"BIRD image whose last block runs past its end", {},
         [&](UpdateServerEmulator& s) { s.setReply("bird", 200, "ok\n" + cutBird + "\n"); },
         toBird, invalid, 1, all, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        configure();
        c.setup(server);
        TempDir store;
        prepare(store);
        auto before = Snapshot(store.path);
        Result r = run(store, c.words.empty() ? std::vector<std::string>{"-G", "-d", "40F5849A"}
                                              : c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, Replace(c.err, "@URL", server.url()));
        EXPECT_EQ(server.queries(), c.queries);
        EXPECT_EQ(Snapshot(store.path), before);
    }
}

// A server that does not listen: the ping fails with the URL named and curl's reason, the
// refused connection; nothing else is asked.
TEST_F(Download, UnreachableServer)
{
    UpdateServerEmulator gone;
    ASSERT_TRUE(gone.start());
    std::string url = gone.url();
    gone.stop();
    TempDir store;
    prepare(store);
    auto before = Snapshot(store.path);
    Result r = RunUpdater({"-G", "-d", "40F5849A", "-u", url, "-i", store.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kLatestPreamble);
    const std::string line = "Server request failed for " + url + "\n";
    ASSERT_EQ(r.err.substr(0, line.size()), line) << r.err;
    const std::string port = url.substr(url.rfind(':') + 1, url.find("/cgi") - url.rfind(':') - 1);
    EXPECT_TRUE(std::regex_match(r.err.substr(line.size()),
                                 std::regex("  Failed to connect to 127\\.0\\.0\\.1 port " + port +
                                            " after [0-9]+ ms: Couldn't connect to server\n")))
        << r.err;
    EXPECT_EQ(Snapshot(store.path), before);
}

// An image that cannot be written (its name is taken by a directory): the write error, exit 1,
// nothing recorded.
TEST_F(Download, UnwritableImage)
{
    TempDir store;
    prepare(store);
    std::string dir = deviceDir(store);
    ASSERT_TRUE(std::filesystem::remove(dir + "/1300.bird"));
    ASSERT_TRUE(std::filesystem::create_directories(dir + "/1300.bird/inside"));
    auto before = Snapshot(store.path);
    Result r = run(store, {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
    EXPECT_EQ(r.err, "Failed to write file with " + std::to_string(int(aErrIO)) + "\n  " +
                         strerror(EISDIR) + "\n");
    EXPECT_EQ(server.queries(), (std::vector<std::string>{kHi, kQu, kBuilds, sBird("1300", "1.3.0")}));
    EXPECT_EQ(Snapshot(store.path), before);
}

// An update recording its transfer while the image is on its way: the download's record keeps
// what that update saved.
TEST_F(Download, RecordKeepsWhatAnotherUpdaterSavedMeanwhile)
{
    TempDir store;
    prepare(store);
    const std::string settings = deviceDir(store) + "/.settings";
    const std::string other = "CREATED_TIME=Mon Dec  7 10:00:00 2026\n"
                              "LAST_TRANSFER_DATE=Mon Dec  7 11:00:00 2026\n"
                              "LATEST_DOWNLOAD=1200.bird\n"
                              "LATEST_TRANSFER=1200.bird\n";
    server.setFault("bird", Fault::Delay, 1000);
    std::atomic<bool> wrote{false};
    // On the server's thread as the image request arrives, before its answer goes out.
    server.onQuery([&](const std::string& query) {
        if (query.compare(0, 4, "bld=") == 0)
            wrote = WriteFile(settings, other);
    });
    Result r = run(store, {"-G", "-d", "40F5849A"});
    server.onQuery(nullptr);
    ASSERT_TRUE(wrote);
    EXPECT_EQ(r.status, 0) << r.err;
    expectStored(store, "1300");
    auto keys = ReadAttributes(settings);
    EXPECT_EQ(keys["LATEST_TRANSFER"], "1200.bird");
    EXPECT_EQ(keys["LAST_TRANSFER_DATE"], "Mon Dec  7 11:00:00 2026");
}

// Image-sized temporaries of a run killed while it wrote them: no list counts them, and the
// next download into that directory removes them.
TEST_F(Download, TemporariesOfAKilledRunGoWithTheNextWrite)
{
    TempDir store;
    prepare(store);
    const std::string dir = deviceDir(store);
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        TemporaryFile image, probe;
        const std::string& bytes = images["1300"];
        bool ok = image.Create(dir + "/1300.bird") == aErrNone &&
                  image.Write(bytes.data(), bytes.size()) == aErrNone &&
                  probe.Create(dir + "/download.bird") == aErrNone &&
                  probe.Write(bytes.data(), bytes.size()) == aErrNone;
        if (!ok || write(ready[1], "!", 1) != 1)
            _exit(1);
        pause();  // killed here, in the middle of its writes
        _exit(2);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    size_t temporaries = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir))
        temporaries += AtomicFile::IsTemporaryName(entry.path().filename().c_str());
    ASSERT_EQ(temporaries, 2u);

    Result listed = run(store, {"-L", "-d", "40F5849A"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out.find(".tmp."), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("1300           \t1.3.0"), std::string::npos) << listed.out;

    Result r = run(store, {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 0) << r.err;
    expectStored(store, "1300");
}

// Downloads into one store at once from runs in PID namespaces of their own (containers
// sharing the store) and a run beside them: a process number tells nothing across namespaces,
// yet no run takes another's temporary file, and each stores the whole image.
TEST_F(Download, RunsInOtherPidNamespacesAtOnce)
{
    // An image large enough that the runs' writes of it overlap.
    BirdBuilder big;
    big.loader(0x20000000, BirdBuilder::Random(300, 50))
        .firmware(0x1000, BirdBuilder::Random(512 * 1024, 51), 1)
        .serialInfo(0x1000, 0x1010)
        .descriptor("1300", "1.3.0", "40F5849A", "USBHub3p");
    BirdBuilder::Bytes bytes = big.image();
    images["1300"].assign(bytes.begin(), bytes.end());
    ASSERT_TRUE(WriteFile(files.path + "/1300.bird", images["1300"]));
    ChildSetup here, own;
    own.ownPidNamespace = true;
    const std::vector<const ChildSetup*> setups = {&here, &own, &here, &own};
    for (int trial = 0; trial < 20; trial++) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        TempDir store;
        prepare(store);
        std::vector<Result> results(setups.size());
        std::vector<std::thread> runs;
        for (size_t i = 0; i < setups.size(); i++)
            runs.emplace_back([&, i] {
                results[i] =
                    RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", store.path},
                               30000, *setups[i]);
            });
        for (std::thread& t : runs)
            t.join();
        for (const Result& r : results) {
            if (r.status == kNoPidNamespace)
                QC_SKIP_OR_FAIL("no PID namespace of its own for a run (needs root)");
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
            EXPECT_EQ(r.err, "");
        }
        expectStored(store, "1300");
    }
}

// Under a file-size limit smaller than the image: the write fails with its error line instead
// of the run dying by SIGXFSZ, and the store is left as it was (no temporary file).
TEST_F(Download, FileSizeLimit)
{
    TempDir store;
    prepare(store);
    auto before = Snapshot(store.path);
    ChildSetup limited;
    limited.fileSizeLimit = 1024;
    ASSERT_GT(images["1300"].size(), limited.fileSizeLimit);
    Result r = RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", store.path}, 30000,
                          limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
    EXPECT_EQ(r.err, "Failed to write file with " + std::to_string(int(aErrIO)) + "\n  " +
                         strerror(EFBIG) + "\n");
    EXPECT_EQ(Snapshot(store.path), before);
}

// A full disk: the write's error line, then the system's reason. The disk is a small tmpfs
// over the store, mounted for the updater alone in a private mount namespace.
TEST_F(Download, FullDiskSaysWhy)
{
    // An image that cannot be compressed, larger than the whole disk.
    BirdBuilder big;
    big.loader(0x20000000, BirdBuilder::Random(300, 40))
        .firmware(0x1000, BirdBuilder::Random(64 * 1024, 41), 1)
        .descriptor("1300", "1.3.0", "40F5849A", "USBHub3p");
    ASSERT_TRUE(big.writeTo(files.path + "/big.bird"));
    server.setBuilds(kSerial, {{"1300", "1.3.0", files.path + "/big.bird"}});
    TempDir store;
    ChildSetup full;
    full.tmpfsTarget = store.path;
    full.tmpfsBytes = 16 * 1024;
    Result r =
        RunUpdater({"-G", "-d", "40F5849A", "-u", server.url(), "-i", store.path}, 30000, full);
    if (r.status == kNoMountNamespace)
        QC_SKIP_OR_FAIL("no private mount namespace for a small tmpfs (needs root)");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
    EXPECT_EQ(r.err, "Failed to write file with " + std::to_string(int(aErrIO)) + "\n  " +
                         strerror(ENOSPC) + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(store.path)) << "the tmpfs was not the updater's alone";
}

// The checks before any request: no -d, and the device directory that cannot be made.
TEST_F(Download, ChecksBeforeTheServer)
{
    {
        TempDir store;
        Result r = run(store, {"-G"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "-G must specify a specific device via -d\n--help for usage information\n");
        EXPECT_TRUE(server.queries().empty());
    }
    {
        // A regular file where the device's directory belongs.
        TempDir store;
        ASSERT_TRUE(std::filesystem::create_directories(store.path + "/updater"));
        ASSERT_TRUE(WriteFile(deviceDir(store), "not a directory"));
        Result r = run(store, {"-G", "-d", "40F5849A"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kLatestPreamble);
        EXPECT_EQ(r.err, "Could not create directory for storing BIRD file\n");
        EXPECT_EQ(server.queries(), std::vector<std::string>{kHi});
    }
}

// The image is stored but its record cannot be saved (the attribute file is unreadable, so it
// is never replaced): a failure, since a following update would not find the download.
TEST_F(Download, RecordThatCannotBeSaved)
{
    TempDir store;
    ASSERT_TRUE(std::filesystem::create_directories(deviceDir(store) + "/.settings/x"));
    Result r = run(store, {"-G", "-d", "40F5849A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
    EXPECT_EQ(r.err, "Failed to record the download with " + std::to_string(int(aErrIO)) + "\n  " +
                         strerror(EISDIR) + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(deviceDir(store) + "/.settings/x"));
}

// An https server must prove who it is. A self-signed certificate that nobody made trusted
// fails like an unreachable server: its error line with curl's reason under it, nothing asked
// of the server behind the TLS front, nothing stored, and the same reason in the log. Made
// trusted, the same download goes through; trusted but issued for another host, it fails
// again. This libcurl reads no SSL_CERT_FILE, so trust is given through its built-in CA
// bundle, replaced for the updater alone in a private mount namespace.
TEST_F(Download, HttpsServerMustProveItsCertificate)
{
    const char* bundle = curl_version_info(CURLVERSION_NOW)->cainfo;
    ASSERT_NE(bundle, nullptr) << "libcurl has no built-in CA bundle to stand in for";
    const std::string here = files.path + "/here", elsewhere = files.path + "/elsewhere";
    std::string why;
    ASSERT_TRUE(MakeSelfSignedCertificate(here + ".crt", here + ".key", "IP:127.0.0.1", &why))
        << why;
    ASSERT_TRUE(MakeSelfSignedCertificate(elsewhere + ".crt", elsewhere + ".key",
                                          "DNS:update.elsewhere.example", &why))
        << why;
    TlsFront hereFront, elsewhereFront;
    ASSERT_TRUE(hereFront.start(here + ".crt", here + ".key", server.port(), &why)) << why;
    ASSERT_TRUE(elsewhereFront.start(elsewhere + ".crt", elsewhere + ".key", server.port(), &why))
        << why;

    struct TlsCase {
        const char* what;
        const TlsFront& front;
        std::string trusted;  // the file standing in for the CA bundle ("" = the system's)
        const char* reason;   // pattern of curl's reason; null: the download succeeds
    };
    const std::vector<TlsCase> cases = {
        {"not trusted", hereFront, "", "SSL certificate problem: self.signed certificate"},
        {"trusted", hereFront, here + ".crt", nullptr},
        {"trusted, for another host", elsewhereFront, elsewhere + ".crt",
         "SSL: no alternative certificate subject name matches"},
    };
    for (const TlsCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string url = c.front.url();
        ChildSetup setup;
        if (!c.trusted.empty()) {
            setup.bindSource = c.trusted;
            setup.bindTarget = bundle;
        }
        auto runOver = [&](std::vector<std::string> words) {
            configure();
            TempDir store;
            prepare(store);
            auto before = Snapshot(store.path);
            words.insert(words.end(), {"-G", "-d", "40F5849A", "-u", url, "-i", store.path});
            Result r = RunUpdater(words, 30000, setup);
            if (r.status == kNoMountNamespace)
                return r;  // the tool never ran: nothing to check
            if (!c.reason)
                expectStored(store, "1300");
            else
                EXPECT_EQ(Snapshot(store.path), before);
            return r;
        };

        Result r = runOver({});
        if (r.status == kNoMountNamespace)
            QC_SKIP_OR_FAIL("no private mount namespace for the trusted bundle (needs root)");
        if (!c.reason) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, kLatestPreamble + sValidated("1300"));
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(server.queries(),
                      (std::vector<std::string>{kHi, kQu, kBuilds, sBird("1300", "1.3.0")}));
            continue;
        }
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kLatestPreamble);
        const std::string failedLine = "Server request failed for " + url + "\n";
        EXPECT_EQ(r.err.substr(0, failedLine.size()), failedLine) << r.err;
        EXPECT_TRUE(std::regex_match(r.err.substr(std::min(failedLine.size(), r.err.size())),
                                     std::regex(std::string("  ") + c.reason + "[^\n]*\n")))
            << r.err;
        EXPECT_TRUE(server.queries().empty());

        // With the server log on: the ping's failure names curl's reason.
        r = runOver({"-X", "0x20"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("ping ==> [") +
                             curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION) + "]\n"),
                  std::string::npos)
            << r.err;
        const std::string failed = "GET(" + url + "?" + kHi + ") failed: ";
        size_t at = r.err.find(failed);
        ASSERT_NE(at, std::string::npos) << r.err;
        std::string line = r.err.substr(at + failed.size());
        line = line.substr(0, line.find('\n'));
        EXPECT_TRUE(std::regex_search(line, std::regex(c.reason))) << line;
        EXPECT_TRUE(server.queries().empty());
    }
}
