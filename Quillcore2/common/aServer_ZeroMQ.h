// Link-sharing server: lets other processes (and other links of this process) use one running
// USB link. Clients reach it through a ZeroMQ DEALER (the client stream) on an ephemeral TCP
// port; each client's packets go to the link's out FIFO one request at a time, and the replies
// that come back are handed to that client only. Device stream packets are batched and pushed
// to the clients that enabled streaming. Servers answer discovery on the loopback slots (local
// only) or by UDP beacon on a real interface once their device's model is known.
//
// Calling order: aServer_Create, attach to the link's registry entry, aServer_Start, then the
// getters; aServer_SetModel once the device is identified (or aServer_FlushFIFO when that
// failed); aServer_Destroy once, also after a failed start, before the link's FIFOs go.
#ifndef _aServer_ZeroMQ_H_
#define _aServer_ZeroMQ_H_

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"

typedef struct aServer aServer;

// Record only (nothing runs yet); NULL when the link id is not registered.
// networkInterface: IPv4, network order, 0 means 127.0.0.1.
aServer* aServer_Create(aLinkId linkId, u32 networkInterface, bool localOnly);
// Sockets, discovery responder, broker and request threads, stream filter on the link; the
// link's in FIFO is emptied. aErrParam without a server; aErrResource when any part failed
// (what did start stays for aServer_Destroy).
aErr aServer_Start(aServer* server);
// Stops whatever runs and frees the server; *server becomes NULL. aErrParam for NULL.
aErr aServer_Destroy(aServer** server);
// The frontend's TCP port. aErrParam when either pointer is NULL.
aErr aServer_GetPort(aServer* server, u16* port);
// The interface really served (IPv4, network order). aErrParam when either pointer is NULL.
aErr aServer_GetInterface(aServer* server, u32* networkInterface);
aErr aServer_SetModuleAddress(aServer* server, u8 address);
// A non-zero model lets the server answer discovery.
aErr aServer_SetModel(aServer* server, u8 model);
// Drops every reply the server still owes; answers that come later for them are discarded.
aErr aServer_FlushFIFO(aServer* server);

#endif
