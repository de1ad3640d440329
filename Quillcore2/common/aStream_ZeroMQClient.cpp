// Client stream of link sharing over a ZeroMQ DEALER socket.
//
// Three threads use a stream: the link's in-pipe thread (get: incoming, poller, frame), its
// out-pipe thread (write: outgoing) and the broker actor (client and the two peers). No ZeroMQ
// socket is used by two threads, so the record needs no lock.
#include "aStream_ZeroMQClient.h"
#include "zBeaconInterface.h"

#include <czmq.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "aDebug.h"
#include "aTime.h"
#include "discover.h"
#include "zReadyWait.h"

#define sPOLL_MS 1000
#define sSEND_ATTEMPTS 100
#define sCONNECT_WAIT_MS 1000

typedef struct aZeroMQStream {
    zsock_t* client;
    u16 outgoingPort;   // 0: the pairs run in-process (no ports)
    zsock_t* outgoing;
    zsock_t* outgoingPeer;
    u16 incomingPort;
    zsock_t* incoming;
    zsock_t* incomingPeer;
    zactor_t* broker;
    zpoller_t* poller;
    zframe_t* frame;
    size_t position;
    size_t size;
} aZeroMQStream;

static bool _aVALIDStream(const aZeroMQStream* z)
{
    return z != NULL && z->client != NULL;
}

// Sends without waiting; a peer that is momentarily full gets up to 100 tries 1 ms apart.
// The frame is always consumed.
static bool _sendRetrying(zframe_t** frame, zsock_t* socket)
{
    for (int attempt = 0; attempt < sSEND_ATTEMPTS; attempt++) {
        if (zframe_send(frame, socket, ZFRAME_DONTWAIT) == 0)
            return true;
        aTime_MSSleep(1);
    }
    zframe_destroy(frame);
    return false;
}

static void _broker_task(zsock_t* pipe, void* args)
{
    aZeroMQStream* z = (aZeroMQStream*)args;
    zsock_signal(pipe, 0);
    zReadyWait poller;
    if (!poller.add(pipe) || !poller.add(z->client) || !poller.add(z->outgoingPeer)) {
        zsock_signal(pipe, 0);
        return;
    }
    zsock_signal(pipe, 0);
    for (;;) {
        void* which = poller.wait(sPOLL_MS);
        if (which == pipe) {
            zmsg_t* control = zmsg_recv(pipe);
            zmsg_destroy(&control);
            break;
        }
        if (which == z->client) {
            zframe_t* frame = zframe_recv(z->client);
            if (frame && !_sendRetrying(&frame, z->incomingPeer))
                aTRACE(aDEBUG_CLIENTSTREAM, "Client send error Frontend->incomming: %d\n",
                       zmq_errno());
        } else if (which == z->outgoingPeer) {
            zframe_t* frame = zframe_recv(z->outgoingPeer);
            if (frame && zframe_send(&frame, z->client, ZFRAME_DONTWAIT) != 0) {
                aTRACE(aDEBUG_CLIENTSTREAM, "--Client send error outgoing->frontend: %d\n",
                       zmq_errno());
                zframe_destroy(&frame);
            }
            poller.sent(z->client);
        } else if (poller.terminated()) {
            break;
        }
    }
    zsock_signal(pipe, 0);
}

static aErr _sZeroMQStreamDelete(void* ref)
{
    aZeroMQStream* z = (aZeroMQStream*)ref;
    if (!z)
        return aErrIO;
    if (z->broker) {
        zsock_signal(z->broker, 0);
        zsock_wait(z->broker);
        zactor_destroy(&z->broker);
    }
    if (z->poller)
        zpoller_destroy(&z->poller);
    zsock_destroy(&z->client);
    zsock_destroy(&z->incoming);
    zsock_destroy(&z->outgoing);
    zsock_destroy(&z->incomingPeer);
    zsock_destroy(&z->outgoingPeer);
    zframe_destroy(&z->frame);
    free(z);
    return aErrNone;
}

static aErr _sZeroMQStreamGet(char* out, void* ref)
{
    aZeroMQStream* z = (aZeroMQStream*)ref;
    if (!_aVALIDStream(z) || !out)
        return aErrParam;
    if (!z->frame) {
        if (zpoller_wait(z->poller, sPOLL_MS) != z->incoming)
            return aErrNotReady;
        z->frame = zframe_recv(z->incoming);
        if (!z->frame)
            return aErrIO;
        z->position = 0;
        z->size = zframe_size(z->frame);
    }
    if (z->size == 0) {
        zframe_destroy(&z->frame);
        return aErrIndexRange;
    }
    *out = (char)zframe_data(z->frame)[z->position++];
    if (z->position >= z->size) {
        zframe_destroy(&z->frame);
        z->position = 0;
        z->size = 0;
    }
    return aErrNone;
}

static aErr _sZeroMQStreamPut(const char* in, void* ref)
{
    (void)in;
    (void)ref;
    // A frame per byte would split packets: the engine writes whole packets.
    return aErrUnimplemented;
}

static aErr _sZeroMQStreamWrite(const char* data, size_t length, void* ref)
{
    aZeroMQStream* z = (aZeroMQStream*)ref;
    if (!_aVALIDStream(z) || (!data && length))
        return aErrParam;
    zframe_t* frame = zframe_new(data, length);
    if (!frame)
        return aErrNone;
    // A frame the broker could not take is lost like a packet on a broken wire; the
    // requester's own time-out reports it.
    if (!_sendRetrying(&frame, z->outgoing))
        aTRACE(aDEBUG_CLIENTSTREAM, "Client send error Frontend->client: %d\n", zmq_errno());
    return aErrNone;
}

// A bound DEALER and a peer connected to it, in-process: a frame between the pipe threads
// and the broker costs no trip through the TCP stack. The writing side of each pair is the one
// that connects, so its first frame queues at once. Each name is unique for the process's life.
static aErr _makePair(zsock_t** bound, zsock_t** connected, const char* role)
{
    static std::atomic<u32> counter{0};
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (!*bound || !*connected)
        return aErrMemory;
    char endpoint[64];
    snprintf(endpoint, sizeof(endpoint), "inproc://qc-client-%s-%u", role, (unsigned)++counter);
    if (zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0)
        return aErrConnection;
    return aErrNone;
}

// ZeroMQ connects in the background and retries for ever, so a server that is not there
// would look like a silent one. Watch the connect instead: aErrNone once it is established,
// aErrConnection when it is refused or not made within the bound.
static aErr _connectClient(zsock_t* client, const char* endpoint)
{
    static std::atomic<u32> counter{0};
    char monitorEndpoint[64];
    snprintf(monitorEndpoint, sizeof(monitorEndpoint), "inproc://qc-client-monitor-%u",
             (unsigned)++counter);
    if (zmq_socket_monitor(zsock_resolve(client), monitorEndpoint,
                           ZMQ_EVENT_CONNECTED | ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_CLOSED)
        != 0)
        return aErrConnection;
    zsock_t* monitor = zsock_new(ZMQ_PAIR);
    aErr err = aErrConnection;
    if (monitor && zsock_connect(monitor, "%s", monitorEndpoint) == 0
        && zsock_connect(client, "%s", endpoint) == 0) {
        zsock_set_rcvtimeo(monitor, sCONNECT_WAIT_MS);
        for (int64_t end = zclock_mono() + sCONNECT_WAIT_MS; zclock_mono() < end;) {
            zmsg_t* event = zmsg_recv(monitor);
            if (!event)
                break;
            zframe_t* first = zmsg_first(event);
            u16 id = 0;
            if (first && zframe_size(first) >= 2)
                memcpy(&id, zframe_data(first), 2);
            zmsg_destroy(&event);
            if (id == ZMQ_EVENT_CONNECTED) {
                err = aErrNone;
                break;
            }
            if (id == ZMQ_EVENT_CONNECT_RETRIED || id == ZMQ_EVENT_CLOSED)
                break;
        }
    }
    zmq_socket_monitor(zsock_resolve(client), NULL, 0);
    zsock_destroy(&monitor);
    return err;
}

aErr aStream_CreateClient(u32 address, u16 port, aStream** out)
{
    if (!out)
        return aErrParam;
    *out = NULL;
    zBeaconInterface_initContext();
    aZeroMQStream* z = (aZeroMQStream*)calloc(1, sizeof(aZeroMQStream));
    if (!z)
        return aErrMemory;
    // Written by the out-pipe thread (outgoing), read by the broker (outgoingPeer).
    aErr err = _makePair(&z->outgoingPeer, &z->outgoing, "outgoing");
    if (err == aErrConnection)
        aTRACE(aDEBUG_CLIENTSTREAM, "client: outgoing connecting fail\n");
    // Written by the broker (incomingPeer), read by the in-pipe thread (incoming).
    if (err == aErrNone) {
        err = _makePair(&z->incoming, &z->incomingPeer, "incoming");
        if (err == aErrConnection)
            aTRACE(aDEBUG_CLIENTSTREAM, "client: incoming connecting fail\n");
    }
    if (err == aErrNone) {
        z->client = zsock_new(ZMQ_DEALER);
        if (!z->client)
            err = aErrMemory;
    }
    if (err == aErrNone) {
        char host[16];
        char endpoint[36];
        if (aDiscovery_ConvertIPv4Interface(address, host, sizeof(host)) == 0)
            err = aErrConnection;
        else {
            aTRACE(aDEBUG_CLIENTSTREAM, "aStream_CreateClient address: %s\n", host);
            snprintf(endpoint, sizeof(endpoint), "tcp://%s:%d", host, (int)port);
            err = _connectClient(z->client, endpoint);
            if (err != aErrNone)
                aTRACE(aDEBUG_CLIENTSTREAM, "Error connecting to socket: %d(rc)\n", (int)err);
        }
    }
    if (err == aErrNone) {
        z->poller = zpoller_new(z->incoming, NULL);
        if (!z->poller)
            err = aErrMemory;
    }
    if (err == aErrNone) {
        z->broker = zactor_new(_broker_task, z);
        if (!z->broker)
            err = aErrMemory;
        else
            zsock_wait(z->broker);
    }
    aStream* stream = NULL;
    if (err == aErrNone) {
        stream = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                                _sZeroMQStreamDelete, z);
        if (!stream)
            err = aErrResource;
    }
    if (err != aErrNone) {
        _sZeroMQStreamDelete(z);
        return err;
    }
    *out = stream;
    return aErrNone;
}
