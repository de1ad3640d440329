// Store slots over a Link: size and capacity queries, loading a slot in summed chunks,
// unloading it into a buffer, and what each device fault turns into; the handle is closed
// whatever happens once it was opened.
#include <gtest/gtest.h>

#include <chrono>

#include "StoreBench.h"

using namespace Velmoran::Quillcore;
using module_emu::StoreFault;
using qctest::Bytes;
using qctest::codeFault;
using qctest::shortReplyFault;
using qctest::silentFault;
using qctest::wrongSumFault;
using qctest::pattern;
using qctest::StoreBench;

// A fault on one sub-operation, what the call gives and the sub-operations it sent.
struct FaultRow {
    const char* what;
    uint8_t op;
    StoreFault fault;
    aErr err;
    std::vector<uint8_t> ops;
};

// One connected bench for the tests that need no table of benches.
struct StoreSlotBench : testing::Test {
    void SetUp() override { ASSERT_TRUE(b.connected); }
    StoreBench b;
};

TEST_F(StoreSlotBench, LoadSendsChunksOf25AndClosesTheHandle)
{
    b.store->addSlot(1, 2, 100);
    Bytes data = pattern(60);
    ASSERT_EQ(b.link.loadStoreSlot(2, 1, 2, data.data(), data.size()), aErrNone);
    EXPECT_EQ(b.store->contents(1, 2), data);
    EXPECT_EQ(b.store->openHandles(), 0u);

    std::vector<Bytes> sent = b.sent(4);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], (Bytes{4, 4, 1, 2}));
    uint8_t handle = 0; // the emulator's first handle
    size_t at = 0;
    for (size_t k : {25u, 25u, 10u}) {
        Bytes want = {4, 7, handle};
        want.insert(want.end(), data.begin() + at, data.begin() + at + k);
        EXPECT_EQ(sent[1 + at / 25], want) << "chunk at " << at;
        at += k;
    }
    EXPECT_EQ(sent[4], (Bytes{4, 8, handle}));
}

TEST(StoreSlot, UnloadReadsUpToTheBufferAndReportsOverrun)
{
    struct Row {
        size_t stored, capacity;
        aErr err;
        size_t count, reads;
    } rows[] = {
        {40, 64, aErrNone, 40, 2},
        {40, 30, aErrOverrun, 30, 2},
        {50, 50, aErrNone, 50, 2},
        {51, 50, aErrOverrun, 50, 2},
        {0, 8, aErrNone, 0, 0},
        {300, 512, aErrNone, 300, 12},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.stored << " bytes into " << r.capacity);
        StoreBench b;
        ASSERT_TRUE(b.connected);
        Bytes data = pattern(r.stored, 9);
        b.store->addSlot(0, 3, 1024, data);
        Bytes buffer(r.capacity + 4, 0xEE);
        size_t count = 12345;
        ASSERT_EQ(b.link.unloadStoreSlot(2, 0, 3, buffer.data(), r.capacity, &count), r.err);
        EXPECT_EQ(count, r.count);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + r.count, buffer.begin()));
        for (size_t i = r.count; i < buffer.size(); i++)
            ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " written past the count";
        std::vector<uint8_t> want = {2, 3};
        want.insert(want.end(), r.reads, 6);
        want.push_back(8);
        EXPECT_EQ(b.ops(4), want);
        EXPECT_EQ(b.sent(4).front(), (Bytes{4, 2, 0, 3}));
        EXPECT_EQ(b.store->openHandles(), 0u);
    }
}

TEST_F(StoreSlotBench, SizeAndCapacityAreBigEndianAndFailuresLeaveTheValue)
{
    b.store->addSlot(2, 7, 0x1234, pattern(300));
    size_t size = 0, capacity = 0;
    ASSERT_EQ(b.link.storeSlotSize(2, 2, 7, &size), aErrNone);
    ASSERT_EQ(b.link.storeSlotCapacity(2, 2, 7, &capacity), aErrNone);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(capacity, 0x1234u);
    EXPECT_EQ(b.sent(4), (std::vector<Bytes>{{4, 2, 2, 7}, {4, 1, 2, 7}}));

    size = 777;
    EXPECT_EQ(b.link.storeSlotSize(2, 2, 8, &size), aErrNotFound) << "the module's code";
    EXPECT_EQ(size, 777u);
    b.store->setSlotFault(1, shortReplyFault());
    EXPECT_EQ(b.link.storeSlotCapacity(2, 2, 7, &size), aErrUnknown);
    EXPECT_EQ(size, 777u);
    b.store->setSlotFault(2, silentFault());
    EXPECT_EQ(b.link.storeSlotSize(2, 2, 7, &size), aErrTimeout);
    EXPECT_EQ(size, 777u);
}

TEST(StoreSlot, LoadFaults)
{
    const FaultRow rows[] = {
        {"open refused", 4, codeFault(module_emu::kEmuErrStoreBusy), aErrMedia, {4}},
        {"wrong sum stops at once", 7, wrongSumFault(), aErrIO, {4, 7, 8}},
        {"wrong sum on the second chunk", 7, wrongSumFault(1), aErrIO, {4, 7, 7, 8}},
        {"chunk refused", 7, codeFault(module_emu::kEmuErrStoreOverrun, 2), aErrOverrun,
         {4, 7, 7, 7, 8}},
        {"chunk unanswered", 7, silentFault(), aErrTimeout, {4, 7, 8}},
        {"close refused", 8, codeFault(aErrPermission), aErrPermission, {4, 7, 7, 7, 8}},
        // A close without an answer is not waited on further: the chunks were acknowledged.
        {"close unanswered", 8, silentFault(), aErrNone, {4, 7, 7, 7, 8}},
    };
    for (const FaultRow& r : rows) {
        SCOPED_TRACE(r.what);
        StoreBench b;
        ASSERT_TRUE(b.connected);
        b.store->addSlot(1, 1, 200);
        b.store->setSlotFault(r.op, r.fault);
        Bytes data = pattern(60);
        EXPECT_EQ(b.link.loadStoreSlot(2, 1, 1, data.data(), data.size()), r.err);
        EXPECT_EQ(b.ops(4), r.ops);
    }
}

TEST_F(StoreSlotBench, LoadPastTheCapacityGetsTheModulesCodeAndCloses)
{
    b.store->addSlot(1, 1, 30);
    Bytes data = pattern(60);
    EXPECT_EQ(b.link.loadStoreSlot(2, 1, 1, data.data(), data.size()), aErrOverrun);
    EXPECT_EQ(b.ops(4), (std::vector<uint8_t>{4, 7, 7, 8}));
    EXPECT_EQ(b.store->contents(1, 1), Bytes(data.begin(), data.begin() + 25));
    EXPECT_EQ(b.store->openHandles(), 0u);
    // An empty load opens and closes: the slot is emptied.
    EXPECT_EQ(b.link.loadStoreSlot(2, 1, 1, nullptr, 0), aErrNone);
    EXPECT_TRUE(b.store->contents(1, 1).empty());
}

TEST(StoreSlot, UnloadFaults)
{
    const FaultRow rows[] = {
        {"size refused", 2, codeFault(aErrPermission), aErrPermission, {2}},
        {"open refused", 3, codeFault(module_emu::kEmuErrStoreBusy), aErrMedia, {2, 3}},
        // The close succeeds, but the read's failure is what counts.
        {"read unanswered", 6, silentFault(), aErrTimeout, {2, 3, 6, 8}},
        {"read refused", 6, codeFault(aErrRead, 1), aErrRead, {2, 3, 6, 6, 8}},
        {"close refused", 8, codeFault(aErrBusy), aErrBusy, {2, 3, 6, 6, 8}},
    };
    for (const FaultRow& r : rows) {
        SCOPED_TRACE(r.what);
        StoreBench b;
        ASSERT_TRUE(b.connected);
        b.store->addSlot(1, 1, 200, pattern(40));
        b.store->setSlotFault(r.op, r.fault);
        u8 buffer[64];
        size_t count = 99;
        EXPECT_EQ(b.link.unloadStoreSlot(2, 1, 1, buffer, sizeof buffer, &count), r.err);
        EXPECT_EQ(count, 99u) << "the count is set only on success";
        EXPECT_EQ(b.ops(4), r.ops);
        if (r.op != 8) {
            EXPECT_EQ(b.store->openHandles(), 0u);
        }
    }
}

TEST_F(StoreSlotBench, UnansweredOpenSendsNothingElse)
{
    b.store->addSlot(1, 1, 200);
    b.store->setSlotFault(4, silentFault());
    Bytes data = pattern(10);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b.link.loadStoreSlot(2, 1, 1, data.data(), data.size()), aErrMedia);
    long waited = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 2900) << "an open waits 3 s for its reply, not the usual 1 s";
    EXPECT_EQ(b.ops(4), (std::vector<uint8_t>{4}));
}

TEST(StoreSlot, RefusedWithoutConnectionOrArguments)
{
    Link unconnected("none");
    size_t n = 0;
    u8 buffer[4];
    EXPECT_EQ(unconnected.storeSlotSize(2, 0, 0, &n), aErrConnection);
    EXPECT_EQ(unconnected.storeSlotCapacity(2, 0, 0, &n), aErrConnection);
    EXPECT_EQ(unconnected.loadStoreSlot(2, 0, 0, buffer, 4), aErrConnection);
    EXPECT_EQ(unconnected.unloadStoreSlot(2, 0, 0, buffer, 4, &n), aErrConnection);

    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->addSlot(0, 0, 10, {1, 2});
    EXPECT_EQ(b.link.storeSlotSize(2, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(b.link.storeSlotCapacity(2, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(b.link.loadStoreSlot(2, 0, 0, nullptr, 4), aErrParam);
    EXPECT_EQ(b.link.unloadStoreSlot(2, 0, 0, buffer, 4, nullptr), aErrParam);
    EXPECT_EQ(b.link.unloadStoreSlot(2, 0, 0, nullptr, 4, &n), aErrParam);
    EXPECT_TRUE(b.sent(4).empty());
    EXPECT_EQ(b.store->contents(0, 0), (Bytes{1, 2}));
}
