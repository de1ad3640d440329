// Packet log ring and the per-link packet-debugging calls.
#include "aPacketDebug.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "aLinkManagerInternal.h"

namespace {

// Enable and set-size of any link are serialised, so two enables never make two logs.
std::mutex sEnableMutex;

u32 _used(const aPacketLog* log)
{
    return (log->writeIndex + log->size - log->readIndex) % log->size;
}

void _dropOldest(aPacketLog* log)
{
    u32 length = log->data[(log->readIndex + 1) % log->size];
    log->readIndex = (log->readIndex + 2 + length) % log->size;
}

void _putByte(aPacketLog* log, u8 byte)
{
    log->data[log->writeIndex] = byte;
    log->writeIndex = (log->writeIndex + 1) % log->size;
}

} // namespace

aPacketLog* aPacketLog_Create(u32 size)
{
    if (size == 0)
        return NULL;
    aPacketLog* log = (aPacketLog*)calloc(1, sizeof(aPacketLog));
    if (!log)
        return NULL;
    log->data = (u8*)malloc(size);
    if (!log->data) {
        free(log);
        return NULL;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, int kind, u32 n, const void* bytes)
{
    if (!log || !log->data || (n > 0 && !bytes))
        return aErrParam;
    // The length is one byte, and a record must leave one byte free so that equal indexes
    // still mean empty.
    if (n > 255 || (u64)n + 2 >= log->size)
        return aErrOverrun;
    while ((u64)n + 2 >= log->size - _used(log))
        _dropOldest(log);
    _putByte(log, (u8)kind);
    _putByte(log, (u8)n);
    const u8* p = (const u8*)bytes;
    for (u32 i = 0; i < n; i++)
        _putByte(log, p[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int* kind, u32* n, void* buffer)
{
    if (!log || !log->data || !kind || !n)
        return aErrParam;
    if (log->readIndex == log->writeIndex)
        return aErrNotFound;
    u32 length = log->data[(log->readIndex + 1) % log->size];
    u32 capacity = *n;
    *kind = log->data[log->readIndex];
    *n = length;
    if (length > capacity)
        return aErrOverrun;
    if (length > 0 && !buffer)
        return aErrParam;
    u8* out = (u8*)buffer;
    u32 at = (log->readIndex + 2) % log->size;
    for (u32 i = 0; i < length; i++) {
        out[i] = log->data[at];
        at = (at + 1) % log->size;
    }
    log->readIndex = at;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (log && *log) {
        (*log)->enabled = 0;
        free((*log)->data);
        free(*log);
        *log = NULL;
    }
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkId id, int size)
{
    aLink* link = sGetLink(id);
    if (!link || size > aPACKETLOG_MAXSIZE)
        return aErrParam;
    std::lock_guard<std::mutex> lock(sEnableMutex);
    if (link->log.load(std::memory_order_acquire))
        return aErrBusy;
    link->logSize = size < 0 ? 0 : (u32)size;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkId id)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    std::lock_guard<std::mutex> lock(sEnableMutex);
    if (link->logSize == 0)
        link->logSize = aPACKETLOG_DEFAULTSIZE;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (!log) {
        char label[256];
        snprintf(label, sizeof label, "LOG_SEMA_%p", (void*)link);
        aMutex* mutex = aMutex_Create(label);
        log = aPacketLog_Create(link->logSize);
        if (!mutex || !log) {
            aMutex_Destroy(&mutex);
            aPacketLog_Destroy(&log);
            return aErrResource;
        }
        // The mutex must be in place before any pipe thread can see the log.
        link->logMutex = mutex;
        link->log.store(log, std::memory_order_release);
    }
    log->enabled = 1;
    return aErrNone;
}

aErr aLink_PacketDebug_Disable(aLinkId id)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    std::lock_guard<std::mutex> lock(sEnableMutex);
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (!log)
        return aErrNotReady;
    log->enabled = 0;
    return aErrNone;
}

// Runs fn on the link's log under the log's mutex: aErrParam without such a link, aErrNotReady
// while logging was never enabled on it.
template <class Fn>
static aErr sWithLog(aLinkId id, Fn fn)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (!log)
        return aErrNotReady;
    aMutex_Lock(link->logMutex);
    aErr err = fn(log);
    aMutex_Unlock(link->logMutex);
    return err;
}

aErr aLink_PacketDebug_Read(aLinkId id, int* kind, u32* n, void* buffer)
{
    return sWithLog(id, [&](aPacketLog* log) { return aPacketLog_Get(log, kind, n, buffer); });
}

aErr aLink_PacketDebug_Write(aLinkId id, int kind, u32 n, const void* bytes)
{
    return sWithLog(id, [&](aPacketLog* log) { return aPacketLog_Put(log, kind, n, bytes); });
}
