// Link: connecting through the engine, entity-protocol requests and raw commands, streams.
#include "Link.h"

#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>

#include "aFile.h"
#include "aLogger.h"
#include "aPacketDebug.h"
#include "aTime.h"
#include "aUEI.h"

namespace Velmoran {
namespace Quillcore {

#define sNAME_MAX 1024
#define sWAIT_POLLS 200
#define sWAIT_STEP_MS 10
#define sREPLY_WAIT_MS 1000
#define sMAX_RAW_PAYLOAD (aPACKETMAXDATA - 1)
// The chunk trailer holds a 7-bit sequence number, so one string has at most 128 chunks.
#define sMAX_BYTES_CHUNKS 128
#define sSTREAM_QUEUE_SLOTS 500
#define cmdSTREAM 93

aEtherConfig::aEtherConfig()
    : enabled(true), fallback(true), localOnly(true), assignedPort(0),
      networkInterface(htonl(INADDR_LOOPBACK))
{
}

namespace {

struct StreamEntry {
    u64 key = 0;
    u8 fresh = 0;
    Link::streamCallback callback;
    void* pRef = nullptr;
    u32 value = 0;
};

struct asyncPacket {
    Link::streamCallback callback;
    void* pRef = nullptr;
    aPacket* packet = nullptr;
    u32 epoch = 0;  // StreamJobs::epoch when it was queued
};

// What the stream workers of one Link share with it. Each worker holds it too, so a worker
// that outlives its Link (a callback that destroyed it, or a teardown on a worker thread,
// which cannot join) touches nothing of the Link.
//
// Callbacks of one Link run one at a time: a worker pops a job and runs its callback with
// `running` held. A worker that retires inside a callback goes on until the callback returns,
// and the new worker started meanwhile waits on `running` for it instead of joining it; the
// old one then sees its stop and leaves. So no worker ever joins or waits for the end of
// another one, and one worker at a time takes jobs from the ring.
struct StreamJobs {
    explicit StreamJobs(u16 slots) : queue(slots) {}
    ~StreamJobs()
    {
        asyncPacket job;
        while (queue.pop(&job))
            aPacket_Destroy(&job.packet);
    }
    LocklessQueue_SPSC<asyncPacket> queue;
    std::mutex running;
    // Moved on at every stop: a job queued before it is dropped unrun. A stop made where the
    // ring cannot be emptied at once (on a worker thread) leaves its jobs to the next worker.
    std::atomic<u32> epoch{0};
};

struct RetiredWorker {
    std::thread thread;
    std::future<void> ended;  // ready once the worker has left its loop
};

// Set on every stream worker thread, of any Link: such a thread never joins a worker, since
// two workers could then wait for each other.
thread_local bool sOnStreamWorker = false;

// Match record of sCommandFilter.
struct sCommandMatch {
    u8 count;
    const u8* bytes;
};

} // namespace

struct Link::impl {
    explicit impl(Link& link) : owner(link), jobs(std::make_shared<StreamJobs>(sSTREAM_QUEUE_SLOTS))
    {
    }

    Link& owner;
    aLinkId linkId = 0;
    aLogger* logger = nullptr;
    aEtherConfig config;
    std::map<u64, StreamEntry> streams;
    // worker, workerStop, workerEnded, retired and filterLinkId are guarded by workerMutex,
    // which is never held while joining.
    std::thread worker;  // not joinable while there is none
    std::shared_ptr<StreamJobs> jobs;
    std::promise<void> workerStop;
    std::future<void> workerEnded;
    // Workers told to stop that are not joined yet. Only a thread that is not a stream worker
    // joins them (a later stop or start, or the teardown); a worker lets go of those that
    // have ended, and the rest end by themselves once their callback returns.
    std::vector<RetiredWorker> retired;
    std::mutex workerMutex;
    std::mutex streamsMutex;
    std::string name;
    linkSpec* specifier = nullptr;
    // The engine link the stream filter was installed on (0: none), so it is removed there
    // even after linkId changed.
    aLinkId filterLinkId = 0;

    aErr connectHelper();
    aErr linkCreateHelper(linkSpec linkSpecifier);
    aErr waitForLink(u16 polls);
    aErr discoveryAndConnectHelper(linkType type, u32 serial, u8 model, Link& link);
    aErr setSpecifier(const linkSpec& linkSpecifier);
    aErr getSpecifier(linkSpec* linkSpecifier);
    const char* getName() { return name.c_str(); }
    void releaseLink();
    aErr installStreamFilter(bool on);
    void stopStreams(bool onlyWhenNoneLeft = false);
    void retireWorker();
    void joinRetiredWorkers();
    void queueAsyncCallback(StreamEntry& entry, const aPacket* packet);
    static void asyncWork(std::shared_ptr<StreamJobs> jobs, std::future<void> stop,
                          std::promise<void> ended);
    // The packet-log writer's callback: one record of the log of engine link linkId.
    static void readDebugBuffer(void* file, unsigned int linkId);
};

// Tears down what the stream machinery and the packet log hold, then releases the engine
// link: the log writer and the filter both use the link, so they go first.
void Link::impl::releaseLink()
{
    stopStreams();
    if (logger)
        aLogger_Destroy(&logger);
    if (linkId)
        aLink_Destroy(&linkId);
    linkId = 0;
}

aErr Link::impl::setSpecifier(const linkSpec& linkSpecifier)
{
    if (owner.isConnected())
        return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(&linkSpecifier);
    if (!copy)
        return aErrMemory;
    if (specifier)
        aLinkSpec_Destroy(&specifier);
    specifier = copy;
    return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* linkSpecifier)
{
    if (!specifier)
        return aErrNotFound;
    if (!linkSpecifier)
        return aErrParam;
    memcpy(linkSpecifier, specifier, sizeof(linkSpec));
    return aErrNone;
}

aErr Link::impl::linkCreateHelper(linkSpec linkSpecifier)
{
    switch (linkSpecifier.type) {
    case USB:
        // Bound to a port path: a plain link to the device there. A sharing server opens its
        // device by serial number alone, so it cannot take such a specifier.
        if (linkSpecifier.t.usb.atPath) {
            if (config.enabled)
                return aErrConfiguration;
            linkId = aLink_CreateUSBAt(linkSpecifier.serialNumber, &linkSpecifier.t.usb.path);
            return aErrNone;
        }
        // With sharing on, the link is a client of a local sharing server on the USB link;
        // the engine writes the server's port and interface back into the configuration.
        if (config.enabled)
            linkId = aLink_CreateServer(linkSpecifier.serialNumber, &config.assignedPort,
                                        &config.networkInterface, config.localOnly);
        else
            linkId = aLink_CreateUSB(linkSpecifier.serialNumber);
        return aErrNone;
    case TCPIP:
        linkId = aLink_CreateTCPIP(linkSpecifier.t.ip.ipAddress, linkSpecifier.t.ip.ipPort & 0xFFFF);
        return aErrNone;
    case SERIAL: {
        // The port name runs to the end of the record; never read past it.
        char port[sizeof(linkSpecifier.t.serial.portName) + 1];
        memcpy(port, linkSpecifier.t.serial.portName, sizeof(linkSpecifier.t.serial.portName));
        port[sizeof(linkSpecifier.t.serial.portName)] = 0;
        linkId = aLink_CreateSerial(linkSpecifier.serialNumber, port, (int)linkSpecifier.t.serial.baudRate);
        return aErrNone;
    }
    case AETHER:
        if (!config.enabled)
            return aErrConfiguration;
        // A link given another Link's id (connectThroughLinkModule) shares that client link.
        linkId = aLink_CreateClient(linkSpecifier.t.ip.ipAddress, linkSpecifier.t.ip.ipPort & 0xFFFF, linkId);
        return aErrNone;
    default:
        return aErrMode;
    }
}

aErr Link::impl::waitForLink(u16 polls)
{
    aLinkStatus status = aLink_GetStatus(linkId);
    switch (status) {
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing: {
        u16 sleeps = 0;
        while (aLink_GetStatus(linkId) != kLinkStatusRunning && sleeps < polls) {
            aTime_MSSleep(sWAIT_STEP_MS);
            sleeps++;
        }
        return aLink_GetStatus(linkId) == kLinkStatusRunning ? aErrNone : aErrConnection;
    }
    case kLinkStatusRunning:
        return aErrNone;
    case kLinkStatusStopping:
        return aErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusError:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

aErr Link::impl::connectHelper()
{
    // Refused before any creating call: an id copied from another Link carries no use of
    // ours, and releasing it later would take the other Link's use.
    if (!specifier) {
        linkId = 0;
        return aErrConfiguration;
    }
    aErr err = linkCreateHelper(*specifier);
    if (err != aErrNone) {
        linkId = 0;
        return err;
    }
    if (linkId == 0)
        return aErrConnection;
    return waitForLink(sWAIT_POLLS);
}

// Takes the first device of the wanted model (model 0: any).
static bool cbModelCallback(const linkSpec* candidate, bool* found, void* ref)
{
    linkSpec* wanted = (linkSpec*)ref;
    if (wanted->model != 0 && candidate->model != wanted->model)
        return true;
    memcpy(wanted, candidate, sizeof(linkSpec));
    *found = true;
    return false;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, u32 serial, u8 model, Link& link)
{
    linkSpec* found = NULL;
    if (serial != 0) {
        found = aDiscovery_FindModule(type, serial, config.networkInterface);
    } else {
        found = aLinkSpec_Create(type);
        if (found) {
            found->model = model;
            if (aDiscovery_EnumerateModules(type, cbModelCallback, found, config.networkInterface)
                == 0)
                aLinkSpec_Destroy(&found);
        }
    }
    if (!found)
        return aErrNotFound;
    link.m_pImpl->setSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return link.connect();
}

static bool _fallbackHelper(aErr result, u32 type, bool fallback)
{
    return fallback && (type == USB || type == AETHER)
           && (result == aErrNotFound || result == aErrInitialization || result == aErrConnection);
}

Link::Link(const char* name) : m_pImpl(std::make_unique<impl>(*this))
{
    if (name)
        m_pImpl->name.assign(name, strnlen(name, sNAME_MAX));
}

Link::Link(linkSpec linkSpecifier, const char* name) : Link(name) { m_pImpl->setSpecifier(linkSpecifier); }

Link::~Link()
{
    m_pImpl->releaseLink();
    // Left only when the Link goes on a stream worker (a callback that destroys its Link):
    // each ends by itself once its callback returns, touching nothing of the Link.
    for (RetiredWorker& r : m_pImpl->retired)
        r.thread.detach();
    if (m_pImpl->specifier)
        aLinkSpec_Destroy(&m_pImpl->specifier);
}

aErr Link::getConfig(aEtherConfig* config)
{
    if (!config)
        return aErrParam;
    *config = m_pImpl->config;
    return aErrNone;
}

aErr Link::setConfig(aEtherConfig config)
{
    if (isConnected())
        return aErrPermission;
    m_pImpl->config = config;
    return aErrNone;
}

aErr Link::connect()
{
    if (m_pImpl->linkId) {
        if (isConnected())
            return aErrConnection;
        // A link that failed or never ran is let go, or it would be held for ever.
        m_pImpl->releaseLink();
    }
    return m_pImpl->connectHelper();
}

aErr Link::discoverAndConnect(linkType type, u32 serialNumber, u8 model)
{
    aErr err = m_pImpl->discoveryAndConnectHelper(type, serialNumber, model, *this);
    if (_fallbackHelper(err, type, m_pImpl->config.fallback))
        err = m_pImpl->discoveryAndConnectHelper(type == USB ? AETHER : USB, serialNumber, model,
                                                 *this);
    return err;
}

aErr Link::connectThroughLinkModule(Link& other)
{
    if (!other.m_pImpl || other.m_pImpl->linkId == 0)
        return aErrInitialization;
    if (m_pImpl->linkId) {
        if (isConnected())
            return aErrConnection;
        m_pImpl->releaseLink();
    }
    m_pImpl->linkId = other.m_pImpl->linkId;
    return m_pImpl->connectHelper();
}

bool Link::isConnected()
{
    return m_pImpl && m_pImpl->linkId && aLink_GetStatus(m_pImpl->linkId) == kLinkStatusRunning;
}

aLinkStatus Link::getStatus()
{
    if (!m_pImpl || m_pImpl->linkId == 0)
        return kLinkStatusError;
    return aLink_GetStatus(m_pImpl->linkId);
}

aErr Link::disconnect()
{
    m_pImpl->releaseLink();
    return aErrNone;
}

aErr Link::reset()
{
    if (m_pImpl->linkId) {
        // A reset frees the engine link's packet log: the writer reading it stops first and
        // goes on with the new log once the link is back.
        aLogger* logger = m_pImpl->logger;
        bool logging = logger && logger->running.load();
        if (logging)
            aLogger_Disable(logger);
        aLink_Reset(m_pImpl->linkId);
        if (logging && aLink_PacketDebug_Enable(m_pImpl->linkId) == aErrNone)
            aLogger_Enable(logger);
    }
    return aErrNone;
}

const char* Link::getName() { return m_pImpl ? m_pImpl->getName() : nullptr; }

aErr Link::getLinkSpecifier(linkSpec* linkSpecifier) { return m_pImpl->getSpecifier(linkSpecifier); }

aErr Link::setLinkSpecifier(linkSpec linkSpecifier) { return m_pImpl->setSpecifier(linkSpecifier); }

aLinkId Link::getLinkId() const { return m_pImpl ? m_pImpl->linkId : 0; }

// ---- entity protocol and raw commands ----

// The request is built on the stack: the out FIFO keeps a copy of its own.
static aErr sQueue(aLinkId link, u8 address, u8 length, const u8* data)
{
    if (!data || length > aPACKETMAXDATA)
        return aErrResource;
    aPacket packet;
    memset(&packet, 0, sizeof(packet));
    packet.check = aPACKETCHECK;
    packet.address = address;
    packet.length = length;
    packet.received = (u8)(length + 2);
    if (length)
        memcpy(packet.data, data, length);
    return aLink_PutPacket(link, &packet);
}

static aErr sCheckAddress(u8 module) { return (module == 0 || (module & 1)) ? aErrPacket : aErrNone; }

static unsigned char sUEIFilter(const aPacket* packet, const void* ref)
{
    // The filter fills in the caller's own (writable) request with the reply.
    uei* u = const_cast<uei*>(static_cast<const uei*>(ref));
    if (packet->address != u->module || packet->length < 3)
        return 0;
    if (packet->data[0] != u->command || packet->data[1] != u->option)
        return 0;
    if ((packet->data[2] & kUEIIndexMask) != u->specifier)
        return 0;
    if (packet->data[2] & kUEISpecifierError) {
        u->specifier = packet->data[2];
        // An error reply must carry its code; without one it cannot pass as success.
        u->value.raw[0] = packet->length >= 4 ? packet->data[3] : (u8)aErrUnknown;
        return 1;
    }
    switch (packet->length) {
    case 3:
        u->type = kUEITypeVoid;
        break;
    case 4:
        u->type = kUEITypeByte;
        u->value.byteVal = packet->data[3];
        break;
    case 5:
        u->type = kUEITypeShort;
        u->value.shortVal = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        u->type = kUEITypeInt;
        u->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;
    }
    return 1;
}

// The device's code from an error reply; a code of 0 would read as success, so it is none.
static aErr sReplyError(const uei& u)
{
    return u.value.raw[0] ? (aErr)u.value.raw[0] : aErrUnknown;
}

static unsigned char sCommandFilter(const aPacket* packet, const void* ref)
{
    const sCommandMatch* match = (const sCommandMatch*)ref;
    // No match bytes take every packet (and may come without a buffer to compare).
    if (match->count == 0)
        return 1;
    return memcmp(packet->data, match->bytes, match->count) == 0 ? 1 : 0;
}

static unsigned char MatchMagic(const aPacket* packet, const void*)
{
    return packet->length == 0 ? 1 : 0;
}

static int sValueWidth(int type)
{
    switch (type) {
    case kUEITypeVoid: return 0;
    case kUEITypeByte: return 1;
    case kUEITypeShort: return 2;
    case kUEITypeInt: return 4;
    default: return -1;
    }
}

static void sStoreValue(u8* at, const uei& u)
{
    switch (u.type) {
    case kUEITypeByte: at[0] = u.value.byteVal; break;
    case kUEITypeShort: aUEI_StoreShort(at, u.value.shortVal); break;
    case kUEITypeInt: aUEI_StoreInt(at, u.value.intVal); break;
    default: break;
    }
}

aErr Link::sendUEI(uei u)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = sCheckAddress(u.module);
    if (err != aErrNone)
        return err;
    u8 data[aPACKETMAXDATA];
    data[0] = u.command;
    data[1] = u.option;
    data[2] = u.specifier;
    if (u.type == kUEITypeBytes) {
        if ((u.count > 0 && !u.value.bytes)
            || u.count > (u64)sMAX_BYTES_CHUNKS * kUEIBytesChunk)
            return aErrParam;
        u64 sent = 0;
        u8 chunk = 0;
        bool more;
        do {
            u64 n = u.count - sent < kUEIBytesChunk ? u.count - sent : kUEIBytesChunk;
            more = sent + n < u.count;
            if (n)
                memcpy(&data[3], u.value.bytes + sent, (size_t)n);
            data[3 + n] = (u8)(chunk | (more ? 0x80 : 0));
            err = sQueue(m_pImpl->linkId, u.module, (u8)(n + 4), data);
            chunk++;
            sent += n;
        } while (more && err == aErrNone);
        return err;
    }
    int width = sValueWidth(u.type);
    if (width < 0)
        return aErrParam;
    sStoreValue(&data[3], u);
    return sQueue(m_pImpl->linkId, u.module, (u8)(3 + width), data);
}

aErr Link::sendUEI(uei u, u8 subindex)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = sCheckAddress(u.module);
    if (err != aErrNone)
        return err;
    int width = sValueWidth(u.type);
    if (width < 0)
        return aErrParam;
    u8 data[aPACKETMAXDATA];
    data[0] = u.command;
    data[1] = u.option;
    data[2] = u.specifier;
    data[3] = subindex;
    sStoreValue(&data[4], u);
    return sQueue(m_pImpl->linkId, u.module, (u8)(4 + width), data);
}

aErr Link::receiveUEI(u8 module, u8 command, u8 option, u8 index, uei* reply)
{
    return receiveUEI(module, command, option, index, reply, sUEIFilter);
}

aErr Link::receiveUEI(u8 module, u8, u8, u8, uei* reply, aPacketFilterProc filter)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = sCheckAddress(module);
    if (err != aErrNone)
        return err;
    if (!reply || !filter)
        return aErrParam;
    aPacket* packet = aLink_AwaitFirst(m_pImpl->linkId, filter, reply, sREPLY_WAIT_MS);
    if (!packet)
        return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

unsigned char Link::ueiReplyFilter(const aPacket* packet, const void* ref)
{
    return sUEIFilter(packet, ref);
}

// sUEIFilter on a copy of the keys: an error reply writes its specifier into the record, and
// the keys must stay as they are for every other packet of one drain.
static unsigned char sUEIKeyFilter(const aPacket* packet, const void* ref)
{
    uei keys = *static_cast<const uei*>(ref);
    return sUEIFilter(packet, &keys);
}

aErr Link::dropMatchingUEIPackets(u8 module, u8 command, u8 option, u8 index)
{
    if (!isConnected())
        return aErrConnection;
    aErr err = sCheckAddress(module);
    if (err != aErrNone)
        return err;
    uei u;
    memset(&u, 0, sizeof(u));
    u.module = module;
    u.command = command;
    u.option = option;
    u.specifier = index;
    aLink_DrainPackets(m_pImpl->linkId, sUEIKeyFilter, &u);
    return aErrNone;
}

aErr Link::sendPacket(u8 address, u8 command, u8 length, const u8* payload)
{
    if (!isConnected())
        return aErrConnection;
    if (length > sMAX_RAW_PAYLOAD || (length > 0 && !payload))
        return aErrParam;
    aErr err = sCheckAddress(address);
    if (err != aErrNone)
        return err;
    u8 data[aPACKETMAXDATA];
    data[0] = command;
    if (length)
        memcpy(&data[1], payload, length);
    return sQueue(m_pImpl->linkId, address, (u8)(length + 1), data);
}

aErr Link::receivePacket(u8 address, const u8* match, u8* length, u8* out)
{
    if (!isConnected())
        return aErrConnection;
    if (!length || !out || *length > aPACKETMAXDATA || (*length > 0 && !match))
        return aErrParam;
    aErr err = sCheckAddress(address);
    if (err != aErrNone)
        return err;
    sCommandMatch m = {*length, match};
    aPacket* packet = aLink_AwaitFirst(m_pImpl->linkId, sCommandFilter, &m, sREPLY_WAIT_MS);
    if (!packet)
        return aErrTimeout;
    *length = packet->length;
    memcpy(out, packet->data, packet->length);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropPackets(const u8* match, u8 length)
{
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKETMAXDATA || (length > 0 && !match))
        return aErrParam;
    sCommandMatch m = {length, match};
    aLink_DrainPackets(m_pImpl->linkId, sCommandFilter, &m);
    return aErrNone;
}

aErr Link::getModuleAddress(u8* address)
{
    if (!address)
        return aErrParam;
    *address = 0;
    if (!isConnected())
        return aErrNotReady;
    u8 none = 0;
    if (sQueue(m_pImpl->linkId, cmdMAGIC, 0, &none) != aErrNone)
        return aErrNotReady;
    aPacket* packet = aLink_AwaitFirst(m_pImpl->linkId, MatchMagic, NULL, sREPLY_WAIT_MS);
    if (!packet)
        return aErrNotReady;
    *address = packet->address;
    aPacket_Destroy(&packet);
    return aErrNone;
}

// ---- device streams ----

// A sample of the kind has exactly this many data bytes; kinds without samples never match.
static bool _checkStreamSampleLength(Link::STREAM_PACKET kind, u8 length)
{
    static const u8 exact[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    unsigned k = (unsigned)kind;
    return k < 8 && exact[k] != 0 && length == exact[k];
}

static u64 _getGenericStreamKeyMask(int i)
{
    if (i < 0 || i > 14)
        return 0;
    unsigned bits = (unsigned)i + 1;
    u64 mask = 0;
    if (bits & 1)
        mask |= 0xFFull;
    if (bits & 2)
        mask |= 0xFF00ull;
    if (bits & 4)
        mask |= 0xFF0000ull;
    if (bits & 8)
        mask |= 0xFF00000000ull;
    return mask;
}

u64 Link::createStreamKey(u8 module, u8 command, u8 option, u8 index, u8 subindex)
{
    return ((u64)subindex << 32) | ((u64)module << 24) | ((u64)command << 16)
           | ((u64)option << 8) | index;
}

u8 Link::getStreamKeyElement(u64 key, STREAM_KEY element)
{
    switch (element) {
    case STREAM_KEY_MODULE: return (u8)(key >> 24);
    case STREAM_KEY_COMMAND: return (u8)(key >> 16);
    case STREAM_KEY_OPTION: return (u8)(key >> 8);
    case STREAM_KEY_INDEX: return (u8)key;
    case STREAM_KEY_SUBINDEX: return (u8)(key >> 32);
    default: return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type)
{
    STREAM_PACKET kind = STREAM_PACKET_NONE;
    if (isStreamPacket(packet)) {
        if (aUEI_getBytesSequence(packet) || aUEI_getBytesContinue(packet))
            kind = STREAM_PACKET_BYTES;
        else if (packet->data[3] >= 1 && packet->data[3] <= 7)
            kind = (STREAM_PACKET)packet->data[3];
    }
    if (type)
        *type = kind;
    return kind != STREAM_PACKET_NONE;
}

bool Link::isSubindexType(STREAM_PACKET type)
{
    return type == STREAM_PACKET_SUBINDEX_BYTE || type == STREAM_PACKET_SUBINDEX_SHORT
           || type == STREAM_PACKET_SUBINDEX_INT;
}

bool Link::isStreamSample(const aPacket* packet)
{
    STREAM_PACKET kind;
    if (!getStreamPacketType(packet, &kind) || kind == STREAM_PACKET_BYTES)
        return false;
    return packet->data[packet->length - 1] == 0 && _checkStreamSampleLength(kind, packet->length);
}

aErr Link::getStreamSample(const aPacket* packet, u64* timestamp, u32* value, u8* subindex)
{
    STREAM_PACKET kind;
    if (!getStreamPacketType(packet, &kind))
        return aErrPacket;
    if (kind == STREAM_PACKET_BYTES)
        return aErrSize;
    if (!isStreamSample(packet))
        return aErrPacket;
    bool sub = isSubindexType(kind);
    int at = sub ? 13 : 12;
    int width = (kind == STREAM_PACKET_BYTE || kind == STREAM_PACKET_SUBINDEX_BYTE)    ? 1
                : (kind == STREAM_PACKET_SHORT || kind == STREAM_PACKET_SUBINDEX_SHORT) ? 2
                                                                                         : 4;
    if (value)
        *value = width == 1   ? packet->data[at]
                 : width == 2 ? aUEI_RetrieveShort(&packet->data[at])
                              : aUEI_RetrieveInt(&packet->data[at]);
    if (subindex)
        *subindex = sub ? packet->data[4] : 0;
    if (timestamp) {
        int t = sub ? 5 : 4;
        *timestamp = ((u64)aUEI_RetrieveInt(&packet->data[t]) << 32)
                     | aUEI_RetrieveInt(&packet->data[t + 4]);
    }
    return aErrNone;
}

void Link::getTimestampParts(u64 timestamp, u32* high, u32* low)
{
    if (high)
        *high = (u32)(timestamp >> 32);
    if (low)
        *low = (u32)timestamp;
}

void Link::impl::queueAsyncCallback(StreamEntry& entry, const aPacket* packet)
{
    if (!entry.callback)
        return;
    asyncPacket job;
    job.callback = entry.callback;
    job.pRef = entry.pRef;
    job.packet = aPacket_Copy(packet);
    if (!job.packet)
        return;
    job.epoch = jobs->epoch.load();
    if (!jobs->queue.push(job))
        aPacket_Destroy(&job.packet);
}

void Link::impl::asyncWork(std::shared_ptr<StreamJobs> jobs, std::future<void> stop,
                           std::promise<void> ended)
{
    sOnStreamWorker = true;
    for (;;) {
        asyncPacket job;
        {
            std::lock_guard<std::mutex> one(jobs->running);
            // Tested before every job, with `running` held: a stopped worker takes no job
            // from the ring, which its successor owns.
            if (stop.wait_for(std::chrono::nanoseconds(1)) == std::future_status::ready)
                break;
            if (jobs->queue.pop(&job)) {
                if (job.callback && job.epoch == jobs->epoch.load())
                    job.callback(job.packet, job.pRef);
                aPacket_Destroy(&job.packet);
                continue;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ended.set_value();
}

unsigned char Link::linkStreamFilter(const aPacket* packet, void* ref)
{
    impl* self = (impl*)ref;
    STREAM_PACKET kind;
    if (!self || !getStreamPacketType(packet, &kind))
        return 0;
    u8 subindex = isSubindexType(kind) ? packet->data[4] : 0;
    u64 key = createStreamKey(packet->address, packet->data[0], packet->data[1] & 0x3F,
                              packet->data[2] & 0x1F, subindex);
    std::lock_guard<std::mutex> lock(self->streamsMutex);
    auto exact = self->streams.find(key);
    u32 value = 0;
    if (exact != self->streams.end()) {
        self->queueAsyncCallback(exact->second, packet);
        if (getStreamSample(packet, NULL, &value, NULL) == aErrNone) {
            exact->second.value = value;
            exact->second.fresh = 1;
        }
    }
    bool wildcard = false;
    for (int i = 0; i < 15; i++) {
        auto it = self->streams.find(key | _getGenericStreamKeyMask(i));
        if (it != self->streams.end()) {
            self->queueAsyncCallback(it->second, packet);
            wildcard = true;
        }
    }
    if (exact == self->streams.end() && wildcard
        && getStreamSample(packet, NULL, &value, NULL) == aErrNone) {
        StreamEntry entry;
        entry.key = key;
        entry.fresh = 1;
        entry.value = value;
        self->streams[key] = entry;
    }
    return 1;
}

// Removes the filter, clears the stream map, stops the worker and drops every job it did not
// get to. With onlyWhenNoneLeft, nothing happens when the map is not empty: another thread (a
// callback, say) registered a stream since the caller found it empty.
void Link::impl::stopStreams(bool onlyWhenNoneLeft)
{
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        {
            std::lock_guard<std::mutex> guard(streamsMutex);
            if (onlyWhenNoneLeft && !streams.empty())
                return;
        }
        if (filterLinkId) {
            aLink_InstallUserPacketFilter(filterLinkId, NULL, NULL);
            filterLinkId = 0;
        }
        {
            std::lock_guard<std::mutex> guard(streamsMutex);
            streams.clear();
        }
        // The filter is off, so nothing more is queued under the old epoch.
        jobs->epoch++;
        retireWorker();
    }
    joinRetiredWorkers();
    // Freed now when no worker is left to take them and no filter queues more; otherwise the
    // next worker drops them unrun (their epoch is past), or the Link's end frees them.
    std::lock_guard<std::mutex> lock(workerMutex);
    if (worker.joinable() || !retired.empty() || filterLinkId)
        return;
    asyncPacket job;
    while (jobs->queue.pop(&job))
        aPacket_Destroy(&job.packet);
}

// With workerMutex held.
void Link::impl::retireWorker()
{
    if (!worker.joinable())
        return;
    workerStop.set_value();
    workerStop = std::promise<void>();
    retired.push_back(RetiredWorker{std::move(worker), std::move(workerEnded)});
}

// Joins every retired worker. On a stream worker it only lets go of those that have ended:
// the others may be in a callback, and end by themselves once it returns.
void Link::impl::joinRetiredWorkers()
{
    std::vector<std::thread> gone;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        for (auto it = retired.begin(); it != retired.end();) {
            if (sOnStreamWorker &&
                it->ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                ++it;
                continue;
            }
            gone.push_back(std::move(it->thread));
            it = retired.erase(it);
        }
    }
    for (std::thread& t : gone) {
        if (sOnStreamWorker)
            t.detach();
        else
            t.join();
    }
}

aErr Link::impl::installStreamFilter(bool on)
{
    if (linkId == 0)
        return aErrConfiguration;
    if (!on) {
        stopStreams(true);
        return aErrNone;
    }
    joinRetiredWorkers();
    std::lock_guard<std::mutex> lock(workerMutex);
    aErr err = aLink_InstallUserPacketFilter(linkId, Link::linkStreamFilter, this);
    if (err != aErrNone)
        return err;
    filterLinkId = linkId;
    // A worker that retired may still be in its last callback: the new one waits on
    // `running` until it has returned.
    if (!worker.joinable()) {
        std::promise<void> ended;
        workerEnded = ended.get_future();
        worker = std::thread(asyncWork, jobs, workerStop.get_future(), std::move(ended));
    }
    return aErrNone;
}

std::vector<u64> Link::filterActiveStreamKeys(u8 module, u8 command, u8 option, u8 index,
                                              u8 subindex, bool lock)
{
    std::vector<u64> keys;
    std::unique_lock<std::mutex> guard(m_pImpl->streamsMutex, std::defer_lock);
    if (lock)
        guard.lock();
    const u8 wanted[5] = {module, command, option, index, subindex};
    for (const auto& entry : m_pImpl->streams) {
        bool match = true;
        for (int e = 0; e < 5 && match; e++)
            match = wanted[e] == 0xFF || wanted[e] == getStreamKeyElement(entry.first, (STREAM_KEY)e);
        if (match)
            keys.push_back(entry.first);
    }
    return keys;
}

aErr Link::registerStreamCallback(u8 module, u8 command, u8 option, u8 index, bool enable,
                                  streamCallback callback, void* ref)
{
    u64 key = createStreamKey(module, command, option, index, 0xFF);
    if (module & 1)
        return aErrParam;
    bool empty;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->streamsMutex);
        if (enable) {
            StreamEntry& entry = m_pImpl->streams[key];
            entry.key = key;
            entry.callback = callback;
            entry.pRef = ref;
        } else {
            for (u64 k : filterActiveStreamKeys(module, command, option, index, 0xFF, false))
                m_pImpl->streams.erase(k);
        }
        empty = m_pImpl->streams.empty();
    }
    aErr err = m_pImpl->installStreamFilter(!empty);
    if (err != aErrNone)
        return err;

    uei request;
    memset(&request, 0, sizeof(request));
    request.module = module;
    request.command = cmdSTREAM;
    request.option = enable ? 0x81 : 0x82;
    request.specifier = kUEISpecifierHost;
    request.type = kUEITypeInt;
    request.value.intVal = (u32)key;
    // A late reply to an earlier request would be taken for the module's answer to this one.
    dropMatchingUEIPackets(module, cmdSTREAM, enable ? 0xC1 : 0xC2, 0);
    err = sendUEI(request);
    if (err == aErrNone) {
        uei reply;
        memset(&reply, 0, sizeof(reply));
        reply.module = module;
        reply.command = cmdSTREAM;
        reply.option = enable ? 0xC1 : 0xC2;
        reply.specifier = 0;
        err = receiveUEI(module, cmdSTREAM, reply.option, 0, &reply);
        if (err == aErrNone && (reply.specifier & kUEISpecifierError))
            err = sReplyError(reply);
    }
    if (err != aErrNone) {
        std::lock_guard<std::mutex> lock(m_pImpl->streamsMutex);
        for (u64 k : filterActiveStreamKeys(module, command, option, index, 0xFF, false))
            m_pImpl->streams.erase(k);
    }
    return err;
}

aErr Link::enableStream(u8 module, u8 command, u8 option, u8 index, bool enable)
{
    return registerStreamCallback(module, command, option, index, enable, streamCallback(),
                                  nullptr);
}

aErr Link::getStreamValue(u8 module, u8 command, u8 option, u8 index, u8 subindex, u32* value)
{
    std::lock_guard<std::mutex> lock(m_pImpl->streamsMutex);
    auto it = m_pImpl->streams.find(createStreamKey(module, command, option, index, subindex));
    if (it == m_pImpl->streams.end())
        return aErrNotFound;
    if (value)
        *value = it->second.value;
    if (it->second.fresh) {
        it->second.fresh = 0;
        return aErrNone;
    }
    return aErrStreamStale;
}

aErr Link::getStreamStatus(u8 module, u8 command, u8 option, u8 index, u8 subindex,
                           std::map<u64, u32>* status)
{
    if (!status)
        return aErrParam;
    status->clear();
    std::vector<u64> keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
    std::lock_guard<std::mutex> lock(m_pImpl->streamsMutex);
    for (u64 k : keys) {
        bool concrete = true;
        for (int e = 0; e < 5; e++)
            if (getStreamKeyElement(k, (STREAM_KEY)e) == 0xFF)
                concrete = false;
        auto it = m_pImpl->streams.find(k);
        if (concrete && it != m_pImpl->streams.end())
            (*status)[k] = it->second.value;
    }
    return aErrNone;
}

aErr Link::isLinkStreaming(u8 module, u8* state)
{
    if (!state)
        return aErrParam;
    uei request;
    memset(&request, 0, sizeof(request));
    request.module = module;
    request.command = cmdSTREAM;
    request.option = 0x41;
    request.specifier = kUEISpecifierHost;
    request.type = kUEITypeVoid;
    dropMatchingUEIPackets(module, cmdSTREAM, 1, 0);
    aErr err = sendUEI(request);
    if (err != aErrNone)
        return err;
    uei reply;
    memset(&reply, 0, sizeof(reply));
    reply.module = module;
    reply.command = cmdSTREAM;
    reply.option = 1;
    reply.specifier = 0;
    err = receiveUEI(module, cmdSTREAM, 1, 0, &reply);
    if (err != aErrNone)
        return err;
    if (reply.specifier & kUEISpecifierError)
        return sReplyError(reply);
    if (reply.type != kUEITypeByte)
        return aErrPacket;
    *state = reply.value.byteVal;
    return aErrNone;
}

// ---- store slots, factory data and the packet log ----

#define cmdSTORE 4
#define val_SLOT_CAPACITY 1
#define val_SLOT_SIZE 2
#define val_SLOT_OPEN_READ 3
#define val_SLOT_OPEN_WRITE 4
#define val_SLOT_READ 6
#define val_SLOT_WRITE 7
#define val_SLOT_CLOSE 8
#define sSLOT_ERROR 0x80
#define sSLOT_NO_HANDLE 0xFF
#define sSLOT_CHUNK 25
#define sSLOT_OPEN_WAIT_MS 3000

#define cmdFACTORY 94
#define val_FACTORY_WRITE 0x10
#define val_FACTORY_FINISH 0x20
#define val_FACTORY_FIRST 0x40
#define sFACTORY_ERROR 0x80
#define sFACTORY_INDEX_MASK 0x0F
#define COMMAND_OVERHEAD 2
#define sFACTORY_CHUNK (aPACKETMAXDATA - COMMAND_OVERHEAD)

// A packet-log record holds at most 255 bytes; a smaller buffer would leave a long record
// stuck at the head of the log for ever.
#define sLOG_RECORD_MAX 256
#define sLOG_IDLE_MS 5

// An error reply's code is an aErr; a code of 0 must not pass as success.
static aErr sDeviceError(u8 code) { return code ? (aErr)code : aErrUnknown; }

// Queues the request after dropping stale replies that would match it (a reply that came
// after its own request timed out), so each reply pairs with its own request.
static aErr sExchangeQueue(aLinkId link, aPacketFilterProc filter, const aPacket* request)
{
    aLink_DrainPackets(link, filter, request);
    return aLink_PutPacket(link, request);
}

static unsigned char sSlotFilter(const aPacket* packet, const void* ref)
{
    const aPacket* request = (const aPacket*)ref;
    if (packet->address != request->address || packet->length <= 3
        || packet->data[0] != cmdSTORE)
        return 0;
    u8 op = packet->data[1];
    if ((op & (u8)~sSLOT_ERROR) != request->data[1])
        return 0;
    switch (request->data[1]) {
    case val_SLOT_CAPACITY:
    case val_SLOT_SIZE:
    case val_SLOT_OPEN_READ:
    case val_SLOT_OPEN_WRITE:
        return packet->data[2] == request->data[2] && packet->data[3] == request->data[3];
    case 5:
    case val_SLOT_READ:
    case val_SLOT_WRITE:
    case val_SLOT_CLOSE:
        return packet->data[2] == request->data[2];
    default:
        return 0;
    }
}

static unsigned char sFactoryFilter(const aPacket* packet, const void* ref)
{
    const aPacket* request = (const aPacket*)ref;
    if (packet->address != request->address || packet->length < 2
        || packet->data[0] != cmdFACTORY)
        return 0;
    return (packet->data[1] & (u8)~sFACTORY_ERROR) == (request->data[1] & sFACTORY_INDEX_MASK);
}

// One request and its reply (NULL when none came within ms). *queued: the queueing's result.
static aPacket* sSlotExchange(aLinkId link, u8 address, u8 length, const u8* data,
                              unsigned long ms, aPacketFilterProc filter, aErr* queued)
{
    aPacket* request = aPacket_CreateWithData(address, length, data);
    if (!request) {
        *queued = aErrResource;
        return NULL;
    }
    *queued = sExchangeQueue(link, filter, request);
    aPacket* reply = NULL;
    if (*queued == aErrNone)
        reply = aLink_AwaitFirst(link, filter, request, ms);
    aPacket_Destroy(&request);
    return reply;
}

static u8 sOpenSlot(aLinkId link, u8 address, u8 store, u8 slot, u8 op)
{
    u8 data[4] = {cmdSTORE, op, store, slot};
    aErr queued = aErrNone;
    aPacket* reply = sSlotExchange(link, address, 4, data, sSLOT_OPEN_WAIT_MS, sSlotFilter,
                                   &queued);
    u8 handle = sSLOT_NO_HANDLE;
    if (reply && !(reply->data[1] & sSLOT_ERROR) && reply->length > 4)
        handle = reply->data[4];
    aPacket_Destroy(&reply);
    return handle;
}

static aErr sCloseSlot(aLinkId link, u8 address, u8 handle)
{
    u8 data[3] = {cmdSTORE, val_SLOT_CLOSE, handle};
    aErr err = aErrNone;
    aPacket* reply = sSlotExchange(link, address, 3, data, sREPLY_WAIT_MS, sSlotFilter, &err);
    if (!reply)
        return err;
    if (reply->length != 4)
        err = aErrIO;
    else if (reply->data[1] & sSLOT_ERROR)
        err = sDeviceError(reply->data[3]);
    aPacket_Destroy(&reply);
    return err;
}

// Size (op 2) or capacity (op 1) of a slot, over the Link's engine link when connected.
static aErr sSlotQuery(bool connected, aLinkId link, u8 address, u8 store, u8 slot, u8 op,
                       size_t* value)
{
    if (!connected)
        return aErrConnection;
    if (!value)
        return aErrParam;
    u8 data[4] = {cmdSTORE, op, store, slot};
    aErr queued = aErrNone;
    aPacket* reply = sSlotExchange(link, address, 4, data, sREPLY_WAIT_MS, sSlotFilter, &queued);
    if (!reply)
        return queued != aErrNone ? queued : aErrTimeout;
    aErr err = aErrNone;
    if (reply->data[1] & sSLOT_ERROR)
        err = reply->length > 4 ? sDeviceError(reply->data[4]) : aErrUnknown;
    else if (reply->length == 6)
        *value = ((size_t)reply->data[4] << 8) | reply->data[5];
    else
        err = aErrUnknown;
    aPacket_Destroy(&reply);
    return err;
}

aErr Link::storeSlotSize(u8 address, u8 store, u8 slot, size_t* size)
{
    return sSlotQuery(isConnected(), m_pImpl->linkId, address, store, slot, val_SLOT_SIZE, size);
}

aErr Link::storeSlotCapacity(u8 address, u8 store, u8 slot, size_t* capacity)
{
    return sSlotQuery(isConnected(), m_pImpl->linkId, address, store, slot, val_SLOT_CAPACITY,
                      capacity);
}

aErr Link::loadStoreSlot(u8 address, u8 store, u8 slot, const u8* data, size_t n)
{
    if (!isConnected())
        return aErrConnection;
    if (!data && n > 0)
        return aErrParam;
    aLinkId link = m_pImpl->linkId;
    u8 handle = sOpenSlot(link, address, store, slot, val_SLOT_OPEN_WRITE);
    if (handle == sSLOT_NO_HANDLE)
        return aErrMedia;
    aErr err = aErrNone;
    size_t sent = 0;
    while (err == aErrNone && sent < n) {
        size_t k = n - sent < sSLOT_CHUNK ? n - sent : sSLOT_CHUNK;
        u8 packet[3 + sSLOT_CHUNK] = {cmdSTORE, val_SLOT_WRITE, handle};
        u8 sum = 0;
        for (size_t i = 0; i < k; i++) {
            packet[3 + i] = data[sent + i];
            sum = (u8)(sum + data[sent + i]);
        }
        aPacket* reply = sSlotExchange(link, address, (u8)(3 + k), packet, sREPLY_WAIT_MS,
                                       sSlotFilter, &err);
        if (err == aErrNone && !reply)
            err = aErrTimeout;
        if (reply && reply->length == 4) {
            if (reply->data[1] & sSLOT_ERROR)
                err = sDeviceError(reply->data[3]);
            else if (reply->data[3] != sum)
                err = aErrIO;
        }
        aPacket_Destroy(&reply);
        sent += k;
    }
    aErr closed = sCloseSlot(link, address, handle);
    return err != aErrNone ? err : closed;
}

aErr Link::unloadStoreSlot(u8 address, u8 store, u8 slot, u8* buffer, size_t capacity,
                           size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    if (!count || (!buffer && capacity > 0))
        return aErrParam;
    aLinkId link = m_pImpl->linkId;
    size_t size = 0;
    aErr err = sSlotQuery(true, link, address, store, slot, val_SLOT_SIZE, &size);
    if (err != aErrNone)
        return err;
    u8 handle = sOpenSlot(link, address, store, slot, val_SLOT_OPEN_READ);
    if (handle == sSLOT_NO_HANDLE)
        return aErrMedia;
    size_t wanted = capacity < size ? capacity : size;
    size_t got = 0;
    // Every accepted reply carries at least one byte, so this ends after wanted reads.
    while (err == aErrNone && got < wanted) {
        u8 request[3] = {cmdSTORE, val_SLOT_READ, handle};
        aPacket* reply = sSlotExchange(link, address, 3, request, sREPLY_WAIT_MS, sSlotFilter,
                                       &err);
        if (err == aErrNone && !reply)
            err = aErrTimeout;
        else if (reply && reply->length <= 3)
            err = aErrUnknown;
        else if (reply && (reply->data[1] & sSLOT_ERROR))
            err = sDeviceError(reply->data[3]);
        else if (reply) {
            for (u8 i = 3; i < reply->length && got < wanted; i++)
                buffer[got++] = reply->data[i];
        }
        aPacket_Destroy(&reply);
    }
    aErr closed = sCloseSlot(link, address, handle);
    if (err == aErrNone)
        err = closed;
    if (err != aErrNone)
        return err;
    *count = wanted;
    return size > capacity ? aErrOverrun : aErrNone;
}

// The closing exchange of a factory-data transfer: the total as 16 bits.
static aErr sFactoryFinish(aLinkId link, u8 address, size_t total)
{
    u8 data[4] = {cmdFACTORY, val_FACTORY_FINISH, (u8)(total >> 8), (u8)total};
    aErr err = aErrNone;
    aPacket* reply = sSlotExchange(link, address, 4, data, sREPLY_WAIT_MS, sFactoryFilter, &err);
    if (err != aErrNone)
        return err;
    if (!reply)
        return aErrTimeout;
    if (reply->length == 3 && (reply->data[1] & sFACTORY_ERROR))
        err = sDeviceError(reply->data[2]);
    aPacket_Destroy(&reply);
    return err;
}

// An error reply's code (byte 2), aErrNone for a plain reply.
static aErr sFactoryReplyError(const aPacket* reply)
{
    if (!(reply->data[1] & sFACTORY_ERROR))
        return aErrNone;
    return reply->length > 2 ? sDeviceError(reply->data[2]) : aErrUnknown;
}

aErr Link::getFactoryData(u8 address, u8 index, u8* buffer, size_t capacity, size_t* count)
{
    if (!isConnected())
        return aErrConnection;
    // A larger index would set the write or finish flag and turn the read into a write.
    if (index > sFACTORY_INDEX_MASK || !count || (!buffer && capacity > 0))
        return aErrParam;
    aLinkId link = m_pImpl->linkId;
    aErr err = aErrNone;
    size_t got = 0;
    u8 last = aPACKETMAXDATA;
    bool first = true;
    // Every full reply adds 26 bytes towards capacity, so the loop is bounded by it.
    while (err == aErrNone && last == aPACKETMAXDATA) {
        u8 request[2] = {cmdFACTORY, (u8)(index | (first ? val_FACTORY_FIRST : 0))};
        first = false;
        aPacket* reply = sSlotExchange(link, address, 2, request, sREPLY_WAIT_MS,
                                       sFactoryFilter, &err);
        if (err != aErrNone)
            break;
        if (!reply) {
            err = aErrTimeout;
            break;
        }
        last = reply->length;
        if (last < COMMAND_OVERHEAD)
            err = aErrUnknown;
        else if ((err = sFactoryReplyError(reply)) != aErrNone)
            ;
        else if (got + last - COMMAND_OVERHEAD >= capacity)
            err = aErrOverrun;
        else {
            memcpy(buffer + got, reply->data + COMMAND_OVERHEAD, last - COMMAND_OVERHEAD);
            got += last - COMMAND_OVERHEAD;
        }
        aPacket_Destroy(&reply);
    }
    if (err == aErrNone)
        err = sFactoryFinish(link, address, got);
    if (err == aErrNone)
        *count = got;
    return err;
}

aErr Link::setFactoryData(u8 address, u8 index, const u8* data, size_t n)
{
    if (!isConnected())
        return aErrConnection;
    // The closing exchange carries the total as 16 bits.
    if (index > sFACTORY_INDEX_MASK || (!data && n > 0) || n > 0xFFFF)
        return aErrParam;
    aLinkId link = m_pImpl->linkId;
    aErr err = aErrNone;
    size_t sent = 0;
    bool first = true;
    while (err == aErrNone && sent < n) {
        size_t k = n - sent < sFACTORY_CHUNK ? n - sent : sFACTORY_CHUNK;
        u8 packet[aPACKETMAXDATA] = {cmdFACTORY,
                                     (u8)(index | val_FACTORY_WRITE
                                          | (first ? val_FACTORY_FIRST : 0))};
        first = false;
        memcpy(packet + COMMAND_OVERHEAD, data + sent, k);
        aPacket* reply = sSlotExchange(link, address, (u8)(COMMAND_OVERHEAD + k), packet,
                                       sREPLY_WAIT_MS, sFactoryFilter, &err);
        if (err == aErrNone && !reply)
            err = aErrTimeout;
        else if (reply && (err = sFactoryReplyError(reply)) == aErrNone
                 && reply->length != COMMAND_OVERHEAD)
            err = aErrSize;
        aPacket_Destroy(&reply);
        sent += k;
    }
    if (err == aErrNone)
        err = sFactoryFinish(link, address, sent);
    return err;
}

void Link::impl::readDebugBuffer(void* file, unsigned int linkId)
{
    u8 record[sLOG_RECORD_MAX];
    u32 n = sizeof record;
    int kind = 0;
    if (aLink_PacketDebug_Read(linkId, &kind, &n, record) != aErrNone) {
        // Nothing to write, or the log is gone: the writer waits rather than spins.
        aTime_MSSleep(sLOG_IDLE_MS);
        return;
    }
    // One write per line: "<count> <mark> " and the bytes, each as "0x%X " (up to 5 chars).
    char line[16 + sLOG_RECORD_MAX * 5 + 2];
    int at = snprintf(line, sizeof line, "%u %s ", (unsigned)n,
                      kind == kPacketLogSent ? ">" : "<");
    for (u32 i = 0; i < n; i++) {
        if (kind == kPacketLogText)
            line[at++] = (char)record[i];
        else
            at += snprintf(line + at, sizeof line - at, "0x%X ", record[i]);
    }
    line[at++] = '\r';
    line[at++] = '\n';
    u64 written = 0;
    aFile_Write((aFile*)file, line, (size_t)at, &written);
}

aErr Link::enablePacketLog(const char* path)
{
    if (m_pImpl->linkId == 0)
        return aErrConfiguration;
    if (!path)
        return aErrParam;
    aLinkId link = m_pImpl->linkId;
    aErr err = aLink_PacketDebug_Enable(link);
    if (err != aErrNone)
        return err;
    // A writer made for another engine link would read a log that is not this one's.
    if (m_pImpl->logger && m_pImpl->logger->parameter != link)
        aLogger_Destroy(&m_pImpl->logger);
    if (!m_pImpl->logger) {
        m_pImpl->logger = aLogger_Create(link, impl::readDebugBuffer, path);
        if (!m_pImpl->logger) {
            // Nothing would ever be written out: the enable did not take, so its flag goes.
            aLink_PacketDebug_Disable(link);
            return aErrIO;
        }
    }
    err = aLogger_Enable(m_pImpl->logger);
    if (err == aErrNone)
        aLink_PacketDebug_Write(link, kPacketLogText, 6, "START");
    return err;
}

aErr Link::disablePacketLog()
{
    if (m_pImpl->linkId == 0) {
        if (m_pImpl->logger)
            aLogger_Disable(m_pImpl->logger);
        return aErrConfiguration;
    }
    aLink_PacketDebug_Disable(m_pImpl->linkId);
    if (!m_pImpl->logger)
        return aErrParam;
    return aLogger_Disable(m_pImpl->logger);
}

} // namespace Quillcore
} // namespace Velmoran
