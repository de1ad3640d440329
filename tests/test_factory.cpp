// Factory data over a Link: reads collected from 26-byte chunks until a short reply, writes
// sent in 26-byte chunks, the closing exchange with the 16-bit total, and the faults.
#include <gtest/gtest.h>

#include "StoreBench.h"

using namespace Velmoran::Quillcore;
using module_emu::FactoryExchange;
using module_emu::StoreFault;
using qctest::Bytes;
using qctest::codeFault;
using qctest::extraByteFault;
using qctest::silentFault;
using qctest::pattern;
using qctest::StoreBench;

namespace {

Bytes finish(size_t total) { return {0x5E, 0x20, (uint8_t)(total >> 8), (uint8_t)total}; }

} // namespace

TEST(FactoryData, ReadCollectsChunksUntilAShortReply)
{
    struct Row {
        size_t size;
        size_t requests;
    } rows[] = {{60, 3}, {52, 3}, {26, 2}, {10, 1}, {0, 1}, {300, 12}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.size << " bytes");
        StoreBench b;
        ASSERT_TRUE(b.connected);
        Bytes data = pattern(r.size, 5);
        b.store->setFactoryData(5, data);
        Bytes buffer(r.size + 1, 0xEE);
        size_t count = 999;
        ASSERT_EQ(b.link.getFactoryData(2, 5, buffer.data(), buffer.size(), &count), aErrNone);
        EXPECT_EQ(count, r.size);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.size), data);
        EXPECT_EQ(buffer.back(), 0xEE);
        std::vector<Bytes> want = {{0x5E, 0x45}};
        want.insert(want.end(), r.requests - 1, Bytes{0x5E, 0x05});
        want.push_back(finish(r.size));
        EXPECT_EQ(b.sent(0x5E), want);
    }
}

TEST(FactoryData, WriteSendsChunksOf26ThenTheTotal)
{
    struct Row {
        size_t size;
        std::vector<size_t> chunks;
    } rows[] = {{30, {26, 4}}, {26, {26}}, {1, {1}}, {0, {}}, 
              {300, {26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 26, 14}}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.size << " bytes");
        StoreBench b;
        ASSERT_TRUE(b.connected);
        b.store->setFactoryData(3, {9, 9, 9});
        Bytes data = pattern(r.size, 3);
        ASSERT_EQ(b.link.setFactoryData(2, 3, data.data(), data.size()), aErrNone);
        std::vector<Bytes> want;
        size_t at = 0;
        for (size_t k : r.chunks) {
            Bytes chunk = {0x5E, (uint8_t)(at == 0 ? 0x53 : 0x13)};
            chunk.insert(chunk.end(), data.begin() + at, data.begin() + at + k);
            want.push_back(chunk);
            at += k;
        }
        want.push_back(finish(r.size));
        EXPECT_EQ(b.sent(0x5E), want);
        if (r.size == 0)
            continue; // only the closing exchange: the device keeps what it had
        EXPECT_EQ(b.store->factoryData(3), data);
        // What was written reads back the same.
        Bytes back(r.size + 1);
        size_t count = 0;
        ASSERT_EQ(b.link.getFactoryData(2, 3, back.data(), back.size(), &count), aErrNone);
        EXPECT_EQ(count, r.size);
        EXPECT_EQ(Bytes(back.begin(), back.begin() + count), data);
    }
}

TEST(FactoryData, IndexAbove15IsRefusedWithNothingSent)
{
    StoreBench b;
    ASSERT_TRUE(b.connected);
    u8 buffer[40];
    size_t count = 7;
    for (u8 index : {16, 0x13, 0x20, 0x45, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "index " << (int)index);
        EXPECT_EQ(b.link.getFactoryData(2, index, buffer, sizeof buffer, &count), aErrParam);
        EXPECT_EQ(b.link.setFactoryData(2, index, buffer, 4), aErrParam);
    }
    EXPECT_EQ(count, 7u);
    EXPECT_TRUE(b.sent(0x5E).empty());
    for (int i = 0; i < 16; i++)
        EXPECT_TRUE(b.store->factoryData((uint8_t)i).empty());
}

TEST(FactoryData, FullBufferStopsTheReadWithoutClosing)
{
    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->setFactoryData(1, pattern(60));
    // The buffer must be one byte larger than the data.
    for (size_t capacity : {60u, 26u, 10u}) {
        SCOPED_TRACE(capacity);
        Bytes buffer(capacity);
        size_t count = 7;
        EXPECT_EQ(b.link.getFactoryData(2, 1, buffer.data(), capacity, &count), aErrOverrun);
        EXPECT_EQ(count, 7u);
    }
    EXPECT_TRUE(b.store->finishTotals().empty());
}

TEST(FactoryData, Faults)
{
    struct Row {
        const char* what;
        FactoryExchange kind;
        StoreFault fault;
        bool write;
        aErr err;
        size_t exchanges; // requests of command 94 sent, the closing one included
    } rows[] = {
        {"write chunk refused", FactoryExchange::Write, codeFault(13), true, 13, 1},
        {"second write chunk refused", FactoryExchange::Write, codeFault(aErrPermission, 1), true,
         aErrPermission, 2},
        {"write chunk unanswered", FactoryExchange::Write, silentFault(), true, aErrTimeout, 1},
        {"write acknowledged with a byte too many", FactoryExchange::Write, extraByteFault(), true,
         aErrSize, 1},
        {"closing write refused", FactoryExchange::Finish, codeFault(aErrBusy), true, aErrBusy, 3},
        {"closing write unanswered", FactoryExchange::Finish, silentFault(), true, aErrTimeout, 3},
        {"read refused", FactoryExchange::Read, codeFault(aErrNotFound), false, aErrNotFound, 1},
        {"second read unanswered", FactoryExchange::Read, silentFault(1), false, aErrTimeout, 2},
        {"closing read refused", FactoryExchange::Finish, codeFault(aErrRange), false, aErrRange, 3},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        StoreBench b;
        ASSERT_TRUE(b.connected);
        Bytes data = pattern(30);
        b.store->setFactoryData(3, data);
        b.store->setFactoryFault(r.kind, r.fault);
        if (r.write) {
            Bytes other = pattern(30, 77);
            EXPECT_EQ(b.link.setFactoryData(2, 3, other.data(), other.size()), r.err);
            EXPECT_EQ(b.store->factoryData(3), data) << "a failed write is never taken";
        } else {
            Bytes buffer(64);
            size_t count = 5;
            EXPECT_EQ(b.link.getFactoryData(2, 3, buffer.data(), buffer.size(), &count), r.err);
            EXPECT_EQ(count, 5u);
        }
        EXPECT_EQ(b.sent(0x5E).size(), r.exchanges);
    }
}

TEST(FactoryData, RefusedWithoutConnectionOrArguments)
{
    Link unconnected("none");
    u8 buffer[30] = {0};
    size_t count = 0;
    EXPECT_EQ(unconnected.getFactoryData(2, 0, buffer, sizeof buffer, &count), aErrConnection);
    EXPECT_EQ(unconnected.setFactoryData(2, 0, buffer, sizeof buffer), aErrConnection);

    StoreBench b;
    ASSERT_TRUE(b.connected);
    EXPECT_EQ(b.link.getFactoryData(2, 0, buffer, sizeof buffer, nullptr), aErrParam);
    EXPECT_EQ(b.link.getFactoryData(2, 0, nullptr, 30, &count), aErrParam);
    EXPECT_EQ(b.link.setFactoryData(2, 0, nullptr, 3), aErrParam);
    // The total goes out as 16 bits: more would close with a wrong total.
    Bytes big(0x10000);
    EXPECT_EQ(b.link.setFactoryData(2, 0, big.data(), big.size()), aErrParam);
    EXPECT_TRUE(b.sent(0x5E).empty());
}
