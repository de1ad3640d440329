// BIRD images: the file check, block decoding, broken images, descriptor queries, serial
// patching and LPC descrambling.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BirdBuilder.h"
#include "BirdFile.h"
#include "LogCapture.h"
#include "test_store_support.h"

using Bytes = BirdBuilder::Bytes;

namespace {

class Bird : public testing::Test {
protected:
    std::string put(const std::string& name, const Bytes& bytes)
    {
        std::string p = dir / name;
        EXPECT_TRUE(BirdBuilder::WriteBytes(p, bytes));
        return p;
    }
    std::string put(const std::string& name, const BirdBuilder& b) { return put(name, b.image()); }
    static Bytes dataOf(const BirdBlock& b) { return Bytes(b.data, b.data + b.length); }
    ScratchDir dir;
};

TEST_F(Bird, VerifyFileChecksMagicAndVersionBytes)
{
    struct Row {
        const char* name;
        Bytes bytes;
        bool ok;
    } rows[] = {
        {"bird 01 01", {'b', 'i', 'r', 'd', 1, 1}, true},
        {"bird 01 01 + body", BirdBuilder().image(), true},
        {"bird 01 00", {'b', 'i', 'r', 'd', 1, 0}, false},
        {"bird 00 01", {'b', 'i', 'r', 'd', 0, 1}, false},
        {"BIRD 01 01", {'B', 'I', 'R', 'D', 1, 1}, false},
        {"5 bytes", {'b', 'i', 'r', 'd', 1}, false},
        {"empty", {}, false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(BirdFile::VerifyFile(put("v.bird", r.bytes).c_str()), r.ok) << r.name;
    EXPECT_FALSE(BirdFile::VerifyFile((dir / "missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(Bird, DecodesEveryBlockKind)
{
    Bytes loaderImage = BirdBuilder::Random(300, 1);
    Bytes firmwareImage = BirdBuilder::Random(1000, 2);
    Bytes other = BirdBuilder::Random(17, 3);
    BirdBuilder b;
    b.loader(0x20000000, loaderImage, 5)
        .firmware(0x1000, firmwareImage, 2)
        .serialInfo(0x1008, 0x1040)
        .block(3, 7, other)
        .descriptor("1300", "1.2.3", "40F5849A", "USBHub3p")
        .startAddress(0x20000400);
    b.checksum = 0xA1B2C3D4;
    BirdFile f(put("all.bird", b).c_str());

    EXPECT_EQ(f.signature, BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(f.version, 0x0101u);
    EXPECT_EQ(f.checksum, 0xA1B2C3D4u);
    ASSERT_EQ(f.blockCount, 6u);
    ASSERT_EQ(f.blocks.size(), 6u);
    struct Row {
        unsigned type, flags, address;
        Bytes data;
    } rows[] = {
        {0, 5, 0x20000000, b.blocks[0].data}, {1, 2, 0x1000, b.blocks[1].data},
        {2, 0, 0, b.blocks[2].data},          {3, 7, 0, other},
        {4, 0, 0, b.blocks[4].data},          {5, 0, 0, BirdBuilder::BE32(0x20000400)},
    };
    for (size_t i = 0; i < 6; i++) {
        const BirdBlock& got = f.blocks[i];
        EXPECT_EQ(got.type, rows[i].type) << i;
        EXPECT_EQ(got.flags, rows[i].flags) << i;
        EXPECT_EQ(got.address, rows[i].address) << i;
        EXPECT_EQ(got.length, rows[i].data.size()) << i;
        EXPECT_EQ(dataOf(got), rows[i].data) << i;
    }
    EXPECT_TRUE(f.hasSerialBlock);
    EXPECT_EQ(f.serialOffset, 0x1008u);
    EXPECT_EQ(f.descriptorOffset, 0x1040u);
    EXPECT_EQ(f.GetSerialNumber(), 0x40F5849Au);
    EXPECT_EQ(f.GetVersion(), "1.2.3");
    EXPECT_EQ(f.GetBuild(), 1300u);
    EXPECT_TRUE(f.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(f.ValidateSerialNumber(0x40F5849B));
    EXPECT_TRUE(f.ValidateModel("USBHub3p"));

    auto firmware = f.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 1u);
    EXPECT_EQ(firmware[0].data, f.blocks[1].data);
    EXPECT_TRUE(f.FindBlocks(BirdFile::BLOCK_TYPE(9)).empty());
}

// The fixture's ready-made image is what later tests take it for.
TEST_F(Bird, TypicalImage)
{
    BirdFile f(put("t.bird", BirdBuilder::Typical(1300, "1.3.0", 0x40F5849A, "USBHub3p")).c_str());
    EXPECT_EQ(f.FindBlocks(BirdFile::BIRD_BLOCK_LOADER).size(), 1u);
    auto firmware = f.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(firmware[1].address, 0x400u);
    EXPECT_EQ(firmware[1].flags, 1u);
    EXPECT_TRUE(f.hasSerialBlock);
    EXPECT_EQ(f.GetBuild(), 1300u);
    EXPECT_EQ(f.GetVersion(), "1.3.0");
    EXPECT_EQ(f.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(f.ValidateModel("USBHub3p"));
    EXPECT_TRUE(f.ReplaceSerialNumber(0x12345678));
    EXPECT_EQ(firmware[0].data[4 + 0x100], 0x78);
}

TEST_F(Bird, HeaderByteSplitsTypeAndFlags)
{
    struct Row {
        uint8_t header;
        unsigned type, flags;
    } rows[] = {{0x41, 1, 2}, {0x04, 4, 0}, {0xFF, 31, 7}, {0xA0, 0, 5}};
    for (const Row& r : rows) {
        Bytes stream = BirdBuilder::BE32(1);
        stream.push_back(r.header);
        Bytes len = BirdBuilder::BE32(64);
        stream.insert(stream.end(), len.begin(), len.end());
        Bytes payload = BirdBuilder::Random(64, r.header);
        stream.insert(stream.end(), payload.begin(), payload.end());
        Bytes sum = BirdBuilder::BE32(0);
        stream.insert(stream.end(), sum.begin(), sum.end());
        BirdFile f(put("h.bird", BirdBuilder::Wrap(BirdBuilder::Compress(stream))).c_str());
        ASSERT_EQ(f.blocks.size(), 1u) << int(r.header);
        EXPECT_EQ(f.blocks[0].type, r.type) << int(r.header);
        EXPECT_EQ(f.blocks[0].flags, r.flags) << int(r.header);
    }
}

// Each broken image: whether it loads, and what is left of it.
TEST_F(Bird, BrokenImages)
{
    Bytes fw = BirdBuilder::Random(200, 7);
    auto good = [&] {
        BirdBuilder b;
        b.firmware(0x1000, fw).descriptor("1", "1.0.0", "0000001A", "M");
        return b;
    };
    BirdBuilder stated3 = good();
    stated3.statedCount = 3;
    BirdBuilder noChecksum = good();
    noChecksum.withChecksum = false;
    BirdBuilder pastEnd = good();
    pastEnd.trailer = {1, 0, 0, 0x10, 0};   // firmware block claiming 4096 bytes
    pastEnd.trailer.resize(40, 0xAB);
    BirdBuilder hugeLength = good();
    hugeLength.trailer = {1, 0xFF, 0xFF, 0xFF, 0xFF, 9, 9, 9, 9, 9, 9, 9, 9};
    BirdBuilder shortLoader = good();
    shortLoader.blocks.insert(shortLoader.blocks.begin(), {0, 0, {0x12, 0x34}});
    BirdBuilder zeroFirmware = good();
    zeroFirmware.blocks.insert(zeroFirmware.blocks.begin(), {1, 0, {}});
    BirdBuilder wrongMagic = good();
    wrongMagic.magic = "BIRD";
    Bytes corrupt = good().image();
    for (size_t i = 8; i < corrupt.size(); i += 3)
        corrupt[i] ^= 0x5A;
    Bytes cut = good().image();
    cut.resize(cut.size() / 2);
    Bytes zeros(64 * 1024, 0);   // compresses far more than 8 times
    BirdBuilder fitsExactly;     // a block ending right at the end: no room for the checksum
    fitsExactly.firmware(0x1000, fw);
    fitsExactly.withChecksum = false;

    struct Row {
        const char* name;
        Bytes bytes;
        bool loads;
        unsigned blocks;
        unsigned firmwareBlocks;
        bool truncated;  // the parse ended at a block running past the stream
    } rows[] = {
        {"valid", good().image(), true, 2, 1, false},
        {"wrong magic still loads", wrongMagic.image(), true, 2, 1, false},
        {"6 bytes", {'b', 'i', 'r', 'd', 1, 1}, false, 0, 0, false},
        {"corrupt zlib", corrupt, false, 0, 0, false},
        {"truncated zlib", cut, false, 0, 0, false},
        {"expands more than 8x", BirdBuilder::Wrap(BirdBuilder::Compress(zeros)), false, 0, 0,
         false},
        {"states 3 holds 2", stated3.image(), true, 2, 1, false},
        {"no checksum", noChecksum.image(), true, 2, 1, false},
        {"block past the end dropped", pastEnd.image(), true, 2, 1, true},
        {"length 0xFFFFFFFF dropped", hugeLength.image(), true, 2, 1, true},
        {"loader shorter than its address dropped", shortLoader.image(), true, 2, 1, false},
        {"firmware of 0 bytes dropped", zeroFirmware.image(), true, 2, 1, false},
        {"last block fills the stream", fitsExactly.image(), true, 1, 1, false},
        {"empty stream", BirdBuilder::Wrap(BirdBuilder::Compress({})), true, 0, 0, false},
        {"stream of 3 bytes", BirdBuilder::Wrap(BirdBuilder::Compress({0, 0, 1})), true, 0, 0,
         false},
    };
    for (const Row& r : rows) {
        std::string p = put("broken.bird", r.bytes);
        BirdFile f;
        f.path = p;
        EXPECT_EQ(f.Load(), r.loads) << r.name;
        EXPECT_EQ(f.blockCount, r.blocks) << r.name;
        EXPECT_EQ(f.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).size(), r.firmwareBlocks) << r.name;
        EXPECT_EQ(f.truncated, r.truncated) << r.name;
        // Whatever was kept lies inside the buffer, and firmware carries its address.
        for (const BirdBlock& b : f.blocks) {
            EXPECT_GE(b.data, f.data.get()) << r.name;
            EXPECT_LE(b.data + b.length, f.data.get() + f.dataSize) << r.name;
            if (b.type == BirdFile::BIRD_BLOCK_FIRMWARE) {
                EXPECT_EQ(b.address, 0x1000u) << r.name;
                EXPECT_EQ(Bytes(b.data + 4, b.data + b.length), fw) << r.name;
            }
        }
        if (!r.loads) {
            EXPECT_THROW(BirdFile(p.c_str()), std::runtime_error) << r.name;
        }
    }
}

// A path that names a FIFO or a device is refused at once, never opened: opening a FIFO
// would wait for a writer for ever.
TEST_F(Bird, OnlyRegularFilesAreOpened)
{
    std::string fifo = dir / "fifo.bird";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* p : {fifo.c_str(), "/dev/null", "/dev/zero"}) {
        std::future<std::pair<bool, bool>> checked = std::async(std::launch::async, [p] {
            BirdFile f;
            f.path = p;
            return std::make_pair(BirdFile::VerifyFile(p), f.Load());
        });
        if (checked.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << p << " blocked";
            // A writer lets a reader blocked in open go on, so the worker can end.
            for (int i = 0; i < 2; i++) {
                int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    close(fd);
                checked.wait_for(std::chrono::seconds(1));
            }
        }
        std::pair<bool, bool> result = checked.get();
        EXPECT_FALSE(result.first) << p;
        EXPECT_FALSE(result.second) << p;
    }
}

TEST_F(Bird, PathConstructorThrowsTheLoadText)
{
    for (const std::string& p : {dir / "missing.bird", put("short.bird", Bytes{'b', 'i'})}) {
        try {
            BirdFile f(p.c_str());
            ADD_FAILURE() << p << " loaded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data");
        }
    }
}

TEST_F(Bird, ParseMismatchesAreLogged)
{
    BirdBuilder b;
    b.firmware(0x1000, BirdBuilder::Random(100, 1)).descriptor("1", "1", "1", "M");
    b.statedCount = 3;
    b.trailer = {7, 7};
    qctest::LogCapture log(DEBUG_BirdFile);
    BirdFile f(put("m.bird", b).c_str());
    EXPECT_EQ(f.blockCount, 2u);
    std::string text = log.text();
    EXPECT_NE(text.find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"),
              std::string::npos)
        << text;
}

// Serial-info and descriptor blocks too short for their fields count as absent.
TEST_F(Bird, ShortInfoBlocksCountAsAbsent)
{
    BirdBuilder b;
    b.firmware(0x1000, BirdBuilder::Random(64, 1))
        .block(2, 0, {0, 0, 0x10, 0x04})   // half a serial-info block
        .block(4, 0, Bytes(40, '1'));     // a descriptor of 40 bytes
    BirdFile f(put("s.bird", b).c_str());
    EXPECT_EQ(f.blockCount, 3u);
    EXPECT_FALSE(f.hasSerialBlock);
    EXPECT_FALSE(f.FindSerialNumberOffsets());
    EXPECT_EQ(f.serialOffset, 0u);
    EXPECT_EQ(f.GetSerialNumber(), 0u);
    EXPECT_EQ(f.GetVersion(), "");
    EXPECT_EQ(f.GetBuild(), 0u);
    EXPECT_FALSE(f.ValidateModel(""));
    EXPECT_FALSE(f.ReplaceSerialNumber(0x12345678));

    // A full block after a short one is the one used.
    b.serialInfo(0x1004, 0).descriptor("7", "2.0.1", "0000ABCD", "Hub");
    BirdFile g(put("s2.bird", b).c_str());
    EXPECT_TRUE(g.hasSerialBlock);
    EXPECT_EQ(g.serialOffset, 0x1004u);
    EXPECT_EQ(g.GetSerialNumber(), 0xABCDu);
    EXPECT_EQ(g.GetVersion(), "2.0.1");
}

TEST_F(Bird, DescriptorFields)
{
    struct Row {
        std::string build, version, serial, model;
        unsigned wantBuild;
        std::string wantVersion;
        unsigned wantSerial;
    } rows[] = {
        {"1300", "1.2.3", "0000001A", "M", 1300, "1.2.3", 0x1A},
        {"42", "10.20.30", "40f5849a", "M", 42, "10.20.30", 0x40F5849A},
        {"0", "1.2", "ZZ001234", "M", 0, "1.2", 0},
        {"  77", "1.2.3 beta", "  1A", "M", 77, "1.2.3", 0x1A},
        {"65535", "1234567890ABCDEF", "FFFFFFFFFFFFFFFF", "M", 65535, "1234567890ABCDE", 0xFFFFFFFF},
    };
    for (const Row& r : rows) {
        BirdBuilder b;
        b.descriptor(r.build, r.version, r.serial, r.model);
        BirdFile f(put("d.bird", b).c_str());
        EXPECT_EQ(f.GetBuild(), r.wantBuild) << r.build;
        EXPECT_EQ(f.GetVersion(), r.wantVersion) << r.version;
        EXPECT_EQ(f.GetSerialNumber(), r.wantSerial) << r.serial;
    }
}

TEST_F(Bird, ValidateModel)
{
    struct Row {
        std::string field;
        const char* name;
        bool match;
    } rows[] = {
        {"USBHub3p", "USBHub3p", true},  {"USBHub3p", "USBHub", true},
        {"USBHub3p", "USBHub3pX", false}, {"USBHub3p", "", true},
        {"USBHub3p rev2", "USBHub3p", true}, {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false}, {"Relay", "relay", false},
        {"USBHub3p", nullptr, false},
    };
    for (const Row& r : rows) {
        BirdBuilder b;
        b.descriptor("1", "1", "1", r.field);
        BirdFile f(put("m.bird", b).c_str());
        EXPECT_EQ(f.ValidateModel(r.name), r.match) << r.field << " / " << (r.name ? r.name : "null");
    }
    BirdBuilder none;
    none.firmware(0, BirdBuilder::Random(8, 1));
    BirdFile f(put("n.bird", none).c_str());
    EXPECT_FALSE(f.ValidateModel(""));
}

// The image of a firmware block at address A after ReplaceSerialNumber, as bytes.
struct Patched {
    bool result;
    Bytes before, after;
};

static Patched sPatch(const std::string& path, uint32_t serialAt, uint32_t stringAt,
                      uint32_t address, size_t imageBytes, uint32_t serial)
{
    BirdBuilder b;
    b.firmware(address, BirdBuilder::Random(imageBytes, 11)).serialInfo(serialAt, stringAt);
    EXPECT_TRUE(b.writeTo(path));
    BirdFile f(path.c_str());
    Patched p;
    p.before = b.blocks[0].data;
    p.result = f.ReplaceSerialNumber(serial);
    const BirdBlock& fw = f.blocks[0];
    p.after = Bytes(fw.data, fw.data + fw.length);
    return p;
}

TEST_F(Bird, ReplaceSerialNumberWritesWordAndString)
{
    // Firmware at 0x1000 of length 104; word at 0x1000, string at 0x1010.
    Patched p = sPatch(dir / "p.bird", 0x1000, 0x1010, 0x1000, 100, 0x40F5849A);
    ASSERT_TRUE(p.result);
    Bytes want = p.before;
    want[4] = 0x9A;
    want[5] = 0x84;
    want[6] = 0xF5;
    want[7] = 0x40;
    const char* digits = "40F5849A";
    for (int i = 0; i < 8; i++)
        want[20 + 2 * i] = uint8_t(digits[i]);
    EXPECT_EQ(p.after, want);
}

TEST_F(Bird, ReplaceSerialNumberAtEveryOffset)
{
    const uint32_t A = 0x2000;
    const size_t image = 40;   // block length 44
    for (uint32_t at = A - 8; at <= A + image + 4; at++) {
        Patched p = sPatch(dir / "w.bird", at, 0, A, image, 0x11223344);
        bool inside = at >= A && at + 4 <= A + image;
        EXPECT_EQ(p.result, inside) << std::hex << at;
        Bytes want = p.before;
        if (inside) {
            size_t o = at - A + 4;
            want[o] = 0x44;
            want[o + 1] = 0x33;
            want[o + 2] = 0x22;
            want[o + 3] = 0x11;
        }
        EXPECT_EQ(p.after, want) << std::hex << at;
    }
    for (uint32_t at = A - 4; at <= A + image; at++) {
        Patched p = sPatch(dir / "s.bird", 0, at, A, image, 0xABCDEF01);
        bool inside = at >= A && at + 16 <= A + image;
        EXPECT_EQ(p.result, inside) << std::hex << at;
        Bytes want = p.before;
        if (inside)
            for (int i = 0; i < 8; i++)
                want[at - A + 4 + 2 * i] = uint8_t("ABCDEF01"[i]);
        EXPECT_EQ(p.after, want) << std::hex << at;
    }
}

TEST_F(Bird, ReplaceSerialNumberTouchesOnlyTheBlockHoldingIt)
{
    BirdBuilder b;
    b.loader(0x1000, BirdBuilder::Random(64, 1))
        .firmware(0x0, BirdBuilder::Random(64, 2))
        .firmware(0x1000, BirdBuilder::Random(64, 3))
        .serialInfo(0x1010, 0);
    BirdFile f(put("t.bird", b).c_str());
    ASSERT_TRUE(f.ReplaceSerialNumber(0xCAFEF00D));
    EXPECT_EQ(dataOf(f.blocks[0]), b.blocks[0].data);
    EXPECT_EQ(dataOf(f.blocks[1]), b.blocks[1].data);
    Bytes want = b.blocks[2].data;
    want[20] = 0x0D;
    want[21] = 0xF0;
    want[22] = 0xFE;
    want[23] = 0xCA;
    EXPECT_EQ(dataOf(f.blocks[2]), want);

    BirdBuilder noInfo;
    noInfo.firmware(0x1000, BirdBuilder::Random(64, 3));
    BirdFile g(put("u.bird", noInfo).c_str());
    EXPECT_FALSE(g.hasSerialBlock);
    EXPECT_FALSE(g.ReplaceSerialNumber(1));
}

TEST_F(Bird, DecodeFirmwareBlocks)
{
    const unsigned int key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    Bytes image3 = {0x00, 0x00, 0x00};
    Bytes image20 = BirdBuilder::Random(20, 5);
    Bytes loader = BirdBuilder::Random(20, 6);
    BirdBuilder b;
    b.firmware(0x100, image3).loader(0x100, loader).firmware(0x200, image20).firmware(0x300, {});
    BirdFile f(put("k.bird", b).c_str());
    ASSERT_TRUE(f.DecodeFirmwareBlocks(key));

    // By hand: 0^01^00 = 01; 0^02^01 = 03; 0^03^03 = 00.
    EXPECT_EQ(dataOf(f.blocks[0]), (Bytes{0, 0, 1, 0, 0x01, 0x03, 0x00}));
    Bytes loaderData = BirdBuilder::BE32(0x100);
    loaderData.insert(loaderData.end(), loader.begin(), loader.end());
    EXPECT_EQ(dataOf(f.blocks[1]), loaderData);
    // The key position and the previous byte start afresh in every block.
    Bytes want = BirdBuilder::BE32(0x200);
    uint8_t prev = 0;
    const uint8_t k[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (size_t i = 0; i < image20.size(); i++) {
        prev = uint8_t(image20[i] ^ k[i % 16] ^ prev);
        want.push_back(prev);
    }
    EXPECT_EQ(dataOf(f.blocks[2]), want);
    EXPECT_EQ(dataOf(f.blocks[3]), BirdBuilder::BE32(0x300));

    BirdFile g(put("k2.bird", b).c_str());
    EXPECT_FALSE(g.DecodeFirmwareBlocks(nullptr));
    EXPECT_EQ(dataOf(g.blocks[2]), b.blocks[2].data);
}

TEST_F(Bird, MovedImageKeepsItsBlocks)
{
    BirdBuilder b;
    b.firmware(0x1000, BirdBuilder::Random(500, 9)).descriptor("5", "1.0.0", "00000005", "M");
    BirdFile moved;
    {
        BirdFile f(put("mv.bird", b).c_str());
        moved = std::move(f);
    }
    ASSERT_EQ(moved.blockCount, 2u);
    EXPECT_EQ(dataOf(moved.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE)[0]), b.blocks[0].data);
    EXPECT_EQ(moved.GetSerialNumber(), 5u);
    BirdFile again(std::move(moved));
    EXPECT_EQ(again.GetVersion(), "1.0.0");

    BirdFile empty;
    EXPECT_EQ(empty.blockCount, 0u);
    EXPECT_TRUE(empty.FindBlocks(BirdFile::BIRD_BLOCK_LOADER).empty());
    EXPECT_EQ(empty.GetSerialNumber(), 0u);
    EXPECT_EQ(empty.GetVersion(), "");
    EXPECT_FALSE(empty.ReplaceSerialNumber(1));
}

TEST_F(Bird, ReplaceVectorChecksumMakesVectorsSumToZero)
{
    Bytes vectors = BirdBuilder::Random(64, 21);
    BirdBuilder b;
    b.firmware(0, vectors).firmware(0x4000, vectors).firmware(0, Bytes(16, 1));
    BirdFile f(put("v.bird", b).c_str());
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    uint32_t sum = 0;
    for (int v = 0; v < 8; v++) {
        const unsigned char* w = f.blocks[0].data + 4 + 4 * v;
        sum += uint32_t(w[0]) | (uint32_t(w[1]) << 8) | (uint32_t(w[2]) << 16) |
               (uint32_t(w[3]) << 24);
    }
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(dataOf(f.blocks[1]), b.blocks[1].data);   // not at address 0
    EXPECT_EQ(dataOf(f.blocks[2]), b.blocks[2].data);   // too short for 8 vectors
}

}  // namespace
