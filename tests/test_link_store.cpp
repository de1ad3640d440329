// Store slots, factory data and packet-log control of a Link, against an emulated module on a
// serial link whose store and factory data the emulator keeps.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <unistd.h>

#include "EmulatedModules.h"
#include "Link.h"
#include "module_emu/StoreFactory.h"

using Velmoran::Quillcore::Link;
using qctest::Bytes;

namespace {

Bytes sBytes(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(seed + 7 * i);
    return b;
}

struct StoreFixture : testing::Test {
    // The emulator's handlers use the store: it outlives the modules.
    module_emu::StoreFactory store{2};
    qctest::SerialModules bench;
    Link link{"store"};

    void SetUp() override
    {
        ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
        store.attach(bench.module(2));
        ASSERT_EQ(link.setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(link.setLinkSpecifier(bench.spec()), aErrNone);
        ASSERT_EQ(link.connect(), aErrNone);
    }
};

long sMsSince(std::chrono::steady_clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - t).count();
}

} // namespace

TEST(LinkStore, EveryOperationNeedsAConnectedLink)
{
    Link link("none");
    u8 buffer[8];
    size_t n = 0;
    EXPECT_EQ(link.loadStoreSlot(2, 0, 0, buffer, 1), aErrConnection);
    EXPECT_EQ(link.unloadStoreSlot(2, 0, 0, buffer, 8, &n), aErrConnection);
    EXPECT_EQ(link.storeSlotSize(2, 0, 0, &n), aErrConnection);
    EXPECT_EQ(link.storeSlotCapacity(2, 0, 0, &n), aErrConnection);
    EXPECT_EQ(link.getFactoryData(2, 0, buffer, 8, &n), aErrConnection);
    EXPECT_EQ(link.setFactoryData(2, 0, buffer, 1), aErrConnection);
    EXPECT_EQ(link.enablePacketLog("/tmp/qc_unused.log"), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
}

TEST_F(StoreFixture, LoadSendsChunksOf25AndCloses)
{
    store.setSlot(1, 3, {});
    const Bytes data = sBytes(60, 1);
    EXPECT_EQ(link.loadStoreSlot(2, 1, 3, data.data(), data.size()), aErrNone);
    EXPECT_EQ(store.writeChunks(), std::vector<size_t>({25, 25, 10}));
    EXPECT_EQ(store.slot(1, 3), data);
    EXPECT_EQ(store.closes(), 1);
}

TEST_F(StoreFixture, LoadStopsAtAWrongSumAndStillCloses)
{
    store.setSlot(1, 3, {});
    store.wrongSum = true;
    const Bytes data = sBytes(60, 1);
    EXPECT_EQ(link.loadStoreSlot(2, 1, 3, data.data(), data.size()), aErrIO);
    EXPECT_EQ(store.writeChunks().size(), 1u) << "nothing is sent after a wrong sum";
    EXPECT_EQ(store.closes(), 1);
}

TEST_F(StoreFixture, LoadErrorsPassTheModulesCode)
{
    // A slot the module does not have: its open is refused.
    const Bytes data = sBytes(10, 1);
    EXPECT_EQ(link.loadStoreSlot(2, 9, 9, data.data(), data.size()), aErrMedia);
    // A slot too small: the chunk's error code comes back.
    store.setSlot(1, 4, {}, 20);
    EXPECT_EQ(link.loadStoreSlot(2, 1, 4, sBytes(30, 1).data(), 30), aErrRange);
    EXPECT_EQ(store.closes(), 1);
}

TEST_F(StoreFixture, SilentOpenIsMediaErrorAfterItsWait)
{
    store.setSlot(1, 3, {});
    store.silentOpen = true;
    const Bytes data = sBytes(10, 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.loadStoreSlot(2, 1, 3, data.data(), data.size()), aErrMedia);
    EXPECT_GE(sMsSince(start), 2900);
    EXPECT_TRUE(store.writeChunks().empty());
    EXPECT_EQ(store.closes(), 0);
}

TEST_F(StoreFixture, UnloadReadsWhatFitsAndReportsTheRest)
{
    const Bytes contents = sBytes(40, 3);
    store.setSlot(2, 1, contents);
    struct Row {
        size_t capacity;
        aErr result;
        size_t count;
    } rows[] = {{64, aErrNone, 40}, {40, aErrNone, 40}, {30, aErrOverrun, 30}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.capacity);
        Bytes buffer(row.capacity, 0xEE);
        size_t count = 0;
        EXPECT_EQ(link.unloadStoreSlot(2, 2, 1, buffer.data(), buffer.size(), &count), row.result);
        EXPECT_EQ(count, row.count);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + row.count, contents.begin()));
    }
    EXPECT_EQ(store.closes(), 3);
}

TEST_F(StoreFixture, UnloadWhoseReadTimesOutStillCloses)
{
    store.setSlot(2, 1, sBytes(40, 3));
    store.silentRead = true;
    Bytes buffer(64);
    size_t count = 99;
    EXPECT_EQ(link.unloadStoreSlot(2, 2, 1, buffer.data(), buffer.size(), &count), aErrTimeout);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(store.closes(), 1);
}

TEST_F(StoreFixture, SizeAndCapacity)
{
    store.setSlot(0, 5, sBytes(300, 0), 1024);
    size_t size = 0;
    EXPECT_EQ(link.storeSlotSize(2, 0, 5, &size), aErrNone);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(link.storeSlotCapacity(2, 0, 5, &size), aErrNone);
    EXPECT_EQ(size, 1024u);
    size = 77;
    EXPECT_EQ(link.storeSlotSize(2, 0, 6, &size), aErrNotFound) << "the module's code";
    EXPECT_EQ(size, 77u);
    // A module that is not there: no reply, size untouched.
    EXPECT_EQ(link.storeSlotSize(4, 0, 5, &size), aErrTimeout);
    EXPECT_EQ(size, 77u);
}

TEST_F(StoreFixture, FactoryReadCollectsChunksAndCloses)
{
    const Bytes data = sBytes(60, 9);
    store.setFactory(5, data);
    Bytes buffer(61);
    size_t count = 0;
    ASSERT_EQ(link.getFactoryData(2, 5, buffer.data(), buffer.size(), &count), aErrNone);
    EXPECT_EQ(count, 60u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer.begin()));
    std::vector<Bytes> expected = {{0x5E, 0x45}, {0x5E, 0x05}, {0x5E, 0x05}, {0x5E, 0x20, 0x00, 0x3C}};
    EXPECT_EQ(store.factoryRequests(), expected);

    // The buffer must hold one byte more than the data.
    EXPECT_EQ(link.getFactoryData(2, 5, buffer.data(), 60, &count), aErrOverrun);
}

TEST_F(StoreFixture, FactoryWriteSendsChunksOf26ThenTheTotal)
{
    const Bytes data = sBytes(30, 4);
    ASSERT_EQ(link.setFactoryData(2, 3, data.data(), data.size()), aErrNone);
    auto requests = store.factoryRequests();
    ASSERT_EQ(requests.size(), 3u);
    Bytes first = {0x5E, 0x53};
    first.insert(first.end(), data.begin(), data.begin() + 26);
    Bytes second = {0x5E, 0x13};
    second.insert(second.end(), data.begin() + 26, data.end());
    EXPECT_EQ(requests[0], first);
    EXPECT_EQ(requests[1], second);
    EXPECT_EQ(requests[2], Bytes({0x5E, 0x20, 0x00, 30}));
    EXPECT_EQ(store.factoryData(3), data);

    // An error reply [0x5E][0x83][0x0D] is the module's code, not a size error.
    store.factoryWriteError = 13;
    EXPECT_EQ(link.setFactoryData(2, 3, data.data(), data.size()), 13);
}

TEST_F(StoreFixture, FactoryIndexAboveFifteenSendsNothing)
{
    Bytes buffer(64);
    size_t count = 0;
    for (u8 index : {16, 0x20, 0x50, 0xFF}) {
        EXPECT_EQ(link.getFactoryData(2, index, buffer.data(), buffer.size(), &count), aErrParam);
        EXPECT_EQ(link.setFactoryData(2, index, buffer.data(), 4), aErrParam);
    }
    EXPECT_TRUE(store.factoryRequests().empty());
}

std::string sRead(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool sWaitFor(const std::string& path, const std::string& text, int ms)
{
    for (int i = 0; i < ms / 10; i++) {
        if (sRead(path).find(text) != std::string::npos)
            return true;
        usleep(10000);
    }
    return sRead(path).find(text) != std::string::npos;
}

int sCount(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        n++;
    return n;
}

TEST_F(StoreFixture, PacketLogWritesLinesUntilDisabled)
{
    char dir[] = "/tmp/qc_packetlog_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/link.log";
    EXPECT_EQ(link.enablePacketLog((std::string(dir) + "/missing/link.log").c_str()), aErrIO)
        << "a log that cannot be written is no success";

    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    store.setSlot(0, 5, sBytes(3, 0));
    size_t size = 0;
    ASSERT_EQ(link.storeSlotSize(2, 0, 5, &size), aErrNone);
    const std::string start("6 < START\0\r\n", 12);
    const std::string sent = "6 > 0x2 0x4 0x4 0x2 0x0 0x5 \r\n";
    const std::string received = "8 < 0x2 0x6 0x4 0x2 0x0 0x5 0x0 0x3 \r\n";
    EXPECT_TRUE(sWaitFor(path, received, 2000)) << sRead(path);
    std::string text = sRead(path);
    ASSERT_NE(text.find(start), std::string::npos);
    EXPECT_LT(text.find(start), text.find(sent)) << "the start line precedes what followed it";

    ASSERT_EQ(link.disablePacketLog(), aErrNone);
    ASSERT_EQ(link.storeSlotSize(2, 0, 5, &size), aErrNone);
    usleep(100000);
    EXPECT_EQ(sCount(sRead(path), sent), 1) << "nothing is written once disabled";

    // A new connect gets a new engine link; the log follows it.
    link.disconnect();
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(link.storeSlotSize(2, 0, 5, &size), aErrNone);
    for (int i = 0; i < 200 && sCount(sRead(path), sent) < 2; i++)
        usleep(10000);
    text = sRead(path);
    EXPECT_EQ(sCount(text, start), 2);
    EXPECT_EQ(sCount(text, sent), 2);
    link.disconnect();
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
    unlink(path.c_str());
    rmdir(dir);
}
