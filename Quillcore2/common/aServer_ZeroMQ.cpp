// Link-sharing server over ZeroMQ.
//
// Threads and what each alone touches:
// - broker actor: frontend (ROUTER, clients), syncBroker, streamBroker, the stream-client and
//   pending-reply lists, the write pools, the beacon actor and its publishing state;
// - request actor: syncWorker and, on the server's side, the link's FIFOs;
// - the link's in-pipe thread, through the stream filter: streamBatch and streamProducer;
// - the loopback discovery responder (multicast mode): its two multicast sockets.
// The threads talk only through the two socket pairs and the actors' control pipes.
//
// Each request that is owed a reply carries a tag from the broker to the request thread and
// back, so an answer is paired with its own client even when a reply slot was dropped in
// between (a flush, a lost frame); an answer whose slot is gone is discarded.
#include "aServer_ZeroMQ.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <string.h>

#include <atomic>
#include <list>
#include <vector>

#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "aMulticast.h"
#include "aTime.h"
#include "aUEI.h"
#include "discover.h"
#include "packetfifo.h"
#include "zBeaconInterface.h"
#include "zReadyWait.h"

#define SERVER_CMD_DROPPED_PACKET 0
#define SERVER_CMD_INCOMING_PACKETS 1

#define sSTREAM_BATCH_SIZE 4096
#define sSTREAM_BATCH_FLUSH 4065
#define sPOLL_MS 1000
#define sREPLY_WAIT_MS 2000
#define sPOOL_TTL 2000
// [command][option][specifier][subindex][32-bit value]: the longest request of one value.
#define sLONGEST_VALUE_REQUEST 8
#define sMAX_REPLIES 0xFFFF
#define sPUBLISH_MS 2000
#define sBEACON_INTERVAL_MS 100
#define sBEACON_RECEIVE_MS 100
#define sCONFIGURE_WAIT_MS 2000
#define sMAX_INTERFACES 50
#define sSLOT_ATTEMPTS 50
#define sCONTROL_FLUSH 5

#define cmdSTREAM 93
#define sSTREAM_ENABLE_SET 0x81

// One byte-string write held back until its last chunk; it owns its client's identity frame
// and the chunks taken so far.
struct packetPool {
    packetPool(zframe_t* client, const aPacket* first);
    ~packetPool()
    {
        dropPackets();
        zframe_destroy(&identity);
    }
    packetPool(const packetPool&) = delete;
    packetPool& operator=(const packetPool&) = delete;
    void dropPackets()
    {
        for (aPacket*& p : packets)
            aPacket_Destroy(&p);
        packets.clear();
    }

    zframe_t* identity;
    // A write is told apart by client, module, command, option byte and index, so one client
    // may write to several modules (or values) at once. The option byte keeps its operation
    // bits: a GET of the value being written is no chunk of the write.
    u8 address;
    u8 command;
    u8 option;
    u8 index = 0;
    std::vector<aPacket*> packets;
    u8 lastSequence = 0;
    u32 ttl = sPOOL_TTL;
    // The write lost a chunk: it can no longer reach the device whole, so the chunks it held
    // are gone and those still to come are dropped, up to its last one.
    bool broken = false;
};

typedef struct pendingReply {
    u32 tag;
    zframe_t* identity;
} pendingReply;

struct aServer {
    aLinkEntry* entry;
    std::atomic<u8> model;
    std::atomic<u8> moduleAddress;
    bool localOnly;
    u32 networkInterface;
    u64 lastPublishTicks;
    bool publishing;
    zactor_t* broker;
    zactor_t* syncActor;
    zactor_t* discoveryActor;
    bool discoveryIsBeacon;
    u16 frontendPort;
    zsock_t* frontend;
    u16 syncPort;                 // 0: the thread pairs run in-process (no ports)
    zsock_t* syncWorker;
    zsock_t* syncBroker;
    u16 streamPort;
    zsock_t* streamProducer;
    zsock_t* streamBroker;
    u8 streamBatch[sSTREAM_BATCH_SIZE];
    u16 streamBatchLength;
    u32 beaconHost;
    std::list<packetPool> packetPools;  // broker thread only
    bool started;
    u16 expectedPackets;
    u32 lastTag;                  // broker: tag of the newest reply slot
    std::atomic<bool> stopping;   // lets the request thread cut a reply wait short
    bool filterInstalled;
};

// Packet tests and frame conversion.

static bool _doesPacketContinue(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet)
           && aUEI_getBytesContinue(packet);
}

// One rule for the broker and the request thread, so that a slot is made exactly for the
// requests that get an answer: not for a force-route, not for a chunk that says more follow.
static bool _isResponseRequired(const aPacket* packet)
{
    return packet->address != cmdFORCEROUTE && !_doesPacketContinue(packet);
}

static bool _isBlacklistedPacket(const aPacket* packet)
{
    return packet->address == cmdFORCEROUTE && packet->length == 1;
}

static aPacket* _zFrame_To_aPacket(zframe_t* frame)
{
    if (!frame)
        return NULL;
    size_t size = zframe_size(frame);
    const u8* data = zframe_data(frame);
    if (size < 2 || size > aPACKETMAXWIRE || data[1] > size - 2)
        return NULL;
    return aPacket_CreateWithData(data[0], data[1], data + 2);
}

static zframe_t* _aPacket_To_zFrame(const aPacket* packet)
{
    u8 wire[aPACKETMAXWIRE];
    wire[0] = packet->address;
    wire[1] = packet->length;
    memcpy(wire + 2, packet->data, packet->length);
    return zframe_new(wire, (size_t)packet->length + 2);
}

// Dumps a request that failed, as one trace line.
static void _printQCPacket(const aPacket* packet)
{
    if (!aDebug_On(aDEBUG_SERVER))
        return;
    if (packet->length < 2) {
        aDebug_Printf("Weird Packet: Address: %d, Size: %d\n", packet->address, packet->length);
        return;
    }
    char line[256];
    size_t at = (size_t)snprintf(line, sizeof(line), "Address: %d, Size: %d Data: ",
                                 packet->address, packet->length);
    for (u8 i = 0; i < packet->length && at < sizeof(line); i++)
        at += (size_t)snprintf(line + at, sizeof(line) - at, "0x%X ", packet->data[i]);
    aDebug_Printf("%s\n", line);
}

static zframe_t* _tagFrame(u32 tag)
{
    u8 bytes[4] = {(u8)(tag >> 24), (u8)(tag >> 16), (u8)(tag >> 8), (u8)tag};
    return zframe_new(bytes, 4);
}

static bool _readTag(zframe_t* frame, u32* tag)
{
    if (!frame || zframe_size(frame) != 4)
        return false;
    const u8* b = zframe_data(frame);
    *tag = ((u32)b[0] << 24) | ((u32)b[1] << 16) | ((u32)b[2] << 8) | b[3];
    return true;
}

// Every socket a thread sends on has a send time-out of 0, so a send never blocks; a message
// that could not go is released here.
static bool _sendMessage(zmsg_t** msg, zsock_t* socket)
{
    if (zmsg_send(msg, socket) == 0)
        return true;
    zmsg_destroy(msg);
    return false;
}

// CZMQ's signal: 8 bytes, 0x7766554433221100 plus the status. -1 for anything else.
static int _signalStatus(zmsg_t* msg)
{
    if (!msg || zmsg_size(msg) != 1)
        return -1;
    zframe_t* frame = zmsg_first(msg);
    if (zframe_size(frame) != 8)
        return -1;
    u64 value;
    memcpy(&value, zframe_data(frame), 8);
    if ((value & ~(u64)0xFF) != 0x7766554433221100ULL)
        return -1;
    return (int)(value & 0xFF);
}

static void _createNetworkSpec(aServer* server, linkSpec* linkSpecifier)
{
    memset(linkSpecifier, 0, sizeof(*linkSpecifier));
    linkSpecifier->type = AETHER;
    linkSpecifier->serialNumber = server->entry->identifier;
    linkSpecifier->model = server->model.load();
    linkSpecifier->t.ip.ipAddress = server->beaconHost;
    linkSpecifier->t.ip.ipPort = server->frontendPort;
}

// Write pools (broker thread).

packetPool::packetPool(zframe_t* client, const aPacket* first)
    : identity(zframe_dup(client)), address(first->address), command(first->data[0]),
      option(first->data[1])
{
    aPacket_GetIndex(first, &index);
    packets.push_back(aPacket_Copy(first));
}

static bool _isFirstChunk(const aPacket* packet)
{
    return packet->length == aPACKETMAXDATA && _doesPacketContinue(packet)
           && aUEI_getBytesSequence(packet) == 0;
}

static bool _poolMatches(const packetPool& pool, zframe_t* identity, const aPacket* packet)
{
    // [command][option][specifier] at least, as every entity request has.
    if (packet->length < 3)
        return false;
    u8 index = 0;
    aPacket_GetIndex(packet, &index);
    return pool.address == packet->address && pool.command == packet->data[0]
           && pool.option == packet->data[1] && pool.index == index
           && zframe_eq(pool.identity, identity);
}

// What a packet for a pooled value is to the write in progress.
enum ChunkFit {
    kNotAChunk,  // other traffic for the value: it passes at once
    kNextChunk,  // the chunk after the last one taken (the write's last chunk when it ends it)
    kChunkLost,  // a chunk of the write that does not follow the last one taken
};

static ChunkFit _chunkFit(const packetPool& pool, const aPacket* packet)
{
    bool next = (int)aUEI_getBytesSequence(packet) == (int)pool.lastSequence + 1;
    if (_doesPacketContinue(packet))
        return next ? kNextChunk : kChunkLost;
    // A packet that ends a byte string is told from a SET of a single value by its sequence
    // number; one longer than any single-value request can only end a byte string.
    if (next)
        return kNextChunk;
    return packet->length > sLONGEST_VALUE_REQUEST ? kChunkLost : kNotAChunk;
}

static void _forward(aServer* server, u32 tag, const aPacket* packet)
{
    zmsg_t* msg = zmsg_new();
    zframe_t* t = _tagFrame(tag);
    zframe_t* f = _aPacket_To_zFrame(packet);
    zmsg_append(msg, &t);
    zmsg_append(msg, &f);
    _sendMessage(&msg, server->syncBroker);
}

static u32 _addPending(aServer* server, std::list<pendingReply>& pendingIds, zframe_t* identity)
{
    server->lastTag++;
    if (server->lastTag == 0) // 0 marks a request that is owed nothing
        server->lastTag = 1;
    pendingIds.push_back({server->lastTag, zframe_dup(identity)});
    return server->lastTag;
}

// True when the pooling took the packet (held, dropped or sent as a completed write).
static bool _handleSetUEIBytes(aServer* server, zframe_t* identity, const aPacket* packet,
                               std::list<pendingReply>& pendingIds)
{
    if (!aUEI_isUEIPayload(packet) || packet->length < 1)
        return false;
    std::list<packetPool>& pools = server->packetPools;
    for (auto it = pools.begin(); it != pools.end();) {
        if (it->ttl == 0) {
            aTRACE(aDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
            it = pools.erase(it);
        } else {
            it->ttl--;
            ++it;
        }
    }
    auto found = pools.end();
    for (auto it = pools.begin(); it != pools.end(); ++it)
        if (_poolMatches(*it, identity, packet)) {
            found = it;
            break;
        }
    if (_isFirstChunk(packet)) {
        // A new write of the same value starts over: an abandoned one must not swallow it.
        if (found != pools.end())
            pools.erase(found);
        pools.emplace_back(identity, packet);
        return true;
    }
    if (found == pools.end())
        return false;
    packetPool& pool = *found;
    ChunkFit fit = _chunkFit(pool, packet);
    if (fit == kNotAChunk)
        return false;
    bool ends = !_doesPacketContinue(packet);
    if (fit == kChunkLost && !pool.broken) {
        aTRACE(aDEBUG_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
        pool.dropPackets();
        pool.broken = true;
    }
    // Followed from the chunk seen last, so a broken write's later chunks are still known.
    pool.lastSequence = aUEI_getBytesSequence(packet);
    if (pool.broken) {
        if (ends)
            pools.erase(found);
        return true; // dropped: the device never sees part of a write
    }
    pool.packets.push_back(aPacket_Copy(packet));
    if (!ends)
        return true;
    // The last chunk: the whole write goes out at once and is answered once.
    u32 tag = _addPending(server, pendingIds, identity);
    for (size_t i = 0; i < pool.packets.size(); i++)
        if (pool.packets[i])
            _forward(server, i + 1 == pool.packets.size() ? tag : 0, pool.packets[i]);
    pools.erase(found);
    return true;
}

// Broker: one client message.
static void _serverWorker_broker_frontend(aServer* server, std::list<zframe_t*>& streamClients,
                                          std::list<pendingReply>& pendingIds)
{
    zmsg_t* msg = zmsg_recv(server->frontend);
    if (!msg)
        return;
    zframe_t* identity = zmsg_pop(msg);
    zframe_t* data = zmsg_pop(msg);
    aPacket* packet = _zFrame_To_aPacket(data);
    if (identity && packet) {
        if (packet->length == 7 && packet->data[0] == cmdSTREAM
            && packet->data[1] == sSTREAM_ENABLE_SET) {
            bool known = false;
            for (zframe_t* client : streamClients)
                known = known || zframe_eq(client, identity);
            if (!known)
                streamClients.push_back(zframe_dup(identity));
        }
        bool pooled = _handleSetUEIBytes(server, identity, packet, pendingIds);
        if (!pooled && _isBlacklistedPacket(packet))
            aTRACE(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
        if (!pooled && !_isBlacklistedPacket(packet)) {
            u32 tag = _isResponseRequired(packet) ? _addPending(server, pendingIds, identity) : 0;
            _forward(server, tag, packet);
        }
    }
    aPacket_Destroy(&packet);
    zframe_destroy(&identity);
    zframe_destroy(&data);
    zmsg_destroy(&msg);
}

// Broker: one answer from the request thread: [tag][command][reply frames...].
static void _serverWorker_broker_sync(aServer* server, std::list<pendingReply>& pendingIds)
{
    zmsg_t* msg = zmsg_recv(server->syncBroker);
    if (!msg)
        return;
    zframe_t* tagFrame = zmsg_pop(msg);
    zframe_t* command = zmsg_pop(msg);
    u32 tag = 0;
    if (_readTag(tagFrame, &tag) && command && zframe_size(command) == 3) {
        // Answers come in request order: slots older than this one lost their answer.
        while (!pendingIds.empty() && pendingIds.front().tag != tag
               && (s32)(pendingIds.front().tag - tag) < 0) {
            zframe_destroy(&pendingIds.front().identity);
            pendingIds.pop_front();
        }
        if (!pendingIds.empty() && pendingIds.front().tag == tag) {
            zframe_t* identity = pendingIds.front().identity;
            pendingIds.pop_front();
            const u8* c = zframe_data(command);
            if (c[0] == SERVER_CMD_INCOMING_PACKETS) {
                server->expectedPackets = (u16)((c[1] << 8) | c[2]);
                for (zframe_t* reply = zmsg_pop(msg); reply; reply = zmsg_pop(msg)) {
                    zmsg_t* out = zmsg_new();
                    zframe_t* to = zframe_dup(identity);
                    zmsg_append(out, &to);
                    zmsg_append(out, &reply);
                    _sendMessage(&out, server->frontend);
                    if (server->expectedPackets > 0)
                        server->expectedPackets--;
                }
            } else if (c[0] != SERVER_CMD_DROPPED_PACKET) {
                aTRACE(aDEBUG_SERVER, "Unknown Server cmd: %d\n", c[0]);
            }
            zframe_destroy(&identity);
        } else {
            aTRACE(aDEBUG_SERVER, "no id to pop\n");
        }
    }
    zframe_destroy(&tagFrame);
    zframe_destroy(&command);
    zmsg_destroy(&msg);
}

// Broker: one stream batch to every client that enabled streaming.
static void _serverWorker_broker_streaming(aServer* server, std::list<zframe_t*>& streamClients)
{
    zframe_t* batch = zframe_recv(server->streamBroker);
    if (!batch)
        return;
    for (zframe_t* client : streamClients) {
        zmsg_t* out = zmsg_new();
        zframe_t* to = zframe_dup(client);
        zframe_t* copy = zframe_dup(batch);
        zmsg_append(out, &to);
        zmsg_append(out, &copy);
        _sendMessage(&out, server->frontend);
    }
    zframe_destroy(&batch);
}

// Broker: one heard beacon.
static void _serverWorker_broker_beacon(aServer* server, const linkSpec* linkSpecifier)
{
    char* sender = zstr_recv(server->discoveryActor);
    zframe_t* beacon = sender ? zframe_recv(server->discoveryActor) : NULL;
    if (beacon && server->model.load() == 0)
        aTRACE(aDEBUG_SERVER, "Discovery not allowed (beacon), model not set.\n");
    if (beacon && server->model.load() != 0 && !server->publishing
        && zframe_size(beacon) >= DISCOVERY_BEACON_FILTER_LENGTH
        && memcmp(zframe_data(beacon), DISCOVERY_BEACON_FILTER, DISCOVERY_BEACON_FILTER_LENGTH)
               == 0) {
        zsock_send(server->discoveryActor, "sbi", "PUBLISH", linkSpecifier, sizeof(*linkSpecifier),
                   sBEACON_INTERVAL_MS);
        server->lastPublishTicks = aTime_GetMSTicks();
        server->publishing = true;
    }
    zframe_destroy(&beacon);
    zstr_free(&sender);
}

static void _serverWorker_broker(zsock_t* pipe, void* args)
{
    aServer* server = (aServer*)args;
    zsock_signal(pipe, 0);
    zReadyWait poller;
    bool polled = poller.add(pipe) && poller.add(server->syncBroker) && poller.add(server->frontend)
                  && poller.add(server->streamBroker)
                  && (!server->discoveryIsBeacon || poller.add(server->discoveryActor));
    if (!polled) {
        zsock_signal(pipe, 0);
        return;
    }
    server->lastPublishTicks = 0;
    server->publishing = false;
    std::list<zframe_t*> streamClients;
    std::list<pendingReply> pendingIds;
    zsock_signal(pipe, 0);
    for (;;) {
        void* which = poller.wait(sPOLL_MS);
        if (which == server->streamBroker) {
            _serverWorker_broker_streaming(server, streamClients);
            poller.sent(server->frontend);
        } else if (which == server->syncBroker) {
            _serverWorker_broker_sync(server, pendingIds);
            poller.sent(server->frontend);
        } else if (which == server->frontend) {
            _serverWorker_broker_frontend(server, streamClients, pendingIds);
            poller.sent(server->syncBroker);
        } else if (which && which == server->discoveryActor) {
            linkSpec linkSpecifier;
            _createNetworkSpec(server, &linkSpecifier);
            _serverWorker_broker_beacon(server, &linkSpecifier);
            poller.sent(server->discoveryActor);
        } else if (which == pipe) {
            zmsg_t* control = zmsg_recv(pipe);
            int status = _signalStatus(control);
            zmsg_destroy(&control);
            if (status != sCONTROL_FLUSH)
                break;
            for (pendingReply& p : pendingIds)
                zframe_destroy(&p.identity);
            pendingIds.clear();
        } else if (poller.terminated()) {
            break;
        }
        if (server->publishing && aTime_GetMSTicks() - server->lastPublishTicks > sPUBLISH_MS) {
            zstr_sendx(server->discoveryActor, "SILENCE", NULL);
            poller.sent(server->discoveryActor);
            server->publishing = false;
            aTRACE(aDEBUG_SERVER, "Beacon silenced\n");
        }
    }
    for (zframe_t*& client : streamClients)
        zframe_destroy(&client);
    for (pendingReply& p : pendingIds)
        zframe_destroy(&p.identity);
    zsock_signal(pipe, 0);
}

// Request thread.

static unsigned char _acceptAll(const aPacket* packet, const void* ref)
{
    (void)packet;
    (void)ref;
    return 1;
}

// The reply to a request comes from the request's module and, for an entity request, carries
// its command; an address query is answered by an empty packet from whichever module. Any
// other packet (late, unsolicited) is left queued and drained before the next request.
static unsigned char _replyFilter(const aPacket* packet, const void* ref)
{
    const aPacket* request = (const aPacket*)ref;
    if (request->address == cmdMAGIC)
        return packet->length == 0;
    if (packet->address != request->address)
        return 0;
    if (aUEI_isUEIPayload(request))
        return packet->length > 0 && packet->data[0] == request->data[0];
    return 1;
}

static void _answer(aServer* server, u32 tag, const std::vector<aPacket*>& replies)
{
    zmsg_t* msg = zmsg_new();
    zframe_t* t = _tagFrame(tag);
    zmsg_append(msg, &t);
    size_t n = replies.size();
    u8 command[3] = {(u8)(n ? SERVER_CMD_INCOMING_PACKETS : SERVER_CMD_DROPPED_PACKET),
                     (u8)(n >> 8), (u8)n};
    zmsg_addmem(msg, command, sizeof(command));
    for (const aPacket* reply : replies) {
        zframe_t* f = _aPacket_To_zFrame(reply);
        zmsg_append(msg, &f);
    }
    _sendMessage(&msg, server->syncWorker);
}

static void _serverWorker_syncCommands_syncBackend(aServer* server)
{
    zmsg_t* msg = zmsg_recv(server->syncWorker);
    if (!msg)
        return;
    zframe_t* tagFrame = zmsg_pop(msg);
    zframe_t* data = zmsg_pop(msg);
    zmsg_destroy(&msg);
    u32 tag = 0;
    aPacket* packet = _readTag(tagFrame, &tag) ? _zFrame_To_aPacket(data) : NULL;
    zframe_destroy(&tagFrame);
    zframe_destroy(&data);
    std::vector<aPacket*> replies;
    if (packet) {
        aPacketFifoId inFifo = server->entry->link->inFifo;
        // Whatever is queued now belongs to no request: it must not pass for this reply.
        if (tag)
            aPacketFifo_DrainPackets(inFifo, _acceptAll, NULL);
        aErr put = sLinkPutPacket(server->entry->link, packet);
        if (put != aErrNone) {
            aTRACE(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n", (int)put);
            _printQCPacket(packet);
        }
        if (put == aErrNone && tag) {
            aPacket* reply = aPacketFifo_AwaitFirst(inFifo, _replyFilter, packet, sREPLY_WAIT_MS);
            while (reply) {
                replies.push_back(reply);
                if (!_doesPacketContinue(reply) || replies.size() >= sMAX_REPLIES
                    || server->stopping.load())
                    break;
                reply = aPacketFifo_AwaitFirst(inFifo, _replyFilter, packet, sREPLY_WAIT_MS);
            }
            if (!reply) {
                aTRACE(aDEBUG_SERVER, "Failed to AWAIT packet\n");
                _printQCPacket(packet);
            }
        }
    }
    if (tag)
        _answer(server, tag, replies);
    for (aPacket* p : replies)
        aPacket_Destroy(&p);
    aPacket_Destroy(&packet);
}

static void _serverWorker_syncCommands(zsock_t* pipe, void* args)
{
    aServer* server = (aServer*)args;
    zsock_signal(pipe, 0);
    zReadyWait poller;
    if (!server->syncWorker || !poller.add(pipe) || !poller.add(server->syncWorker)) {
        zsock_signal(pipe, 0);
        return;
    }
    zsock_signal(pipe, 0);
    for (;;) {
        void* which = poller.wait(sPOLL_MS);
        if (which == server->syncWorker) {
            _serverWorker_syncCommands_syncBackend(server);
            poller.sent(server->syncWorker);
        } else if (which == pipe) {
            zmsg_t* control = zmsg_recv(pipe);
            zmsg_destroy(&control);
            break;
        } else if (poller.terminated())
            break;
    }
    zsock_signal(pipe, 0);
}

// Stream filter, on the link's in-pipe thread.
static unsigned char _streamingPacketFilter(const aPacket* packet, void* ref)
{
    aServer* server = (aServer*)ref;
    unsigned char consumed = 0;
    if (aUEI_isStreamPacket(packet)) {
        u8* at = server->streamBatch + server->streamBatchLength;
        at[0] = packet->address;
        at[1] = packet->length;
        memcpy(at + 2, packet->data, packet->length);
        server->streamBatchLength = (u16)(server->streamBatchLength + packet->length + 2);
        consumed = 1;
    }
    bool heartbeat = packet->length == 2 && packet->data[0] == 0;
    if ((heartbeat || server->streamBatchLength > sSTREAM_BATCH_FLUSH)
        && server->streamBatchLength > 0) {
        zframe_t* batch = zframe_new(server->streamBatch, server->streamBatchLength);
        if (batch && zframe_send(&batch, server->streamProducer, ZFRAME_DONTWAIT) != 0)
            zframe_destroy(&batch);
        server->streamBatchLength = 0;
    }
    return consumed;
}

// Loopback discovery responder: holds slot k and answers the magic with the server's linkSpecifier.
static void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args)
{
    aServer* server = (aServer*)args;
    zsock_signal(pipe, 0);
    struct in_addr group;
    inet_pton(AF_INET, DISCOVERY_MULTICAST_GROUP, &group);
    const u32 loopback = htonl(INADDR_LOOPBACK);
    aMulticast* receiver = NULL;
    aMulticast* sender = NULL;
    for (int attempt = 0; attempt < sSLOT_ATTEMPTS && !sender; attempt++) {
        int k = 0;
        for (; k < DISCOVERY_PORT_SLOTS && !receiver; k++)
            receiver = aMulticast_Create(loopback, group.s_addr, (u16)(DISCOVERY_REQUEST_PORT + k),
                                         kMulticastReceiver);
        k = receiver ? k - 1 : DISCOVERY_PORT_SLOTS - 1;
        aTRACE(aDEBUG_SERVER, "Discovery port offset: %d\n", k);
        sender = aMulticast_Create(loopback, group.s_addr, (u16)(DISCOVERY_REPLY_PORT + k),
                                   kMulticastSender);
        if (!sender && receiver)
            aMulticast_Destroy(&receiver);
    }
    zsock_signal(pipe, 0);
    // Wait on the requests and the control pipe together, so a request is answered at once:
    // a client waits only 1 s for the reply.
    zmq_pollitem_t items[2];
    memset(items, 0, sizeof(items));
    items[0].socket = zsock_resolve(pipe);
    items[0].events = ZMQ_POLLIN;
    items[1].fd = aMulticast_Descriptor(receiver);
    items[1].events = ZMQ_POLLIN;
    int count = receiver ? 2 : 1;
    for (;;) {
        int rc = zmq_poll(items, count, sPOLL_MS);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (items[0].revents & ZMQ_POLLIN)
            break;
        if (count == 2 && (items[1].revents & ZMQ_POLLIN)) {
            u32 magic = 0;
            int n = aMulticast_Receive(receiver, &magic, sizeof(magic));
            if (n == 4 && magic == DISCOVERY_MULTICAST_MAGIC) {
                aTRACE(aDEBUG_SERVER, "We got the multicast magic value\n");
                if (server->model.load() == 0)
                    aTRACE(aDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.\n");
            }
            if (n == 4 && magic == DISCOVERY_MULTICAST_MAGIC && server->model.load() != 0) {
                linkSpec linkSpecifier;
                _createNetworkSpec(server, &linkSpecifier);
                aMulticast_Send(sender, &linkSpecifier, sizeof(linkSpecifier));
            }
        }
    }
    zmsg_t* control = zmsg_recv_nowait(pipe);
    zmsg_destroy(&control);
    if (receiver)
        aMulticast_Destroy(&receiver);
    if (sender)
        aMulticast_Destroy(&sender);
    zsock_signal(pipe, 0);
}

// Server set-up.

static bool _configureBeacon(aServer* server)
{
    char text[16];
    if (aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof(text)) == 0)
        return false;
    // Held until the beacon has answered CONFIGURE: the actor reads the process-wide value
    // while it configures, and a search elsewhere in the process may change it right after.
    if (!zBeaconInterface_setAndLock(text))
        return false;
    server->discoveryActor = zactor_new(zbeacon, NULL);
    // Set at once: a beacon actor is destroyed directly, never sent the stop signal.
    server->discoveryIsBeacon = server->discoveryActor != NULL;
    char* host = NULL;
    if (server->discoveryActor) {
        zsock_set_rcvtimeo(server->discoveryActor, sCONFIGURE_WAIT_MS);
        zsock_send(server->discoveryActor, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
        host = zstr_recv(server->discoveryActor);
    }
    zBeaconInterface_unlock();
    if (!server->discoveryActor)
        return false;
    struct in_addr address;
    bool ok = host && inet_pton(AF_INET, host, &address) == 1;
    zstr_free(&host);
    if (!ok)
        return false;
    server->beaconHost = address.s_addr;
    zsock_send(server->discoveryActor, "sb", "SUBSCRIBE", DISCOVERY_BEACON_FILTER,
               (size_t)DISCOVERY_BEACON_FILTER_LENGTH);
    zsock_set_rcvtimeo(server->discoveryActor, sBEACON_RECEIVE_MS);
    return true;
}

// Chooses the responder; in beacon mode also the interface served. The loopback responder is
// started after the frontend is bound, since it advertises the frontend's port.
static bool _configureInterface(aServer* server)
{
    u32 interfaces[sMAX_INTERFACES];
    int found = aDiscovery_GetIPv4Interfaces(interfaces, sMAX_INTERFACES);
    if (!server->localOnly && found > 0) {
        if (server->networkInterface == htonl(INADDR_LOOPBACK))
            server->networkInterface = interfaces[0];
        return _configureBeacon(server);
    }
    // A local server is reached on loopback whatever interface it was given: that is what
    // the engine connects its client link to.
    if (server->localOnly)
        server->networkInterface = htonl(INADDR_LOOPBACK);
    server->beaconHost = htonl(INADDR_LOOPBACK);
    server->discoveryIsBeacon = false;
    return true;
}

static int _findPortAndBindSocket(aServer* server)
{
    char endpoint[1024];
    if (server->localOnly) {
        snprintf(endpoint, sizeof(endpoint), "tcp://127.0.0.1:*");
    } else {
        char text[16];
        if (aDiscovery_ConvertIPv4Interface(server->networkInterface, text, sizeof(text)) == 0)
            return -1;
        snprintf(endpoint, sizeof(endpoint), "tcp://%s:*", text);
    }
    return zsock_bind(server->frontend, "%s", endpoint);
}

// The two thread pairs run in-process: a frame between threads costs no trip through the
// TCP stack, and each name is unique for the process's life.
static bool _bindPair(zsock_t* bound, zsock_t* connected, const char* role)
{
    static std::atomic<u32> counter{0};
    if (!bound || !connected)
        return false;
    char endpoint[64];
    snprintf(endpoint, sizeof(endpoint), "inproc://qc-server-%s-%u", role, (unsigned)++counter);
    return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}

aServer* aServer_Create(aLinkId linkId, u32 networkInterface, bool localOnly)
{
    aLinkEntry* entry = sLookupEntryByID(linkId);
    if (!entry || !entry->link) {
        aTRACE(aDEBUG_SERVER, "Could not find device Item\n");
        return NULL;
    }
    aServer* server = new (std::nothrow) aServer();
    if (!server)
        return NULL;
    server->entry = entry;
    server->localOnly = localOnly;
    server->networkInterface = networkInterface ? networkInterface : htonl(INADDR_LOOPBACK);
    return server;
}

aErr aServer_Start(aServer* server)
{
    if (!server)
        return aErrParam;
    if (server->started) // started once only
        return aErrResource;
    server->started = true;
    zBeaconInterface_initContext();
    server->expectedPackets = 0;
    server->frontend = zsock_new(ZMQ_ROUTER);
    server->streamProducer = zsock_new(ZMQ_DEALER);
    server->streamBroker = zsock_new(ZMQ_DEALER);
    server->syncWorker = zsock_new(ZMQ_DEALER);
    server->syncBroker = zsock_new(ZMQ_DEALER);
    bool ok = server->frontend && server->streamProducer
              && server->streamBroker && server->syncWorker && server->syncBroker;
    if (ok) {
        zsock_set_sndtimeo(server->frontend, 0);
        zsock_set_sndtimeo(server->streamProducer, 0);
        zsock_set_sndtimeo(server->syncBroker, 0);
        zsock_set_sndtimeo(server->syncWorker, 0);
    }
    ok = ok && _configureInterface(server);
    if (ok) {
        int port = _findPortAndBindSocket(server);
        ok = port > 0;
        server->frontendPort = ok ? (u16)port : 0;
    }
    // The writer of each pair connects, so its first frames queue before the accept.
    ok = ok && _bindPair(server->streamBroker, server->streamProducer, "stream");
    ok = ok && _bindPair(server->syncWorker, server->syncBroker, "sync");
    if (ok && !server->discoveryIsBeacon) {
        server->discoveryActor = zactor_new(_serverWorker_multicastDiscovery, server);
        ok = server->discoveryActor != NULL;
        if (ok)
            zsock_wait(server->discoveryActor);
    }
    if (ok) {
        server->broker = zactor_new(_serverWorker_broker, server);
        ok = server->broker != NULL;
        if (ok)
            zsock_wait(server->broker);
    }
    if (ok) {
        server->syncActor = zactor_new(_serverWorker_syncCommands, server);
        ok = server->syncActor != NULL;
        if (ok)
            zsock_wait(server->syncActor);
    }
    ok = ok && aLink_InstallUserPacketFilter(server->entry->id, _streamingPacketFilter, server)
                   == aErrNone;
    server->filterInstalled = ok;
    if (ok)
        aLink_DrainPackets(server->entry->id, _acceptAll, NULL);
    else
        aTRACE(aDEBUG_SERVER, "Could not find open port\n");
    return ok ? aErrNone : aErrResource;
}

static void _stopActor(zactor_t** actor)
{
    if (!*actor)
        return;
    zsock_signal(*actor, 0);
    zsock_wait(*actor);
    zactor_destroy(actor);
}

aErr aServer_Destroy(aServer** serverPointer)
{
    if (!serverPointer || !*serverPointer)
        return aErrParam;
    aServer* server = *serverPointer;
    // From here on the in-pipe thread no longer touches the stream producer.
    if (server->filterInstalled)
        aLink_InstallUserPacketFilter(server->entry->id, NULL, NULL);
    server->stopping = true;
    if (server->syncActor) {
        zsock_signal(server->syncActor, 0);
        // A request thread waiting for a reply returns at once.
        if (server->entry->link)
            aPacketFifo_WakeWaiters(server->entry->link->inFifo);
        zsock_wait(server->syncActor);
        zactor_destroy(&server->syncActor);
    }
    _stopActor(&server->broker);
    if (server->discoveryIsBeacon)
        zactor_destroy(&server->discoveryActor);
    else
        _stopActor(&server->discoveryActor);
    zsock_destroy(&server->syncBroker);
    zsock_destroy(&server->syncWorker);
    zsock_destroy(&server->streamBroker);
    zsock_destroy(&server->streamProducer);
    zsock_destroy(&server->frontend);
    delete server;
    *serverPointer = NULL;
    return aErrNone;
}

aErr aServer_GetPort(aServer* server, u16* port)
{
    if (!server || !port)
        return aErrParam;
    *port = server->frontendPort;
    return aErrNone;
}

aErr aServer_GetInterface(aServer* server, u32* networkInterface)
{
    if (!server || !networkInterface)
        return aErrParam;
    *networkInterface = server->networkInterface;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, u8 address)
{
    if (!server)
        return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, u8 model)
{
    if (!server)
        return aErrParam;
    server->model = model;
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!server)
        return aErrParam;
    if (server->broker)
        zsock_signal(server->broker, sCONTROL_FLUSH);
    return aErrNone;
}
