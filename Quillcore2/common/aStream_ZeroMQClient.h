// Client stream of link sharing: an aStream whose bytes travel as ZeroMQ frames to and from a
// link-sharing server. Each buffer written becomes one frame; the bytes of each received frame
// are handed out one per get, in order, so replies (one packet a frame) and stream batches
// (several packets a frame) are assembled by the link engine like any other transport's bytes.
#ifndef _aStream_ZeroMQClient_H_
#define _aStream_ZeroMQClient_H_

#include "aStream.h"

// address: the server's IPv4 address in network order (as linkSpec.ipAddress holds it).
// aErrNone with the new stream in *out once the connection to the server is established;
// aErrParam (no out), aErrMemory (record, socket or poller not made), aErrConnection (refused,
// or not made within 1 s), aErrResource (no aStream). *out is NULL on failure and nothing
// stays open.
aErr aStream_CreateClient(u32 address, u16 port, aStream** out);

#endif
