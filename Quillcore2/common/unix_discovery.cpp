// UDP multicast search for modules on the local network, and the IPv4 interface helpers.
#include "unix_discovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "aDebug.h"

// A flood of replies must not hold the caller for ever: the search normally ends 2 s after the
// last reply, and this bounds how many it takes in before it stops regardless.
#define sMAX_REPLIES 4096

static int sOpenListener(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    struct timeval tv;
    tv.tv_sec = aDISCOVERY_UDP_WAIT_MS / 1000;
    tv.tv_usec = (aDISCOVERY_UDP_WAIT_MS % 1000) * 1000;
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(aDISCOVERY_UDP_REPLY_PORT);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0
        || bind(fd, (struct sockaddr*)&local, sizeof(local)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request out through the interface with that address (network order; 0 = default).
static bool sSendRequest(u32 interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    bool ok = true;
    int on = 1;
    struct in_addr ifaddr;
    ifaddr.s_addr = interfaceAddress;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        ok = false;
    if (ok && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr)) != 0)
        ok = false;
    if (ok) {
        u8 request[aDISCOVERY_UDP_DATAGRAM];
        memset(request, 0, sizeof(request));
        request[0] = 1;
        struct sockaddr_in group;
        memset(&group, 0, sizeof(group));
        group.sin_family = AF_INET;
        group.sin_port = htons(aDISCOVERY_UDP_REQUEST_PORT);
        inet_pton(AF_INET, aDISCOVERY_UDP_GROUP, &group.sin_addr);
        ssize_t sent = sendto(fd, request, sizeof(request), 0, (struct sockaddr*)&group,
                              sizeof(group));
        ok = sent == (ssize_t)sizeof(request);
    }
    if (close(fd) != 0)
        ok = false;
    return ok;
}

static int sSendRequests(void)
{
    struct ifaddrs* list = NULL;
    if (getifaddrs(&list) != 0)
        return sSendRequest(htonl(INADDR_ANY)) ? 1 : 0;
    int sent = 0;
    for (struct ifaddrs* it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET)
            continue;
        u32 address = ((struct sockaddr_in*)it->ifa_addr)->sin_addr.s_addr;
        if (address == 0 || address == htonl(INADDR_LOOPBACK))
            continue;
        if (sSendRequest(address))
            sent++;
    }
    freeifaddrs(list);
    return sent;
}

bool aDiscovery_ParseTCPIPReply(const u8* reply, size_t n, u32 sender, linkSpec* linkSpecifier)
{
    // Port and serial number end at byte 8; a shorter datagram names no reachable module.
    if (!reply || !linkSpecifier || n < 8)
        return false;
    memset(linkSpecifier, 0, sizeof(*linkSpecifier));
    linkSpecifier->type = TCPIP;
    linkSpecifier->module = reply[1];
    linkSpecifier->router = reply[1];
    linkSpecifier->t.ip.ipPort = (u32)reply[2] | ((u32)reply[3] << 8);
    linkSpecifier->serialNumber = (u32)reply[4] | ((u32)reply[5] << 8) | ((u32)reply[6] << 16)
                         | ((u32)reply[7] << 24);
    linkSpecifier->routerSerialNumber = linkSpecifier->serialNumber;
    linkSpecifier->model = n >= 13 ? reply[12] : 255;
    linkSpecifier->t.ip.ipAddress = sender;
    return true;
}

u8 aDiscovery_EnumerateTCPIP(aDiscoveryProc callback, void* ref)
{
    if (!callback)
        return 0;
    int listener = sOpenListener();
    if (listener < 0)
        return 0;
    u8 count = 0;
    if (sSendRequests() > 0) {
        for (int replies = 0; replies < sMAX_REPLIES; replies++) {
            u8 reply[aDISCOVERY_UDP_DATAGRAM];
            memset(reply, 0, sizeof(reply));
            reply[12] = 0xFF;
            struct sockaddr_in from;
            socklen_t fromLength = sizeof(from);
            memset(&from, 0, sizeof(from));
            ssize_t n = recvfrom(listener, reply, sizeof(reply), 0, (struct sockaddr*)&from,
                                 &fromLength);
            if (n < 0)
                break;
            linkSpec linkSpecifier;
            if (!aDiscovery_ParseTCPIPReply(reply, (size_t)n, from.sin_addr.s_addr, &linkSpecifier))
                continue;
            aTRACE(aDEBUG_DISCOVERY,
                   "Got NEW linkSpec(tcpip): SN: 0x%08X - Port: %d - Address: %d - Model: %d\n",
                   linkSpecifier.serialNumber, (int)linkSpecifier.t.ip.ipPort, (int)linkSpecifier.module, (int)linkSpecifier.model);
            bool found = false;
            bool more = callback(&linkSpecifier, &found, ref);
            if (found)
                count++;
            if (!more)
                break;
        }
    }
    close(listener);
    return count;
}

int aDiscovery_GetIPv4Interfaces(u32* list, int maximum)
{
    if (!list || maximum <= 0)
        return 0;
    ziflist_t* interfaces = ziflist_new();
    if (!interfaces)
        return 0;
    int stored = 0;
    for (const char* name = ziflist_first(interfaces); name && stored < maximum;
         name = ziflist_next(interfaces)) {
        const char* text = ziflist_address(interfaces);
        if (!text)
            break;
        struct in_addr address;
        if (inet_pton(AF_INET, text, &address) == 1)
            list[stored++] = address.s_addr;
    }
    ziflist_destroy(&interfaces);
    return stored;
}

int aDiscovery_ConvertIPv4Interface(u32 address, char* buffer, int length)
{
    if (!buffer || length < INET_ADDRSTRLEN)
        return 0;
    memset(buffer, 0, (size_t)length);
    struct in_addr in;
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, buffer, (socklen_t)length))
        return 0;
    return (int)strlen(buffer);
}
