// Link-sharing benchmark: request/reply round trips through the sharing server (an engine
// link on the client stream, and a raw DEALER client) against the same requests on the
// served link directly, all to one echoing device on a socket pair. Prints "name: value".
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <czmq.h>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aServer_ZeroMQ.h"
#include "aStream_ZeroMQClient.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kRoundTrips = 2000;

aErr sGet(char* byte, void* ref)
{
    ssize_t n = read((int)(intptr_t)ref, byte, 1);
    if (n == 1)
        return aErrNone;
    return n == 0 ? aErrEOF : (errno == EAGAIN ? aErrNotReady : aErrIO);
}

aErr sWrite(const char* data, size_t length, void* ref)
{
    int fd = (int)(intptr_t)ref;
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return aErrIO;
        data += n;
        length -= (size_t)n;
    }
    return aErrNone;
}

aErr sPut(const char* byte, void* ref)
{
    return sWrite(byte, 1, ref);
}

aErr sDelete(void* ref)
{
    close((int)(intptr_t)ref);
    return aErrNone;
}

int sDescriptor(void* ref)
{
    return (int)(intptr_t)ref;
}

// Answers every module packet of three data bytes with a four-byte entity reply.
void sDevice(int fd, std::atomic<bool>* stop)
{
    std::vector<unsigned char> current;
    while (!*stop) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        unsigned char buffer[256];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; i++) {
            current.push_back(buffer[i]);
            if (current.size() >= 2 && current.size() == (size_t)current[1] + 2) {
                if (current[0] % 2 == 0 && current[1] == 3) {
                    unsigned char reply[6] = {current[0], 4, current[2], 0x01, 0x00, 0x55};
                    if (write(fd, reply, sizeof(reply)) != (ssize_t)sizeof(reply))
                        return;
                }
                current.clear();
            }
        }
    }
}

unsigned char sAny(const aPacket*, const void*)
{
    return 1;
}

// Microseconds per round trip on an engine link; -1 when a reply went missing.
double sLinkRoundTrips(aLinkId link)
{
    const u8 get[3] = {0x10, 0x41, 0x20};
    aPacket* request = aPacket_CreateWithData(2, 3, get);
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kRoundTrips; i++) {
        aLink_PutPacket(link, request);
        aPacket* reply = aLink_AwaitFirst(link, sAny, nullptr, 2000);
        if (!reply) {
            aPacket_Destroy(&request);
            return -1;
        }
        aPacket_Destroy(&reply);
    }
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    aPacket_Destroy(&request);
    return us / kRoundTrips;
}

double sDealerRoundTrips(u16 port)
{
    zsock_t* dealer = zsock_new(ZMQ_DEALER);
    zsock_connect(dealer, "tcp://127.0.0.1:%d", (int)port);
    zsock_set_rcvtimeo(dealer, 2000);
    const unsigned char request[5] = {2, 3, 0x10, 0x41, 0x20};
    Clock::time_point start = Clock::now();
    double result = 0;
    for (int i = 0; i < kRoundTrips; i++) {
        zframe_t* f = zframe_new(request, sizeof(request));
        zframe_send(&f, dealer, 0);
        zframe_t* reply = zframe_recv(dealer);
        if (!reply) {
            result = -1;
            break;
        }
        zframe_destroy(&reply);
    }
    if (result == 0)
        result = std::chrono::duration<double, std::micro>(Clock::now() - start).count()
                 / kRoundTrips;
    zsock_destroy(&dealer);
    return result;
}

bool sWaitRunning(aLinkId link)
{
    for (int i = 0; i < 200 && aLink_GetStatus(link) != kLinkStatusRunning; i++)
        zclock_sleep(10);
    return aLink_GetStatus(link) == kLinkStatusRunning;
}

} // namespace

int main()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 1;
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread device(sDevice, fds[1], &stop);
    aStream* stream = aStream_Create(sGet, sPut, sWrite, sDelete, (void*)(intptr_t)fds[0]);
    aStream_SetDescriptorProc(stream, sDescriptor);
    aLinkId link = aLink_Create(stream);
    if (!link || !sWaitRunning(link)) {
        fprintf(stderr, "no link\n");
        return 1;
    }
    double direct = sLinkRoundTrips(link);

    aServer* server = aServer_Create(link, 0, true);
    u16 port = 0;
    if (!server || aServer_Start(server) != aErrNone || aServer_GetPort(server, &port) != aErrNone) {
        fprintf(stderr, "no server\n");
        return 1;
    }
    double dealer = sDealerRoundTrips(port);
    aStream* clientStream = NULL;
    aLinkId client = 0;
    if (aStream_CreateClient(htonl(INADDR_LOOPBACK), port, &clientStream) == aErrNone)
        client = aLink_Create(clientStream);
    double shared = client && sWaitRunning(client) ? sLinkRoundTrips(client) : -1;

    printf("direct_link_roundtrip_us: %.1f\n", direct);
    printf("server_dealer_roundtrip_us: %.1f\n", dealer);
    printf("shared_link_roundtrip_us: %.1f\n", shared);
    if (direct > 0 && shared > 0 && dealer > 0) {
        printf("server_dealer_over_direct: %.2f\n", dealer / direct);
        printf("shared_link_over_direct: %.2f\n", shared / direct);
    }

    if (client)
        aLink_Destroy(&client);
    aServer_Destroy(&server);
    aLink_Destroy(&link);
    stop = true;
    device.join();
    close(fds[1]);
    return 0;
}
