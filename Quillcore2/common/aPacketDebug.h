// Packet log: a per-link ring of the packets a link sent and received, plus text notes, for a
// writer thread (aLogger) to turn into a log file. Records are [kind][n][n bytes]; when room
// runs out the oldest whole records are dropped, so the newest always win.
#ifndef _aPacketDebug_H_
#define _aPacketDebug_H_

#include "aDefs.h"
#include "aError.h"

typedef u32 aLinkId;

#define kPacketLogSent 1
#define kPacketLogReceived 2
#define kPacketLogText 3

#define aPACKETLOG_DEFAULTSIZE 65536
#define aPACKETLOG_MAXSIZE 0x4000000

typedef struct aPacketLog {
    u8 enabled; // set by enable; recording does not consult it
    u8* data;
    u32 size;
    u32 readIndex;
    u32 writeIndex; // equal to readIndex when empty: at most size - 1 bytes are in use
} aPacketLog;

// An empty, disabled ring of size bytes; NULL when memory runs out or size is 0.
aPacketLog* aPacketLog_Create(u32 size);
// Appends a record, dropping the oldest ones to make room. aErrOverrun, with the ring
// untouched, for a record that can never fit (n + 2 not below the size, or n above 255);
// aErrParam for a NULL log or NULL bytes with n > 0.
aErr aPacketLog_Put(aPacketLog* log, int kind, u32 n, const void* bytes);
// Takes the oldest record: *n is the capacity in, the record length out. aErrNotFound when
// empty; aErrOverrun when the record is larger than the capacity (it stays; *n tells its size).
aErr aPacketLog_Get(aPacketLog* log, int* kind, u32* n, void* buffer);
// Frees the log and sets *log to NULL; a NULL log is accepted. Always aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);

// Size of the log the next enable makes (negative: the default). aErrParam for an unknown id
// or a size above 64 MiB, aErrBusy when the link already has a log.
aErr aLink_PacketDebug_SetLogSize(aLinkId id, int size);
// Makes the link's log (once) and sets it enabled. aErrParam unknown id, aErrResource no memory.
aErr aLink_PacketDebug_Enable(aLinkId id);
// Clears the enabled flag; the log stays and recording goes on. aErrNotReady without a log.
aErr aLink_PacketDebug_Disable(aLinkId id);
// aPacketLog_Get / aPacketLog_Put on the link's log under its lock; aErrParam for an unknown
// id, aErrNotReady for a link without a log.
aErr aLink_PacketDebug_Read(aLinkId id, int* kind, u32* n, void* buffer);
aErr aLink_PacketDebug_Write(aLinkId id, int kind, u32 n, const void* bytes);

#endif
