// The serial download engine over the USB HID transport, through the real hidapi (hidraw back
// end) against the i.MX ROM emulator on an emulated hidraw device (umockdev).
#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "imx_sdp/ImxHidEmulator.h"
#include "imx_sdp/SdpRom.h"
#include "module_emu/HidDevice.h"
#include "module_emu/UsbTransport.h"
#include "SkipOrFail.h"
#include "Timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

using module_emu::HidDevice;

namespace {

const unsigned short VID = ImxHidEmulator::VID, PID = ImxHidEmulator::PID;

using Clock = std::chrono::steady_clock;
using qctest::msSince;

std::vector<unsigned char> sPattern(size_t n, unsigned seed)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (unsigned char)((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return v;
}

class SdpHid : public ::testing::Test {
protected:
    void SetUp() override
    {
        emu = ImxHidEmulator::instance();
        if (!emu)
            QC_SKIP_OR_FAIL(ImxHidEmulator::error());
        emu->reset();
    }
    // An engine with an open HID transport; init's result.
    unsigned char open(SDPLoader& sdp, unsigned short vid = VID, unsigned short pid = PID)
    {
        EXPECT_TRUE(sdp.setLoader(new HID_SDPLoader(vid, pid)));
        return sdp.init();
    }
    HidDevice& device() { return emu->device(); }
    void arrange(const std::function<void(SdpRom&)>& fn) { emu->locked(fn); }
    SdpRom rom()
    {
        SdpRom copy;
        emu->locked([&](SdpRom& r) { copy = r; });
        return copy;
    }
    ImxHidEmulator* emu = nullptr;
};

TEST_F(SdpHid, LoaderGoesInAsOneFileAndStarts)
{
    std::vector<unsigned char> file = sPattern(2500, 1);
    {
        SDPLoader sdp;
        ASSERT_EQ(open(sdp), 0);
        EXPECT_EQ(device().activity().opens, 1);
        EXPECT_EQ(sdp.writeLoader(file, 0x20000400), 0);
        EXPECT_EQ(sdp.startLoader(0x20000404), 0);
    }
    SdpRom r = rom();
    ASSERT_EQ(r.writes.size(), 1u);
    EXPECT_EQ(r.writes[0].address, 0x20000400u);
    EXPECT_TRUE(r.writes[0].complete);
    EXPECT_EQ(r.writes[0].data, file);
    EXPECT_EQ(r.jumps, std::vector<uint32_t>{0x20000404});

    // Status request, WRITE_FILE, data reports of 1024, 1024 and 452 bytes, the jump.
    const std::vector<HidDevice::Report> w = device().activity().writes;
    ASSERT_EQ(w.size(), 6u);
    std::vector<size_t> sizes;
    for (const auto& report : w)
        sizes.push_back(report.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{17, 17, 1025, 1025, 453, 17}));
    EXPECT_EQ(w[0], (HidDevice::Report{1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(w[5], (HidDevice::Report{1, 0x0B, 0x0B, 0x20, 0, 4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(w[i][0], 2);
    // The transport closed the device: one open, one close (umockdev notices a closed handle
    // a little later).
    for (int i = 0; i < 200 && device().activity().closes < 1; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const module_emu::HidActivity seen = device().activity();
    EXPECT_EQ(seen.opens, 1);
    EXPECT_EQ(seen.closes, 1);
    // Every reply was read: nothing left over for the next host.
    EXPECT_EQ(device().queuedForHost(), 0u);
}

TEST_F(SdpHid, WriteFileCommandBytes)
{
    SDPLoader sdp;
    ASSERT_EQ(open(sdp), 0);
    ASSERT_EQ(sdp.writeLoader(sPattern(1024, 2), 0x20000400), 0);
    const std::vector<HidDevice::Report> w = device().activity().writes;
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[1], (HidDevice::Report{0x01, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0x00, 0x00,
                                       0x04, 0x00, 0, 0, 0, 0, 0}));
}

TEST_F(SdpHid, EmptyFileSendsOnlyTheCommand)
{
    SDPLoader sdp;
    ASSERT_EQ(open(sdp), 0);
    EXPECT_EQ(sdp.writeLoader({}, 0x20000000), 0);
    EXPECT_EQ(device().activity().writes.size(), 2u);
    SdpRom r = rom();
    ASSERT_EQ(r.writes.size(), 1u);
    EXPECT_TRUE(r.writes[0].data.empty());
}

TEST_F(SdpHid, Failures)
{
    struct Case {
        const char* name;
        void (*arrange)(SdpRom&);
        int failWritesFrom;
        unsigned char expected;
        size_t writesSent;  // writes made in all, the failed one too
    };
    const Case cases[] = {
        // Five status requests, then no file goes out.
        {"silent ROM", [](SdpRom& r) { r.silent = true; }, 0, SDPLoader::SDP_NO_ANSWER, 5},
        {"final status not complete", [](SdpRom& r) { r.finalStatus = 0x12345678; }, 0, SDPLoader::SDP_BAD_STATUS, 5},
        // The ROM's early word is seen before the first data report.
        {"ROM talks during the data", [](SdpRom& r) { r.chatterDuringData = true; }, 0, SDPLoader::SDP_UNEXPECTED_REPLY, 2},
        // The second data report fails: nothing more is sent.
        {"data report not taken", [](SdpRom&) {}, 4, SDPLoader::SDP_WRITE_FAILED, 4},
        {"command not taken", [](SdpRom&) {}, 2, SDPLoader::SDP_WRITE_FAILED, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu->reset();
        arrange(c.arrange);
        device().failWritesFrom(c.failWritesFrom);
        SDPLoader sdp;
        ASSERT_EQ(open(sdp), 0);
        EXPECT_EQ(sdp.writeLoader(sPattern(2500, 3), 0x20000400), c.expected);
        EXPECT_EQ(device().activity().writes.size(), c.writesSent);
    }
}

// A jump the device does not take started nothing, and says so.
TEST_F(SdpHid, AJumpThatIsNotSentIsAFailure)
{
    SDPLoader none;
    EXPECT_EQ(none.startLoader(0x20000400), SDPLoader::SDP_NO_TRANSPORT);

    SDPLoader sdp;
    ASSERT_EQ(open(sdp), 0);
    ASSERT_EQ(sdp.writeLoader(sPattern(100, 5), 0x20000400), 0);
    device().failWritesFrom(1);
    EXPECT_EQ(sdp.startLoader(0x20000400), SDPLoader::SDP_WRITE_FAILED);
    EXPECT_TRUE(rom().jumps.empty());
}

// hidapi's time-out reaches only poll(): that it is the reply time-out shows in the time the
// five unanswered status requests take.
TEST_F(SdpHid, SilentRomIsAskedFiveTimesWithTheReplyTimeout)
{
    arrange([](SdpRom& r) { r.silent = true; });
    SDPLoader sdp;
    ASSERT_EQ(open(sdp), 0);
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(sdp.writeLoader(sPattern(16, 4), 0x20000400), SDPLoader::SDP_NO_ANSWER);
    long ms = msSince(t0);
    EXPECT_EQ(rom().statusRequests, 5u);
    EXPECT_GE(ms, 5 * 100);
    EXPECT_LT(ms, 5 * 100 + 300) << "one read per request, each of the reply time-out";
}

TEST_F(SdpHid, OpenAndOwnership)
{
    {
        SDPLoader sdp;
        EXPECT_EQ(sdp.init(), SDPLoader::SDP_NO_TRANSPORT);
        EXPECT_FALSE(sdp.setLoader(nullptr));
        EXPECT_EQ(open(sdp, VID, 0x0131), SDPLoader::SDP_OPEN_FAILED);
        SDPLoader otherVendor;
        EXPECT_EQ(open(otherVendor, 0x1FCA, PID), SDPLoader::SDP_OPEN_FAILED);
        HID_SDPLoader other(VID, PID);
        EXPECT_FALSE(sdp.setLoader(&other));  // one transport only; the caller keeps this one
    }
    EXPECT_EQ(device().activity().opens, 0);
}

TEST_F(SdpHid, FingerprintRegisters)
{
    arrange([](SdpRom& r) {
        r.registers[0x401F4410] = 0xCAFEF00D;
        r.registers[0x401F4420] = 0x00C0FFEE;
    });
    SDPLoader sdp;
    ASSERT_EQ(open(sdp), 0);
    unsigned long id = 0;
    EXPECT_EQ(sdp.getFingerprint(id), 0);
    EXPECT_EQ(id, 0x00C0FFEECAFEF00DUL);
}

TEST_F(SdpHid, ReplyAssemblyAndStatusWord)
{
    HID_SDPLoader hid(VID, PID);
    ASSERT_TRUE(hid.init());
    std::vector<unsigned char> status = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(hid.writeData(status), 17);
    std::vector<unsigned char> reply;
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(hid.readData(reply, 1000), 70);
    // The status report ends the reply: one more look at what is queued, no second wait.
    EXPECT_LT(msSince(t0), 500);
    ASSERT_EQ(reply.size(), 70u);
    EXPECT_EQ(reply[0], 3);
    EXPECT_EQ(reply[5], 4);

    unsigned int word = 0;
    EXPECT_TRUE(hid.getDataFromBuffer(reply, 0, word));
    EXPECT_EQ(word, SdpRom::STATUS_OK);
    word = 0;
    EXPECT_FALSE(hid.getDataFromBuffer(reply, 16, word));
    std::vector<unsigned char> shortReply(reply.begin(), reply.end() - 1);
    EXPECT_FALSE(hid.getDataFromBuffer(shortReply, 0, word));
    // 88 88 88 88 counts only in a reply of exactly 70 bytes.
    std::vector<unsigned char> serialLike = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
    EXPECT_FALSE(hid.getDataFromBuffer(serialLike, 0, word));
}

// A device that keeps talking cannot hold a read: it ends after a bounded number of reports,
// and what it took is what came, one report per read.
TEST_F(SdpHid, ATalkativeDeviceCannotHoldARead)
{
    HID_SDPLoader hid(VID, PID);
    ASSERT_TRUE(hid.init());
    for (int i = 0; i < 40; ++i)
        device().queueInput({3, 0x56, 0x78, 0x78, 0x56});
    std::vector<unsigned char> reply;
    EXPECT_EQ(hid.readData(reply, 1000), 16 * 5);
    EXPECT_EQ(device().queuedForHost(), 40u - 16u);
}

// A device that leaves the bus: writes fail, and a read waiting on it ends at once with nothing
// rather than at its time-out. Its own ids, as it stays gone for the rest of the program.
TEST_F(SdpHid, ADeviceThatLeavesTheBus)
{
    ImxHidEmulator* gone = ImxHidEmulator::instance(VID, 0x0132);
    ASSERT_NE(gone, nullptr) << ImxHidEmulator::error();
    HID_SDPLoader hid(VID, 0x0132);
    ASSERT_TRUE(hid.init());
    // Were the terminal behind the node this process's controlling one, the hang-up would
    // send it SIGHUP.
    void (*was)(int) = signal(SIGHUP, SIG_IGN);
    ASSERT_TRUE(gone->device().unplug());
    EXPECT_FALSE(gone->device().unplug());
    std::vector<unsigned char> status = {1, 5, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(hid.writeData(status), -1);
    std::vector<unsigned char> reply;
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(hid.readData(reply, 3000), 0);
    EXPECT_LT(msSince(t0), 1500);
    signal(SIGHUP, was);
    EXPECT_EQ(gone->device().activity().writes.size(), 0u) << "a write to a device that is gone is refused";
    // The ROM device itself is still there and untouched.
    EXPECT_TRUE(device().plugged());
    EXPECT_EQ(device().activity().opens, 0);
}

// The emulated ROM refuses reports that a real one could not take, so a host that frames its
// reports wrongly cannot pass against it.
TEST(SdpRomHid, ReportsOfAnotherSizeAreRefused)
{
    struct Row {
        const char* name;
        std::vector<unsigned char> report;
        bool taken;
    };
    std::vector<unsigned char> command = {1, 4, 4, 0x20, 0, 0, 0, 0x20, 0, 0, 0, 8, 0, 0, 0, 0, 0};
    std::vector<unsigned char> longCommand = command;
    longCommand.push_back(0);
    std::vector<unsigned char> shortCommand(command.begin(), command.end() - 1);
    std::vector<unsigned char> data(9, 0xA5);
    data[0] = 2;
    std::vector<unsigned char> overlong(1026, 0xA5);
    overlong[0] = 2;
    const Row rows[] = {
        {"command of 18 bytes", longCommand, false},
        {"command of 16 bytes", shortCommand, false},
        {"data report of 1026 bytes", overlong, false},
        {"unknown report id", {7, 4, 4}, false},
        {"data report of 9 bytes", data, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SdpRom rom;
        std::vector<std::vector<uint8_t>> replies;
        rom.hidReport(command.data(), command.size(), replies);   // WRITE_FILE of 8 bytes
        ASSERT_EQ(rom.writes.size(), 1u);
        if (r.report[0] == 1) {
            rom.hidReport(data.data(), data.size(), replies);      // completes the file first
            ASSERT_TRUE(rom.writes[0].complete);
        }
        unsigned before = rom.droppedBytes;
        size_t commands = rom.writes.size();
        rom.hidReport(r.report.data(), r.report.size(), replies);
        EXPECT_EQ(rom.droppedBytes == before, r.taken);
        if (r.report[0] == 1)
            EXPECT_EQ(rom.writes.size(), commands);   // no second WRITE_FILE
        else if (r.taken)
            EXPECT_TRUE(rom.writes[0].complete);
        else
            EXPECT_TRUE(rom.writes[0].data.empty());
    }
}

}  // namespace
