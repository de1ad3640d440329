// The i.MX road of -N and -U -t RECOVER on the real binary, up to the started loader: the LPC
// probe finds no LPC, the live loader comes from the store (or is downloaded for the
// blank-device serial number when the store has no readable one) and goes into the i.MX boot
// ROM emulator over a serial pty or over USB HID (an emulated hidraw device under umockdev that
// the binary, a child of this test, reaches through the real hidapi).
// Nothing here plays the started loader on USB (e2e_recovery_usb does), so these runs end in
// the fingerprint's failure line; what the ROM received is judged here.
#include "e2e_ops_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <zlib.h>

#include "BirdBuilder.h"
#include "imx_sdp/ImxHidEmulator.h"
#include "imx_sdp/ImxSerialEmulator.h"
#include "module_emu/UsbTransport.h"
#include "SkipOrFail.h"
#include "update_server/UpdateServerEmulator.h"

using namespace opstest;

namespace {

const uint32_t kBlank = 0xDEADDEAD;

// The pieces of the live loader: a 2500-byte block (more than two data reports), a block too
// short to carry a load address, one with an address and nothing to load there, a second
// block elsewhere, and the start address. Only the two with bytes are written.
const BirdBuilder::Bytes& sPieceA()
{
    static const BirdBuilder::Bytes b = BirdBuilder::Random(2500, 41);
    return b;
}
const BirdBuilder::Bytes& sPieceB()
{
    static const BirdBuilder::Bytes b = BirdBuilder::Random(300, 42);
    return b;
}

BirdBuilder sLoaderImage(bool withStart)
{
    BirdBuilder b;
    b.loader(0x20000400, sPieceA())
        .block(0, 0, {0xAA, 0xBB})
        .block(0, 0, BirdBuilder::BE32(0x20009000))
        .loader(0x20008000, sPieceB());
    if (withStart)
        b.startAddress(0x20000404);
    b.firmware(0x0, BirdBuilder::Random(64, 43));
    return b;
}

std::string sCrc(const BirdBuilder::Bytes& b)
{
    char hex[16];
    snprintf(hex, sizeof hex, "%08lX", crc32(0, b.data(), uInt(b.size())));
    return hex;
}

class RecoveryImx : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start());
        ASSERT_FALSE(dir.path.empty());
        store = dir.path + "/store";
    }
    void TearDown() override { server.stop(); }

    // A store entry for the blank-device serial number with these attributes and files.
    void storeEntry(const std::string& settings, const std::string& file = "",
                    const BirdBuilder* image = nullptr)
    {
        std::string device = store + "/updater/DEADDEAD";
        ASSERT_EQ(system(("mkdir -p " + device).c_str()), 0);
        ASSERT_TRUE(WriteFile(device + "/.settings", settings));
        if (image) {
            ASSERT_TRUE(image->writeTo(device + "/" + file));
        }
    }
    // The server offers the loader image as the current build 7 of the blank device.
    void serveLoader(bool withStart)
    {
        std::string path = dir.path + "/served.bird";
        ASSERT_TRUE(sLoaderImage(withStart).writeTo(path));
        server.setBuilds(kBlank, {{"7", "1.0.0", path}});
        server.setCurrentBuild(kBlank, "7");
    }
    bool downloaded()
    {
        for (const std::string& q : server.queries())
            if (q.find("op=bird") != std::string::npos && q.find("sn=DEADDEAD") != std::string::npos)
                return true;
        return false;
    }
    Result fingerprint(const std::string& port, std::vector<std::string> extra = {})
    {
        std::vector<std::string> words = {"-N", "-s", port, "-i", store, "-u", server.url()};
        words.insert(words.end(), extra.begin(), extra.end());
        return RunUpdater(words, 60000);
    }

    UpdateServerEmulator server;
    TempDir dir;
    std::string store;
};

// Runs the binary against the HID ROM set up by `arrange`; what the ROM received afterwards,
// one line per command ("cmd=..."), per file ("write=ADDRESS SIZE CRC32 complete|partial") and
// the number of jumps ("jumps=N"); empty when the device was never opened.
struct HidRun {
    Result result;
    std::string report;
};

HidRun sOverHid(const std::function<void(SdpRom&)>& arrange, const std::function<Result()>& run)
{
    HidRun h;
    ImxHidEmulator* emu = ImxHidEmulator::instance();
    if (!emu) {
        ADD_FAILURE() << ImxHidEmulator::error();
        return h;
    }
    emu->reset();
    emu->locked(arrange);
    h.result = run();
    if (emu->device().activity().opens == 0)
        return h;
    emu->locked([&](SdpRom& rom) {
        std::istringstream log(rom.commandLog);
        std::string l;
        while (std::getline(log, l))
            h.report += "cmd=" + l + "\n";
        for (const SdpRom::FileWrite& w : rom.writes) {
            char line[96];
            snprintf(line, sizeof line, "write=0x%08X %zu %08lX %s\n", w.address, w.data.size(),
                     crc32(0, w.data.data(), uInt(w.data.size())),
                     w.complete ? "complete" : "partial");
            h.report += line;
        }
        h.report += "jumps=" + std::to_string(rom.jumps.size()) + "\n";
    });
    return h;
}

void sAsIs(SdpRom&) {}

// A loader that never shows up on USB: the probe waits out its search (built as a separate
// program labelled slow).
#ifdef QC_IMX_LOADER_STARTS
TEST_F(RecoveryImx, HidLoaderFromTheStoreThatNeverShowsUpOnUsb)
{
    BirdBuilder image = sLoaderImage(false);
    storeEntry("LATEST_DOWNLOAD=5.bird\n", "5.bird", &image);
    HidRun h = sOverHid(sAsIs, [&]() { return fingerprint("USB"); });
    EXPECT_EQ(h.result.status, 1);
    EXPECT_EQ(h.result.err, "Got no response from chip\n");
    EXPECT_FALSE(downloaded()) << "a readable stored loader is used as it is";
    EXPECT_EQ(h.report, "cmd=ERROR_STATUS\n"
                        "cmd=WRITE_FILE 0x20000400 2500\n"
                        "cmd=ERROR_STATUS\n"
                        "cmd=WRITE_FILE 0x20008000 300\n"
                        "cmd=JUMP_ADDRESS 0x20000400\n"
                        "write=0x20000400 2500 " + sCrc(sPieceA()) + " complete\n"
                        "write=0x20008000 300 " + sCrc(sPieceB()) + " complete\n"
                        "jumps=1\n");
}

#else
TEST_F(RecoveryImx, UnreadableStoredLoaderIsDownloadedAgain)
{
    // The entry names an image that is not there.
    storeEntry("LATEST_DOWNLOAD=9.bird\n");
    serveLoader(true);
    HidRun h = sOverHid([](SdpRom& rom) { rom.finalStatus = 0x12345678; },
                        [&]() { return fingerprint("USB"); });
    EXPECT_EQ(h.result.status, 1);
    EXPECT_EQ(h.result.err, "Got no response from chip\n");
    EXPECT_TRUE(downloaded());
    // The ROM refused the first piece: nothing more is sent and nothing is started.
    EXPECT_EQ(h.report, "cmd=ERROR_STATUS\n"
                        "cmd=WRITE_FILE 0x20000400 2500\n"
                        "write=0x20000400 2500 " + sCrc(sPieceA()) + " complete\n"
                        "jumps=0\n");
}

TEST_F(RecoveryImx, ProbeFailuresBeforeTheLoaderStarts)
{
    serveLoader(true);
    struct Case {
        const char* name;
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"-N with -f has no serial number for the image",
         {"-N", "-s", "USB", "-f", dir.path + "/served.bird"},
         "Add serial number or remove the bird filename to use a default recovery image.\n"
         "Got no response from chip\n"},
        {"recovery with -f and without -d",
         {"-U", "-t", "RECOVER", "-s", "USB", "-f", dir.path + "/served.bird"},
         "Add serial number or remove the bird filename to use a default recovery image.\n"
         "Could not get Device Identifier\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> words = c.words;
        words.insert(words.end(), {"-i", store, "-u", server.url()});
        HidRun h = sOverHid(sAsIs, [&]() { return RunUpdater(words); });
        EXPECT_EQ(h.result.status, 1);
        EXPECT_EQ(h.result.err, c.err);
        EXPECT_EQ(h.report, "") << "the ROM must not be opened";
    }

    // The ROM leaves the bus as it is told to jump (the jump report is not taken): the loader
    // never started, so the probe ends there instead of searching USB for it.
    {
        SCOPED_TRACE("jump not sent");
        ImxHidEmulator* emu = ImxHidEmulator::instance();
        ASSERT_NE(emu, nullptr) << ImxHidEmulator::error();
        emu->reset();
        // Status, WRITE_FILE and three data reports for the first piece, status, WRITE_FILE
        // and one data report for the second: the jump is the ninth write.
        emu->device().failWritesFrom(9);
        Result r = fingerprint("USB", {"-X", "0x10000"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Error loading liveloader.\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Could not connect to device."), std::string::npos) << r.err;
        // hidapi's reason for the refused report, under the failure line.
        EXPECT_NE(r.err.find("Got no response from chip\n  hid_write: " +
                             std::string(strerror(EPIPE)) + "\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(emu->device().activity().writes.size(), 9u);
        emu->locked([](SdpRom& rom) {
            EXPECT_EQ(rom.writes.size(), 2u);
            EXPECT_TRUE(rom.jumps.empty());
        });
        emu->device().failWritesFrom(0);
    }

    // A serial ROM that never answers: the loader is not taken and nothing is started.
    ImxSerialEmulator rom;
    ASSERT_TRUE(rom.start());
    rom.locked([](SdpRom& sdp) { sdp.silent = true; });
    Result r = fingerprint(rom.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Got no response from chip\n");
    rom.locked([](SdpRom& sdp) {
        EXPECT_TRUE(sdp.writes.empty() || !sdp.writes[0].complete);
        EXPECT_TRUE(sdp.jumps.empty());
    });
    rom.stop();
}

// No ROM on USB at all (the test bed holds no HID device): the probe's failure line says what
// hidapi found, for the fingerprint and for the recovery.
TEST_F(RecoveryImx, NoRomOnUsbSaysWhy)
{
    if (!module_emu::UsbTestbed::instance().ok())
        QC_SKIP_OR_FAIL(module_emu::UsbTestbed::instance().error());
    BirdBuilder image = sLoaderImage(true);
    storeEntry("LATEST_DOWNLOAD=5.bird\n", "5.bird", &image);
    // hidapi's own words name the ids it looked for.
    const std::string reason = "  hid_open: [^\n]*VID/PID[^\n]*\n";
    Result r = fingerprint("USB");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("Got no response from chip\n" + reason)))
        << r.err;
    r = RunUpdater({"-U", "-t", "RECOVER", "-s", "USB", "-i", store, "-u", server.url()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("Could not get Device Identifier\n" + reason)))
        << r.err;
}

#endif

}  // namespace
