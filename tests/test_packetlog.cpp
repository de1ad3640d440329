// Packet log ring, per-link packet debugging and the log writer thread.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "aLogger.h"
#include "aPacketDebug.h"

namespace {

std::vector<u8> bytes(size_t n, u8 first = 1)
{
    std::vector<u8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (u8)(first + i);
    return v;
}

// Reads every record, oldest first, as (kind, data).
std::vector<std::pair<int, std::vector<u8>>> drain(aPacketLog* log)
{
    std::vector<std::pair<int, std::vector<u8>>> out;
    for (;;) {
        u8 buffer[256];
        u32 n = sizeof buffer;
        int kind = 0;
        aErr err = aPacketLog_Get(log, &kind, &n, buffer);
        if (err != aErrNone) {
            EXPECT_EQ(err, aErrNotFound);
            return out;
        }
        out.push_back({kind, std::vector<u8>(buffer, buffer + n)});
    }
}

} // namespace

TEST(PacketLog, RecordSizesThatFitARing)
{
    struct Row { u32 n; aErr want; };
    const Row rows[] = {{0, aErrNone}, {13, aErrNone}, {14, aErrOverrun}, {200, aErrOverrun}};
    for (const Row& r : rows) {
        aPacketLog* log = aPacketLog_Create(16);
        ASSERT_NE(log, nullptr);
        EXPECT_EQ(log->enabled, 0);
        aPacketLog_Put(log, kPacketLogText, 3, bytes(3).data());
        EXPECT_EQ(aPacketLog_Put(log, kPacketLogSent, r.n, bytes(r.n, 50).data()), r.want) << r.n;
        auto got = drain(log);
        if (r.want == aErrNone) {
            // Room is made by dropping the older record only when needed.
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back().first, kPacketLogSent);
            EXPECT_EQ(got.back().second, bytes(r.n, 50));
        } else {
            // A record that can never fit leaves the ring as it was.
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].second, bytes(3));
        }
        aPacketLog_Destroy(&log);
        EXPECT_EQ(log, nullptr);
    }
    EXPECT_EQ(aPacketLog_Destroy(NULL), aErrNone);
}

TEST(PacketLog, NewestRecordsWinByDroppingWholeOldOnes)
{
    aPacketLog* log = aPacketLog_Create(16);
    ASSERT_EQ(aPacketLog_Put(log, kPacketLogSent, 6, bytes(6, 10).data()), aErrNone);
    ASSERT_EQ(aPacketLog_Put(log, kPacketLogReceived, 4, bytes(4, 20).data()), aErrNone);
    ASSERT_EQ(aPacketLog_Put(log, kPacketLogText, 2, bytes(2, 30).data()), aErrNone);
    auto got = drain(log);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, kPacketLogReceived);
    EXPECT_EQ(got[0].second, bytes(4, 20));
    EXPECT_EQ(got[1].first, kPacketLogText);
    EXPECT_EQ(got[1].second, bytes(2, 30));
    aPacketLog_Destroy(&log);
}

TEST(PacketLog, RecordsWrapAroundTheRingEnd)
{
    aPacketLog* log = aPacketLog_Create(40);
    // Records of 5 data bytes (7 on the ring) that do not divide 40: every few puts one
    // straddles the end of the ring.
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(aPacketLog_Put(log, kPacketLogSent, 5, bytes(5, (u8)(i * 5)).data()), aErrNone);
        if (i % 3 == 2) {
            auto got = drain(log);
            ASSERT_FALSE(got.empty());
            EXPECT_EQ(got.back().second, bytes(5, (u8)(i * 5)));
            for (size_t k = 0; k + 1 < got.size(); k++) // consecutive, oldest first
                EXPECT_EQ(got[k + 1].second[0], (u8)(got[k].second[0] + 5));
        }
    }
    aPacketLog_Destroy(&log);
}

TEST(PacketLog, SmallReaderBufferKeepsTheRecord)
{
    aPacketLog* log = aPacketLog_Create(64);
    aPacketLog_Put(log, kPacketLogText, 6, bytes(6).data());
    u8 buffer[8];
    u32 n = 3;
    int kind = 0;
    EXPECT_EQ(aPacketLog_Get(log, &kind, &n, buffer), aErrOverrun);
    EXPECT_EQ(n, 6u);
    n = 6;
    EXPECT_EQ(aPacketLog_Get(log, &kind, &n, buffer), aErrNone);
    EXPECT_EQ(kind, kPacketLogText);
    EXPECT_EQ(std::vector<u8>(buffer, buffer + 6), bytes(6));
    n = sizeof buffer;
    EXPECT_EQ(aPacketLog_Get(log, &kind, &n, buffer), aErrNotFound);
    aPacketLog_Destroy(&log);
}

namespace {

struct LoggerProbe {
    std::atomic<int> calls{0};
    std::atomic<aLogger*> logger{nullptr};
    std::atomic<int> selfDisable{-1};
    std::atomic<int> selfDestroy{-1};
    std::atomic<bool> selfDestroyKept{false};
};
LoggerProbe gProbe;

void writeLine(void* file, unsigned int parameter)
{
    int call = ++gProbe.calls;
    if (call <= 3)
        aFile_Printf((aFile*)file, "line %d of %u\n", call, parameter);
    if (call == 2 && gProbe.logger.load())
        gProbe.selfDisable = aLogger_Disable(gProbe.logger.load()); // on the writer itself
    if (call == 3 && gProbe.logger.load()) {
        // Destroying on the writer itself must not free what the writer is running on.
        aLogger* self = gProbe.logger.load();
        gProbe.selfDestroy = aLogger_Destroy(&self);
        gProbe.selfDestroyKept = self == gProbe.logger.load();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

TEST(Logger, WritesUntilDisabled)
{
    char path[] = "/tmp/qc_logger_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(aLogger_Create(7, NULL, path), nullptr);
    EXPECT_EQ(aLogger_Create(7, writeLine, "/nonexistent/dir/log"), nullptr);
    aLogger* logger = aLogger_Create(7, writeLine, path);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone); // not running
    gProbe.logger = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    while (gProbe.calls < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(gProbe.selfDisable, aErrNone);
    EXPECT_EQ(gProbe.selfDestroy, aErrBusy);
    EXPECT_TRUE(gProbe.selfDestroyKept);
    EXPECT_TRUE(logger->running.load()); // a disable on the writer itself does nothing
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_FALSE(logger->running.load());
    int calls = gProbe.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gProbe.calls, calls); // the writer has ended
    gProbe.logger = nullptr;
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(NULL), aErrParam);
    EXPECT_EQ(aLogger_Disable(NULL), aErrParam);

    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "line 1 of 7\nline 2 of 7\nline 3 of 7\n");
    unlink(path);
}
