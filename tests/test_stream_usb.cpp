// USB driver and stream over libusb, against emulated devices under umockdev.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "StreamRead.h"
#include "Quillcore-C.h"
#include "UsbNodeDirectory.h"
#include "aStream.h"
#include "module_emu/PtyTransport.h"
#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"
#include "unix_streamusb.h"
#include "SkipOrFail.h"

using module_emu::PtyTransport;
using module_emu::UsbDevice;
using module_emu::UsbDeviceConfig;
using module_emu::UsbFault;
using module_emu::UsbTestbed;
using Clock = std::chrono::steady_clock;

namespace {

enum : u32 {
    kPlain = 0x0000A001,
    kInterrupt = 0x0000A002,
    kLowerCase = 0x0000A003,
    kUnreadable = 0x0000A004,
    kWrongClass = 0x0000A005,
    kHighProduct = 0x0000A006,
    kOtherVendor = 0x0000A007,
    kSecondInterface = 0x0000A008,
    kNoIn = 0x0000A009,
    kBigPackets = 0x0000A00A,
    kOddPackets = 0x0000A00B,
    kRoaming = 0x0000A00C,
    kRoamingBack = 0x0000A00D,
    kTwin = 0x0000A00E,
};

struct Devices {
    UsbDevice* plain = nullptr;
    UsbDevice* interrupt = nullptr;
    UsbDevice* second = nullptr;
    UsbDevice* big = nullptr;
    UsbDevice* odd = nullptr;
    UsbDevice* roaming = nullptr;
    UsbDevice* twins[2] = {nullptr, nullptr};  // one serial number, two ports
};

char* sHex(u32 serial)
{
    static thread_local char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// Every device of this program, added before libusb first looks (it learns the list once).
Devices& devices()
{
    static Devices d = [] {
        Devices r;
        UsbTestbed& tb = UsbTestbed::instance();
        if (!tb.ok())
            return r;
        auto add = [&](u32 serial, auto tweak) {
            UsbDeviceConfig c;
            c.vendorId = QCUSB_VENDOR_ID;
            c.productId = 0x0105;
            c.serial = sHex(serial);
            tweak(c);
            return tb.addDevice(c);
        };
        r.plain = add(kPlain, [](UsbDeviceConfig&) {});
        r.interrupt = add(kInterrupt, [](UsbDeviceConfig& c) { c.interruptEndpoints = true; c.maxPacket = 32; });
        add(kLowerCase, [](UsbDeviceConfig& c) { c.serial = "0000a003"; });
        add(kUnreadable, [](UsbDeviceConfig& c) { c.serialReadable = false; });
        add(kWrongClass, [](UsbDeviceConfig& c) { c.interfaceClass = 0xFE; });
        add(kHighProduct, [](UsbDeviceConfig& c) { c.productId = 0x8005; });
        add(kOtherVendor, [](UsbDeviceConfig& c) { c.vendorId = QCUSB_VENDOR_ID ^ 0x1111; });
        r.second = add(kSecondInterface, [](UsbDeviceConfig& c) { c.extraInterfaceFirst = true; });
        add(kNoIn, [](UsbDeviceConfig& c) { c.withInEndpoint = false; });
        r.big = add(kBigPackets, [](UsbDeviceConfig& c) { c.maxPacket = 512; });
        // A descriptor whose packet size field is all ones: no valid endpoint has it.
        r.odd = add(kOddPackets, [](UsbDeviceConfig& c) { c.maxPacket = 0x7FF; });
        r.roaming = add(kRoaming, [](UsbDeviceConfig&) {});
        r.twins[0] = add(kTwin, [](UsbDeviceConfig&) {});
        r.twins[1] = add(kTwin, [](UsbDeviceConfig&) {});
        return r;
    }();
    return d;
}

struct UsbFixture : testing::Test {
    aStream* stream = nullptr;
    void SetUp() override
    {
        if (!UsbTestbed::instance().ok())
            QC_SKIP_OR_FAIL(UsbTestbed::instance().error());
        ASSERT_NE(devices().plain, nullptr) << UsbTestbed::instance().error();
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    qcusbDevice* driver() { return ((aUSBStream*)stream->ref)->device; }
    void open(u32 serial) { ASSERT_EQ(aStream_CreateUSB(serial, &stream), aErrNone); }
    std::vector<u8> readBytes(size_t n) { return qctest::readBytesWithin(stream, n, 2000); }
};

// The port path libusb gives a device of the testbed: bus 1, its port on the root hub.
aUSBPortPath sPathOf(uint8_t port)
{
    aUSBPortPath path{};
    path.bus = 1;
    path.count = 1;
    path.ports[0] = port;
    return path;
}

std::vector<u8> pattern(size_t n, u8 seed)
{
    std::vector<u8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (u8)(seed + i * 13);
    return v;
}

}  // namespace

TEST_F(UsbFixture, OpenFindsTheDeviceBySerialAndInterface)
{
    struct Row { const char* name; u32 serial; aErr err; };
    const Row rows[] = {
        {"plain bulk device", kPlain, aErrNone},
        {"interrupt endpoints", kInterrupt, aErrNone},
        {"serial string in lower case", kLowerCase, aErrNone},
        {"unreadable serial string", kUnreadable, aErrNotFound},
        {"no vendor interface", kWrongClass, aErrConfiguration},
        {"product id 0x8000 and above", kHighProduct, aErrNotFound},
        {"another vendor", kOtherVendor, aErrNotFound},
        {"vendor interface after another", kSecondInterface, aErrNone},
        {"no IN endpoint", kNoIn, aErrConfiguration},
        {"no device has it", 0x12345678, aErrNotFound},
        {"serial 0", 0, aErrParam},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        aStream* s = (aStream*)0x1;
        EXPECT_EQ(aStream_CreateUSB(r.serial, &s), r.err);
        EXPECT_EQ(s != nullptr, r.err == aErrNone);
        if (s) {
            qcusbDevice* d = ((aUSBStream*)s->ref)->device;
            EXPECT_EQ(d->state.load(), kUSBStateReady);
            EXPECT_STREQ(d->serial, sHex(r.serial));
            EXPECT_EQ(d->interface, r.serial == kSecondInterface ? 1 : 0);
            EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        }
    }
    EXPECT_EQ(aStream_CreateUSB(kPlain, nullptr), aErrParam);
}

TEST_F(UsbFixture, ClaimFailures)
{
    struct Row { UsbFault fault; aErr err; };
    const Row rows[] = {
        {UsbFault::ClaimBusy, aErrBusy},
        {UsbFault::ClaimNoDevice, aErrBusy},
        {UsbFault::ClaimInvalid, aErrUnknown},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(aError_GetErrorText(r.err));
        devices().plain->setFault(r.fault);
        aStream* s = nullptr;
        EXPECT_EQ(aStream_CreateUSB(kPlain, &s), r.err);
        EXPECT_EQ(s, nullptr);
    }
    devices().plain->setFault(UsbFault::None);
    int claims = devices().plain->activity().claims;
    open(kPlain);
    EXPECT_EQ(devices().plain->activity().claims, claims + 1);
    int releases = devices().plain->activity().releases;
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(devices().plain->activity().releases, releases + 1);
}

TEST_F(UsbFixture, WritesGoInChunksOfFifty)
{
    open(kPlain);
    UsbDevice* dev = devices().plain;
    struct Row { size_t length; std::vector<size_t> transfers; };
    const Row rows[] = {
        {120, {50, 50, 20}},
        {30, {30}},
        {50, {50}},
        {1, {1}},
    };
    std::vector<u8> all;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length);
        size_t before = dev->activity().outTransfers.size();
        std::vector<u8> data = pattern(r.length, (u8)r.length);
        ASSERT_EQ(aStream_Write(stream, data.data(), data.size()), aErrNone);
        std::vector<size_t> t = dev->activity().outTransfers;
        EXPECT_EQ(std::vector<size_t>(t.begin() + before, t.end()), r.transfers);
        all.insert(all.end(), data.begin(), data.end());
    }
    EXPECT_EQ(dev->received(), all);
}

TEST_F(UsbFixture, ReadsServeABlockByteByByte)
{
    for (u32 serial : {kPlain, kInterrupt}) {
        SCOPED_TRACE(sHex(serial));
        UsbDevice* dev = serial == kPlain ? devices().plain : devices().interrupt;
        open(serial);
        std::vector<u8> packet = {0x04, 0x03, 0x11, 0x22, 0x33};
        ASSERT_TRUE(dev->send(packet));
        size_t before = dev->activity().inRequests.size();
        EXPECT_EQ(readBytes(packet.size()), packet);
        EXPECT_EQ(dev->activity().inRequests.size(), before + 1);   // one transfer for the whole packet
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

TEST_F(UsbFixture, InTransfersAreWholePacketsSoABurstCannotOverflow)
{
    struct Row { u32 serial; UsbDevice* dev; size_t request; };
    const Row rows[] = {
        {kPlain, devices().plain, 768},         // 12 packets of 64 fit the 800-byte buffer
        {kInterrupt, devices().interrupt, 800}, // 25 packets of 32
        {kBigPackets, devices().big, 512},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(sHex(r.serial));
        open(r.serial);
        std::vector<u8> burst = pattern(2000, 7);
        ASSERT_TRUE(r.dev->send(burst));
        EXPECT_EQ(readBytes(burst.size()), burst);
        EXPECT_EQ(r.dev->activity().overflows, 0);
        std::vector<size_t> req = r.dev->activity().inRequests;
        ASSERT_FALSE(req.empty());
        EXPECT_EQ(req.back(), r.request);
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

// Whatever packet size an endpoint descriptor claims, no IN transfer asks for more than the
// driver's read buffer holds.
TEST_F(UsbFixture, InTransfersNeverExceedTheReadBuffer)
{
    open(kOddPackets);
    std::vector<u8> packet = pattern(100, 3);
    ASSERT_TRUE(devices().odd->send(packet));
    EXPECT_EQ(readBytes(packet.size()), packet);
    std::vector<size_t> req = devices().odd->activity().inRequests;
    ASSERT_FALSE(req.empty());
    for (size_t length : req)
        EXPECT_LE(length, sizeof(driver()->readBuffer));
}

TEST_F(UsbFixture, IdleReadWaitsAboutASecondAndNeverFails)
{
    open(kPlain);
    for (int i = 0; i < 2; i++) {
        auto start = Clock::now();
        char c;
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_GE(ms, 900);
        EXPECT_LT(ms, 2500);
    }
    EXPECT_EQ(driver()->state.load(), kUSBStateReady);
    EXPECT_EQ(driver()->errorCount.load(), 0);
}

TEST_F(UsbFixture, HaltsAreClearedAndTheTransferRetried)
{
    open(kPlain);
    UsbDevice* dev = devices().plain;
    dev->clearReceived();
    dev->setFault(UsbFault::StallNextOut);
    std::vector<u8> packet = pattern(30, 1);
    EXPECT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(dev->received(), packet);   // delivered once, by the retry
    ASSERT_FALSE(dev->activity().clearedHalts.empty());
    EXPECT_EQ(dev->activity().clearedHalts.back(), 0x02);

    dev->setFault(UsbFault::StallNextIn);
    std::vector<u8> reply = {0x04, 0x00};
    ASSERT_TRUE(dev->send(reply));
    char c;
    EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady);
    EXPECT_EQ(dev->activity().clearedHalts.back(), 0x81);
    EXPECT_EQ(readBytes(2), reply);
}

TEST_F(UsbFixture, RetriedChunkResumesWhereTheDeviceStopped)
{
    open(kPlain);
    UsbDevice* dev = devices().plain;
    dev->clearReceived();
    dev->acceptOnlyNext(20);   // takes 20 bytes of the first chunk, then the transfer times out
    size_t before = dev->activity().outTransfers.size();
    std::vector<u8> data = pattern(70, 3);
    EXPECT_EQ(aStream_Write(stream, data.data(), data.size()), aErrNone);
    EXPECT_EQ(dev->received(), data);   // nothing sent twice, nothing missing
    std::vector<size_t> t = dev->activity().outTransfers;
    EXPECT_EQ(std::vector<size_t>(t.begin() + before, t.end()), (std::vector<size_t>{50, 30, 20}));
}

// A chunk of several packets that stalls part-way: the packets before the stall were taken,
// and only the rest goes again once the halt is cleared.
TEST_F(UsbFixture, StalledChunkResumesAfterThePacketsTaken)
{
    open(kInterrupt);   // 32-byte packets: a 50-byte chunk is two of them
    UsbDevice* dev = devices().interrupt;
    dev->clearReceived();
    dev->stallAfterNext(32);
    size_t before = dev->activity().outTransfers.size();
    std::vector<u8> data = pattern(50, 9);
    EXPECT_EQ(aStream_Write(stream, data.data(), data.size()), aErrNone);
    EXPECT_EQ(dev->received(), data);
    std::vector<size_t> t = dev->activity().outTransfers;
    EXPECT_EQ(std::vector<size_t>(t.begin() + before, t.end()), (std::vector<size_t>{50, 18}));
    ASSERT_FALSE(dev->activity().clearedHalts.empty());
    EXPECT_EQ(dev->activity().clearedHalts.back(), dev->config().outEndpoint);
}

TEST_F(UsbFixture, ShortRunsOfErrorsAreToleratedThenTheDeviceFails)
{
    struct Row { const char* name; UsbFault fault; };
    const Row rows[] = {{"protocol errors", UsbFault::TransferErrors}, {"unplugged", UsbFault::Unplugged}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        UsbDevice* dev = devices().plain;
        dev->setFault(UsbFault::None);
        open(kPlain);
        dev->setFault(r.fault);
        char c;
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady) << i;
        EXPECT_EQ(driver()->state.load(), kUSBStateReady);
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);
        EXPECT_EQ(driver()->state.load(), kUSBStateFailed);
        EXPECT_EQ(aStream_Write(stream, "ab", 2), aErrIO);
        dev->setFault(UsbFault::None);
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);   // failed for good
        // The count saturates: hundreds more failures never wrap it back into tolerance.
        for (int i = 0; i < 300; i++)
            ASSERT_EQ(aStream_Read(stream, &c, 1), aErrIO);
        EXPECT_EQ(driver()->errorCount.load(), 255);
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

TEST_F(UsbFixture, AnyOtherResultResetsTheErrorCount)
{
    UsbDevice* dev = devices().plain;
    open(kPlain);
    char c;
    dev->setFault(UsbFault::TransferErrors);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady);
    dev->setFault(UsbFault::None);
    ASSERT_TRUE(dev->send(std::vector<u8>{0x04}));
    EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNone);
    EXPECT_EQ(driver()->errorCount.load(), 0);
    dev->setFault(UsbFault::TransferErrors);
    // Reads and writes share the count: four more are tolerated, the fifth fails. A write
    // whose transfers all fail counts, and still says its bytes did not go.
    dev->clearReceived();
    EXPECT_EQ(aStream_Write(stream, "xy", 2), aErrWrite);
    EXPECT_TRUE(dev->received().empty());
    EXPECT_EQ(driver()->errorCount.load(), 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady);
    EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);
    dev->setFault(UsbFault::None);
}

TEST_F(UsbFixture, ReaderAndWriterAtOnce)
{
    // The link engine's two pipe threads: one reads while the other writes.
    UsbDevice* dev = devices().plain;
    open(kPlain);
    dev->clearReceived();
    dev->setHandler([dev](const uint8_t* data, size_t n) { dev->send(data, n); });   // echo
    std::vector<u8> sent;
    std::thread writer([&] {
        for (int i = 0; i < 40; i++) {
            std::vector<u8> p = pattern(30, (u8)i);
            ASSERT_EQ(aStream_Write(stream, p.data(), p.size()), aErrNone);
            sent.insert(sent.end(), p.begin(), p.end());
        }
    });
    std::vector<u8> echoed;
    auto end = Clock::now() + std::chrono::seconds(10);
    while (echoed.size() < 1200 && Clock::now() < end) {
        char c;
        if (aStream_Read(stream, &c, 1) == aErrNone)
            echoed.push_back((u8)c);
    }
    writer.join();
    dev->setHandler(nullptr);
    EXPECT_EQ(echoed, sent);
}

// A device that leaves the bus fails the handle the host holds, as an unplugged one does, and
// is not found while it is away; it comes back under a new device number (here with another
// serial-number string) and is opened anew. Its handles' closes are counted although this
// umockdev never reports that a handle went.
TEST_F(UsbFixture, ADeviceLeavesTheBusAndComesBackUnderANewNumber)
{
    UsbDevice* dev = devices().roaming;
    ASSERT_NE(dev, nullptr);
    open(kRoaming);
    const std::string node = dev->devnode();
    ASSERT_TRUE(dev->unplug());
    EXPECT_FALSE(dev->plugged());
    EXPECT_FALSE(dev->unplug());
    char c;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(aStream_Read(stream, &c, 1), aErrNotReady) << i;
    EXPECT_EQ(aStream_Read(stream, &c, 1), aErrIO);
    EXPECT_EQ(aStream_Write(stream, "ab", 2), aErrIO);
    aStream* other = nullptr;
    EXPECT_EQ(aStream_CreateUSB(kRoaming, &other), aErrNotFound);
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    module_emu::UsbActivity seen = dev->activity();
    for (int i = 0; i < 200 && seen.closes < seen.opens; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        seen = dev->activity();
    }
    EXPECT_GE(seen.opens, 1);
    EXPECT_EQ(seen.closes, seen.opens) << "every handle the host opened is closed again";

    ASSERT_TRUE(dev->replug(sHex(kRoamingBack)));
    EXPECT_TRUE(dev->plugged());
    EXPECT_FALSE(dev->replug());
    EXPECT_NE(dev->devnode(), node);
    // libusb learns of it from the uevent, on a thread of its own.
    aErr err = aErrNotFound;
    for (int i = 0; i < 200 && err == aErrNotFound; i++) {
        err = aStream_CreateUSB(kRoamingBack, &stream);
        if (err == aErrNotFound)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(dev->activity().claims, 2);
    const u8 byte = 0x5A;
    dev->send(&byte, 1);
    EXPECT_EQ(readBytes(1), std::vector<u8>{byte});
    EXPECT_EQ(aStream_CreateUSB(kRoaming, &other), aErrNotFound) << "the old serial is gone";
}

// Two devices answer under one serial number (a blank module beside one in its loader): an
// open at a port path takes the one there and never touches the other, also once the device
// left the bus and came back on its port. Behind a kernel node, which cannot say where its
// device is, only when libusb sees no other device with the serial.
TEST_F(UsbFixture, OpenAtAPortPathTakesOnlyTheDeviceThere)
{
    UsbDevice* const* twins = devices().twins;
    ASSERT_NE(twins[1], nullptr);
    ASSERT_NE(twins[0]->port(), twins[1]->port());
    for (int i : {1, 0}) {
        SCOPED_TRACE(i);
        const int claims[2] = {twins[0]->activity().claims, twins[1]->activity().claims};
        const aUSBPortPath path = sPathOf(twins[i]->port());
        ASSERT_EQ(aStream_CreateUSBAt(kTwin, &path, &stream), aErrNone);
        EXPECT_EQ(twins[i]->activity().claims, claims[i] + 1);
        EXPECT_EQ(twins[1 - i]->activity().claims, claims[1 - i]) << "the other is left alone";
        const u8 byte = (u8)(0x30 + i);
        twins[i]->send(&byte, 1);
        EXPECT_EQ(readBytes(1), std::vector<u8>{byte});
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    }

    struct Row {
        const char* name;
        aUSBPortPath path;
        aErr err;
    };
    aUSBPortPath none{}, otherBus = sPathOf(twins[0]->port()), deeper = otherBus;
    otherBus.bus = 2;
    deeper.count = 2;
    deeper.ports[1] = 1;
    const Row rows[] = {
        {"no device at the port", sPathOf(250), aErrNotFound},
        {"another serial number at the port", sPathOf(devices().plain->port()), aErrNotFound},
        {"the port on another bus", otherBus, aErrNotFound},
        {"a port below it", deeper, aErrNotFound},
        {"no port path", none, aErrParam},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        aStream* s = (aStream*)0x1;
        EXPECT_EQ(aStream_CreateUSBAt(kTwin, &r.path, &s), r.err);
        EXPECT_EQ(s, nullptr);
    }
    aStream* s = (aStream*)0x1;
    EXPECT_EQ(aStream_CreateUSBAt(kTwin, nullptr, &s), aErrParam);
    EXPECT_EQ(s, nullptr);

    // Back on its port under a new device number: the same path finds it.
    const uint8_t port = twins[1]->port();
    ASSERT_TRUE(twins[1]->unplug());
    ASSERT_TRUE(twins[1]->replug());
    EXPECT_EQ(twins[1]->port(), port);
    const aUSBPortPath path = sPathOf(port);
    aErr err = aErrNotFound;
    for (int i = 0; i < 200 && err == aErrNotFound; i++) {
        err = aStream_CreateUSBAt(kTwin, &path, &stream);
        if (err == aErrNotFound)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(err, aErrNone);
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);

    // The driver's nodes in a directory of this case's own, for this block only.
    struct NodeDirectory {
        char dir[32] = "/tmp/qc_twin_node_XXXXXX";
        bool made = mkdtemp(dir) != nullptr;
        NodeDirectory() { qcusb_set_kernel_node_directory(dir); }
        ~NodeDirectory()
        {
            qcusb_set_kernel_node_directory(NULL);
            rmdir(dir);
        }
    };
    {
        NodeDirectory nodes;
        ASSERT_TRUE(nodes.made);
        PtyTransport node(UsbNodePath(kTwin));
        ASSERT_TRUE(node.ok()) << node.error();
        EXPECT_EQ(aStream_CreateUSBAt(kTwin, &path, &s), aErrNotFound) << "two on the bus";
        ASSERT_TRUE(twins[0]->unplug());
        const aUSBPortPath gone = sPathOf(twins[0]->port());
        err = aErrNotFound;
        for (int i = 0; i < 200 && err == aErrNotFound; i++) {
            err = aStream_CreateUSBAt(kTwin, &path, &stream);
            if (err == aErrNotFound)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(err, aErrNone);
        EXPECT_EQ(driver()->mode, QCUSB_MODE_KERNEL);
        ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
        EXPECT_EQ(aStream_CreateUSBAt(kTwin, &gone, &s), aErrNotFound) << "not at that path";
        EXPECT_TRUE(twins[0]->replug());
    }
}
