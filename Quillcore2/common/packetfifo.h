// Thread-safe queues of packet copies, addressed by id. Every link owns two: the in FIFO
// (received packets for users) and the out FIFO (packets for the out-pipe thread to write).
// Packets handed in are copied; packets handed out belong to the caller (aPacket_Destroy).
// No exception leaves these functions.
#ifndef _packetfifo_H_
#define _packetfifo_H_

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"

// Id of a FIFO, from 1 upward and never reused; 0 means none or failure.
typedef u64 aPacketFifoId;

// Packet predicate of awaits and drains; non-zero selects the packet. It runs on the caller's
// thread with the FIFO's lock held, so it must not call back into the same FIFO.
typedef unsigned char (*aPacketFilterProc)(const aPacket* packet, const void* ref);

// A FIFO can hold this many packets; the put that would exceed it empties the FIFO instead.
#define aPACKETFIFO_MAXPACKETS 1000

// New FIFO; 0 on failure.
aPacketFifoId aPacketFifo_Create(void);

// Removes the FIFO, frees what it holds and wakes every waiter (they return NULL); *id becomes 0.
// aErrParam for a NULL pointer, aErrNotFound for an unknown id (*id left as it was).
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Queues a copy of the packet. aErrParam for an unknown id or an invalid packet. A put that
// would leave more than aPACKETFIFO_MAXPACKETS packets empties the FIFO, wakes nobody and
// still returns aErrNone.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// The oldest packet without waiting; NULL when empty or unknown.
aPacket* aPacketFifo_Get(aPacketFifoId id);

// The oldest packet, waiting up to msTimeout on a steady clock; NULL at the deadline, for an
// unknown id, or when the FIFO is destroyed during the wait.
aPacket* aPacketFifo_Await(aPacketFifoId id, unsigned long msTimeout);

// The first queued packet the filter selects, without waiting; NULL when none does.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, const void* ref);

// The first packet the filter selects, waiting up to msTimeout. Each packet is offered to the
// filter at most once per call, in arrival order; rejected packets stay queued.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, const void* ref,
                                unsigned long msTimeout);

// Removes and frees every queued packet the filter selects, keeping the order of the rest;
// returns how many went (0 for an unknown id).
u64 aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, const void* ref);

// Ends every Await and AwaitFirst in progress on the FIFO: each returns what it has found,
// NULL if nothing. Lets a stopping link release its out-pipe thread at once. aErrNotFound for
// an unknown id.
aErr aPacketFifo_WakeWaiters(aPacketFifoId id);

// Number of queued packets; 0 for an unknown id.
u64 aPacketFifo_GetLength(aPacketFifoId id);

// How many times an Await or AwaitFirst on the FIFO has gone to sleep, having found nothing
// it wants; 0 for an unknown id. Lets a test act only once its waiter is really blocked.
u64 aPacketFifo_GetSleepCount(aPacketFifoId id);

#endif
