// IPv4 multicast sockets and the client side of the search for link-sharing servers.
#include "aMulticast.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "aDebug.h"
#include "zBeaconInterface.h"

struct aMulticast {
    int fd;
    struct addrinfo* group;
    struct addrinfo* bindAddress;
    struct addrinfo* interfaceAddress;
    u8 mode;
};

static void _free(aMulticast* m)
{
    if (m->group)
        freeaddrinfo(m->group);
    if (m->bindAddress)
        freeaddrinfo(m->bindAddress);
    if (m->interfaceAddress)
        freeaddrinfo(m->interfaceAddress);
    if (m->fd >= 0)
        close(m->fd);
    free(m);
}

static struct addrinfo* _resolve(const char* host, const char* service,
                                 const struct addrinfo* like)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    if (like) {
        hints.ai_family = like->ai_family;
        hints.ai_socktype = like->ai_socktype;
        hints.ai_protocol = like->ai_protocol;
    } else {
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
    }
    if (!host)
        hints.ai_flags = AI_PASSIVE;
    struct addrinfo* result = NULL;
    int rc = getaddrinfo(host, service, &hints, &result);
    if (rc != 0 && !like)
        aTRACE(aDEBUG_MULTICAST, "Unable to convert multicast address '%s - port: %s': Error %d\n",
               host ? host : "*", service, rc);
    else if (rc != 0)
        aTRACE(aDEBUG_MULTICAST, "Invalid address %s, getaddrinfo failed: %d\n", host ? host : "*",
               rc);
    return rc == 0 ? result : NULL;
}

// One socket option; a refusal is traced under the option's name.
static bool _setOption(int fd, int level, int name, const void* value, socklen_t length,
                       const char* what)
{
    if (setsockopt(fd, level, name, value, length) == 0)
        return true;
    aTRACE(aDEBUG_MULTICAST, "%s failed with error code %d\n", what, errno);
    return false;
}

void _printAddress(const struct sockaddr* address, socklen_t length)
{
    if (!aDebug_On(aDEBUG_MULTICAST) || !address)
        return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    int rc = getnameinfo(address, length, host, sizeof(host), service, sizeof(service),
                         NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0)
        aDebug_Printf("%s", gai_strerror(rc));
    else if (service[0] == 0)
        aDebug_Printf("%s", host);  // an address without a port (a local socket)
    else if (address->sa_family == AF_INET6)
        aDebug_Printf("[%s]:%s", host, service);
    else
        aDebug_Printf("%s:%s", host, service);
}

namespace {
// Frees a record that aMulticast_Create gives up on, whatever it holds by then.
struct sMulticastFree {
    void operator()(aMulticast* m) const { _free(m); }
};
} // namespace

// The group's address, then the bind and interface addresses resolved like it; false when one
// cannot be had.
static bool _resolveAddresses(aMulticast* m, u32 networkInterface, u32 group, u16 port)
{
    char groupText[16];
    char interfaceText[16];
    char portText[6];
    if (aDiscovery_ConvertIPv4Interface(group, groupText, sizeof(groupText)) == 0
        || aDiscovery_ConvertIPv4Interface(networkInterface, interfaceText, sizeof(interfaceText))
               == 0)
        return false;
    snprintf(portText, sizeof(portText), "%u", (unsigned)port);

    m->group = _resolve(groupText, portText, NULL);
    if (m->group)
        m->bindAddress = m->mode == kMulticastReceiver ? _resolve(NULL, portText, m->group)
                                                       : _resolve(interfaceText, "0", m->group);
    if (m->bindAddress)
        m->interfaceAddress = _resolve(interfaceText, "0", m->group);
    return m->interfaceAddress != NULL;
}

// Joins the group on the interface and sets up sending and receiving on the socket.
static bool _joinGroup(aMulticast* m)
{
    if (m->group->ai_family != AF_INET || m->interfaceAddress->ai_family != AF_INET)
        return false;
    struct in_addr groupAddress = ((struct sockaddr_in*)m->group->ai_addr)->sin_addr;
    struct in_addr localAddress = ((struct sockaddr_in*)m->interfaceAddress->ai_addr)->sin_addr;
    struct ip_mreq membership;
    membership.imr_multiaddr = groupAddress;
    membership.imr_interface = localAddress;
    unsigned char ttl = 1;
    unsigned char loop = 1;
    struct timeval timeout = {1, 0};
    return _setOption(m->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership),
                      "JoinMulticastGroup: setsockopt")
           && _setOption(m->fd, IPPROTO_IP, IP_MULTICAST_IF, &localAddress, sizeof(localAddress),
                         "SetMulticastInterface: setsockopt()")
           && _setOption(m->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl),
                         "SetMulticastTtl: setsockopt()")
           && _setOption(m->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout),
                         "SetReceivTimeout: setsockopt()")
           && _setOption(m->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop),
                         "SetMulticastLoopback: setsockopt()");
}

aMulticast* aMulticast_Create(u32 networkInterface, u32 group, u16 port, u8 mode)
{
    if (mode != kMulticastReceiver && mode != kMulticastSender)
        return NULL;
    std::unique_ptr<aMulticast, sMulticastFree> m((aMulticast*)calloc(1, sizeof(aMulticast)));
    if (!m)
        return NULL;
    m->fd = -1;
    m->mode = mode;
    if (networkInterface == 0)
        networkInterface = htonl(INADDR_LOOPBACK);
    if (!_resolveAddresses(m.get(), networkInterface, group, port))
        return NULL;
    m->fd = socket(m->group->ai_family, m->group->ai_socktype, m->group->ai_protocol);
    if (m->fd < 0) {
        aTRACE(aDEBUG_MULTICAST, "socket() failed with with error code %d\n", errno);
        return NULL;
    }
    // No address reuse: a receiver on a held port must fail, which is how slots are probed.
    int off = 0;
    if (!_setOption(m->fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off),
                    "SetReuseAddress: setsockopt()"))
        return NULL;
    if (mode == kMulticastReceiver
        && bind(m->fd, m->bindAddress->ai_addr, m->bindAddress->ai_addrlen) != 0) {
        aTRACE(aDEBUG_MULTICAST, "bind() failed with error code %d\n", errno);
        return NULL;
    }
    if (!_joinGroup(m.get()))
        return NULL;
    return m.release();
}

int aMulticast_Send(aMulticast* multicast, const void* data, unsigned length)
{
    if (!multicast)
        return -2;
    if (multicast->mode != kMulticastSender)
        return -3;
    ssize_t sent = sendto(multicast->fd, data, length, 0, multicast->group->ai_addr,
                          multicast->group->ai_addrlen);
    if (sent < 0)
        aTRACE(aDEBUG_MULTICAST, "sendto() failed with error code %d\n", errno);
    return sent < 0 ? -1 : (int)sent;
}

int aMulticast_Receive(aMulticast* multicast, void* buffer, int size)
{
    if (!multicast)
        return -2;
    if (multicast->mode != kMulticastReceiver)
        return -3;
    if (!buffer || size < 0)
        return -1;
    struct sockaddr_storage from;
    socklen_t fromLength = sizeof(from);
    ssize_t n = recvfrom(multicast->fd, buffer, (size_t)size, MSG_WAITALL,
                         (struct sockaddr*)&from, &fromLength);
    if (n < 0)
        aTRACE(aDEBUG_MULTICAST, "recvfrom() failed with error code %d\n", errno);
    return n < 0 ? -1 : (int)n;
}

int aMulticast_Descriptor(const aMulticast* multicast)
{
    return multicast ? multicast->fd : -1;
}

int aMulticast_Destroy(aMulticast** multicast)
{
    if (!multicast || !*multicast)
        return -2;
    _free(*multicast);
    *multicast = NULL;
    return 0;
}

// Client-side searches. A linkSpecifier is offered once per serial number within one search.

static bool _seen(const std::vector<linkSpec>& seen, const linkSpec* linkSpecifier)
{
    for (const linkSpec& s : seen)
        if (s.serialNumber == linkSpecifier->serialNumber)
            return true;
    return false;
}

static u8 _findLinkSpecs_multicast(bool localOnly, aDiscoveryProc callback, void* ref)
{
    std::vector<linkSpec> seen;
    linkSpec buffer;
    u8 count = 0;
    bool more = true;
    u32 loopback = htonl(INADDR_LOOPBACK);
    struct in_addr groupAddress;
    inet_pton(AF_INET, DISCOVERY_MULTICAST_GROUP, &groupAddress);
    for (int k = 0; k < DISCOVERY_PORT_SLOTS && more; k++) {
        aMulticast* probe = aMulticast_Create(loopback, groupAddress.s_addr,
                                              (u16)(DISCOVERY_REQUEST_PORT + k),
                                              kMulticastReceiver);
        if (probe) {
            // Nobody holds this slot.
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticast* reply = aMulticast_Create(loopback, groupAddress.s_addr,
                                              (u16)(DISCOVERY_REPLY_PORT + k), kMulticastReceiver);
        aMulticast* sender = aMulticast_Create(loopback, groupAddress.s_addr,
                                               (u16)(DISCOVERY_REQUEST_PORT + k), kMulticastSender);
        u32 magic = DISCOVERY_MULTICAST_MAGIC;
        if (reply && sender && aMulticast_Send(sender, &magic, sizeof(magic)) == sizeof(magic)) {
            memset(&buffer, 0, sizeof(buffer));
            int n = aMulticast_Receive(reply, &buffer, sizeof(buffer));
            if (n == (int)sizeof(linkSpec) && !_seen(seen, &buffer)
                && (!localOnly || buffer.t.ip.ipAddress == loopback)) {
                seen.push_back(buffer);
                bool found = false;
                more = callback(&buffer, &found, ref);
                if (found)
                    count++;
            }
        }
        if (sender)
            aMulticast_Destroy(&sender);
        if (reply)
            aMulticast_Destroy(&reply);
    }
    aTRACE(aDEBUG_DISCOVERY, "Done with discovery\n");
    return count;
}

#define sBEACON_ATTEMPTS 22
#define sBEACON_INTERVAL_MS 100

static u8 _findLinkSpecs_beacon(bool localOnly, aDiscoveryProc callback, void* ref)
{
    (void)localOnly; // a beacon search runs on a real interface only
    zactor_t* beacon = zactor_new(zbeacon, NULL);
    if (!beacon)
        return 0;
    u8 count = 0;
    // The guard is held meanwhile: the answer is waited for a bounded time.
    zsock_set_rcvtimeo(beacon, 2000);
    zsock_send(beacon, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
    char* hostname = zstr_recv(beacon);
    if (hostname && *hostname) {
        zsock_send(beacon, "sbi", "PUBLISH", DISCOVERY_BEACON_FILTER,
                   (size_t)DISCOVERY_BEACON_FILTER_LENGTH, sBEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);
        zsock_set_rcvtimeo(beacon, sBEACON_INTERVAL_MS);
        std::vector<linkSpec> seen;
        bool more = true;
        for (int attempt = 0; attempt < sBEACON_ATTEMPTS && more; attempt++) {
            char* sender = zstr_recv(beacon);
            if (!sender)
                continue;
            zstr_free(&sender);
            zframe_t* frame = zframe_recv(beacon);
            if (!frame)
                continue;
            if (zframe_size(frame) == sizeof(linkSpec)) {
                linkSpec linkSpecifier;
                memcpy(&linkSpecifier, zframe_data(frame), sizeof(linkSpecifier));
                if (!_seen(seen, &linkSpecifier)) {
                    aTRACE(aDEBUG_DISCOVERY,
                           "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: "
                           "%d - Model: %d\n",
                           linkSpecifier.serialNumber, (int)linkSpecifier.t.ip.ipPort, (int)linkSpecifier.module,
                           (int)linkSpecifier.type, (int)linkSpecifier.model);
                    seen.push_back(linkSpecifier);
                    bool found = false;
                    more = callback((const linkSpec*)zframe_data(frame), &found, ref);
                    if (found)
                        count++;
                }
            }
            zframe_destroy(&frame);
        }
        zstr_sendx(beacon, "SILENCE", NULL);
        zstr_sendx(beacon, "UNSUBSCRIBE", NULL);
    }
    zstr_free(&hostname);
    zactor_destroy(&beacon);
    aTRACE(aDEBUG_DISCOVERY, "Done with discovery\n");
    return count;
}

static u8 _findLinkSpecs_beaconHelper(const char* networkInterface, bool localOnly,
                                      aDiscoveryProc callback, void* ref)
{
    // Held from before the actor exists until after it is gone: the actor reads the
    // process-wide value when it is configured.
    if (!zBeaconInterface_backupSetAndLock(networkInterface))
        return 0;
    u8 count = _findLinkSpecs_beacon(localOnly, callback, ref);
    zBeaconInterface_restoreAndUnlock();
    return count;
}

u8 aDiscovery_Enumerate_aEtherModules(aDiscoveryProc callback, void* ref, u32 networkInterface)
{
    if (!callback)
        return 0;
    bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    u32 interfaces[50];
    int found = aDiscovery_GetIPv4Interfaces(interfaces, 50);
    if (local || found == 0)
        return _findLinkSpecs_multicast(true, callback, ref);
    char text[16];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof(text)) == 0)
        return 0;
    return _findLinkSpecs_beaconHelper(text, false, callback, ref);
}
