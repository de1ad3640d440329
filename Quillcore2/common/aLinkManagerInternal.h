// Link records and the process-wide link registry (internal to the link engine and the
// link-sharing server). Entries are reached by id; a pointer from a lookup may only be used
// while the caller holds a use of the link (or is its creator).
#ifndef _aLinkManagerInternal_H_
#define _aLinkManagerInternal_H_

#include <atomic>

#include "aLink.h"
#include "aMutex.h"
#include "aThread.h"
#include "discover.h"
#include "packetfifo.h"

typedef struct aServer aServer;
typedef struct aPacketLog aPacketLog;

#define aLINKCHECK 0xCEED

// Sync handshake states of the in-pipe thread.
#define kSyncStateIdle 0
#define kSyncStateStart 1  // the next received byte restarts the handshake
#define kSyncStateByte1 2  // waiting for the device's address byte (even, non-zero)
#define kSyncStateByte2 3  // a zero length byte
#define kSyncStateByte3 4  // the same address byte again
#define kSyncStateByte4 5  // a second zero length byte completes the sync

typedef void (*aLinkHBCallback)(bool down);

// The fields the pipe threads and their observers share without a lock are atomics, so each
// is read and written whole.
typedef struct aLink {
    u16 check;
    aLinkId id;
    std::atomic<u8> running;
    std::atomic<int> status;
    aPacketFifoId inFifo;
    aPacket* packet; // working packet of the in-pipe thread
    aPacketFifoId outFifo;
    aThread* inPipe;
    aThread* outPipe;
    aThreadEntry inEntry;
    aThreadEntry outEntry;
    std::atomic<u8> inStarted;
    std::atomic<u8> outStarted;
    aStream* stream;
    std::atomic<u32> hbState;
    aLinkHBCallback hbCallback;
    std::atomic<u32> syncState;
    u8 syncAddress;
    // Published with release ordering after logMutex is made, read with acquire ordering,
    // so a pipe thread that sees the log also sees its mutex.
    std::atomic<aPacketLog*> log;
    u32 logSize;
    aMutex* logMutex;
    aUserPacketFilterProc userFilter;
    void* userRef;
    aMutex* filterMutex;
    // Engine-private: wakes the in-pipe thread out of its readiness wait when the link stops.
    int wakeFd;
    // Engine-private: answers to the last sync burst still to be dropped (see aLink.cpp).
    std::atomic<int> syncSurplus;
} aLink;

typedef struct aLinkEntry {
    aLinkId id;
    aLinkId parentId;
    aServer* server;
    u32 identifier;
    u32 port;
    int clientIndex;
    int type;
    s16 useCount;
    aLink* link;
    // A USB link bound to the device at this port path; count 0: any device with the serial.
    aUSBPortPath usbPath;
    struct aLinkEntry* next;
} aLinkEntry;

// linkType values of entries.
#define aLINKTYPE_STREAM 0
#define aLINKTYPE_USB 1
#define aLINKTYPE_TCPIP 2
#define aLINKTYPE_SERIAL 3
#define aLINKTYPE_AETHER 4

// New entry (no users yet) with a zeroed link record; its id, or 0 when memory runs out.
aLinkId sCreate(u32 identifier, u32 port, int type);
aLinkId sCreate2(u32 identifier, u32 port, int clientIndex, int type);
// The same with the USB port path the link is bound to (NULL: none).
aLinkId sCreate3(u32 identifier, u32 port, int clientIndex, int type, const aUSBPortPath* path);
aLinkEntry* sLookupEntryByID(aLinkId id);
// The newest entry with that identifier, whatever its type, port and client index.
aLinkEntry* sLookupEntryByIdentifier(u32 identifier);
aLinkEntry* sLookupEntryByTrident(u32 identifier, u32 port, int clientIndex);
// Unlinks the entry and hands it to the caller, who frees it; NULL when absent.
aLinkEntry* sExtractEntry(aLinkId id);
// Adds delta to the use count (16-bit arithmetic) and returns the new count; 0 for NULL.
s16 sChangeUseCount(aLinkEntry* entry, int delta);
aLink* sGetLink(aLinkId id);

// Finds the newest entry for an identifier and adds one use to it in the same critical
// section, so it cannot be torn down between the two. NULL when there is none, or (with
// refuseServed) when it has a sharing server attached; *served tells which.
aLinkEntry* sLookupAndUseByIdentifier(u32 identifier, bool refuseServed, bool* served);
// The same for a USB link bound to that port path: refused (*served set) when the newest entry
// of the identifier is served, as above; otherwise only an entry bound to the same path is
// shared.
aLinkEntry* sLookupAndUseUSBAt(u32 identifier, const aUSBPortPath* path, bool* served);
// Adds one use to the entry of an id in one critical section; NULL when the id is unknown.
aLinkEntry* sLookupAndUseByID(aLinkId id);
// Releases one use of an id. When the new count is 0 or less the entry is unlinked in the
// same critical section and returned for teardown (*last set); else it stays and *last is
// false. NULL for an unknown id.
aLinkEntry* sReleaseUse(aLinkId id, bool* last);
// Attaches a sharing server to the entry of an id, under the registry lock (creating calls
// read it there); false for an unknown id or one that already has a server.
bool sAttachServer(aLinkId id, aServer* server);
// Frees an entry that sExtractEntry or sReleaseUse handed out, and its link record.
void sFreeEntry(aLinkEntry* entry);
// Queues a copy of a packet for the device on a link's out FIFO (the put's result). Every
// put from outside the engine's own threads goes through here (aLink_PutPacket, the sharing
// server), so each address query cancels the drop of surplus sync replies.
aErr sLinkPutPacket(aLink* link, const aPacket* packet);

#endif
