// -N and -U -t RECOVER on the real binary against the LPC boot ROM emulator on a pty (held by
// this test, so its flash and the command lines it received can be judged afterwards) and the
// update-server emulator: the fingerprint table, the ISP commands on the wire, the flash
// holding exactly the unscrambled image, no cell programmed twice, and every failure ending in
// exit 1 with nothing erased for an image that cannot be written.
#include "e2e_ops_support.h"

#include <regex>

#include "BirdBuilder.h"
#include "lpc_isp/LpcIspEmulator.h"
#include "update_server/UpdateServerEmulator.h"

using namespace opstest;

namespace {

const uint32_t kId[4] = {0x11223344u, 0x12345678u, 0xABCDEF01u, 0x2Au};
const std::string kTable = "[ 11223344 12345678 ABCDEF01 0000002A ]\n";
const uint32_t kSerial = 0x40F5849A;
const uint32_t kFlashSize = 0x80000;

// The firmware as the chip must end up holding it, and the image's bytes: each payload byte
// XORed with the key byte and the previous plain byte, as the server scrambles it per chip.
struct Plain {
    uint32_t address;
    BirdBuilder::Bytes bytes;
};

BirdBuilder::Bytes sScramble(const BirdBuilder::Bytes& plain, const uint32_t key[4])
{
    BirdBuilder::Bytes out(plain.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        uint8_t k = uint8_t(key[(i % 16) / 4] >> (24 - 8 * (i % 4)));
        out[i] = plain[i] ^ k ^ previous;
        previous = plain[i];
    }
    return out;
}

std::vector<uint8_t> sExpectedFlash(const std::vector<Plain>& blocks)
{
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    for (const Plain& p : blocks)
        std::copy(p.bytes.begin(), p.bytes.end(), flash.begin() + p.address);
    return flash;
}

// Blocks that exercise the chunking: 10000 bytes (4096, 4096 and a tail of 1808), a block of
// 300 (no multiple of 4) starting right after the first one's last page, one in the 32 KiB
// sectors, then the end marker and a block after it that must never be programmed.
const std::vector<Plain>& sBlocks()
{
    static const std::vector<Plain> blocks = {
        {0x0, BirdBuilder::Random(10000, 11)},
        {0x2800, BirdBuilder::Random(300, 12)},
        {0x10000, BirdBuilder::Random(5000, 13)},
    };
    return blocks;
}

void sAddFirmware(BirdBuilder& b, const std::vector<Plain>& blocks)
{
    b.loader(0x20000000, BirdBuilder::Random(64, 5));
    for (const Plain& p : blocks)
        b.firmware(p.address, sScramble(p.bytes, kId));
    b.firmware(0x0, BirdBuilder::Random(4, 6));               // end marker
    b.firmware(0x20000, sScramble(BirdBuilder::Random(512, 7), kId));
}

// The ISP command lines of the programming of sBlocks, after the probe's lines.
const std::vector<std::string> kProgramming = {
    "U 23130", "P 0 29", "E 0 29", "A 0",
    "W 268439552 4096", "P 0 0", "C 0 268439552 4096",
    "W 268439552 4096", "P 1 1", "C 4096 268439552 4096",
    "W 268439552 2048", "P 2 2", "C 8192 268439552 1024", "P 2 2", "C 9216 268440576 1024",
    "W 268439552 512", "P 2 2", "C 10240 268439552 512",
    "W 268439552 4096", "P 16 16", "C 65536 268439552 4096",
    "W 268439552 1024", "P 16 16", "C 69632 268439552 1024",
    "A 1", "G 0 T",
};
const std::vector<std::string> kProbe = {"?", "Synchronized", "14746", "N"};

std::vector<std::string> sConcat(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string sNoTime(const std::string& out)
{
    return std::regex_replace(out, std::regex("Update time: [0-9.]+ sec"), "Update time: T sec");
}

class RecoveryLpc : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(emu.start());
        emu.locked([](LpcIspRom& r) { memcpy(r.deviceId, kId, sizeof kId); });
        ASSERT_TRUE(server.start());
        ASSERT_FALSE(dir.path.empty());
        image = dir.path + "/recovery.bird";
    }
    void TearDown() override
    {
        emu.stop();
        server.stop();
    }

    std::vector<std::string> common()
    {
        return {"-s", emu.path(), "-i", dir.path + "/store", "-u", server.url()};
    }
    Result recover(std::vector<std::string> extra)
    {
        std::vector<std::string> words = {"-U", "-t", "RECOVER"};
        words = sConcat(words, common());
        return RunUpdater(sConcat(words, extra));
    }
    Result fingerprint(std::vector<std::string> extra = {})
    {
        return RunUpdater(sConcat(sConcat({"-N"}, common()), extra));
    }
    void writeImage(const BirdBuilder& b) { ASSERT_TRUE(b.writeTo(image)); }
    void writeStandardImage()
    {
        BirdBuilder b;
        sAddFirmware(b, sBlocks());
        writeImage(b);
    }

    // The chip's record: every line, and the flash checks every good recovery must pass.
    std::vector<std::string> lines()
    {
        std::vector<std::string> l;
        emu.locked([&](LpcIspRom& r) { l = r.lines; });
        return l;
    }
    void expectFlashHolds(const std::vector<Plain>& blocks)
    {
        std::vector<uint8_t> expected = sExpectedFlash(blocks);
        emu.locked([&](LpcIspRom& r) {
            EXPECT_TRUE(r.flash == expected) << "the flash differs from the unscrambled blocks";
            EXPECT_EQ(r.doubleProgrammed, 0u);
            EXPECT_EQ(r.unerasedProgrammed, 0u);
            EXPECT_TRUE(r.started);
            EXPECT_EQ(r.startAddress, 0u);
            EXPECT_TRUE(r.echo);
        });
    }
    // A chip of this part fresh from reset (preset -1), or already synchronised with echo on
    // (1) or off (0), as a recovery cut short leaves it.
    void resetChip(int preset)
    {
        emu.locked([&](LpcIspRom& r) {
            r = LpcIspRom();
            memcpy(r.deviceId, kId, sizeof kId);
            if (preset >= 0)
                r.presetSynchronised(preset == 1);
        });
    }
    void expectUntouched()
    {
        emu.locked([&](LpcIspRom& r) {
            EXPECT_FALSE(r.unlocked);
            EXPECT_EQ(r.erases, 0u);
            EXPECT_FALSE(r.started);
            for (uint8_t c : r.programCount)
                if (c != 0) {
                    ADD_FAILURE() << "a flash cell was programmed";
                    break;
                }
        });
    }

    LpcIspEmulator emu;
    UpdateServerEmulator server;
    TempDir dir;
    std::string image;
};

TEST_F(RecoveryLpc, FingerprintOfAnLpcChipInEveryStateAProbeMayFindIt)
{
    struct Case {
        const char* name;
        int preset;  // -1 fresh from reset, else synchronised with this echo
        std::vector<std::string> extra;
    };
    const std::vector<Case> cases = {
        {"fresh", -1, {}},
        {"fresh at -o 9600", -1, {"-o", "9600"}},
        {"synchronised, echo on", 1, {}},
        {"synchronised, echo off", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetChip(c.preset);
        Result r = fingerprint(c.extra);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kVersion + kTable);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> l = lines();
        ASSERT_FALSE(l.empty());
        EXPECT_EQ(l.back(), "N");
        if (c.preset < 0) {
            EXPECT_EQ(l, kProbe);
        }
    }
}

TEST_F(RecoveryLpc, NoFingerprintFromAChipThatDoesNotAnswerAsItShould)
{
    struct Case {
        const char* name;
        std::function<void(LpcIspRom&)> knob;
    };
    const std::vector<Case> cases = {
        {"silent", [](LpcIspRom& r) { r.silent = true; }},
        {"crystal line refused", [](LpcIspRom& r) { r.refuseCrystal = true; }},
        {"N without numbers", [](LpcIspRom& r) { r.answerN = "0\r\n"; }},
        {"N with a word that is no number", [](LpcIspRom& r) { r.answerN = "0\r\n1\r\n2\r\nx3\r\n4\r\n"; }},
        {"N refused with code 19", [](LpcIspRom& r) { r.answerN = "19\r\n"; }},
        {"N refused with code 1", [](LpcIspRom& r) { r.answerN = "1\r\n"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LpcIspEmulator chip;
        ASSERT_TRUE(chip.start());
        chip.locked(c.knob);
        Result r = RunUpdater({"-N", "-s", chip.path(), "-i", dir.path + "/store", "-u",
                               server.url()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kVersion);
        EXPECT_EQ(r.err, "Got no response from chip\n");
        chip.stop();
    }
}

TEST_F(RecoveryLpc, FromAFileProgramsExactlyTheUnscrambledBlocks)
{
    writeStandardImage();
    struct Case {
        const char* name;
        int preset;
        std::vector<std::string> extra;
    };
    // A chip left synchronised (with echo off by a recovery cut short) is programmed too, and
    // -o does not change the rate the chip was synchronised at.
    const std::vector<Case> cases = {
        {"fresh chip", -1, {}},
        {"-o 9600", -1, {"-o", "9600", "-X", "0x1000"}},
        {"synchronised, echo on", 1, {}},
        {"synchronised, echo off", 0, {}},
    };
    const std::string expectedOut = kVersion + "Recovering from Birdfile: " + image + "\n"
        "Transferring firmware block 1 of 4, 10000 bytes\n"
        "Transferring firmware block 2 of 4, 300 bytes\n"
        "Transferring firmware block 3 of 4, 5000 bytes\n"
        "Transferred 4 blocks, 15300 total bytes\n"
        "Rebooting Device\n"
        "Update time: T sec\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetChip(c.preset);
        Result r = recover(sConcat({"-f", image}, c.extra));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(sNoTime(r.out), expectedOut);
        if (c.extra.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            // The ISP client's log names the rate of each connection: the probe's and the
            // programming's are both the rate the chip synchronised at.
            std::regex opened("Creating serial connection: [^\n]* stream baud:[0-9]+\\(([0-9]+)\\)");
            std::vector<std::string> rates;
            for (std::sregex_iterator it(r.err.begin(), r.err.end(), opened), end; it != end; ++it)
                rates.push_back((*it)[1]);
            EXPECT_EQ(rates, (std::vector<std::string>{"115200", "115200"})) << r.err;
        }
        std::vector<std::string> l = lines();
        if (c.preset < 0)
            EXPECT_EQ(l, sConcat(kProbe, kProgramming));
        else
            EXPECT_EQ(std::vector<std::string>(l.end() - std::min(l.size(), kProgramming.size()), l.end()),
                      kProgramming);
        expectFlashHolds(sBlocks());
        EXPECT_TRUE(server.queries().empty()) << "-f must not ask the server";
    }
}

TEST_F(RecoveryLpc, ThroughTheServerFindsTheImageByFingerprint)
{
    BirdBuilder b;
    sAddFirmware(b, sBlocks());
    std::string served = dir.path + "/served.bird";
    ASSERT_TRUE(b.writeTo(served));
    // A build the server would choose that must not be taken when -b names another.
    BirdBuilder other;
    sAddFirmware(other, {{0x0, BirdBuilder::Random(1024, 99)}});
    std::string otherPath = dir.path + "/other.bird";
    ASSERT_TRUE(other.writeTo(otherPath));
    server.setBuilds(kSerial, {{"1300", "1.2.3", served}, {"1400", "1.3.0", otherPath}});
    server.setRecovery(kId, kSerial, "1400");

    Result r = recover({"-b", "1300"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovering firmware with build: 1300\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferred 4 blocks, 15300 total bytes\nRebooting Device\n"),
              std::string::npos) << r.out;
    expectFlashHolds(sBlocks());
    std::vector<std::string> q = server.queries();
    ASSERT_FALSE(q.empty());
    EXPECT_EQ(q[0], "brief=true&fp=11223344%2012345678%20ABCDEF01%200000002A&op=fix&");
    std::string stored;
    EXPECT_TRUE(ReadFile(dir.path + "/store/updater/40F5849A/1300.bird", &stored));

    // Without -b the server's build is the one recovered.
    emu.locked([](LpcIspRom& rom) {
        rom = LpcIspRom();
        memcpy(rom.deviceId, kId, sizeof kId);
    });
    r = recover({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Recovering firmware with build: 1400\n"), std::string::npos) << r.out;
    expectFlashHolds({{0x0, BirdBuilder::Random(1024, 99)}});
}

TEST_F(RecoveryLpc, ASlowEraseStillSucceeds)
{
    writeStandardImage();
    emu.locked([](LpcIspRom& r) { r.eraseDelayMs = 2500; });
    Result r = recover({"-f", image});
    EXPECT_EQ(r.status, 0) << r.err;
    expectFlashHolds(sBlocks());
}

TEST_F(RecoveryLpc, AResentChecksumBlockStillGivesTheImage)
{
    writeStandardImage();
    emu.locked([](LpcIspRom& r) { r.resendAt = {2, 7}; });
    Result r = recover({"-f", image});
    EXPECT_EQ(r.status, 0) << r.err;
    expectFlashHolds(sBlocks());
    emu.locked([](LpcIspRom& rom) { EXPECT_EQ(rom.resends, 2u); });
}

// -N and the recovery in one run: the second probe finds the chip the first one left
// synchronised, and the programming goes on from there.
TEST_F(RecoveryLpc, FingerprintThenRecoveryInOneRun)
{
    writeStandardImage();
    Result r = RunUpdater(sConcat({"-N", "-U", "-t", "RECOVER", "-f", image}, common()));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.compare(0, kVersion.size() + kTable.size(), kVersion + kTable), 0) << r.out;
    EXPECT_NE(r.out.find("Rebooting Device\n"), std::string::npos) << r.out;
    std::vector<std::string> l = lines();
    ASSERT_GE(l.size(), kProbe.size() + kProgramming.size());
    EXPECT_EQ(std::vector<std::string>(l.begin(), l.begin() + 4), kProbe);
    EXPECT_EQ(std::vector<std::string>(l.end() - kProgramming.size(), l.end()), kProgramming);
    expectFlashHolds(sBlocks());
}

TEST_F(RecoveryLpc, AFailingChipStepIsAFailedRecovery)
{
    writeStandardImage();
    struct Case {
        const char* name;
        LpcIspRom::ForcedCode forced;
        const char* lastLine;  // the refused command
        const char* err;
    };
    // One error line naming the step and the chip's return code.
    const std::vector<Case> cases = {
        {"COMPARE_ERROR on the second copy", {'C', 10, 1, 1}, "C 4096 268439552 4096",
         "Recovery failed: copy to flash [10, COMPARE_ERROR]\n"},
        {"unlock refused", {'U', 6, 0, 0}, "U 23130", "Recovery failed: unlock [6, COUNT_ERROR]\n"},
        {"erase refused with code 11", {'E', 11, 0, 0}, "E 0 29",
         "Recovery failed: erase [11, BUSY]\n"},
        {"prepare of all sectors refused", {'P', 9, 0, 1}, "P 0 29",
         "Recovery failed: prepare [9, SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"},
        {"prepare of a chunk refused", {'P', 7, 2, 1}, "P 1 1",
         "Recovery failed: prepare for copy [7, INVALID_SECTOR]\n"},
        {"RAM write refused", {'W', 1, 2, 1}, "W 268439552 2048",
         "Recovery failed: write to RAM [1, INVALID_COMMAND]\n"},
        {"echo not turned back on", {'A', 19, 1, 1}, "A 1",
         "Recovery Error transfering data to device ==> [2, aErrParam]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu.locked([&](LpcIspRom& r) {
            r = LpcIspRom();
            memcpy(r.deviceId, kId, sizeof kId);
            r.forced = {c.forced};
        });
        Result r = recover({"-f", image});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("Rebooting Device"), std::string::npos) << r.out;
        EXPECT_NE(sNoTime(r.out).find("Update time: T sec\n"), std::string::npos) << r.out;
        std::vector<std::string> l = lines();
        ASSERT_FALSE(l.empty());
        EXPECT_EQ(l.back(), c.lastLine);
        emu.locked([](LpcIspRom& rom) { EXPECT_FALSE(rom.started); });
    }
}

TEST_F(RecoveryLpc, AnImageThatCannotBeWrittenErasesNothing)
{
    struct Case {
        const char* name;
        std::function<void(BirdBuilder&)> build;
        const char* error;
    };
    auto fw = [](size_t n, uint32_t seed) {
        return sScramble(BirdBuilder::Random(n, seed), kId);
    };
    const std::vector<Case> cases = {
        {"address not a multiple of 256",
         [&](BirdBuilder& b) { b.firmware(0x0, fw(512, 1)).firmware(0x1080, fw(64, 2)); },
         "Firmware block 2 (64 bytes at 0x00001080) does not fit the chip's flash\n"},
        {"end beyond the flash",
         [&](BirdBuilder& b) { b.firmware(0x7FF00, fw(257, 1)); },
         "Firmware block 1 (257 bytes at 0x0007FF00) does not fit the chip's flash\n"},
        {"address beyond the flash",
         [&](BirdBuilder& b) { b.firmware(0x80000, fw(256, 1)); },
         "Firmware block 1 (256 bytes at 0x00080000) does not fit the chip's flash\n"},
        {"overlapping blocks",
         [&](BirdBuilder& b) { b.firmware(0x1000, fw(600, 1)).firmware(0x1200, fw(64, 2)); },
         "Firmware block 2 (at 0x00001200) overlaps another block\n"},
        {"two blocks sharing a page",
         [&](BirdBuilder& b) { b.firmware(0x1000, fw(100, 1)).firmware(0x1000, fw(8, 2)); },
         "Firmware block 2 (at 0x00001000) overlaps another block\n"},
        {"a block with fewer than 4 data bytes",
         [&](BirdBuilder& b) { b.firmware(0x0, fw(256, 1)).block(1, 0, {0, 0, 0x10, 0, 1, 2}); },
         "Firmware block 2 has no data to program (6 bytes)\n"},
        {"nothing before the end marker",
         [&](BirdBuilder& b) { b.firmware(0x0, BirdBuilder::Random(4, 3)).firmware(0x0, fw(256, 1)); },
         "The image holds no firmware to program\n"},
        {"no firmware blocks at all",
         [&](BirdBuilder& b) { b.loader(0x20000000, BirdBuilder::Random(64, 1)); },
         "Failed to load bird file\n"},
        {"serial-info block",
         [&](BirdBuilder& b) { b.firmware(0x0, fw(1024, 1)).serialInfo(0x100, 0x200); },
         "Updater does not support offline recovery\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu.locked([](LpcIspRom& r) {
            r = LpcIspRom();
            memcpy(r.deviceId, kId, sizeof kId);
        });
        BirdBuilder b;
        c.build(b);
        writeImage(b);
        Result r = recover({"-f", image});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.out.find("Rebooting Device"), std::string::npos);
        EXPECT_EQ(lines(), kProbe);
        expectUntouched();
    }
}

TEST_F(RecoveryLpc, NothingIsProgrammedWithoutAFingerprintOrRecoveryInformation)
{
    writeStandardImage();
    // The server does not know the chip.
    Result r = recover({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed to retrieve recovery information from Velmoran server\n"
                     "  the server answered \"error unknown chip\"\n");
    expectUntouched();

    LpcIspEmulator silent;
    ASSERT_TRUE(silent.start());
    silent.locked([](LpcIspRom& rom) { rom.silent = true; });
    r = RunUpdater({"-U", "-t", "RECOVER", "-s", silent.path(), "-f", image, "-d", "40F5849A",
                    "-i", dir.path + "/store", "-u", server.url()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Could not get Device Identifier\n"), std::string::npos) << r.err;
    silent.stop();
}

}  // namespace
