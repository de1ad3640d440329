#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

TEST(Mutex, Labels)
{
    struct Row { std::string label; bool made; };
    const Row rows[] = {
        {"", true},
        {"aLink_Managed", true},
        {std::string(255, 'm'), true},
        {std::string(256, 'm'), false},
        {std::string(4000, 'm'), false},
    };
    for (const Row& r : rows) {
        aMutex* m = aMutex_Create(r.label.c_str());
        EXPECT_EQ(m != nullptr, r.made) << r.label.size();
        if (!m)
            continue;
        EXPECT_EQ(std::string(aMutex_Identifier(m)), r.label);
        EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
        EXPECT_EQ(m, nullptr);
    }
    aMutex* unnamed = aMutex_Create(NULL);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(Mutex, NullHandles)
{
    EXPECT_EQ(aMutex_Lock(NULL), aErrParam);
    EXPECT_EQ(aMutex_TryLock(NULL), aErrParam);
    EXPECT_EQ(aMutex_Unlock(NULL), aErrParam);
    EXPECT_EQ(aMutex_Destroy(NULL), aErrParam);
    aMutex* none = NULL;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
    EXPECT_EQ(none, nullptr);
}

namespace {
struct TryLockProbe {
    aMutex* mutex;
    aErr result;
};
void* sTryFromOtherThread(void* arg)
{
    TryLockProbe* probe = static_cast<TryLockProbe*>(arg);
    probe->result = aMutex_TryLock(probe->mutex);
    if (probe->result == aErrNone)
        aMutex_Unlock(probe->mutex);
    return NULL;
}
}  // namespace

TEST(Mutex, TryLockSeesAHolder)
{
    aMutex* m = aMutex_Create("probe");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(aMutex_Lock(m), aErrNone);
    TryLockProbe probe = {m, aErrNone};
    aThread* t = aThread_Create(sTryFromOtherThread, &probe);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(probe.result, aErrBusy);
    ASSERT_EQ(aMutex_Unlock(m), aErrNone);

    probe.result = aErrUnknown;
    t = aThread_Create(sTryFromOtherThread, &probe);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(probe.result, aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

namespace {
struct Counter {
    aMutex* mutex;
    long value;  // guarded by mutex; a plain long so that a lock that does not exclude shows
};
const int kThreads = 4;
const int kRounds = 20000;
void* sIncrementUnderLock(void* arg)
{
    Counter* c = static_cast<Counter*>(arg);
    for (int i = 0; i < kRounds; ++i) {
        aMutex_Lock(c->mutex);
        long v = c->value;
        c->value = v + 1;
        aMutex_Unlock(c->mutex);
    }
    return NULL;
}
}  // namespace

TEST(Mutex, ExcludesOtherThreads)
{
    Counter c = {aMutex_Create("counter"), 0};
    ASSERT_NE(c.mutex, nullptr);
    aThread* threads[kThreads];
    for (aThread*& t : threads) {
        t = aThread_Create(sIncrementUnderLock, &c);
        ASSERT_NE(t, nullptr);
    }
    for (aThread*& t : threads) {
        EXPECT_EQ(aThread_Destroy(&t), 0);
        EXPECT_EQ(t, nullptr);
    }
    EXPECT_EQ(c.value, (long)kThreads * kRounds);
    EXPECT_EQ(aMutex_Destroy(&c.mutex), aErrNone);
}

namespace {
struct Worker {
    void* arg;
    std::atomic<bool> finished{false};
};
void* sSlowWorker(void* arg)
{
    Worker* w = static_cast<Worker*>(arg);
    aTime_MSSleep(30);
    w->finished = true;
    return NULL;
}
}  // namespace

TEST(Thread, DestroyWaitsForTheEntryToReturn)
{
    Worker w;
    aThread* t = aThread_Create(sSlowWorker, &w);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_TRUE(w.finished);
    EXPECT_EQ(t, nullptr);
}

TEST(Thread, BadArguments)
{
    EXPECT_EQ(aThread_Create(NULL, NULL), nullptr);
    aThread* none = NULL;
    EXPECT_NE(aThread_Destroy(&none), 0);
    EXPECT_NE(aThread_Destroy(NULL), 0);
    aThread_Yield();
}
