// The pieces of the updater's operations that choose: which build an update writes when none
// is named, which transport a direct connection and a search use, and how an LPC recovery cuts
// the firmware into RAM writes and flash copies. The end-to-end runs reach these only through
// whole operations.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "NXPSerial.h"
#include "Parameters.h"
#include "ScratchDir.h"
#include "Updater.h"
#include "UpdaterRecovery.h"
#include "UpdaterStore.h"
#include "dispatch.h"

namespace {

const unsigned int kSerial = 0x40F5849A;

class LineDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool, char const*) override {}
    void info_message(char const* text) override { lines.push_back(std::string("I ") + text); }
    void error_message(char const* text) override { lines.push_back(std::string("E ") + text); }
    std::vector<std::string> lines;
};

const char* kNewFirmware =
    "I New firmware is available.  Updater will proceed if valid firmware is found locally.";

// One device entry: download and transfer keys as given ("" leaves the key out), and the
// image 1300.bird when stored is set.
struct BuildCase {
    const char* name;
    unsigned int serverBuild;
    bool stored;
    const char* download;
    const char* transfer;
    unsigned int chosen;
    std::vector<std::string> lines;
    // Keys present after the choice: a read of a missing key adds it, and the entry is saved.
    bool hasDownloadKey;
    bool hasTransferKey;
};

TEST(UpdateBuildChoice, ServerBuildThenLatestDownloadThenLatestTransfer)
{
    const std::vector<BuildCase> cases = {
        {"server build stored", 1300, true, "1200", "1100", 1300, {}, true, true},
        {"server build stored, no keys", 1300, true, "", "", 1300, {}, false, false},
        {"server build missing: download", 1300, false, "1200", "1100", 1200,
         {kNewFirmware, "I Updating with the Latest Download"}, true, true},
        {"no server build: download", 0, false, "1200", "", 1200,
         {"I Updating with the Latest Download"}, true, false},
        {"no server build: transfer", 0, true, "", "1100", 1100,
         {"I Updating with the Latest Transfer"}, true, true},
        {"download key empty: transfer", 0, false, "", "1100.bird", 1100,
         {"I Updating with the Latest Transfer"}, true, true},
        {"download of a build above 2^31", 0, false, "3000000000.bird", "1100.bird",
         3000000000u, {"I Updating with the Latest Download"}, true, true},
        {"nothing", 0, false, "", "", 0,
         {"E Could not find valid build for this device."}, true, true},
        {"server build missing, nothing", 1300, false, "", "", 0,
         {kNewFirmware, "E Could not find valid build for this device."}, true, true},
    };
    for (const BuildCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir("qc_choice");
        ASSERT_FALSE(dir.path.empty());
        UpdaterStore store(dir.path.c_str());
        UpdaterStoreItem item = store.AddDevice(kSerial);
        if (c.stored) {
            BirdBuilder b;
            b.firmware(0x1000, BirdBuilder::Random(300, 3));
            ASSERT_TRUE(b.writeTo(item.path + "/" + item.name + "/1300.bird"));
        }
        if (*c.download) {
            ASSERT_TRUE(item.attributes.Add("LATEST_DOWNLOAD", c.download));
        }
        if (*c.transfer) {
            ASSERT_TRUE(item.attributes.Add("LATEST_TRANSFER", c.transfer));
        }
        LineDisplay display;
        EXPECT_EQ(_choose_update_build(display, item, c.serverBuild), c.chosen);
        EXPECT_EQ(display.lines, c.lines);
        EXPECT_EQ(item.attributes["LATEST_DOWNLOAD"] != nullptr, c.hasDownloadKey);
        EXPECT_EQ(item.attributes["LATEST_TRANSFER"] != nullptr, c.hasTransferKey);
    }
}

// -f names the image and wins over the build; without it the build is read from the device's
// store entry, and a build the entry lacks is no image when no download is allowed.
TEST(UpdateImageChoice, NamedFileOverStoredBuild)
{
    ScratchDir dir("qc_choice");
    ASSERT_FALSE(dir.path.empty());
    UpdaterStore store(dir.path.c_str());
    UpdaterStoreItem item = store.AddDevice(kSerial);
    BirdBuilder stored, named;
    stored.firmware(0x1000, BirdBuilder::Random(300, 3));
    named.firmware(0x2000, BirdBuilder::Random(200, 4));
    const std::string storedPath = item.path + "/" + item.name + "/1300.bird";
    const std::string namedPath = dir.path + "/named.bird";
    ASSERT_TRUE(stored.writeTo(storedPath));
    ASSERT_TRUE(named.writeTo(namedPath));

    LineDisplay display;
    // No server is asked for any of these: the port is one nothing listens on.
    Updater updater("http://127.0.0.1:9", dir.path.c_str(), display);
    BirdFile image = updater.load_bird("Updating", namedPath, kSerial, 1300, false);
    EXPECT_EQ(image.path, namedPath);
    ASSERT_EQ(image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0].address, 0x2000u);

    image = updater.load_bird("Updating", "", kSerial, 1300, false);
    ASSERT_EQ(image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size(), 1u);
    EXPECT_EQ(image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0].address, 0x1000u);

    EXPECT_THROW(updater.load_bird("Updating", "", kSerial, 1400, false), std::runtime_error);
    EXPECT_EQ(display.lines, (std::vector<std::string>{
                                 "I Updating from Birdfile: " + namedPath,
                                 "I Updating firmware with build: 1300",
                                 "I Updating firmware with build: 1400",
                             }));
}

TEST(DirectConnection, TcpIpOnlyWhenUsbDoesNotFindTheModule)
{
    struct Case {
        aErr usb;
        aErr tcp;
        std::vector<linkType> tried;
        aErr result;
    };
    const std::vector<Case> cases = {
        {aErrNone, aErrNone, {USB}, aErrNone},
        {aErrNotFound, aErrNone, {USB, TCPIP}, aErrNone},
        {aErrNotFound, aErrNotFound, {USB, TCPIP}, aErrNotFound},
        {aErrNotFound, aErrConnection, {USB, TCPIP}, aErrConnection},
        // A module USB finds but cannot open is not looked for elsewhere.
        {aErrConnection, aErrNone, {USB}, aErrConnection},
        {aErrBusy, aErrNone, {USB}, aErrBusy},
    };
    for (const Case& c : cases) {
        std::vector<linkType> tried;
        aErr err = _connect_direct([&](linkType type) {
            tried.push_back(type);
            return type == USB ? c.usb : c.tcp;
        });
        EXPECT_EQ(tried, c.tried) << "USB " << c.usb << ", TCP/IP " << c.tcp;
        EXPECT_EQ(err, c.result) << "USB " << c.usb << ", TCP/IP " << c.tcp;
    }
}

TEST(DiscoverTransport, NamedTransportElseUsbDirectlyOrBothBehindARouter)
{
    struct Case {
        bool given;
        uint32_t transport;
        unsigned int router;
        linkType type;
    };
    const std::vector<Case> cases = {
        {false, TRANSPORT_USB, 0, USB},
        {false, TRANSPORT_USB, 0x1234, (linkType)0},
        {true, TRANSPORT_USB, 0, USB},
        {true, TRANSPORT_TCPIP, 0, TCPIP},
        {true, TRANSPORT_TCPIP, 0x1234, TCPIP},
        {true, TRANSPORT_USB, 0x1234, USB},
        {true, TRANSPORT_RECOVER, 0, USB},
        {true, TRANSPORT_RECOVER, 0x1234, (linkType)0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(_discover_transport(c.given, c.transport, c.router), c.type)
            << "given " << c.given << " transport " << c.transport << " router " << c.router;
}

// Firmware blocks as the recovery finds them: the 4-byte address, then len payload bytes.
class LpcPlan : public ::testing::Test {
protected:
    void block(unsigned int address, unsigned int len)
    {
        std::vector<unsigned char> bytes(4 + len, 0x5A);
        storage.push_back(bytes);
        blocks.push_back({1, 0, (uint32_t)(4 + len), address, nullptr});
    }
    bool plan(std::vector<LpcChunk>& chunks, unsigned int& programmed)
    {
        for (size_t k = 0; k < blocks.size(); k++)
            blocks[k].data = storage[k].data();
        return _plan_lpc(display, blocks, chunks, programmed);
    }
    std::vector<std::vector<unsigned char>> storage;
    std::vector<BirdBlock> blocks;
    LineDisplay display;
};

const unsigned int kRam = NXPSerialClass::WRITE_ADDRESS;

TEST_F(LpcPlan, FullChunksGoAsOneCopyAndTheTailOnlyToItsLastPage)
{
    block(0x0000, 4096 * 2 + 1300);  // two full chunks and a tail of 1300 (staged 1536)
    block(0x4000, 256);              // exactly one page
    block(0, 4);                     // the end marker
    block(0x8000, 100);              // after the marker: not programmed
    std::vector<LpcChunk> chunks;
    unsigned int programmed = 0;
    ASSERT_TRUE(plan(chunks, programmed));
    EXPECT_TRUE(display.lines.empty());
    EXPECT_EQ(programmed, 2u);
    ASSERT_EQ(chunks.size(), 4u);

    struct Want {
        unsigned int block, offset, length, staged;
        std::vector<std::vector<unsigned int>> copies;  // flash, ram, count
    };
    const std::vector<Want> want = {
        {0, 0, 4096, 4096, {{0x0000, kRam, 4096}}},
        {0, 4096, 4096, 4096, {{0x1000, kRam, 4096}}},
        {0, 8192, 1300, 1536, {{0x2000, kRam, 1024}, {0x2400, kRam + 1024, 512}}},
        {1, 0, 256, 256, {{0x4000, kRam, 256}}},
    };
    for (size_t k = 0; k < want.size(); k++) {
        SCOPED_TRACE("chunk " + std::to_string(k));
        EXPECT_EQ(chunks[k].block, want[k].block);
        EXPECT_EQ(chunks[k].offset, want[k].offset);
        EXPECT_EQ(chunks[k].length, want[k].length);
        EXPECT_EQ(chunks[k].staged, want[k].staged);
        ASSERT_EQ(chunks[k].copies.size(), want[k].copies.size());
        for (size_t c = 0; c < want[k].copies.size(); c++) {
            EXPECT_EQ(chunks[k].copies[c].flash, want[k].copies[c][0]);
            EXPECT_EQ(chunks[k].copies[c].ram, want[k].copies[c][1]);
            EXPECT_EQ(chunks[k].copies[c].count, want[k].copies[c][2]);
        }
    }
}

TEST_F(LpcPlan, TailCopiesCoverEveryStagedPageOnce)
{
    // 1024 + 512 + 256 for 7 pages; 3 x 1024 + 512 + 256 for a tail of 3800 bytes.
    for (unsigned int len : {5u, 255u, 257u, 1792u, 3800u, 4095u}) {
        SCOPED_TRACE(len);
        blocks.clear();
        storage.clear();
        block(0x10000, len);
        std::vector<LpcChunk> chunks;
        unsigned int programmed = 0;
        ASSERT_TRUE(plan(chunks, programmed));
        ASSERT_EQ(chunks.size(), 1u);
        unsigned int staged = (len + 255) / 256 * 256;
        EXPECT_EQ(chunks[0].staged, staged);
        unsigned int next = 0x10000;
        for (const LpcCopy& copy : chunks[0].copies) {
            EXPECT_EQ(copy.flash, next);
            EXPECT_EQ(copy.ram, kRam + (next - 0x10000));
            EXPECT_TRUE(copy.count == 1024 || copy.count == 512 || copy.count == 256);
            next += copy.count;
        }
        EXPECT_EQ(next, 0x10000 + staged);
    }
}

TEST_F(LpcPlan, ImagesTheChipCannotTakeAreRefusedBeforeAnythingIsPlanned)
{
    struct Case {
        const char* name;
        std::vector<std::pair<unsigned int, unsigned int>> blocks;  // address, payload length
        const char* line;
    };
    const std::vector<Case> cases = {
        {"no data", {{0x0000, 3}}, "E Firmware block 1 has no data to program (7 bytes)"},
        {"unaligned", {{0x0000, 256}, {0x1080, 256}},
         "E Firmware block 2 (256 bytes at 0x00001080) does not fit the chip's flash"},
        {"past the flash", {{0x80000, 256}},
         "E Firmware block 1 (256 bytes at 0x00080000) does not fit the chip's flash"},
        {"runs off the end", {{0x7FF00, 512}},
         "E Firmware block 1 (512 bytes at 0x0007FF00) does not fit the chip's flash"},
        // The first block's padded last page is the one the second starts in.
        {"overlap by padding", {{0x0000, 300}, {0x0100, 256}},
         "E Firmware block 2 (at 0x00000100) overlaps another block"},
        {"only the end marker", {{0, 4}}, "E The image holds no firmware to program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        blocks.clear();
        storage.clear();
        display.lines.clear();
        for (const auto& b : c.blocks)
            block(b.first, b.second);
        std::vector<LpcChunk> chunks;
        unsigned int programmed = 0;
        EXPECT_FALSE(plan(chunks, programmed));
        EXPECT_EQ(display.lines, std::vector<std::string>{c.line});
    }
}

}  // namespace
