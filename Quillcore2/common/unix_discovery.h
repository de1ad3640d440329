// POSIX side of discovery: the UDP multicast search for networked modules.
#ifndef _unix_discovery_H_
#define _unix_discovery_H_

#include "discover.h"

// Sends the 16-byte request through every local IPv4 interface but 127.0.0.1 and offers each
// reply to callback until none comes for 2 s; returns the count of calls that set *found.
// Returns 0 at once when no request could be sent.
u8 aDiscovery_EnumerateTCPIP(aDiscoveryProc callback, void* ref);

// Turns one reply datagram of n bytes from sender (IPv4, network order) into linkSpecifier.
// False (linkSpecifier untouched) for a datagram too short to hold a port and a serial number.
bool aDiscovery_ParseTCPIPReply(const u8* reply, size_t n, u32 sender, linkSpec* linkSpecifier);

#endif
