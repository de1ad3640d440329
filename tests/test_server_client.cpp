// The update-server client against the in-process emulator: the exact requests, the replies
// it reads, and every server fault ending in a failure rather than a hang.
#include "FileText.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "base64.h"
#include "update_server/UpdateServerEmulator.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Fault = UpdateServerEmulator::Fault;
using Clock = std::chrono::steady_clock;

unsigned const kSerial = 0x00ABCDEF;
unsigned kFingerprint[4] = {0x1, 0x22, 0xDEADBEEF, 0x0000F00D};

std::string sImageBytes(size_t n)
{
    std::string bytes;
    for (size_t i = 0; i < n; i++)
        bytes += (char)((i * 131 + 7) & 0xFF);
    return bytes;
}

// The bytes of a base64 text, or "<undecodable>".
std::string sDecoded(std::string const& text)
{
    unsigned long n = 0;
    unsigned char* bytes = base64_decode(text.data(), text.size(), &n);
    if (!bytes)
        return "<undecodable>";
    std::string decoded((char*)bytes, n);
    free(bytes);
    return decoded;
}

class ServerClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dirTemplate[] = "/tmp/qc_server_XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        image = sImageBytes(3000);
        writeFile(dir + "/1300.bird", image);
        server.setBuilds(kSerial, {{"1200", "1.2.3", ""}, {"1300", "1.4.0", dir + "/1300.bird"}});
        server.setRecovery(kFingerprint, 0x1A2B3C4D, "1300");
        ASSERT_TRUE(server.start());
        url = server.url();

        logFile = tmpfile();
        ASSERT_NE(logFile, nullptr);
        Log::SetOutput(logFile);
        Log::ActivatePackage(DEBUG_ServerComm);
        HTTPRequest::SetLimits(HTTPLimits());
    }

    void TearDown() override
    {
        server.stop();
        HTTPRequest::SetLimits(HTTPLimits());
        Log::DeactivatePackage(DEBUG_ServerComm);
        Log::SetOutput(nullptr);
        if (logFile)
            fclose(logFile);
        std::string cmd = "rm -rf '" + dir + "'";
        (void)!system(cmd.c_str());
    }

    static void writeFile(std::string const& path, std::string const& bytes)
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        fclose(f);
    }

    std::string logText() { return qctest::fileText(logFile); }

    UpdateServerEmulator server;
    std::string dir, url, image;
    FILE* logFile = nullptr;
};

// One request per op; each returns true and reaches the server as exactly this query.
struct OpCase {
    char const* op;
    std::function<bool(char const* url)> call;
    char const* query;
};

std::vector<OpCase> sOpCases()
{
    return {
        {"hi", [](char const* u) { return UpdateServerRequest::ping(u); }, "op=hi&rv=2&"},
        {"qu",
         [](char const* u) {
             std::string b, v;
             return UpdateServerRequest::QueryBuild(kSerial, b, v, u);
         },
         "op=qu&sn=00ABCDEF&"},
        {"bird",
         [](char const* u) {
             std::string img;
             return UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", img, u, false);
         },
         "bld=1300&fw=1.4.0&no_cal=false&op=bird&sn=00ABCDEF&"},
        {"builds",
         [](char const* u) {
             std::map<std::string, std::string> builds;
             return UpdateServerRequest::GetBuildList(kSerial, builds, u);
         },
         "op=builds&sn=00ABCDEF&"},
        {"fix",
         [](char const* u) {
             unsigned sn = 0, build = 0;
             return UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &build, u);
         },
         "brief=true&fp=00000001%2000000022%20DEADBEEF%200000F00D&op=fix&"},
    };
}

TEST_F(ServerClient, EachOpSendsItsKeysInKeyOrderWithTrailingAmpersand)
{
    for (OpCase const& c : sOpCases()) {
        SCOPED_TRACE(c.op);
        server.clearQueries();
        EXPECT_TRUE(c.call(url.c_str()));
        EXPECT_EQ(server.queries(), std::vector<std::string>{c.query});
    }
    std::string img;
    server.clearQueries();
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "", "1300", img, url.c_str(), true));
    EXPECT_EQ(server.queries(),
              std::vector<std::string>{"bld=1300&fw=&no_cal=true&op=bird&sn=00ABCDEF&"});
}

TEST_F(ServerClient, RepliesAreReadIntoTheResults)
{
    std::string build = "x", version = "y";
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "1300");
    EXPECT_EQ(version, "1.4.0");

    std::string text = "stale";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", text, url.c_str(), false));
    EXPECT_EQ(sDecoded(text), image);

    std::map<std::string, std::string> builds{{"stale", "entry"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()));
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1200", "1.2.3"}, {"1300", "1.4.0"}}));

    unsigned sn = 0, bld = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, url.c_str()));
    EXPECT_EQ(sn, 0x1A2B3C4Du);
    EXPECT_EQ(bld, 1300u);
}

TEST_F(ServerClient, CrLfRepliesReadAsLf)
{
    server.setLineEnd("\r\n");
    std::string build, version;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "1300");
    EXPECT_EQ(version, "1.4.0");

    std::string text;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", text, url.c_str(), false));
    EXPECT_EQ(sDecoded(text), image);

    std::map<std::string, std::string> builds;
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()));
    EXPECT_EQ(builds, (std::map<std::string, std::string>{{"1200", "1.2.3"}, {"1300", "1.4.0"}}));

    unsigned sn = 0, bld = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, url.c_str()));
    EXPECT_EQ(bld, 1300u);
}

// Every fault of the server fails every op, promptly, and leaves what the op documents.
TEST_F(ServerClient, ServerFaultsFailEveryOp)
{
    struct {
        Fault fault;
        char const* name;
    } const faults[] = {
        {Fault::Status500, "500"},
        {Fault::EmptyBody, "empty body"},
        {Fault::NotOk, "first line not ok"},
        {Fault::CloseMidBody, "closed mid-body"},
    };
    for (auto const& f : faults) {
        for (OpCase const& c : sOpCases()) {
            SCOPED_TRACE(std::string(f.name) + " / " + c.op);
            server.clearFaults();
            server.setFault(c.op, f.fault);
            Clock::time_point t0 = Clock::now();
            EXPECT_FALSE(c.call(url.c_str()));
            EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
        }
    }
    // The fault of one op leaves the others alone.
    server.clearFaults();
    server.setFault("bird", Fault::Status500);
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    std::string img;
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", img, url.c_str(), false));

    server.setFault("", Fault::Status500);
    std::map<std::string, std::string> builds{{"stale", ""}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
    std::string build = "keep", version = "this";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(version, "this");
    unsigned sn = 7, bld = 8;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, url.c_str()));
    EXPECT_EQ(sn, 7u);
    EXPECT_EQ(bld, 8u);

    std::string log = logText();
    EXPECT_NE(log.find("QueryBuild ==> [500] [error\n]"), std::string::npos) << log;
    EXPECT_NE(log.find("ServerCommClass: GetBuildList failed [" + url + "?op=builds&sn=00ABCDEF&]"),
              std::string::npos)
        << log;
}

TEST_F(ServerClient, BadBase64ArrivesButDoesNotDecode)
{
    server.setFault("bird", Fault::BadBase64);
    std::string text;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", text, url.c_str(), false));
    ASSERT_FALSE(text.empty());
    unsigned long n = 0;
    EXPECT_EQ(base64_decode(text.data(), text.size(), &n), nullptr);
}

TEST_F(ServerClient, ShortDelayStillAnswers)
{
    server.setFault("", Fault::Delay, 200);
    Clock::time_point t0 = Clock::now();
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
}

// A server that accepts and then says nothing is given up by the low-speed limit (shortened
// here to 1 s) instead of holding the request for ever.
TEST_F(ServerClient, SilentServerIsGivenUp)
{
    HTTPLimits limits;
    limits.lowSpeedTimeS = 1;
    HTTPRequest::SetLimits(limits);
    server.setFault("", Fault::Delay, 8000);
    Clock::time_point t0 = Clock::now();
    std::string img;
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", img, url.c_str(), false));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_NE(logText().find(std::string("GetBuild ==> [") +
                             curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"),
              std::string::npos)
        << logText();
}

// A server that keeps every reply moving, a few bytes at a time, passes the low-speed limit;
// the bound on the request as a whole ends it (shortened here: 0.7 s for a query, 2 s for an
// image). A reply that is done in one piece is not held up.
TEST_F(ServerClient, TricklingReplyIsEndedByTheWholeRequestBound)
{
    HTTPLimits limits;
    limits.queryTimeoutMs = 700;
    limits.imageTimeoutMs = 2000;
    HTTPRequest::SetLimits(limits);
    server.setFault("", Fault::Trickle, 300);
    for (OpCase const& c : sOpCases()) {
        SCOPED_TRACE(c.op);
        Clock::time_point t0 = Clock::now();
        bool ok = c.call(url.c_str());
        Clock::duration took = Clock::now() - t0;
        if (c.op == std::string("hi")) {
            // "ok\n" fits the first piece.
            EXPECT_TRUE(ok);
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_LT(took, std::chrono::seconds(5));
        if (c.op == std::string("bird")) {
            EXPECT_GE(took, std::chrono::milliseconds(1900)) << "an image has the longer bound";
        }
    }
    EXPECT_NE(logText().find(std::string("GetBuild ==> [") +
                             curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"),
              std::string::npos)
        << logText();
    EXPECT_NE(logText().find(std::string("QueryBuild ==> [") +
                             curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"),
              std::string::npos)
        << logText();
}

TEST_F(ServerClient, UnreachableServerFailsWithoutException)
{
    server.stop();  // the port is free again: connecting is refused
    for (OpCase const& c : sOpCases()) {
        SCOPED_TRACE(c.op);
        EXPECT_FALSE(c.call(url.c_str()));
    }
    EXPECT_NE(logText().find(std::string("ping ==> [") +
                             curl_easy_strerror(CURLE_COULDNT_CONNECT) + "]"),
              std::string::npos)
        << logText();
}

// Another scheme that libcurl knows is never asked: a local file whose text reads as every
// reply, or an FTP or SCP URL at the emulator's own port. Each query fails at once with
// curl's reason, and nothing reaches the port.
TEST_F(ServerClient, OnlyHttpAndHttpsAreAsked)
{
    writeFile(dir + "/reply", "ok\n1300\n1.4.0\n");
    const std::string port = std::to_string(server.port());
    struct {
        std::string url;
        char const* scheme;
    } const cases[] = {
        {"file://" + dir + "/reply", "file"},
        {"ftp://127.0.0.1:" + port + "/cgi/u", "ftp"},
        {"scp://127.0.0.1:" + port + "/cgi/u", "scp"},
        {"dict://127.0.0.1:" + port + "/cgi/u", "dict"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.url);
        Clock::time_point t0 = Clock::now();
        for (OpCase const& op : sOpCases()) {
            SCOPED_TRACE(op.op);
            EXPECT_FALSE(op.call(c.url.c_str()));
        }
        std::string why = "untouched";
        EXPECT_FALSE(UpdateServerRequest::ping(c.url.c_str(), &why));
        EXPECT_EQ(why, std::string("Protocol \"") + c.scheme + "\" not supported or disabled in libcurl");
        std::map<std::string, std::string> builds;
        why = "untouched";
        EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, c.url.c_str(), &why));
        EXPECT_NE(why.find(c.scheme), std::string::npos) << why;
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    }
    EXPECT_TRUE(server.queries().empty());
    // The same client still asks an http server, and leaves why alone when it answers.
    std::string why = "untouched";
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str(), &why));
    EXPECT_EQ(why, "untouched");
}

TEST_F(ServerClient, OversizedBodyIsRefused)
{
    HTTPLimits limits;
    limits.maxBody = 1000;  // the image's base64 is 4000 characters
    HTTPRequest::SetLimits(limits);
    std::string img;
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", img, url.c_str(), false));
    EXPECT_NE(logText().find("GetBuild ==> [response body exceeds 1000 bytes]"), std::string::npos)
        << logText();
    EXPECT_TRUE(UpdateServerRequest::ping(url.c_str()));  // small bodies still pass
}

// A peer that never completes the TCP handshake: a listener whose accept queue is full drops
// further SYNs. The connect time-out (shortened here) gives up on it.
TEST_F(ServerClient, UnansweredConnectIsGivenUp)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, (sockaddr*)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, (sockaddr*)&addr, &len), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        connect(fd, (sockaddr*)&addr, sizeof addr);
        fillers.push_back(fd);
    }
    usleep(50000);

    HTTPLimits limits;
    limits.connectTimeoutMs = 300;
    HTTPRequest::SetLimits(limits);
    std::string target = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/cgi/u";
    Clock::time_point t0 = Clock::now();
    EXPECT_FALSE(UpdateServerRequest::ping(target.c_str()));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_NE(logText().find(std::string("ping ==> [") +
                             curl_easy_strerror(CURLE_OPERATION_TIMEDOUT) + "]"),
              std::string::npos)
        << logText();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

// What the emulator refuses: later tests rely on it answering only what it was given.
TEST_F(ServerClient, EmulatorAnswersOnlyWhatItWasGiven)
{
    std::string build, version, img;
    std::map<std::string, std::string> builds;
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x1234, build, version, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0x1234, builds, url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.2.3", "1200", img, url.c_str(), false))
        << "listed without an image";
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1400", img, url.c_str(), false))
        << "not listed";
    unsigned other[4] = {1, 2, 3, 4}, sn = 0, bld = 0;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(other, &sn, &bld, url.c_str()));
    std::string elsewhere = url.substr(0, url.size() - 1) + "x";
    EXPECT_FALSE(UpdateServerRequest::ping(elsewhere.c_str()));

    server.setCurrentBuild(kSerial, "1200");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "1200");
    EXPECT_EQ(version, "1.2.3");
    server.setBuilds(0x1234, {});
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x1234, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x1234, build, version, url.c_str()));
}

// The write callback turns the refusal (an exception inside process) into 0 for libcurl.
TEST(ServerReceive, CallbackNeverThrowsAndStopsAtTheLimit)
{
    HTTPResponse response("http://127.0.0.1/x");
    response.set_limit(10);
    char chunk[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EXPECT_EQ(_rcv_data(chunk, 1, 8, &response), 8u);
    size_t taken = 1;
    EXPECT_NO_THROW(taken = _rcv_data(chunk, 2, 4, &response));
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(std::string(response.get_response()), "abcdefgh");
    EXPECT_FALSE(response.get_failure().empty());
}

// The callback's log lines: the chunk right-aligned in a 100-column field, cut at 100 bytes
// and never read past its end.
TEST(ServerReceive, CallbackLogsEachChunk)
{
    FILE* logFile = tmpfile();
    ASSERT_NE(logFile, nullptr);
    Log::SetOutput(logFile);
    Log::ActivatePackage(DEBUG_ServerComm);
    HTTPResponse response("http://127.0.0.1/x");
    // Not NUL-terminated: the bytes after the chunk must not reach the log.
    char shortChunk[5] = {'o', 'k', '\n', 'X', 'X'};
    EXPECT_EQ(_rcv_data(shortChunk, 1, 3, &response), 3u);
    std::string longChunk(150, 'a');
    longChunk.replace(100, 50, std::string(50, 'b'));
    EXPECT_EQ(_rcv_data(&longChunk[0], 10, 15, &response), 150u);
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);

    std::string text = qctest::fileText(logFile);
    fclose(logFile);

    char address[16];
    snprintf(address, sizeof address, "%08X", (unsigned int)(uintptr_t)&response);
    std::string expected = std::string("rcv_data called (..., 1, 3, ") + address + ") [" +
                           std::string(97, ' ') + "ok\n]\n" + "rcv_data returns 3\n" +
                           "rcv_data called (..., 10, 15, " + address + ") [" +
                           std::string(100, 'a') + "]\n" + "rcv_data returns 150\n";
    EXPECT_EQ(text, expected);
}

TEST(ServerReceive, OnlyTheStatusCheckMayBeMissingFromLibcurl)
{
    EXPECT_FALSE(_setoptFailureIsFatal(CURLOPT_SSL_VERIFYSTATUS, CURLE_NOT_BUILT_IN));
    EXPECT_TRUE(_setoptFailureIsFatal(CURLOPT_SSL_VERIFYSTATUS, CURLE_OUT_OF_MEMORY));
    EXPECT_TRUE(_setoptFailureIsFatal(CURLOPT_URL, CURLE_NOT_BUILT_IN));
    EXPECT_TRUE(_setoptFailureIsFatal(CURLOPT_LOW_SPEED_TIME, CURLE_UNKNOWN_OPTION));
}

// Reply forms the build list cannot express, answered verbatim.
TEST_F(ServerClient, BuildListReplyForms)
{
    using Map = std::map<std::string, std::string>;
    struct {
        char const* body;
        bool ok;
        Map builds;
    } const cases[] = {
        {"ok\n100;1.2.3\n101;1.10.0\n99\n", true, {{"100", "1.2.3"}, {"101", "1.10.0"}}},
        {"ok\n1200\n1200;9.9.9\n", true, {{"1200", ""}}},
        {"ok\n1200;1.0.0\n1200;2.0.0\n", true, {{"1200", "1.0.0"}}},
        {"\n\nokay\n\n300;3.0.0\n", true, {{"300", "3.0.0"}}},
        {"ok 1\n", true, {}},
        {"ok\r\n400;4.0.0\r\n\r\n", true, {{"400", "4.0.0"}}},
        {"OK\n100;1.2.3\n", false, {}},
        {"error\n100;1.2.3\n", false, {}},
        {"", false, {}},
        {"\n\n", false, {}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.body);
        server.setReply("builds", 200, c.body);
        Map builds{{"stale", ""}};
        EXPECT_EQ(UpdateServerRequest::GetBuildList(kSerial, builds, url.c_str()), c.ok);
        EXPECT_EQ(builds, c.builds);
    }
}

TEST_F(ServerClient, RecoveryReplyForms)
{
    struct {
        char const* body;
        bool ok;
        unsigned serial, build;
    } const cases[] = {
        {"ok\n1A2B3C4D\n0x1A\n", true, 0x1A2B3C4D, 26},
        {"ok\nff\n010\n", true, 0xFF, 8},
        {"ok\n00000010\n1300\r\n", true, 0x10, 1300},
        {"ok\n1A2B3C4D\n", false, 0, 0},     // no build line
        {"ok\n", false, 0, 0},
        {"ok\nzz\n5\n", false, 0, 0},        // serial not hexadecimal
        {"ok\n12\n12abc\n", false, 0, 0},    // build not a number
        {"ok\n123456789\n5\n", false, 0, 0}, // serial beyond 32 bits
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.body);
        server.setReply("fix", 200, c.body);
        unsigned sn = 0xEEEE, bld = 0xEEEE;
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(kFingerprint, &sn, &bld, url.c_str()), c.ok);
        EXPECT_EQ(sn, c.ok ? c.serial : 0xEEEEu);
        EXPECT_EQ(bld, c.ok ? c.build : 0xEEEEu);
    }
}

TEST_F(ServerClient, QueryBuildAndImageReplyForms)
{
    server.setReply("qu", 200, "ok\n");
    std::string build = "b", version = "v";
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "b");
    EXPECT_EQ(version, "v");
    server.setReply("qu", 200, "ok\n1400\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(kSerial, build, version, url.c_str()));
    EXPECT_EQ(build, "1400");
    EXPECT_EQ(version, "v");

    server.setReply("bird", 200, "ok\n");
    std::string img = "old";
    EXPECT_TRUE(UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", img, url.c_str(), false));
    EXPECT_EQ(img, "");
}

// The download asks for the image from a worker thread while the caller waits.
TEST_F(ServerClient, ImageRequestFromAWorkerThread)
{
    ASSERT_TRUE(UpdateServerRequest::ping(url.c_str()));
    std::string text;
    bool ok = false;
    std::thread worker([&] {
        ok = UpdateServerRequest::GetBuild(kSerial, "1.4.0", "1300", text, url.c_str(), false);
    });
    worker.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(text.size(), 4000u);
}

// ---- version sort ----

using Pair = std::pair<std::string, std::string>;

TEST(VersionSort, SplitIntoExactlyThreePieces)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion("1.2.3"), (V{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion("1..3"), (V{"1", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion(".."), (V{"", "", ""}));
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion("1.2"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion("1.2.3.4"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitQuillcoreVersion(""), V{});
}

TEST(VersionSort, NewestFirstThenUnreadableByBuild)
{
    std::map<std::string, std::string> builds{
        {"100", "1.2.3"}, {"101", "1.10.0"}, {"102", "1.2.10"}, {"103", "x.y.z"},
        {"104", ""},      {"090", "2.0.0"},  {"105", "1.2"},    {"106", "0.0.1"},
    };
    std::vector<Pair> expected{
        {"090", "2.0.0"}, {"101", "1.10.0"}, {"102", "1.2.10"}, {"100", "1.2.3"},
        {"106", "0.0.1"}, {"103", "x.y.z"},  {"104", ""},       {"105", "1.2"},
    };
    EXPECT_EQ(UpdateServerRequest::SortBuildsByVersion(builds), expected);
}

TEST(VersionSort, NumbersCountAsBytes)
{
    // 300 counts as 44, so 1.2.300 and 1.2.44 are the same version; 256 counts as 0.
    EXPECT_FALSE(_sortVersion({"1", "1.2.300"}, {"1", "1.2.44"}));
    EXPECT_FALSE(_sortVersion({"1", "1.2.44"}, {"1", "1.2.300"}));
    EXPECT_TRUE(_sortVersion({"1", "1.2.1"}, {"1", "1.2.256"}));
}

// A version that does not convert is logged with the conversion's own exception text; two
// versions that both fail to split into three pieces are not.
TEST(VersionSort, UnreadableVersionsAreLogged)
{
    std::string noPiece;
    try {
        (void)std::vector<std::string>().at(0);
    } catch (std::out_of_range const& e) {
        noPiece = e.what();
    }
    ASSERT_FALSE(noPiece.empty());
    const std::string prefix = "_sortVersion: Exception converting version: ";
    struct Row {
        const char* x;
        const char* y;
        std::string log;
    };
    const Row rows[] = {
        {"1.2.3", "1.2.4", ""},
        {"1.x.3", "1.2.4", prefix + "stoi\n"},
        {"1.2.3", "99999999999.0.0", prefix + "stoi\n"},
        {"1.2.3", "1.2", prefix + noPiece + "\n"},
        {"", "1.2.3", prefix + noPiece + "\n"},
        {"1.2", "x", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.x) + " vs " + r.y);
        FILE* logFile = tmpfile();
        ASSERT_NE(logFile, nullptr);
        Log::SetOutput(logFile);
        Log::ActivatePackage(DEBUG_ServerComm);
        _sortVersion({"1", r.x}, {"2", r.y});
        Log::DeactivatePackage(DEBUG_ServerComm);
        Log::SetOutput(nullptr);
        EXPECT_EQ(qctest::fileText(logFile), r.log);
        fclose(logFile);
    }
}

// std::sort needs a strict weak ordering; with unreadable versions among readable ones a
// comparator that calls them "equal to everything" breaks transitivity of equivalence.
TEST(VersionSort, ComparatorIsAStrictWeakOrdering)
{
    std::vector<Pair> items{
        {"1", "1.2.3"}, {"2", "1.2.3"}, {"3", "bad"},    {"4", "1.2.300"}, {"5", "1.2.44"},
        {"6", ""},      {"7", "9.9.9"}, {"8", "a.b.c"},  {"9", "0.0.0"},   {"10", "1.2.3.4"},
        {"11", " 2.x.1"}, {"12", "-1.0.0"}, {"13", "99999999999.0.0"},
    };
    auto equiv = [](Pair const& a, Pair const& b) { return !_sortVersion(a, b) && !_sortVersion(b, a); };
    for (auto const& a : items) {
        EXPECT_FALSE(_sortVersion(a, a)) << a.first;
        for (auto const& b : items) {
            if (_sortVersion(a, b)) {
                EXPECT_FALSE(_sortVersion(b, a)) << a.first << " " << b.first;
            }
            for (auto const& c : items) {
                if (_sortVersion(a, b) && _sortVersion(b, c)) {
                    EXPECT_TRUE(_sortVersion(a, c)) << a.first << b.first << c.first;
                }
                if (equiv(a, b) && equiv(b, c)) {
                    EXPECT_TRUE(equiv(a, c)) << a.first << b.first << c.first;
                }
            }
        }
    }
}

} // namespace
