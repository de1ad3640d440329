// The link engine: packet links to a device over a byte stream, shared by identifier and
// counted by use. A creating call returns a running link (0 on failure); each successful
// creating call is matched by one aLink_Destroy. Users queue packets with aLink_PutPacket and
// take replies with aLink_AwaitFirst; the link's pipe threads do the reading and writing.
#ifndef _aLink_H_
#define _aLink_H_

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

// Id of a registered link, from 1 upward and never reused; 0 means none.
typedef u32 aLinkId;

typedef int aLinkStatus;
#define kLinkStatusStopped 0
#define kLinkStatusStarting 1
#define kLinkStatusRunning 2 // the only status in which aLink_AwaitFirst waits
#define kLinkStatusStopping 3
#define kLinkStatusSyncing 4
#define kLinkStatusNoStream 5 // also what an unknown id reads as
#define kLinkStatusIOError 6
#define kLinkStatusError 8

// Sees every received packet first, on the in-pipe thread; a result of exactly 1 consumes it.
// It runs with the link's filter lock held and must not install or remove a filter itself.
typedef unsigned char (*aUserPacketFilterProc)(const aPacket* packet, void* ref);

// Opens (or shares) the USB link of a serial number: started, synced and routed on.
aLinkId aLink_CreateUSB(u32 serial);
// The same for the device with that serial number at that port path only; it shares only a
// link bound to the same path. 0 for a path with no port.
struct aUSBPortPath;
aLinkId aLink_CreateUSBAt(u32 serial, const struct aUSBPortPath* path);
// Opens (or shares, whatever the port) the TCP link to an IPv4 address (network order, as a
// linkSpec holds it) and port (low 16 bits): started and routed on.
aLinkId aLink_CreateTCPIP(u32 address, u32 port);
// Opens (or shares) the serial link of a serial number on a device path; baud 2400..230400.
aLinkId aLink_CreateSerial(u32 serial, const char* portName, int baudRate);
// A link on a caller's stream (the link owns it from then on).
aLinkId aLink_Create(aStream* stream);
// Shared links through a link-sharing server: not available yet, both return 0.
aLinkId aLink_CreateServer(u32 serial, u16* port, u32* networkInterface, bool localOnly);
aLinkId aLink_CreateClient(u32 address, u32 port, aLinkId existing);

// (Re)initialises the record of a registered link on a stream (NULL: no stream); the id, or 0.
aLinkId aLink_Init(aLinkId id, aStream* stream);
// Starts the pipe threads and queues route-on. aErrParam unknown id, aErrResource no thread,
// aErrIndexRange when the threads are not running within 2 s. A running link is left alone.
aErr aLink_Start(aLinkId id);
// Brings the device into byte sync (six sync requests per try); aErrNotReady after 2 s.
// Both FIFOs are emptied afterwards in either case.
aErr aLink_Sync(aLinkId id);
// Queues [0xAF][1][on]. aErrNotFound for an unknown id.
aErr aLink_ForceRoute(aLinkId id, int on);
// Releases one use; the last use routes off, stops the threads and frees everything.
// *id is always set to 0; aErrParam for an unknown id.
aErr aLink_Destroy(aLinkId* id);
// Stops the link, opens a new stream of the same kind (USB or TCP, 20 tries) and starts it.
aErr aLink_Reset(aLinkId id);
aLinkStatus aLink_GetStatus(aLinkId id);
// Installs (NULL: removes) the user filter; returns once a filter call in progress has ended.
aErr aLink_InstallUserPacketFilter(aLinkId id, aUserPacketFilterProc filter, void* ref);
// Removes every received packet the filter selects; how many went (0 for an unknown id).
u64 aLink_DrainPackets(aLinkId id, aPacketFilterProc filter, const void* ref);

// Queues a copy of the packet for the device; the out FIFO put's result, aErrParam unknown id.
aErr aLink_PutPacket(aLinkId id, const aPacket* packet);
// The first received packet the filter selects within msTimeout, while the link runs; NULL at
// once when it is not running, syncing or in error. The caller owns the packet.
aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilterProc filter, const void* ref,
                          unsigned long msTimeout);
// The oldest received packet within msTimeout, whatever the status.
aPacket* aLink_AwaitPacket(aLinkId id, unsigned long msTimeout);
aPacket* aLink_GetPacket(aLinkId id);
aPacket* aLink_GetFirst(aLinkId id, aPacketFilterProc filter, const void* ref);

#include "aPacketDebug.h"

#endif
