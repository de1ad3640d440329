// The LPC in-system-programming client against the LPC boot ROM emulator on a pty.
#include "Timing.h"
#include "NXPSerial.h"
#include "lpc_isp/LpcIspEmulator.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

using qctest::msSince;

std::vector<unsigned char> sPattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& b : v) {
        x = x * 1664525u + 1013904223u;
        b = (unsigned char)(x >> 24);
    }
    return v;
}

TEST(NxpCodec, UUCharacters)
{
    EXPECT_EQ(NXPSerialClass::uuchar(0), '`');
    EXPECT_EQ(NXPSerialClass::uuchar(1), '!');
    EXPECT_EQ(NXPSerialClass::uuchar(63), '_');
    EXPECT_EQ(NXPSerialClass::uuchar(64), '`');  // only the low 6 bits count
}

TEST(NxpCodec, UULines)
{
    char line[80];
    EXPECT_EQ(NXPSerialClass::uuencode(line, (const unsigned char*)"abc", 3), 3u);
    EXPECT_STREQ(line, "#86)C");
    for (unsigned n : {1u, 2u, 4u, 44u, 45u}) {
        SCOPED_TRACE(n);
        std::vector<unsigned char> in = sPattern(n, n);
        ASSERT_EQ(NXPSerialClass::uuencode(line, in.data(), n), n);
        EXPECT_EQ(strlen(line), 1 + 4 * ((n + 2) / 3));
        std::vector<unsigned char> out(n + 3, 0xAA);
        ASSERT_EQ(NXPSerialClass::uudecode(out.data(), n, line), int(n));
        EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
        EXPECT_EQ(out[n], 0xAA);  // nothing written past the line's bytes
        EXPECT_EQ(NXPSerialClass::uudecode(out.data(), n - 1, line), 0);
    }
    const unsigned char bytes[] = {1, 2, 250};
    EXPECT_EQ(NXPSerialClass::sum(bytes, 3), 253);
}

TEST(NxpCodec, CopyLengths)
{
    const unsigned cases[][2] = {{1, 256}, {256, 256}, {257, 512}, {512, 512}, {513, 1024},
                                 {1808, 4096}, {4096, 4096}, {5000, 5000}};
    for (const auto& c : cases)
        EXPECT_EQ(NXPSerialClass::CopyLength(c[0]), c[1]) << c[0];
}

TEST(NxpCodec, Sectors)
{
    const unsigned cases[][2] = {{0, 0}, {0xFFF, 0}, {0x1000, 1}, {0xFFFF, 15}, {0x10000, 16},
                                 {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
    for (const auto& c : cases)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(c[0]), int(c[1])) << std::hex << c[0];
}

TEST(NxpCodec, ErrorTexts)
{
    const char* cases[][2] = {{"19\r\n", "CODE_READ_PROTECTION_ENABLED"}, {"25", "Unknown error"},
                              {"-1", "Unknown error"}, {"0x3", "DST_ADDR_ERROR"}, {"10\r\n", "COMPARE_ERROR"},
                              {"0", "CMD_SUCCESS"}};
    for (const auto& c : cases)
        EXPECT_STREQ(NXPSerialClass::GetErrorText(c[0]), c[1]) << c[0];
}

class Nxp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(emu.start());
        ASSERT_EQ(nxp.Connect(emu.path().c_str(), 115200), aErrNone);
    }
    void synced(bool echoOn = true)
    {
        emu.locked([&](LpcIspRom& r) { r.presetSynchronised(echoOn); });
        nxp.echo = echoOn;
    }
    void chip(const std::function<void(LpcIspRom&)>& fn) { emu.locked(fn); }
    LpcIspEmulator emu;
    NXPSerialClass nxp;
};

TEST_F(Nxp, ConnectRates)
{
    const unsigned cases[][2] = {{0, 2400}, {100000, 115200}, {115200, 115200}, {230400, 230400}, {300000, 9600}};
    for (const auto& c : cases) {
        EXPECT_EQ(nxp.Connect(emu.path().c_str(), c[0]), aErrNone);
        EXPECT_EQ(nxp.baud, c[1]) << c[0];
    }
    EXPECT_STREQ(nxp.port, emu.path().c_str());
    EXPECT_NE(nxp.Connect("/nonexistent/port", 115200), aErrNone);
    EXPECT_EQ(nxp.stream, nullptr);
}

TEST_F(Nxp, SyncHandshake)
{
    nxp.echo = false;
    ASSERT_EQ(nxp.Sync(), aErrNone);
    EXPECT_TRUE(nxp.echo);
    chip([](LpcIspRom& r) {
        EXPECT_TRUE(r.synchronised);
        EXPECT_EQ(r.lines, (std::vector<std::string>{"?", "Synchronized", "14746"}));
    });
    ASSERT_EQ(nxp.GetDeviceID(), aErrNone);
    EXPECT_EQ(nxp.deviceId[0], 0x11223344u);
    EXPECT_EQ(nxp.deviceId[1], 305419896u);
    EXPECT_EQ(nxp.deviceId[2], 2882400001u);
    EXPECT_EQ(nxp.deviceId[3], 42u);
}

TEST_F(Nxp, SyncFailures)
{
    struct Case {
        const char* name;
        void (*arrange)(LpcIspRom&);
        aErr expected;
    };
    const Case cases[] = {
        {"silent chip", [](LpcIspRom& r) { r.silent = true; }, aErrTimeout},
        {"crystal line not answered OK", [](LpcIspRom& r) { r.refuseCrystal = true; }, aErrIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        chip([&](LpcIspRom& r) {
            r = LpcIspRom();
            c.arrange(r);
        });
        Clock::time_point t = Clock::now();
        EXPECT_EQ(nxp.Sync(), c.expected);
        EXPECT_LT(msSince(t), 2000);
    }
}

// An earlier probe left the chip synchronised: "?" is then the start of a command line.
TEST_F(Nxp, SyncFindsAChipAlreadySynchronised)
{
    for (bool echoOn : {true, false}) {
        SCOPED_TRACE(echoOn);
        chip([&](LpcIspRom& r) {
            r = LpcIspRom();
            r.presetSynchronised(echoOn);
        });
        nxp.echo = !echoOn;
        ASSERT_EQ(nxp.Sync(), aErrNone);
        EXPECT_EQ(nxp.echo, echoOn);
        chip([](LpcIspRom& r) { EXPECT_EQ(r.lines, (std::vector<std::string>{"?", "J"})); });
        ASSERT_EQ(nxp.GetDeviceID(), aErrNone);
        EXPECT_EQ(nxp.deviceId[3], 42u);
    }
}

TEST_F(Nxp, DeviceIdReplies)
{
    struct Case {
        const char* answer;
        aErr expected;
    };
    const Case cases[] = {
        {"0\r\n1\r\n2\r\n3\r\n4294967295\r\n", aErrNone},
        {"0\r\n1\r\n2\r\n", aErrTimeout},             // a word missing
        {"", aErrTimeout},                            // nothing at all
        {"0\r\n1\r\nx2\r\n3\r\n4\r\n", aErrIO},      // not a number
        {"0\r\n0x10\r\n2\r\n3\r\n4\r\n", aErrIO},    // numbers are decimal
        {"0\r\n1\r\n2\r\n3\r\n4294967296\r\n", aErrIO},  // above 32 bits
        {"19\r\n", aErrParam},                        // a refusal, judged as a whole number
        {"x\r\n", aErrParam},                         // a return code that is no number
    };
    for (bool echoOn : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.answer) + (echoOn ? " echo" : " no echo"));
            chip([&](LpcIspRom& r) {
                r = LpcIspRom();
                r.presetSynchronised(echoOn);
                r.answerN = c.answer[0] ? c.answer : std::string("\0", 0);
                r.silent = c.answer[0] == 0;
            });
            nxp.echo = echoOn;
            memset(nxp.deviceId, 0xEE, sizeof nxp.deviceId);
            EXPECT_EQ(nxp.GetDeviceID(), c.expected);
            if (c.expected == aErrNone) {
                EXPECT_EQ(nxp.deviceId[0], 1u);
                EXPECT_EQ(nxp.deviceId[3], 4294967295u);
            }
        }
    }
}

// Every return code but 0 is a failure, two-digit ones included, with and without echo.
TEST_F(Nxp, ReturnCodesAreWholeNumbers)
{
    for (bool echoOn : {true, false}) {
        for (int code : {0, 1, 9, 10, 11, 15, 19}) {
            SCOPED_TRACE(std::to_string(code) + (echoOn ? " echo" : " no echo"));
            chip([&](LpcIspRom& r) {
                r = LpcIspRom();
                r.presetSynchronised(echoOn);
                r.forced = {{'P', code, 0, 0}};
            });
            nxp.echo = echoOn;
            EXPECT_EQ(nxp.Prepare(0, 1), code == 0 ? aErrNone : aErrParam);
            EXPECT_EQ(nxp.Unlock(), aErrNone);  // the next command still lines up
        }
    }
}

// An echo later than its wait does not make the rest of it look like the return code.
TEST_F(Nxp, LateEcho)
{
    synced(true);
    chip([](LpcIspRom& r) {
        r.lateEchoMs = 300;
        r.forced = {{'A', 12, 0, 1}};
    });
    EXPECT_EQ(nxp.SetEcho(false), aErrParam);  // "A 0": its echo ends in "0\r\n"
    EXPECT_EQ(nxp.Unlock(), aErrNone);
    EXPECT_EQ(nxp.Prepare(0, 0), aErrNone);
}

// The handshake's opening line is logged where the first answer fails, and only there.
TEST_F(Nxp, SyncLogsAFailedOpeningAnswer)
{
    struct Case {
        const char* name;
        void (*arrange)(LpcIspRom&);
        bool logged;
    };
    const Case cases[] = {
        {"silent chip", [](LpcIspRom& r) { r.silent = true; }, true},
        {"crystal line not answered OK", [](LpcIspRom& r) { r.refuseCrystal = true; }, false},
        {"fresh chip", [](LpcIspRom&) {}, false},
    };
    const std::string line =
        "Did not receive correct response to opening sync command: [Synchronized\r\n]. Response: [";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        chip([&](LpcIspRom& r) {
            r = LpcIspRom();
            c.arrange(r);
        });
        qctest::LogCapture log(DEBUG_NXPSerial);
        nxp.Sync();
        EXPECT_EQ(log.text().find(line) != std::string::npos, c.logged) << log.text();
    }
}

TEST_F(Nxp, ArgumentsRefusedBeforeSending)
{
    synced();
    unsigned char data[8] = {0};
    EXPECT_EQ(nxp.Prepare(5, 4), aErrParam);
    EXPECT_EQ(nxp.Erase(5, 4), aErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1080, NXPSerialClass::WRITE_ADDRESS, 4096), aErrParam);
    EXPECT_EQ(nxp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 300), aErrParam);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 6, data), aErrParam);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 0, data), aErrParam);
    EXPECT_EQ(emu.bytesReceived(), 0u);
}

TEST_F(Nxp, RefusedEchoChangeKeepsEcho)
{
    synced(true);
    chip([](LpcIspRom& r) { r.forced = {{'A', 12, 0, 1}}; });
    EXPECT_EQ(nxp.SetEcho(false), aErrParam);
    EXPECT_TRUE(nxp.echo);
    EXPECT_EQ(nxp.SetEcho(false), aErrNone);
    EXPECT_FALSE(nxp.echo);
    chip([](LpcIspRom& r) { EXPECT_FALSE(r.echo); });
    EXPECT_EQ(nxp.SetEcho(true), aErrNone);
    chip([](LpcIspRom& r) { EXPECT_TRUE(r.echo); });
}

TEST_F(Nxp, WriteToRam)
{
    struct Case {
        unsigned count;
        bool echoOn;
        unsigned lines, checksums;
    };
    // 4096 bytes: 91 lines of 45 and one of 1, checksums after lines 20, 40, 60, 80 and 92.
    const Case cases[] = {{4096, false, 92, 5}, {4096, true, 92, 5}, {8, false, 1, 1}, {900, false, 20, 1},
                          {904, true, 21, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.count) + (c.echoOn ? " echo" : ""));
        chip([&](LpcIspRom& r) {
            r = LpcIspRom();
            r.presetSynchronised(c.echoOn);
        });
        nxp.echo = c.echoOn;
        std::vector<unsigned char> data = sPattern(c.count, c.count);
        ASSERT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, c.count, data.data()), aErrNone);
        chip([&](LpcIspRom& r) {
            std::vector<uint8_t> ram;
            ASSERT_TRUE(r.ramRead(NXPSerialClass::WRITE_ADDRESS, c.count, ram));
            EXPECT_EQ(ram, data);
            EXPECT_EQ(r.dataLines, c.lines);
            EXPECT_EQ(r.checksums, c.checksums);
        });
        EXPECT_EQ(nxp.GetDeviceID(), aErrNone);  // back in command mode, in step
    }
}

// Answers to a block's checksum: only "OK" and "RESEND" lines, exactly, are understood.
TEST_F(Nxp, WriteResends)
{
    struct Case {
        std::vector<unsigned> resendAt;
        const char* firstAnswer;     // the raw answer to the first checksum instead
        aErr expected;
    };
    const Case cases[] = {
        {{1, 3}, "", aErrNone},          // two resends in one call are retried
        {{1, 2, 3}, "", aErrTimeout},    // the third ends the call
        {{1, 3, 5}, "", aErrTimeout},    // even with good blocks in between
        {{}, "OK", aErrIO},              // no line end
        {{}, "OKX\r\n", aErrIO},
        {{}, "OK \r\n", aErrIO},
        {{}, "ok\r\n", aErrIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firstAnswer);
        chip([&](LpcIspRom& r) {
            r = LpcIspRom();
            r.presetSynchronised(false);
            r.resendAt = c.resendAt;
            r.checksumAnswer = c.firstAnswer;
        });
        nxp.echo = false;
        std::vector<unsigned char> data = sPattern(4096, 7);
        EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), c.expected);
        if (c.expected == aErrNone)
            chip([&](LpcIspRom& r) {
                std::vector<uint8_t> ram;
                ASSERT_TRUE(r.ramRead(NXPSerialClass::WRITE_ADDRESS, 4096, ram));
                EXPECT_EQ(ram, data);
                EXPECT_EQ(r.resends, 2u);
            });
    }
}

TEST_F(Nxp, SilentChipCommandsTimeOut)
{
    synced(true);
    chip([](LpcIspRom& r) { r.silent = true; });
    unsigned char data[4096] = {0};
    Clock::time_point t = Clock::now();
    EXPECT_EQ(nxp.Unlock(), aErrTimeout);
    EXPECT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data), aErrTimeout);
    EXPECT_EQ(nxp.GetDeviceID(), aErrTimeout);
    EXPECT_LT(msSince(t), 3000);
}

// The whole road of a programming job: unlock, prepare, erase, echo off, RAM and copy per
// chunk, echo on, start; the flash holds the image and 0xFF, every cell programmed once.
TEST_F(Nxp, ProgramsFlash)
{
    synced(true);
    std::vector<unsigned char> image = sPattern(3 * 4096, 11);
    ASSERT_EQ(nxp.Unlock(), aErrNone);
    ASSERT_EQ(nxp.Prepare(0, 29), aErrNone);
    ASSERT_EQ(nxp.Erase(0, 29), aErrNone);
    ASSERT_EQ(nxp.SetEcho(false), aErrNone);
    for (unsigned offset = 0; offset < image.size(); offset += 4096) {
        ASSERT_EQ(nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, &image[offset]), aErrNone);
        int s = NXPSerialClass::SectorFromAddress(0x2000 + offset);
        ASSERT_EQ(nxp.Prepare(s, s), aErrNone);
        ASSERT_EQ(nxp.CopyToFlash(0x2000 + offset, NXPSerialClass::WRITE_ADDRESS, 4096), aErrNone);
    }
    std::vector<unsigned char> back(image.size());
    ASSERT_EQ(nxp.Read(0x2000, unsigned(back.size()), back.data()), aErrNone);
    EXPECT_EQ(back, image);
    ASSERT_EQ(nxp.SetEcho(true), aErrNone);
    ASSERT_EQ(nxp.ExecuteFrom(0), aErrNone);
    for (int i = 0; i < 200; ++i) {
        bool started = false;
        chip([&](LpcIspRom& r) { started = r.started; });
        if (started)
            break;
        usleep(1000);
    }
    chip([&](LpcIspRom& r) {
        EXPECT_TRUE(r.started);
        EXPECT_EQ(r.startAddress, 0u);
        EXPECT_EQ(r.startMode, 'T');
        EXPECT_EQ(r.doubleProgrammed, 0u);
        EXPECT_EQ(r.unerasedProgrammed, 0u);
        for (uint32_t a = 0; a < LpcIspRom::FLASH_SIZE; ++a) {
            uint8_t want = a >= 0x2000 && a < 0x2000 + image.size() ? image[a - 0x2000] : 0xFF;
            if (r.flash[a] != want) {
                ADD_FAILURE() << "flash differs at 0x" << std::hex << a;
                break;
            }
        }
    });
}

TEST_F(Nxp, CopyAndEraseRefusals)
{
    synced(false);
    // Locked chip; then a copy into a sector that was not prepared.
    EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    ASSERT_EQ(nxp.Unlock(), aErrNone);
    EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
    chip([](LpcIspRom& r) { r.forced = {{'C', 10, 0, 1}}; });
    ASSERT_EQ(nxp.Prepare(0, 0), aErrNone);
    EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);  // COMPARE_ERROR
    EXPECT_EQ(nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 256), aErrNone);
    EXPECT_EQ(nxp.Erase(1, 1), aErrParam);  // not prepared
}

// An erase of the whole flash may take over a second; the wait allows for it.
TEST_F(Nxp, SlowErase)
{
    synced(true);
    chip([](LpcIspRom& r) { r.eraseDelayMs = 1500; });
    ASSERT_EQ(nxp.Unlock(), aErrNone);
    ASSERT_EQ(nxp.Prepare(0, 29), aErrNone);
    Clock::time_point t = Clock::now();
    EXPECT_EQ(nxp.Erase(0, 29), aErrNone);
    EXPECT_GE(msSince(t), 1400);
    EXPECT_EQ(nxp.Unlock(), aErrNone);
}

TEST_F(Nxp, VersionAndPart)
{
    synced(true);
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(nxp.GetBootLoaderVersion(&major, &minor), aErrNone);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 1);
    long part = 0;
    EXPECT_EQ(nxp.GetPartNumber(&part), aErrNone);
    EXPECT_EQ(part, 0x26013F37L);
    EXPECT_EQ(nxp.SetBaudRate(115200), aErrNone);
    EXPECT_EQ(nxp.SetBaudRate(1234), aErrParam);
}


// A line that holds these bytes, after answering "nothing yet" `idle` times; what is written
// to it goes nowhere.
struct ScriptedLine {
    std::string bytes;
    int idle = 0;
    size_t at = 0;
};

aErr sScriptedGet(char* byte, void* ref)
{
    ScriptedLine* line = static_cast<ScriptedLine*>(ref);
    if (line->idle > 0) {
        --line->idle;
        return aErrNotReady;
    }
    if (line->at >= line->bytes.size())
        return aErrNotReady;
    *byte = line->bytes[line->at++];
    return aErrNone;
}

aErr sDiscard(const char*, size_t, void*) { return aErrNone; }
aErr sDiscardOne(const char* b, void* ref) { return sDiscard(b, 1, ref); }

// What the line I/O writes to the wait log: a "." for a read that found nothing, a "," for a
// leading line feed dropped, the echo byte by byte, the wait of a reply.
TEST(NxpLog, LineIoTracesItsWaits)
{
    struct Row {
        const char* what;
        ScriptedLine line;
        std::function<void(NXPSerialClass&)> run;
        std::string log;
    };
    const Row rows[] = {
        {"echo with a stray byte", {"A X1\r", 1},
         [](NXPSerialClass& n) {
             unsigned long matched = 0;
             n.GetEcho("A 1\r\n", 4, &matched);
         },
         "GetEcho([41 20 31 0D 0A] 4, ...)\nrecv Echo:[. 41 20 58!=31 31 0D]\n"},
        {"line after a line feed", {"\n0\r\n", 1},
         [](NXPSerialClass& n) {
             char buffer[64];
             unsigned long length = 0;
             n.GetLine(buffer, sizeof buffer, &length, 100);
         },
         ".,"},
        {"reply wait", {"OK\r\n", 1},
         [](NXPSerialClass& n) {
             char buffer[64];
             unsigned long length = 0;
             n.Response(buffer, sizeof buffer, &length, "OK\r\n", 4, 100);
         },
         "Response() wait for serial [4 bytes, 115200, 101 ms]\n."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedLine line = row.line;
        NXPSerialClass nxp;
        nxp.stream = aStream_Create(sScriptedGet, sDiscardOne, sDiscard, nullptr, &line);
        ASSERT_NE(nxp.stream, nullptr);
        qctest::LogCapture log(DEBUG_NXPSerial_E);
        row.run(nxp);
        EXPECT_EQ(log.text(), row.log);
    }
}

// A line that never stops talking (noise, a chip stuck sending line ends) must not hold any
// wait past its deadline: every operation ends, and none of them succeeds.
struct EndlessLine {
    std::string pattern;
    size_t at = 0;
    std::atomic<bool> stop{false};
};

aErr sEndlessGet(char* byte, void* ref)
{
    EndlessLine* line = static_cast<EndlessLine*>(ref);
    if (line->stop)
        return aErrEOF;
    *byte = line->pattern[line->at++ % line->pattern.size()];
    return aErrNone;
}

aErr sEndlessWrite(const char*, size_t, void*) { return aErrNone; }
aErr sEndlessPut(const char* b, void* ref) { return sEndlessWrite(b, 1, ref); }

TEST(NxpEndlessLine, EveryWaitEndsWithoutSuccess)
{
    struct Row {
        const char* pattern;
        const char* operation;
    };
    const Row rows[] = {
        {"\n", "GetLine"}, {"\n", "Response"}, {"\r", "Response"}, {"\r\n", "Unlock"},
        {"\r\n", "GetDeviceID"}, {"\n", "GetDeviceID"}, {"\r\n", "Read"}, {"\n", "Sync"},
        {"\r\n", "Write"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.operation) + " on " + (row.pattern[0] == '\n' ? "LF" : row.pattern[1] ? "CRLF" : "CR"));
        EndlessLine line;
        line.pattern = row.pattern;
        NXPSerialClass nxp;
        nxp.stream = aStream_Create(sEndlessGet, sEndlessPut, sEndlessWrite, nullptr, &line);
        ASSERT_NE(nxp.stream, nullptr);
        std::string op = row.operation;
        auto run = [&]() -> aErr {
            char buffer[1024];
            unsigned long length = 0;
            unsigned char data[1024] = {0};
            if (op == "GetLine")
                return nxp.GetLine(buffer, sizeof buffer, &length, 100);
            if (op == "Response")
                return nxp.Response(buffer, sizeof buffer, &length, "OK\r\n", 4, 100);
            if (op == "Unlock")
                return nxp.Unlock();
            if (op == "GetDeviceID")
                return nxp.GetDeviceID();
            if (op == "Read")
                return nxp.Read(0, 1024, data);
            if (op == "Write")
                return nxp.Write(NXPSerialClass::WRITE_ADDRESS, 1024, data);
            return nxp.Sync();
        };
        std::future<aErr> result = std::async(std::launch::async, run);
        bool ended = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        line.stop = true;  // lets a stuck operation end so that the test can go on
        EXPECT_TRUE(ended) << "still reading after 5 s";
        EXPECT_NE(result.get(), aErrNone);
    }
}

}
