// IPv4 UDP multicast sockets (a receiver bound to a port, or a sender) with the options the
// loopback search for link-sharing servers needs, and that search itself.
//
// A receiver binds without address reuse: a second receiver on a port that is held fails to
// be created, and the search uses exactly that to tell which server slots are taken.
#ifndef _aMulticast_H_
#define _aMulticast_H_

#include <sys/socket.h>

#include "aDefs.h"
#include "discover.h"

#define kMulticastReceiver 0
#define kMulticastSender 1

// Constants shared by the servers' responders and the clients' searches.
#define DISCOVERY_MULTICAST_GROUP "224.0.0.7"
#define DISCOVERY_PORT_SLOTS 50
#define DISCOVERY_REQUEST_PORT 9850
#define DISCOVERY_REPLY_PORT 9950
#define DISCOVERY_MULTICAST_MAGIC 0xABCDDCBAu
#define DISCOVERY_BEACON_PORT 8585
#define DISCOVERY_BEACON_FILTER "Quillcore2-Discovery"
#define DISCOVERY_BEACON_FILTER_LENGTH 20

typedef struct aMulticast aMulticast;

// interface and group are IPv4 addresses in network order (interface 0 means 127.0.0.1);
// mode kMulticastReceiver binds to the wildcard address and port, kMulticastSender never
// binds. NULL on any failure (a held port for a receiver among them).
aMulticast* aMulticast_Create(u32 networkInterface, u32 group, u16 port, u8 mode);
// Bytes sent; -1 send error, -2 no object, -3 not a sender.
int aMulticast_Send(aMulticast* multicast, const void* data, unsigned length);
// One datagram, cut to size: bytes received; -1 error or 1 s without a datagram, -2 no
// object, -3 not a receiver.
int aMulticast_Receive(aMulticast* multicast, void* buffer, int size);
// The socket, for waiting on it together with other sources; -1 for NULL.
int aMulticast_Descriptor(const aMulticast* multicast);
// 0 with *multicast set to NULL; -2 when the pointer or what it holds is NULL.
int aMulticast_Destroy(aMulticast** multicast);

// For traces (multicast class): the numeric host and port of a socket address, printed as
// "host:port", "[host]:port" for IPv6, the host alone for an address without a port, or
// getnameinfo's reason when it cannot read the address.
void _printAddress(const struct sockaddr* address, socklen_t length);

// The search for link-sharing servers: on the loopback slots when networkInterface (IPv4,
// network order) is 0 or 127.0.0.1 or the host has no IPv4 interface, else by UDP beacon on
// that interface. Each server's AETHER linkSpecifier is offered once per serial number; returns the
// number of offers that set *found.
u8 aDiscovery_Enumerate_aEtherModules(aDiscoveryProc callback, void* ref, u32 networkInterface);

#endif
