// Packet FIFOs: ids, copies, the overflow rule, filtered waits and destroy under waiters.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <thread>
#include <vector>

#include "Timing.h"
#include "packetfifo.h"

namespace {

aPacket* makePacket(u8 address, std::vector<u8> data)
{
    return aPacket_CreateWithData(address, (u8)data.size(), data.data());
}

aErr putPacket(aPacketFifoId id, u8 address, std::vector<u8> data)
{
    aPacket* p = makePacket(address, data);
    aErr err = aPacketFifo_Put(id, p);
    aPacket_Destroy(&p);
    return err;
}

unsigned char addressIs(const aPacket* p, const void* ref)
{
    return p->address == *(const u8*)ref;
}

unsigned char selectAll(const aPacket*, const void*) { return 1; }
unsigned char selectNone(const aPacket*, const void*) { return 0; }

struct CountingFilter {
    u8 wanted;
    std::atomic<int> offers[256];
    CountingFilter(u8 w) : wanted(w)
    {
        for (auto& o : offers)
            o = 0;
    }
    static unsigned char proc(const aPacket* p, const void* ref)
    {
        auto* self = const_cast<CountingFilter*>(static_cast<const CountingFilter*>(ref));
        self->offers[p->address]++;
        return p->address == self->wanted;
    }
};

class Fifo : public ::testing::Test {
protected:
    void SetUp() override { id = aPacketFifo_Create(); ASSERT_NE(id, 0u); }
    void TearDown() override
    {
        if (id)
            aPacketFifo_Destroy(&id);
    }
    aPacketFifoId id = 0;
};

using Clock = std::chrono::steady_clock;
using qctest::msSince;

// Waits (up to 2 s) until waits on the FIFO have gone to sleep `sleeps` times in all, so the
// next step meets a waiter that is blocked, not one still on its way in.
bool waitForSleeps(aPacketFifoId id, u64 sleeps)
{
    auto end = Clock::now() + std::chrono::seconds(2);
    while (aPacketFifo_GetSleepCount(id) < sleeps) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

} // namespace

TEST(FifoIds, IncreaseAndAreNeverReused)
{
    aPacketFifoId a = aPacketFifo_Create();
    aPacketFifoId b = aPacketFifo_Create();
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    aPacketFifoId released = a;
    EXPECT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    aPacketFifoId c = aPacketFifo_Create();
    EXPECT_EQ(c, b + 1);
    EXPECT_NE(c, released);
    aPacketFifo_Destroy(&b);
    aPacketFifo_Destroy(&c);
}

TEST(FifoIds, DestroyAndUnknownIds)
{
    EXPECT_EQ(aPacketFifo_Destroy(NULL), aErrParam);
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId released = id;
    aPacketFifoId copy = id;
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound); // id 0 is nobody's
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
    EXPECT_EQ(copy, released); // an unknown id is left as it was

    aPacket* p = makePacket(4, {1});
    EXPECT_EQ(aPacketFifo_Put(copy, p), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
    EXPECT_EQ(aPacketFifo_Await(copy, 50), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(copy, selectAll, NULL), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(copy, selectAll, NULL, 50), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(copy, selectAll, NULL), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
    aPacket_Destroy(&p);
}

TEST_F(Fifo, PutRejectsInvalidPackets)
{
    EXPECT_EQ(aPacketFifo_Put(id, NULL), aErrParam);
    aPacket* p = makePacket(4, {1, 2});
    p->check = 0x1234;
    EXPECT_EQ(aPacketFifo_Put(id, p), aErrParam);
    p->check = 0xBEEF;
    aPacket_Destroy(&p);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(Fifo, PacketsGoInAndOutAsCopiesInOrder)
{
    aPacket* p = makePacket(4, {0x11, 0x22});
    ASSERT_EQ(aPacketFifo_Put(id, p), aErrNone);
    p->data[0] = 0x99; // the caller's packet is not the queued one
    ASSERT_EQ(putPacket(id, 6, {0x33}), aErrNone);
    aPacket_Destroy(&p);

    aPacket* first = aPacketFifo_Get(id);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->address, 4);
    EXPECT_EQ(first->length, 2);
    EXPECT_EQ(first->data[0], 0x11);
    EXPECT_EQ(first->data[1], 0x22);
    EXPECT_TRUE(aPacket_IsComplete(first));
    aPacket_Destroy(&first); // freeing it leaves the FIFO alone
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
    aPacket* second = aPacketFifo_Await(id, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->address, 6);
    aPacket_Destroy(&second);
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
}

TEST_F(Fifo, AwaitWithZeroTimeoutDoesNotWait)
{
    auto t = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, selectAll, NULL, 0), nullptr);
    EXPECT_LT(msSince(t), 500); // a wait would take its full time-out or longer
}

TEST_F(Fifo, AwaitTimesOutAfterItsTimeout)
{
    auto t = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 60), nullptr);
    long waited = msSince(t);
    EXPECT_GE(waited, 60);
    EXPECT_LT(waited, 500);
}

// Time-outs too long for the clock's arithmetic (ULONG_MAX among them) still wait, and
// still end with the packet that comes.
TEST_F(Fifo, VeryLongTimeoutsWaitForThePacket)
{
    for (unsigned long ms : {ULONG_MAX, ULONG_MAX / 2, 10000000000000ul}) {
        for (bool filtered : {false, true}) {
            std::atomic<bool> returned{false};
            aPacket* got = nullptr;
            u64 sleeps = aPacketFifo_GetSleepCount(id);
            std::thread waiter([&] {
                got = filtered ? aPacketFifo_AwaitFirst(id, selectAll, NULL, ms)
                               : aPacketFifo_Await(id, ms);
                returned = true;
            });
            EXPECT_TRUE(waitForSleeps(id, sleeps + 1));
            EXPECT_FALSE(returned) << ms << (filtered ? " filtered" : "");
            putPacket(id, 4, {1});
            waiter.join();
            EXPECT_NE(got, nullptr) << ms << (filtered ? " filtered" : "");
            aPacket_Destroy(&got);
            aPacket* left = aPacketFifo_Get(id);
            aPacket_Destroy(&left);
        }
    }
}

TEST_F(Fifo, OverflowEmptiesTheFifoAndWakesNobody)
{
    for (int i = 0; i < aPACKETFIFO_MAXPACKETS; i++)
        ASSERT_EQ(putPacket(id, 4, {(u8)i}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), (u64)aPACKETFIFO_MAXPACKETS);

    // A waiter whose filter wants nothing queued so far; the 1001st put is the one it wants,
    // but that put empties the FIFO and must not wake it with anything.
    u8 wanted = 8;
    std::atomic<bool> returned{false};
    aPacket* got = nullptr;
    std::thread waiter([&] {
        got = aPacketFifo_AwaitFirst(id, addressIs, &wanted, 300);
        returned = true;
    });
    EXPECT_TRUE(waitForSleeps(id, 1));
    EXPECT_EQ(putPacket(id, 8, {1}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    waiter.join();
    EXPECT_EQ(got, nullptr);
    EXPECT_TRUE(returned);

    // It fills again normally afterwards, and the window restarts at the next packet.
    ASSERT_EQ(putPacket(id, 8, {2}), aErrNone);
    aPacket* again = aPacketFifo_AwaitFirst(id, addressIs, &wanted, 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->data[0], 2);
    aPacket_Destroy(&again);
}

TEST_F(Fifo, GetFirstTakesTheFirstSelectedAndKeepsTheRest)
{
    for (u8 a : {4, 6, 8, 6})
        putPacket(id, a, {a});
    u8 wanted = 6;
    aPacket* p = aPacketFifo_GetFirst(id, addressIs, &wanted);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 6);
    aPacket_Destroy(&p);
    wanted = 10;
    EXPECT_EQ(aPacketFifo_GetFirst(id, addressIs, &wanted), nullptr);
    std::vector<u8> left;
    while (aPacket* q = aPacketFifo_Get(id)) {
        left.push_back(q->address);
        aPacket_Destroy(&q);
    }
    EXPECT_EQ(left, (std::vector<u8>{4, 8, 6}));
}

// A rejected packet is offered once per wait; a packet that arrives during the wait is
// offered when it comes, and taken; the rejected one stays.
TEST_F(Fifo, AwaitFirstOffersEachPacketOncePerWait)
{
    putPacket(id, 4, {1});
    CountingFilter filter(6);
    aPacket* got = nullptr;
    std::thread waiter([&] { got = aPacketFifo_AwaitFirst(id, CountingFilter::proc, &filter, 2000); });
    // Unrelated puts that the filter also rejects wake the waiter several times; each comes
    // once the waiter is asleep again, so every one is a wake of its own.
    EXPECT_TRUE(waitForSleeps(id, 1));
    putPacket(id, 8, {2});
    EXPECT_TRUE(waitForSleeps(id, 2));
    putPacket(id, 10, {3});
    EXPECT_TRUE(waitForSleeps(id, 3));
    putPacket(id, 6, {4});
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->address, 6);
    aPacket_Destroy(&got);
    EXPECT_EQ(filter.offers[4], 1);
    EXPECT_EQ(filter.offers[8], 1);
    EXPECT_EQ(filter.offers[10], 1);
    EXPECT_EQ(filter.offers[6], 1);
    EXPECT_EQ(aPacketFifo_GetLength(id), 3u);

    // A new wait offers the remaining packets again.
    CountingFilter second(10);
    aPacket* p = aPacketFifo_AwaitFirst(id, CountingFilter::proc, &second, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 10);
    EXPECT_EQ(second.offers[4], 1);
    EXPECT_EQ(second.offers[8], 1);
    aPacket_Destroy(&p);
}

// Another taker removing packets in front of a waiter must not make the waiter skip or
// repeat packets.
TEST_F(Fifo, AwaitFirstKeepsItsPlaceWhileOthersTake)
{
    putPacket(id, 4, {1});
    putPacket(id, 8, {2});
    CountingFilter filter(6);
    aPacket* got = nullptr;
    std::thread waiter([&] { got = aPacketFifo_AwaitFirst(id, CountingFilter::proc, &filter, 2000); });
    EXPECT_TRUE(waitForSleeps(id, 1));
    aPacket* front = aPacketFifo_Get(id); // takes the 4
    aPacket_Destroy(&front);
    putPacket(id, 12, {3});
    EXPECT_TRUE(waitForSleeps(id, 2));
    putPacket(id, 6, {4});
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 4);
    aPacket_Destroy(&got);
    EXPECT_EQ(filter.offers[4], 1);
    EXPECT_EQ(filter.offers[8], 1);
    EXPECT_EQ(filter.offers[12], 1);
}

TEST_F(Fifo, DrainRemovesSelectedKeepingOrder)
{
    for (u8 a : {4, 6, 4, 8, 4})
        putPacket(id, a, {a});
    EXPECT_EQ(aPacketFifo_DrainPackets(id, selectNone, NULL), 0u);
    u8 four = 4;
    EXPECT_EQ(aPacketFifo_DrainPackets(id, addressIs, &four), 3u);
    std::vector<u8> left;
    while (aPacket* q = aPacketFifo_Get(id)) {
        left.push_back(q->address);
        aPacket_Destroy(&q);
    }
    EXPECT_EQ(left, (std::vector<u8>{6, 8}));
    for (u8 a : {4, 6})
        putPacket(id, a, {a});
    EXPECT_EQ(aPacketFifo_DrainPackets(id, selectAll, NULL), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);

    // After a drain a waiter still sees the next packet.
    putPacket(id, 6, {9});
    u8 six = 6;
    aPacket* p = aPacketFifo_AwaitFirst(id, addressIs, &six, 0);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
}

TEST(FifoDestroy, WakesEveryWaiterPromptly)
{
    aPacketFifoId id = aPacketFifo_Create();
    putPacket(id, 4, {1});
    std::atomic<int> nulls{0};
    auto t = Clock::now();
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; i++) {
        waiters.emplace_back([&, i] {
            aPacket* p;
            if (i % 2)
                p = aPacketFifo_Await(id, 5000);
            else
                p = aPacketFifo_AwaitFirst(id, selectNone, NULL, 5000);
            if (!p)
                nulls++;
            aPacket_Destroy(&p);
        });
    }
    // Two Await waiters race for the one queued packet; the destroy comes once the three
    // that found nothing are all asleep.
    EXPECT_TRUE(waitForSleeps(id, 3));
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    aPacketFifoId doomed = id;
    ASSERT_EQ(aPacketFifo_Destroy(&doomed), aErrNone);
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(nulls, 3); // one Await took the packet, everyone else got NULL
    EXPECT_LT(msSince(t), 2000);
}

TEST(FifoConcurrency, ProducersAndConsumersLoseNothing)
{
    aPacketFifoId id = aPacketFifo_Create();
    const int perProducer = 300;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < 3; p++)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; i++)
                putPacket(id, (u8)(2 * (p + 2)), {(u8)i});
        });
    for (int c = 0; c < 3; c++)
        threads.emplace_back([&, c] {
            u8 mine = (u8)(2 * (c + 2));
            while (taken < 3 * perProducer) {
                aPacket* q = aPacketFifo_AwaitFirst(id, addressIs, &mine, 50);
                if (q)
                    taken++;
                aPacket_Destroy(&q);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(taken, 3 * perProducer);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    aPacketFifo_Destroy(&id);
}

// Lock-step hand-offs as a request and its reply make them: every put must wake the thread
// that waits for it. One missed wake-up leaves a wait to run into its 5 s time-out.
TEST(FifoConcurrency, LockStepHandOffsAreNeverMissed)
{
    aPacketFifoId requests = aPacketFifo_Create();
    aPacketFifoId replies = aPacketFifo_Create();
    const int rounds = 5000;
    std::atomic<int> missed{0};
    std::thread device([&] {
        for (int i = 0; i < rounds && missed == 0; i++) {
            aPacket* q = aPacketFifo_Await(requests, 5000);
            if (!q) {
                missed++;
                break;
            }
            aPacketFifo_Put(replies, q);
            aPacket_Destroy(&q);
        }
    });
    auto t = Clock::now();
    int answered = 0;
    for (int i = 0; i < rounds && missed == 0; i++) {
        u8 sequence[2] = {(u8)(i >> 8), (u8)i};
        putPacket(requests, 4, {sequence[0], sequence[1]});
        aPacket* a = aPacketFifo_AwaitFirst(replies, selectAll, NULL, 5000);
        if (!a || a->length != 2 || a->data[0] != sequence[0] || a->data[1] != sequence[1])
            missed++;
        else
            answered++;
        aPacket_Destroy(&a);
    }
    device.join();
    EXPECT_EQ(missed, 0);
    EXPECT_EQ(answered, rounds);
    EXPECT_LT(msSince(t), 5000);
    aPacketFifo_Destroy(&requests);
    aPacketFifo_Destroy(&replies);
}

TEST_F(Fifo, WakeWaitersEndsWaitsInProgressOnly)
{
    EXPECT_EQ(aPacketFifo_WakeWaiters(0), aErrNotFound);
    std::atomic<int> nulls{0};
    auto t = Clock::now();
    std::thread a([&] { if (!aPacketFifo_Await(id, 5000)) nulls++; });
    std::thread b([&] { if (!aPacketFifo_AwaitFirst(id, selectAll, NULL, 5000)) nulls++; });
    EXPECT_TRUE(waitForSleeps(id, 2));
    EXPECT_EQ(aPacketFifo_WakeWaiters(id), aErrNone);
    a.join();
    b.join();
    EXPECT_EQ(nulls, 2);
    EXPECT_LT(msSince(t), 2000);
    // A later wait is not cut short by an earlier wake, and the FIFO still works.
    auto later = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 60), nullptr);
    EXPECT_GE(msSince(later), 60);
    putPacket(id, 4, {1});
    aPacket* p = aPacketFifo_Await(id, 0);
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
}
