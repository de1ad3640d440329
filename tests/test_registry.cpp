// The link registry: ids, lookups that prefer the newest entry, use counts, and the
// lookup-plus-use and release-plus-extract steps that must not be split by another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "aLinkManagerInternal.h"

namespace {

// Entries made here are removed again so that tests do not see each other's identifiers.
void dropEntry(aLinkId id)
{
    sFreeEntry(sExtractEntry(id));
}

} // namespace

TEST(Registry, IdsIncreaseAndAreNotReused)
{
    aLinkId a = sCreate(0x1000, 0, aLINKTYPE_USB);
    aLinkId b = sCreate(0x1001, 0, aLINKTYPE_USB);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
    dropEntry(a);
    EXPECT_EQ(sLookupEntryByID(a), nullptr);
    EXPECT_EQ(sGetLink(a), nullptr);
    aLinkId c = sCreate(0x1002, 0, aLINKTYPE_USB);
    EXPECT_EQ(c, b + 1);
    // The link record knows its own id and the entry starts without users.
    aLinkEntry* e = sLookupEntryByID(c);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->useCount, 0);
    ASSERT_NE(e->link, nullptr);
    EXPECT_EQ(e->link->id, c);
    EXPECT_EQ(sGetLink(c), e->link);
    dropEntry(b);
    dropEntry(c);
}

TEST(Registry, LookupsPreferTheNewestEntry)
{
    aLinkId older = sCreate2(0x2000, 80, 0, aLINKTYPE_AETHER);
    aLinkId newer = sCreate2(0x2000, 80, 1, aLINKTYPE_AETHER);
    aLinkId otherPort = sCreate2(0x2000, 81, 0, aLINKTYPE_TCPIP);
    struct Row { u32 identifier, port; int client; aLinkId want; };
    const Row rows[] = {
        {0x2000, 80, 0, older},
        {0x2000, 80, 1, newer},
        {0x2000, 81, 0, otherPort},
        {0x2000, 82, 0, 0},
        {0x2001, 80, 0, 0},
    };
    for (const Row& r : rows) {
        aLinkEntry* e = sLookupEntryByTrident(r.identifier, r.port, r.client);
        EXPECT_EQ(e ? e->id : 0u, r.want) << r.port << " " << r.client;
    }
    ASSERT_NE(sLookupEntryByIdentifier(0x2000), nullptr);
    EXPECT_EQ(sLookupEntryByIdentifier(0x2000)->id, otherPort);
    dropEntry(otherPort);
    EXPECT_EQ(sLookupEntryByIdentifier(0x2000)->id, newer);
    dropEntry(newer);
    dropEntry(older);
    EXPECT_EQ(sLookupEntryByIdentifier(0x2000), nullptr);
    EXPECT_EQ(sExtractEntry(older), nullptr);
}

TEST(Registry, UseCountsAreSixteenBit)
{
    aLinkId id = sCreate(0x3000, 0, aLINKTYPE_SERIAL);
    aLinkEntry* e = sLookupEntryByID(id);
    EXPECT_EQ(sChangeUseCount(e, 2), 2);
    EXPECT_EQ(sChangeUseCount(e, -1), 1);
    EXPECT_EQ(sChangeUseCount(NULL, 1), 0);
    e->useCount = 32767;
    EXPECT_EQ(sChangeUseCount(e, 1), -32768);
    dropEntry(id);
}

TEST(Registry, SharingAddsAUseAndRefusesServedLinks)
{
    aLinkId id = sCreate(0x4000, 0, aLINKTYPE_USB);
    bool served = true;
    aLinkEntry* e = sLookupAndUseByIdentifier(0x4000, true, &served);
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(served);
    EXPECT_EQ(e->useCount, 1);
    EXPECT_EQ(sLookupAndUseByID(id), e);
    EXPECT_EQ(e->useCount, 2);
    EXPECT_EQ(sLookupAndUseByID(id + 1000), nullptr);
    EXPECT_EQ(sLookupAndUseByIdentifier(0x4001, true, &served), nullptr);
    EXPECT_FALSE(served);

    e->server = (aServer*)&served; // any non-NULL server marks the link as served
    EXPECT_EQ(sLookupAndUseByIdentifier(0x4000, true, &served), nullptr);
    EXPECT_TRUE(served);
    EXPECT_EQ(e->useCount, 2);
    EXPECT_EQ(sLookupAndUseByIdentifier(0x4000, false, &served), e);
    EXPECT_EQ(e->useCount, 3);
    e->server = NULL;
    dropEntry(id);
}

TEST(Registry, ReleaseExtractsAtZeroOrLess)
{
    struct Row { s16 uses; bool last; };
    const Row rows[] = {{3, false}, {2, false}, {1, true}, {0, true}};
    for (const Row& r : rows) {
        aLinkId id = sCreate(0x5000, 0, aLINKTYPE_USB);
        sLookupEntryByID(id)->useCount = r.uses;
        bool last = !r.last;
        aLinkEntry* e = sReleaseUse(id, &last);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(last, r.last) << r.uses;
        EXPECT_EQ(sLookupEntryByID(id) == nullptr, r.last) << r.uses;
        if (r.last)
            sFreeEntry(e);
        else
            dropEntry(id);
    }
    bool last = true;
    EXPECT_EQ(sReleaseUse(0, &last), nullptr);
    EXPECT_FALSE(last);
}

// Many threads take and release uses of one link while others release; exactly one release
// sees the last use, and a lookup never hands out an entry that is being torn down.
TEST(Registry, ConcurrentReleaseHasExactlyOneLast)
{
    for (int round = 0; round < 20; round++) {
        aLinkId id = sCreate(0x6000, 0, aLINKTYPE_USB);
        const int users = 8;
        sLookupEntryByID(id)->useCount = users;
        std::atomic<int> lasts{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < users; i++)
            threads.emplace_back([&] {
                while (!go)
                    std::this_thread::yield();
                bool last = false;
                aLinkEntry* e = sReleaseUse(id, &last);
                if (e && last) {
                    lasts++;
                    sFreeEntry(e);
                }
            });
        go = true;
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(lasts, 1);
        EXPECT_EQ(sLookupEntryByIdentifier(0x6000), nullptr);
    }
}

TEST(Registry, SharingRacesWithTheLastRelease)
{
    for (int round = 0; round < 50; round++) {
        aLinkId id = sCreate(0x7000, 0, aLINKTYPE_USB);
        sLookupEntryByID(id)->useCount = 1;
        std::atomic<bool> go{false};
        aLinkEntry* shared = nullptr;
        aLinkEntry* released = nullptr;
        bool last = false;
        std::thread sharer([&] {
            while (!go)
                std::this_thread::yield();
            shared = sLookupAndUseByIdentifier(0x7000, true, NULL);
        });
        std::thread releaser([&] {
            while (!go)
                std::this_thread::yield();
            released = sReleaseUse(id, &last);
        });
        go = true;
        sharer.join();
        releaser.join();
        ASSERT_NE(released, nullptr);
        if (last) {
            // The release won: the sharer must not have got the dying entry.
            EXPECT_EQ(shared, nullptr);
            sFreeEntry(released);
        } else {
            // The sharer won: its use keeps the entry alive.
            ASSERT_EQ(shared, released);
            EXPECT_EQ(shared->useCount, 1);
            dropEntry(id);
        }
    }
}
