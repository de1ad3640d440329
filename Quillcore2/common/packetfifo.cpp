// Packet FIFOs: a dictionary of shared queue objects behind a plain C interface.
#include "packetfifo.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

typedef std::chrono::steady_clock Clock;

// The FIFO's condition variable, on a futex. A waiter that glibc's condition variable wakes
// takes the mutex back marked as contended, so its next unlock costs a system call even when
// nobody waits for it: one more per hand-off, on the path of every reply. Here a waiter takes
// the mutex back like any locker.
//
// The mutex guards what the predicate reads. A waiter notes the wake sequence and counts
// itself among the sleepers with the mutex held, lets it go and sleeps only while the
// sequence is unchanged, so a notification between the unlock and the sleep is never lost.
class WakeEvent {
public:
    // Like std::condition_variable::wait_until with a predicate: pred() at the end, run with
    // the mutex held, once before the first sleep and again after every wake-up.
    template <typename Pred>
    bool wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Pred pred)
    {
        while (!pred()) {
            if (Clock::now() >= deadline)
                return false;
            u32 seen = mSequence.load();
            mSleepers.fetch_add(1);
            mSleeps.fetch_add(1);
            lock.unlock();
            sleep(seen, deadline);
            lock.lock();
            mSleepers.fetch_sub(1);
        }
        return true;
    }

    // Wakes every waiter; called after the change, with the mutex released. Costs no system
    // call while nobody sleeps.
    void notify_all()
    {
        mSequence.fetch_add(1);
        if (mSleepers.load() != 0)
            syscall(SYS_futex, reinterpret_cast<u32*>(&mSequence), FUTEX_WAKE_PRIVATE, INT_MAX,
                    NULL, NULL, 0);
    }

    // Sleeps begun since the event was made, each counted after its predicate failed.
    u64 sleeps() const { return mSleeps.load(); }

private:
    // Returns on a notification after `seen`, at the deadline, on a signal or spuriously;
    // the caller looks at its predicate again in every case.
    void sleep(u32 seen, Clock::time_point deadline)
    {
        auto since = deadline.time_since_epoch();
        auto whole = std::chrono::duration_cast<std::chrono::seconds>(since);
        struct timespec at;
        at.tv_sec = (time_t)whole.count();
        at.tv_nsec = (long)std::chrono::duration_cast<std::chrono::nanoseconds>(since - whole).count();
        // A bitset wait takes an absolute time on CLOCK_MONOTONIC, the steady clock's.
        syscall(SYS_futex, reinterpret_cast<u32*>(&mSequence), FUTEX_WAIT_BITSET_PRIVATE, seen,
                &at, NULL, FUTEX_BITSET_MATCH_ANY);
    }

    std::atomic<u32> mSequence{0};
    std::atomic<u32> mSleepers{0};
    std::atomic<u64> mSleeps{0};
    static_assert(sizeof(std::atomic<u32>) == sizeof(u32), "a futex word is 32 bits");
};

struct aPacketDeleter {
    void operator()(aPacket* packet) const
    {
        if (packet)
            aPacket_Destroy(&packet);
    }
};

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

// One queue element: the sequence id the put gave it and the packet the FIFO owns.
class SerialPacket {
public:
    SerialPacket(s64 id, PacketPtr packet) : mId(id), mPacket(std::move(packet)) {}
    SerialPacket(SerialPacket&&) = default;
    SerialPacket& operator=(SerialPacket&&) = default;
    SerialPacket(const SerialPacket&) = delete;
    SerialPacket& operator=(const SerialPacket&) = delete;
    ~SerialPacket() = default;

    s64& getId() { return mId; }
    PacketPtr& getPacket() { return mPacket; }
    operator PacketPtr&() { return mPacket; }

private:
    s64 mId;
    PacketPtr mPacket;
};

class packetFifo {
public:
    std::deque<SerialPacket> queue;
    WakeEvent condition;
    std::mutex mutex;
    std::atomic<bool> alive{true};
    // Sequence ids let an awaiting filter skip packets it has already been offered even while
    // other takers remove packets in front of them.
    std::atomic<s64> windowStart{0};
    std::atomic<s64> nextId{0};
    // Bumped by aPacketFifo_WakeWaiters: every wait in progress returns what it has.
    std::atomic<u64> wakeups{0};

    // Every removal goes through one of these three, so windowStart always names the front.
    void clearAndSyncWindow()
    {
        queue.clear();
        windowStart.store(nextId.load());
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator position)
    {
        queue.erase(position);
        syncWindow();
    }
    void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                            std::deque<SerialPacket>::iterator last)
    {
        queue.erase(first, last);
        syncWindow();
    }

private:
    void syncWindow()
    {
        windowStart.store(queue.empty() ? nextId.load() : queue.front().getId());
    }
};

typedef std::shared_ptr<packetFifo> FifoRef;

std::atomic<aPacketFifoId> gpSequentialId{1};
std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
std::mutex gpPacketFifoDictionaryMutex;

FifoRef sGetFifo(aPacketFifoId id)
{
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? FifoRef() : it->second;
}

FifoRef sExtractFifo(aPacketFifoId id)
{
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    if (it == gpPacketFifoDictionary.end())
        return FifoRef();
    FifoRef fifo = std::move(it->second);
    gpPacketFifoDictionary.erase(it);
    return fifo;
}

// Hands the queued packet itself to the caller: it is already a copy that only the FIFO
// held, so giving it away spares an allocation and a free per packet.
aPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator position)
{
    aPacket* packet = position->getPacket().release();
    fifo.eraseAndSyncWindow(position);
    return packet;
}

// Longer time-outs are cut to a year: the clock's arithmetic would wrap (ULONG_MAX as a
// signed count is -1, a deadline in the past) or overflow.
const unsigned long kLongestWaitMS = 1000ul * 60 * 60 * 24 * 365;

Clock::time_point sDeadline(unsigned long msTimeout)
{
    if (msTimeout > kLongestWaitMS)
        msTimeout = kLongestWaitMS;
    return Clock::now() + std::chrono::milliseconds(msTimeout);
}

} // namespace

aPacketFifoId aPacketFifo_Create(void)
{
    try {
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        aPacketFifoId id;
        do {
            id = gpSequentialId.fetch_add(1);
        } while (id == 0);
        gpPacketFifoDictionary.emplace(id, std::make_shared<packetFifo>());
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id)
{
    if (!id)
        return aErrParam;
    try {
        FifoRef fifo = sExtractFifo(*id);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->alive.store(false);
        }
        fifo->condition.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet)
{
    try {
        if (!aVALIDPACKET(packet))
            return aErrParam;
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return aErrParam;
        std::unique_lock<std::mutex> lock(fifo->mutex);
        s64 sequence = fifo->nextId.fetch_add(1);
        PacketPtr copy(aPacket_Copy(packet));
        if (!copy)
            return aErrParam;
        fifo->queue.emplace_back(sequence, std::move(copy));
        fifo->windowStart.store(fifo->queue.front().getId());
        if (fifo->queue.size() > aPACKETFIFO_MAXPACKETS) {
            // Nobody is draining this FIFO: drop everything rather than grow without bound.
            fifo->clearAndSyncWindow();
            return aErrNone;
        }
        lock.unlock();
        fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(aPacketFifoId id)
{
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return NULL;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        if (fifo->queue.empty())
            return NULL;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return NULL;
    }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long msTimeout)
{
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return NULL;
        auto deadline = sDeadline(msTimeout);
        std::unique_lock<std::mutex> lock(fifo->mutex);
        const u64 wakeups = fifo->wakeups.load();
        auto _waitUntilNotEmpty = [&] {
            return !fifo->queue.empty() || !fifo->alive.load() || fifo->wakeups.load() != wakeups;
        };
        if (!fifo->condition.wait_until(lock, deadline, _waitUntilNotEmpty))
            return NULL;
        if (fifo->queue.empty())
            return NULL;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return NULL;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, const void* ref)
{
    if (!filter)
        return NULL;
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return NULL;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
            if (filter(it->getPacket().get(), ref))
                return _stealPacketFromFifo(*fifo, it);
        }
        return NULL;
    } catch (...) {
        return NULL;
    }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, const void* ref,
                                unsigned long msTimeout)
{
    if (!filter)
        return NULL;
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return NULL;
        auto deadline = sDeadline(msTimeout);
        std::unique_lock<std::mutex> lock(fifo->mutex);
        s64 lastOffered = fifo->windowStart.load() - 1;
        const u64 wakeups = fifo->wakeups.load();
        // Valid only while found is set: the lock is held from the selection to the take.
        std::deque<SerialPacket>::iterator selected;
        bool found = false;
        auto _waitUntilProcIsSatisfied = [&] {
            for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
                if (it->getId() - lastOffered <= 0)
                    continue;
                lastOffered = it->getId();
                if (filter(it->getPacket().get(), ref)) {
                    selected = it;
                    found = true;
                    return true;
                }
            }
            return !fifo->alive.load() || fifo->wakeups.load() != wakeups;
        };
        if (!fifo->condition.wait_until(lock, deadline, _waitUntilProcIsSatisfied))
            return NULL;
        if (!found)
            return NULL;
        return _stealPacketFromFifo(*fifo, selected);
    } catch (...) {
        return NULL;
    }
}

u64 aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, const void* ref)
{
    if (!filter)
        return 0;
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        size_t before = fifo->queue.size();
        // Keep the unselected packets in order at the front, then cut the tail once.
        auto keep = fifo->queue.begin();
        for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
            if (!filter(it->getPacket().get(), ref)) {
                if (keep != it)
                    *keep = std::move(*it);
                ++keep;
            }
        }
        fifo->eraseAndSyncWindow(keep, fifo->queue.end());
        return before - fifo->queue.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_WakeWaiters(aPacketFifoId id)
{
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return aErrNotFound;
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->wakeups.fetch_add(1);
        }
        fifo->condition.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

u64 aPacketFifo_GetLength(aPacketFifoId id)
{
    try {
        FifoRef fifo = sGetFifo(id);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> lock(fifo->mutex);
        return fifo->queue.size();
    } catch (...) {
        return 0;
    }
}

u64 aPacketFifo_GetSleepCount(aPacketFifoId id)
{
    try {
        FifoRef fifo = sGetFifo(id);
        return fifo ? fifo->condition.sleeps() : 0;
    } catch (...) {
        return 0;
    }
}
