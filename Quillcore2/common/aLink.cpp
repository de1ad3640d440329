// The link engine: creating, starting, syncing, stopping and releasing links, and the two
// pipe threads of every running link.
#include "aLink.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "aPacketDebug.h"
#include "aServer_ZeroMQ.h"
#include "aStream_ZeroMQClient.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

// Start and sync wait for the in-pipe thread this long (200 polls of 10 ms).
const long kLinkWaitMS = 2000;
// Pause after sync before the surplus replies are drained.
const u64 kSyncSettleMS = 100;
// Pause after a failed stream read.
const int kReadErrorPauseMS = 100;
// A handshake that got no byte is restarted no sooner than this after its last start. The
// slack, for streams without a descriptor only (USB), lets a read that waited out its own
// 1000 ms bound count as a full second, so USB links still send a burst after every empty
// read; streams whose readiness is polled wait the full second.
const long kResyncIntervalMS = 1000;
const long kResyncSlackMS = 50;
// Upper bound of one readiness wait; the wake event ends it earlier.
const int kIdleWaitMS = 1000;
// Pause before reading again a stream that offers no descriptor and returned at once, or
// whose descriptor reports readiness without a byte (a peer that has closed in order).
const int kNoDataPauseMS = 10;
const int kDeadStreamPauseMS = 100;
// Longest packet wait; longer time-outs would overflow the clock's arithmetic.
const unsigned long kLongestWaitMS = 1000ul * 60 * 60 * 24 * 365;
// Requests in one sync burst; the handshake itself consumes two of their replies.
const int kSyncBurst = 6;

// State changes that start and sync wait on. One for the whole engine: waits are rare
// (connects only) and this keeps the link record plain.
std::mutex sStateMutex;
std::condition_variable sStateChanged;

void sSetStatus(aLink* link, int status)
{
    {
        std::lock_guard<std::mutex> lock(sStateMutex);
        link->status.store(status);
    }
    sStateChanged.notify_all();
}

template <typename Pred>
bool sWaitForState(Pred pred, long ms)
{
    std::unique_lock<std::mutex> lock(sStateMutex);
    return sStateChanged.wait_for(lock, std::chrono::milliseconds(ms), pred);
}

void sWake(aLink* link)
{
    if (link->wakeFd >= 0) {
        u64 one = 1;
        ssize_t n = write(link->wakeFd, &one, sizeof one);
        (void)n; // a full counter already wakes the reader
    }
}

void sDrainWake(aLink* link)
{
    u64 count;
    ssize_t n = read(link->wakeFd, &count, sizeof count);
    (void)n;
}

// Waits until the stream's descriptor (when it has one) may have a byte, the link is woken,
// or ms pass. Returns true when the stream's descriptor reported readiness.
bool sWaitReadable(aLink* link, int fd, int ms)
{
    struct pollfd fds[2];
    int n = 0;
    if (link->wakeFd >= 0) {
        fds[n].fd = link->wakeFd;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        n++;
    }
    int streamAt = -1;
    if (fd >= 0) {
        streamAt = n;
        fds[n].fd = fd;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        n++;
    }
    if (n == 0) {
        aTime_MSSleep((u64)ms);
        return false;
    }
    int ready = poll(fds, (nfds_t)n, ms);
    if (ready <= 0)
        return false;
    if (link->wakeFd >= 0 && (fds[0].revents & POLLIN))
        sDrainWake(link);
    return streamAt >= 0 && fds[streamAt].revents != 0;
}

// Records [address][length][data] of a packet in the link's log, when it has one.
void sLogPacket(aLink* link, int kind, const aPacket* packet)
{
    aPacketLog* log = link->log.load(std::memory_order_acquire);
    if (!log)
        return;
    u8 wire[2 + 28];
    u8 length = packet->length <= 28 ? packet->length : 28;
    wire[0] = packet->address;
    wire[1] = length;
    memcpy(wire + 2, packet->data, length);
    aMutex_Lock(link->logMutex);
    aPacketLog_Put(log, kind, (u32)length + 2, wire);
    aMutex_Unlock(link->logMutex);
}

// [address][length][data] in one write, so a framed transport sends one frame per packet.
// Returns the write's result.
aErr sWritePacket(aLink* link, const aPacket* packet, bool log)
{
    u8 wire[2 + 28];
    u8 length = packet->length <= 28 ? packet->length : 28;
    wire[0] = packet->address;
    wire[1] = length;
    memcpy(wire + 2, packet->data, length);
    aErr err = aStream_Write(link->stream, wire, (size_t)length + 2);
    if (log)
        sLogPacket(link, kPacketLogSent, packet);
    return err;
}

aErr sPutLinkPacket(aLink* link, u8 address, u8 length, const u8* data)
{
    aPacket* packet = aPacket_CreateWithData(address, length, data);
    if (!packet)
        return aErrMemory;
    aErr err = aPacketFifo_Put(link->outFifo, packet);
    aPacket_Destroy(&packet);
    return err;
}

// What the in-pipe thread keeps between bytes besides the link record's own fields.
struct InPipeState {
    bool syncStarted = false;
    Clock::time_point lastSyncStart;
    // Until then, replies to the last sync burst still expected after the handshake ended
    // (link->syncSurplus) are dropped when they come.
    Clock::time_point surplusDeadline;
};

void sStartSync(aLink* link, InPipeState& state)
{
    aTRACE(aDEBUG_LINK, "syncStart\n");
    sSetStatus(link, kLinkStatusSyncing);
    link->syncState.store(kSyncStateStart);
    aPacket_Reset(link->packet);
    state.syncStarted = true;
    state.lastSyncStart = Clock::now();
    link->syncSurplus.store(0);
    aErr err = aErrNone;
    for (int i = 0; i < kSyncBurst; i++)
        err = sPutLinkPacket(link, cmdMAGIC, 0, (const u8*)"");
    if (err == aErrNone)
        link->syncState.store(kSyncStateByte1);
}

void sSyncByte(aLink* link, InPipeState& state, u8 byte)
{
    switch (link->syncState.load()) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState.store(kSyncStateByte2);
            aTRACE(aDEBUG_LINK, "sync2\n");
        } else {
            sStartSync(link, state);
        }
        break;
    case kSyncStateByte2:
        link->syncState.store(byte == 0 ? kSyncStateByte3 : kSyncStateStart);
        if (byte == 0)
            aTRACE(aDEBUG_LINK, "sync3\n");
        break;
    case kSyncStateByte3:
        link->syncState.store(byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart);
        if (byte == link->syncAddress)
            aTRACE(aDEBUG_LINK, "sync4\n");
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState.store(kSyncStateIdle);
            link->syncSurplus.store(kSyncBurst - 2);
            state.surplusDeadline = Clock::now() + std::chrono::milliseconds(kResyncIntervalMS);
            sSetStatus(link, kLinkStatusRunning);
            aTRACE(aDEBUG_LINK, "synced\n");
        } else {
            link->syncState.store(kSyncStateStart);
        }
        break;
    default: // kSyncStateStart, or a sync that aLink_Sync asked for (status only)
        if (link->syncState.load() != kSyncStateStart)
            aTRACE(aDEBUG_LINK, "sync default\n");
        sStartSync(link, state);
        break;
    }
}

// Returns true when the packet was a heartbeat, which is answered here and never delivered.
bool sHandleHBBackChannel(aLink* link, const aPacket* packet)
{
    if (packet->length != 2 || packet->data[0] != 0)
        return false;
    u32 hb = link->hbState.load();
    if (hb == 2 || hb == 3)
        return false;
    u8 s = packet->data[1];
    if (s == 0) {
        link->hbState.store(2);
        aTRACE(aDEBUG_PACKETS, "sending HB UP\n");
    } else if (s == 1) {
        link->hbState.store(3);
        aTRACE(aDEBUG_PACKETS, "sending HB DOWN\n");
    }
    u8 reply[2] = {0, (u8)(s + 2)};
    aPacket* answer = aPacket_CreateWithData(packet->address, 2, reply);
    bool down = false;
    if (answer) {
        aPacketFifo_Put(link->outFifo, answer);
        link->hbState.store(0);
        down = (answer->data[1] & 1) != 0;
        aPacket_Destroy(&answer);
    }
    if (link->hbCallback)
        link->hbCallback(down);
    return true;
}

bool sIsSurplusSyncReply(aLink* link, InPipeState& state, const aPacket* packet)
{
    int left = link->syncSurplus.load();
    if (left <= 0 || packet->length != 0 || packet->address != link->syncAddress)
        return false;
    if (Clock::now() >= state.surplusDeadline) {
        link->syncSurplus.store(0);
        return false;
    }
    // A user's address query cancels the count meanwhile: its reply is then delivered.
    return link->syncSurplus.compare_exchange_strong(left, left - 1);
}

aErr sHandlePacket(aLink* link, InPipeState& state)
{
    aPacket* packet = link->packet;
    if (!aPacket_IsComplete(packet))
        return aErrNone;
    sLogPacket(link, kPacketLogReceived, packet);

    aErr err = aErrNone;
    if (!sIsSurplusSyncReply(link, state, packet)) {
        unsigned char consumed = 0;
        aMutex_Lock(link->filterMutex);
        if (link->userFilter)
            consumed = link->userFilter(packet, link->userRef);
        aMutex_Unlock(link->filterMutex);
        if (consumed != 1 && !sHandleHBBackChannel(link, packet))
            err = aPacketFifo_Put(link->inFifo, packet);
    }
    // Every path leaves the working packet empty for the next one.
    aPacket_Reset(packet);
    return err;
}

void* sInPipeProcess(void* arg)
{
    aLink* link = (aLink*)arg;
    InPipeState state;
    link->hbState.store(0);
    link->syncState.store(kSyncStateIdle);
    link->inStarted.store(1);
    sSetStatus(link, kLinkStatusRunning);

    bool readyWithoutData = false;
    Clock::time_point lastEmpty; // of a stream without descriptor
    u32 connection = aStream_GetConnection(link->stream);
    while (link->running.load()) {
        char byte;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            Clock::time_point now = Clock::now();
            int fd = aStream_GetDescriptor(link->stream);
            const std::chrono::milliseconds resync(fd < 0 ? kResyncIntervalMS - kResyncSlackMS
                                                          : kResyncIntervalMS);
            if (link->status.load() == kLinkStatusSyncing
                && (!state.syncStarted || now - state.lastSyncStart >= resync))
                sStartSync(link, state);
            int ms = kIdleWaitMS;
            if (link->status.load() == kLinkStatusSyncing) {
                // Rounded up: a poll that ended just short of the second would spin on
                // one-millisecond waits until it has passed.
                auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    state.lastSyncStart + resync - now);
                ms = left.count() < 1 ? 1 : left.count() > kIdleWaitMS ? kIdleWaitMS
                                                                       : (int)left.count();
            }
            if (fd < 0) {
                // No descriptor: a read that blocks by itself (USB, up to 1000 ms) is read
                // again at once; empty reads that come back to back get a short pause
                // instead of a spin.
                if (now - lastEmpty < std::chrono::milliseconds(1))
                    sWaitReadable(link, -1, ms < kNoDataPauseMS ? ms : kNoDataPauseMS);
                lastEmpty = now;
            } else if (readyWithoutData) {
                // The descriptor said readable but there was nothing: a closed peer keeps
                // saying so, so wait on the wake event alone for a while.
                readyWithoutData = false;
                sWaitReadable(link, -1, ms < kDeadStreamPauseMS ? ms : kDeadStreamPauseMS);
            } else {
                readyWithoutData = sWaitReadable(link, fd, ms);
            }
            continue;
        }
        readyWithoutData = false;
        if (err != aErrNone) {
            sSetStatus(link, kLinkStatusIOError);
            sWaitReadable(link, -1, kReadErrorPauseMS);
            continue;
        }
        const u32 current = aStream_GetConnection(link->stream);
        if (current != connection) {
            // The stream connected again: a packet begun on the old connection never ends,
            // and the new one starts with a packet of its own.
            connection = current;
            aPacket_Reset(link->packet);
        }
        u8 b = (u8)byte;
        if (link->status.load() == kLinkStatusSyncing) {
            sSyncByte(link, state, b);
            continue;
        }
        if (aPacket_AddByte(link->packet, b) != aErrNone) {
            // Out of byte sync with the device, whatever the transport.
            aTRACE(aDEBUG_LINK, "Out of sync\n");
            sStartSync(link, state);
            continue;
        }
        if (sHandlePacket(link, state) != aErrNone)
            sSetStatus(link, kLinkStatusError);
    }
    return NULL;
}

void* sOutPipeProcess(void* arg)
{
    aLink* link = (aLink*)arg;
    {
        std::lock_guard<std::mutex> lock(sStateMutex);
        link->outStarted.store(1);
    }
    sStateChanged.notify_all();
    while (link->running.load()) {
        aPacket* packet = aPacketFifo_Await(link->outFifo, kIdleWaitMS);
        if (!packet)
            continue;
        sWritePacket(link, packet, true);
        aPacket_Destroy(&packet);
    }
    // What a stop leaves queued (its route-off among it) still goes to the device, unless
    // the device stops taking writes: each failed one may have waited out the transport's
    // time-out (seconds on USB), so the rest is dropped rather than held up for each packet.
    bool writing = true;
    while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
        if (writing)
            writing = sWritePacket(link, packet, false) == aErrNone;
        aPacket_Destroy(&packet);
    }
    return NULL;
}

unsigned char drainAll(const aPacket*, const void*)
{
    return 1;
}

aErr aLink_Stop(aLink* link)
{
    if (!link)
        return aErrParam;
    int status = link->status.load();
    if (status == kLinkStatusStopping || status == kLinkStatusStopped)
        return aErrNone;
    sSetStatus(link, kLinkStatusStopping);
    if (!link->inPipe && !link->outPipe)
        return aErrNone;
    const u8 off = 0;
    aErr err = sPutLinkPacket(link, cmdFORCEROUTE, 1, &off);
    link->running.store(0);
    sWake(link);
    aPacketFifo_WakeWaiters(link->outFifo);
    if (link->inPipe && aThread_Destroy(&link->inPipe) != 0)
        err = aErrUnknown;
    if (link->outPipe && aThread_Destroy(&link->outPipe) != 0)
        err = aErrUnknown;
    link->inStarted.store(0);
    link->outStarted.store(0);
    aPacket_Reset(link->packet);
    sSetStatus(link, kLinkStatusStopped);
    link->hbState.store(0);
    return err;
}

// Frees what aLink_Init made; safe on a record that was only partly set up. Returns the out
// FIFO's destroy result.
aErr sReleaseLinkParts(aLink* link, bool stream)
{
    aErr err = aErrNone;
    if (link->inFifo)
        aPacketFifo_Destroy(&link->inFifo);
    if (link->outFifo)
        err = aPacketFifo_Destroy(&link->outFifo);
    if (link->packet)
        aPacket_Destroy(&link->packet);
    if (link->filterMutex)
        aMutex_Destroy(&link->filterMutex);
    if (link->wakeFd >= 0) {
        close(link->wakeFd);
        link->wakeFd = -1;
    }
    if (stream && link->stream)
        aStream_Destroy(&link->stream);
    return err;
}

// The sharing server attached to a link; its threads end here, before the link's FIFOs go.
void sDestroyAttachedServer(aLinkEntry* entry)
{
    aServer_Destroy(&entry->server);
}

aErr sTearDown(aLinkEntry* entry)
{
    aErr err = aErrNone;
    aLink* link = entry->link;
    if (link) {
        if (link->filterMutex) {
            aMutex_Lock(link->filterMutex);
            link->userFilter = NULL;
            link->userRef = NULL;
            aMutex_Unlock(link->filterMutex);
        }
        aLink_Stop(link);
    }
    // The server's threads use this link's FIFOs: they end before the FIFOs go.
    if (entry->server)
        sDestroyAttachedServer(entry);
    if (entry->parentId) {
        aLinkId parent = entry->parentId;
        aLink_Destroy(&parent);
    }
    if (link) {
        err = sReleaseLinkParts(link, true);
        aPacketLog* log = link->log.exchange(NULL);
        aPacketLog_Destroy(&log);
        if (link->logMutex)
            aMutex_Destroy(&link->logMutex);
    }
    sFreeEntry(entry);
    return err;
}

// Tears down a link that never got its first use; the creating calls' failure path.
aLinkId sAbandon(aLinkId id)
{
    aLinkId doomed = id;
    aLink_Destroy(&doomed);
    return 0;
}

// Serial links: baud rate to the serial stream's index.
int sBaudIndex(int baud)
{
    static const int rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < (int)(sizeof rates / sizeof rates[0]); i++)
        if (rates[i] == baud)
            return i;
    return -1;
}

} // namespace

aLinkId aLink_Init(aLinkId id, aStream* stream)
{
    aLinkEntry* entry = sLookupEntryByID(id);
    if (!entry || !entry->link)
        return 0;
    aLink* link = entry->link;
    link->id = id;
    link->check = aLINKCHECK;
    link->running.store(0);
    link->stream = stream;
    link->status.store(stream ? kLinkStatusStopped : kLinkStatusNoStream);
    link->inPipe = NULL;
    link->outPipe = NULL;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inEntry = sInPipeProcess;
    link->outEntry = sOutPipeProcess;
    link->inStarted.store(0);
    link->outStarted.store(0);
    link->hbState.store(0);
    link->hbCallback = NULL;
    link->syncState.store(kSyncStateIdle);
    link->packet = aPacket_Create();
    link->log.store(NULL);
    link->logSize = 0;
    link->logMutex = NULL;
    link->userFilter = NULL;
    link->userRef = NULL;
    char label[256];
    snprintf(label, sizeof label, "aLink(%p)->userFilterSema", (void*)link);
    link->filterMutex = aMutex_Create(label);
    link->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!link->inFifo || !link->outFifo || !link->packet || !link->filterMutex
        || link->wakeFd < 0)
        return 0;
    return id;
}

aErr aLink_Start(aLinkId id)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    if (link->running.load())
        return aErrNone;
    if (!link->stream || !link->inFifo)
        return aErrParam;
    link->running.store(1);
    sSetStatus(link, kLinkStatusStarting);
    link->hbState.store(0);
    link->inStarted.store(0);
    link->outStarted.store(0);
    link->inPipe = aThread_Create(link->inEntry, link);
    if (!link->inPipe)
        return aErrResource;
    link->outPipe = aThread_Create(link->outEntry, link);
    if (!link->outPipe)
        return aErrResource;
    bool up = sWaitForState(
        [&] {
            return link->inStarted.load() && link->outStarted.load()
                   && link->status.load() == kLinkStatusRunning;
        },
        kLinkWaitMS);
    if (!up)
        return aErrIndexRange;
    return aLink_ForceRoute(id, 1);
}

aErr aLink_Sync(aLinkId id)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    sSetStatus(link, kLinkStatusSyncing);
    sWake(link); // an idle reader notices at once instead of at its next wake-up
    bool synced = sWaitForState([&] { return link->status.load() == kLinkStatusRunning; },
                                kLinkWaitMS);
    aPacketFifo_DrainPackets(link->outFifo, drainAll, NULL);
    aTime_MSSleep(kSyncSettleMS);
    aPacketFifo_DrainPackets(link->inFifo, drainAll, NULL);
    // The requests drained above are never answered: expect no more surplus replies.
    link->syncSurplus.store(0);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(aLinkId id, int on)
{
    aLinkEntry* entry = sLookupEntryByID(id);
    if (!entry)
        return aErrNotFound;
    if (!entry->link)
        return aErrParam;
    u8 data = (u8)on;
    return sPutLinkPacket(entry->link, cmdFORCEROUTE, 1, &data);
}

aErr aLink_Destroy(aLinkId* id)
{
    if (!id)
        return aErrParam;
    bool last = false;
    aLinkEntry* entry = sReleaseUse(*id, &last);
    *id = 0;
    if (!entry)
        return aErrParam;
    if (!last)
        return aErrNone;
    return sTearDown(entry);
}

// Stops the entry's link, opens a new stream of the entry's kind and starts the link on it.
static aErr aLink_ResetLink(aLinkEntry* entry)
{
    if (!entry || !entry->link)
        return aErrParam;
    aLinkId id = entry->id;
    aLink* link = entry->link;
    aLink_Stop(link);
    sReleaseLinkParts(link, true);
    // The record starts again without a packet log, as a new one does.
    aPacketLog* log = link->log.exchange(NULL);
    aPacketLog_Destroy(&log);
    if (link->logMutex)
        aMutex_Destroy(&link->logMutex);
    aStream* stream = NULL;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < 20; attempt++) {
        switch (entry->type) {
        case aLINKTYPE_TCPIP:
            err = aStream_CreateSocket(entry->identifier, (u16)entry->port, &stream);
            break;
        case aLINKTYPE_USB:
            // A link bound to a port path opens the device there again, never another one
            // with the same serial number.
            err = entry->usbPath.count
                ? aStream_CreateUSBAt(entry->identifier, &entry->usbPath, &stream)
                : aStream_CreateUSB(entry->identifier, &stream);
            break;
        case aLINKTYPE_AETHER:
            err = aStream_CreateClient(entry->identifier, (u16)entry->port, &stream);
            break;
        default:
            err = aErrParam;
            break;
        }
        if (err == aErrNone && stream)
            break;
        aTime_MSSleep(100);
    }
    if (err != aErrNone || !stream)
        return err != aErrNone ? err : aErrResource;
    if (aLink_Init(id, stream) != id)
        return aErrResource;
    return aLink_Start(id);
}

aErr aLink_Reset(aLinkId id)
{
    return aLink_ResetLink(sLookupEntryByID(id));
}

// path NULL: any device with the serial.
static aLinkId sCreateUSB(u32 serial, const aUSBPortPath* path)
{
    bool served = false;
    aLinkEntry* shared = path ? sLookupAndUseUSBAt(serial, path, &served)
                              : sLookupAndUseByIdentifier(serial, true, &served);
    if (shared)
        return shared->id;
    if (served)
        return 0; // a served device is reached through its sharing server only
    aLinkId id = sCreate3(serial, 0, 0, aLINKTYPE_USB, path);
    if (!id)
        return 0;
    aStream* stream = NULL;
    aErr err =
        path ? aStream_CreateUSBAt(serial, path, &stream) : aStream_CreateUSB(serial, &stream);
    if (err == aErrNone && aLink_Init(id, stream) != id)
        err = aErrConnection;
    if (err != aErrNone)
        return sAbandon(id); // the link record owns the stream once it is set
    sChangeUseCount(sLookupEntryByID(id), 1);
    err = aLink_Start(id);
    if (err == aErrNone)
        err = aLink_Sync(id);
    if (err == aErrNone)
        err = aLink_ForceRoute(id, 1);
    if (err != aErrNone)
        return sAbandon(id);
    return id;
}

aLinkId aLink_CreateUSB(u32 serial)
{
    return sCreateUSB(serial, NULL);
}

aLinkId aLink_CreateUSBAt(u32 serial, const aUSBPortPath* path)
{
    if (!path || path->count == 0 || path->count > aUSB_PORT_PATH_MAX)
        return 0;
    return sCreateUSB(serial, path);
}

aLinkId aLink_CreateTCPIP(u32 address, u32 port)
{
    aLinkEntry* shared = sLookupAndUseByIdentifier(address, false, NULL);
    if (shared)
        return shared->id;
    aLinkId id = sCreate(address, port & 0xFFFF, aLINKTYPE_TCPIP);
    if (!id)
        return 0;
    aStream* stream = NULL;
    if (aStream_CreateSocket(address, (u16)port, &stream) != aErrNone || !stream)
        return sAbandon(id);
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone)
        return sAbandon(id);
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

aLinkId aLink_CreateSerial(u32 serial, const char* portName, int baudRate)
{
    aLinkEntry* shared = sLookupAndUseByIdentifier(serial, false, NULL);
    if (shared)
        return shared->id;
    int index = sBaudIndex(baudRate);
    if (index < 0 || !portName)
        return 0;
    aLinkId id = sCreate(serial, 0, aLINKTYPE_SERIAL);
    if (!id)
        return 0;
    aStream* stream = NULL;
    if (aStream_CreateSerial(portName, (u32)index, 0, 0, 0, &stream) != aErrNone || !stream)
        return sAbandon(id);
    if (aLink_Init(id, stream) != id)
        return sAbandon(id);
    sChangeUseCount(sLookupEntryByID(id), 1);
    if (aLink_Start(id) != aErrNone)
        return sAbandon(id);
    return id;
}

aLinkId aLink_Create(aStream* stream)
{
    if (!stream)
        return 0;
    aLinkId id = sCreate(0xFFFFFFFF, 0, aLINKTYPE_STREAM);
    if (!id)
        return 0;
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone)
        return sAbandon(id);
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

// Shared links. Client indexes only grow, so every new client link has an entry of its own.
static std::atomic<int> _clientCount{0};

// The next packet received on a link after putting one [address][length][data] on it.
static aPacket* sExchange(aLinkId id, u8 address, u8 length, const u8* data)
{
    aPacket* request = aPacket_CreateWithData(address, length, data);
    aErr err = request ? aLink_PutPacket(id, request) : aErrMemory;
    aPacket_Destroy(&request);
    return err == aErrNone ? aLink_AwaitPacket(id, 1000) : NULL;
}

// Learns the served module's address and model through the new client link and tells the
// server, which answers discovery from then on. Any other packet counts as a wrong reply.
static aErr _getDeviceInfo(aLinkId clientId, aServer* server)
{
    const u8 none = 0;
    aErr err = aErrNone;
    u8 address = 0;
    aPacket* reply = sExchange(clientId, cmdMAGIC, 0, &none);
    if (!reply)
        err = aErrTimeout;
    else if (reply->length != 0 || reply->address == 0)
        err = aErrIO;
    else
        address = reply->address;
    aPacket_Destroy(&reply);
    if (err == aErrNone) {
        aServer_SetModuleAddress(server, address);
        const u8 getModel[3] = {0x03, 0x48, 0x20}; // system entity, GET of option 8, index 0
        reply = sExchange(clientId, address, 3, getModel);
        if (!reply)
            err = aErrTimeout;
        else if (reply->length != 4 || reply->address != address || reply->data[0] != 0x03)
            err = aErrIO;
        else
            aServer_SetModel(server, reply->data[3]);
        aPacket_Destroy(&reply);
    }
    if (err != aErrNone)
        aServer_FlushFIFO(server);
    return err;
}

aLinkId aLink_CreateServer(u32 serial, u16* port, u32* networkInterface, bool localOnly)
{
    if (!port || !networkInterface)
        return 0;
    // A plain link to the device already serves users of this process: a server on it would
    // take their replies for its clients'.
    // (A use is held while the entry is looked at, so it cannot go meanwhile.)
    if (aLinkEntry* existing = sLookupAndUseByIdentifier(serial, false, NULL)) {
        bool plainUSB = existing->type == aLINKTYPE_USB;
        aLinkId held = existing->id;
        aLink_Destroy(&held);
        if (plainUSB) {
            aTRACE(aDEBUG_SERVER, "Failed to create server\n");
            return 0;
        }
    }
    aLinkId usb = aLink_CreateUSB(serial);
    if (!usb) {
        aTRACE(aDEBUG_SERVER, "Failed to create server\n");
        return 0;
    }
    aLinkId client = 0;
    bool parentSet = false;
    aServer* server = aServer_Create(usb, *networkInterface, localOnly);
    bool ok = server != NULL && sAttachServer(usb, server);
    if (!ok)
        aServer_Destroy(&server);
    u32 served = 0;
    ok = ok && aServer_Start(server) == aErrNone && aServer_GetPort(server, port) == aErrNone
         && aServer_GetInterface(server, &served) == aErrNone;
    if (ok) {
        client = aLink_CreateClient(served, *port, 0);
        aLinkEntry* clientEntry = client ? sLookupEntryByID(client) : NULL;
        ok = clientEntry != NULL;
        if (ok) {
            clientEntry->parentId = usb;
            parentSet = true;
        }
    }
    if (ok) {
        ok = false;
        for (int attempt = 0; attempt < 5 && !ok; attempt++) {
            ok = _getDeviceInfo(client, server) == aErrNone;
            if (!ok)
                aTime_MSSleep(10);
        }
    }
    if (ok) {
        *networkInterface = served;
        return client;
    }
    aTRACE(aDEBUG_SERVER, "Failed to create server\n");
    // The client's release takes its parent with it once the parent is set; the USB link's
    // release destroys the attached server.
    if (parentSet) {
        aLink_Destroy(&client);
    } else {
        aLink_Destroy(&usb);
        if (client)
            aLink_Destroy(&client);
    }
    return 0;
}

aLinkId aLink_CreateClient(u32 address, u32 port, aLinkId existing)
{
    if (existing)
        return sLookupAndUseByID(existing) ? existing : 0;
    aLinkId id = sCreate2(address, port & 0xFFFF, _clientCount++, aLINKTYPE_AETHER);
    if (!id)
        return 0;
    aStream* stream = NULL;
    if (aStream_CreateClient(address, (u16)port, &stream) != aErrNone)
        return sAbandon(id);
    // The link record owns the stream once aLink_Init has set it, also when the init fails.
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone)
        return sAbandon(id);
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

aLinkStatus aLink_GetStatus(aLinkId id)
{
    aLink* link = sGetLink(id);
    return link ? link->status.load() : kLinkStatusNoStream;
}

aErr aLink_InstallUserPacketFilter(aLinkId id, aUserPacketFilterProc filter, void* ref)
{
    aLink* link = sGetLink(id);
    if (!link || !link->filterMutex)
        return aErrParam;
    aMutex_Lock(link->filterMutex);
    link->userFilter = filter;
    link->userRef = filter ? ref : NULL;
    aMutex_Unlock(link->filterMutex);
    return aErrNone;
}

u64 aLink_DrainPackets(aLinkId id, aPacketFilterProc filter, const void* ref)
{
    aLink* link = sGetLink(id);
    return link ? aPacketFifo_DrainPackets(link->inFifo, filter, ref) : 0;
}

aErr sLinkPutPacket(aLink* link, const aPacket* packet)
{
    // An address query is answered like a sync request: its reply must not be taken for a
    // late answer to the last sync burst.
    if (aVALIDPACKET(packet) && packet->address == cmdMAGIC)
        link->syncSurplus.store(0);
    return aPacketFifo_Put(link->outFifo, packet);
}

aErr aLink_PutPacket(aLinkId id, const aPacket* packet)
{
    aLink* link = sGetLink(id);
    if (!link)
        return aErrParam;
    return sLinkPutPacket(link, packet);
}

aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilterProc filter, const void* ref,
                          unsigned long msTimeout)
{
    aLink* link = sGetLink(id);
    if (!link || !filter)
        return NULL; // without a filter every FIFO wait returns at once: no spinning on it
    // A steady clock: a change of the system time must not stretch or cut a wait. Longer
    // time-outs are cut to a year, before the clock's arithmetic wraps them.
    if (msTimeout > kLongestWaitMS)
        msTimeout = kLongestWaitMS;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(msTimeout);
    aPacket* packet = NULL;
    for (Clock::time_point now = Clock::now(); link->running.load()
                                               && link->status.load() == kLinkStatusRunning
                                               && !packet && now < deadline;
         now = Clock::now()) {
        // Rounded up: a FIFO wait that ended a fraction of a millisecond early would start
        // another one, which offers every queued packet to the filter a second time.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        unsigned long ms = left.count() > 0 ? (unsigned long)left.count() : 1;
        packet = aPacketFifo_AwaitFirst(link->inFifo, filter, ref, ms);
    }
    return packet;
}

aPacket* aLink_AwaitPacket(aLinkId id, unsigned long msTimeout)
{
    aLink* link = sGetLink(id);
    return link ? aPacketFifo_Await(link->inFifo, msTimeout) : NULL;
}

aPacket* aLink_GetPacket(aLinkId id)
{
    aLink* link = sGetLink(id);
    return link ? aPacketFifo_Get(link->inFifo) : NULL;
}

aPacket* aLink_GetFirst(aLinkId id, aPacketFilterProc filter, const void* ref)
{
    aLink* link = sGetLink(id);
    return link ? aPacketFifo_GetFirst(link->inFifo, filter, ref) : NULL;
}
