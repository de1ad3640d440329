// Per-link packet debugging: enable, disable, sizes, and concurrent use of one link's log.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aPacketDebug.h"

class LinkLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        id = sCreate(0xABC00000u + (u32)::testing::UnitTest::GetInstance()->random_seed(), 0,
                     aLINKTYPE_STREAM);
        ASSERT_EQ(aLink_Init(id, NULL), id);
        EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
    }
    void TearDown() override { EXPECT_EQ(aLink_Destroy(&id), aErrNone); }
    aLinkId id = 0;
};

TEST_F(LinkLog, UnknownLinksAndMissingLogs)
{
    u8 buffer[8];
    u32 n = sizeof buffer;
    int kind;
    EXPECT_EQ(aLink_PacketDebug_Enable(0), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(0), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Read(0, &kind, &n, buffer), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(0, kPacketLogText, 1, "x"), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(0, 100), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Read(id, &kind, &n, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id, kPacketLogText, 1, "x"), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);
}

TEST_F(LinkLog, EnableTwiceKeepsTheRingAndDisableKeepsRecording)
{
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 32), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    aLink* link = sGetLink(id);
    ASSERT_NE(link->log.load(), nullptr);
    EXPECT_NE(link->logMutex, nullptr);
    EXPECT_EQ(link->log.load()->size, 32u);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 64), aErrBusy);
    ASSERT_EQ(aLink_PacketDebug_Write(id, kPacketLogText, 6, "START"), aErrNone);
    aPacketLog* first = link->log.load();
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(link->log.load(), first);
    ASSERT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
    EXPECT_EQ(first->enabled, 0);
    EXPECT_EQ(aLink_PacketDebug_Write(id, kPacketLogText, 2, "B"), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    char buffer[16];
    u32 n = sizeof buffer;
    int kind = 0;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &kind, &n, buffer), aErrNone);
    EXPECT_EQ(kind, kPacketLogText);
    EXPECT_STREQ(buffer, "START");
    n = sizeof buffer;
    ASSERT_EQ(aLink_PacketDebug_Read(id, &kind, &n, buffer), aErrNone);
    EXPECT_STREQ(buffer, "B");
}

TEST_F(LinkLog, DefaultAndNegativeSizes)
{
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, -5), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    EXPECT_EQ(sGetLink(id)->log.load()->size, (u32)aPACKETLOG_DEFAULTSIZE);
}

// Writers on several threads and a reader: every record read is whole, and none is lost while
// the ring has room for all of them.
TEST_F(LinkLog, ConcurrentWritersAndReaderKeepRecordsWhole)
{
    ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
    std::atomic<bool> done{false};
    std::atomic<int> readCount{0};
    std::thread reader([&] {
        for (;;) {
            u8 buffer[64];
            u32 n = sizeof buffer;
            int kind;
            aErr err = aLink_PacketDebug_Read(id, &kind, &n, buffer);
            if (err == aErrNotFound) {
                if (done)
                    return;
                std::this_thread::yield();
                continue;
            }
            ASSERT_EQ(err, aErrNone);
            ASSERT_EQ(n, 10u);
            for (u32 i = 1; i < n; i++)
                ASSERT_EQ(buffer[i], buffer[0]);
            readCount++;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; w++)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 500; i++) {
                std::vector<u8> rec(10, (u8)(w * 50 + i % 50));
                ASSERT_EQ(aLink_PacketDebug_Write(id, kPacketLogSent, 10, rec.data()), aErrNone);
            }
        });
    for (auto& t : writers)
        t.join();
    done = true;
    reader.join();
    EXPECT_EQ(readCount, 1500);
}

