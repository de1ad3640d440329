// TCP socket stream: an aStream over a client TCP connection (aStream_CreateSocket is
// declared in aStream.h). The socket is non-blocking; a connection that the peer resets is
// made again inside the read and write callbacks, by whichever side notices it first.
#ifndef _aStreamsocket_H_
#define _aStreamsocket_H_

#include "aStream.h"

#define aSOCKETSTREAMCHECK 0xDEAD
// Counted send attempts without progress, and the longest wait between two of them.
#define aSOCKET_MAX_SEND_RETRY 10
#define aSOCKET_RETRY_DELAY_MS 60
// Bound of every connect, so that a silent host cannot stall a pipe thread for minutes.
#define aSOCKET_CONNECT_TIMEOUT_MS 3000
// Received bytes are taken from the system in blocks of this size and served one by one.
#define aSOCKET_READAHEAD 4096

// Frees a socket stream's record without closing its socket (for a descriptor handed on
// elsewhere); aErrIO for an invalid record.
aErr sSocketStreamAcceptDelete(void* ref);

#endif
