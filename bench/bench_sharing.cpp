// Link-sharing benchmark: request/reply round trips through the sharing server (an engine
// link on the client stream, and a raw DEALER client) against the same requests on the
// served link directly, all to one echoing device on a socket pair. Prints "name: value".
//
// The three kinds of round trip alternate trip by trip (their order turning every trip), so
// all see the same moments of the machine; each round of trips gives its own ratios.
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

#include "BenchStats.h"
#include "SocketPairLink.h"
#include "aLink.h"
#include "aServer_ZeroMQ.h"
#include "aStream_ZeroMQClient.h"

namespace {

using bench::Clock;
const int kRounds = 20;
const int kTripsPerRound = 100;

// Answers every module packet of three data bytes with a four-byte entity reply.
std::vector<module_emu::Packet> sEntityReply(const module_emu::Packet& request)
{
    if (request.data.size() != 3)
        return {};
    return {module_emu::Packet{request.address, {request.data[0], 0x01, 0x00, 0x55}}};
}

unsigned char sAny(const aPacket*, const void*)
{
    return 1;
}

// Microseconds of one round trip on an engine link; -1 when the reply went missing.
double sLinkTrip(aLinkId link, const aPacket* request)
{
    Clock::time_point start = Clock::now();
    aLink_PutPacket(link, request);
    aPacket* reply = aLink_AwaitFirst(link, sAny, nullptr, 2000);
    double us = bench::micros(Clock::now() - start);
    bool got = reply != NULL;
    aPacket_Destroy(&reply);
    return got ? us : -1;
}

double sDealerTrip(zsock_t* dealer)
{
    const unsigned char request[5] = {2, 3, 0x10, 0x41, 0x20};
    Clock::time_point start = Clock::now();
    zframe_t* f = zframe_new(request, sizeof(request));
    zframe_send(&f, dealer, 0);
    zframe_t* reply = zframe_recv(dealer);
    double us = bench::micros(Clock::now() - start);
    bool got = reply != NULL;
    zframe_destroy(&reply);
    return got ? us : -1;
}

struct Samples {
    std::vector<double> direct, shared, dealer;
};

// One round: direct, shared and dealer trips in turn; false when a reply went missing.
bool sRound(aLinkId link, aLinkId client, zsock_t* dealer, Samples* round)
{
    const u8 get[3] = {0x10, 0x41, 0x20};
    aPacket* request = aPacket_CreateWithData(2, 3, get);
    bool ok = request != NULL;
    for (int i = 0; i < kTripsPerRound && ok; i++) {
        for (int k = 0; k < 3 && ok; k++) {
            double us = 0;
            switch ((i + k) % 3) {
            case 0:
                ok = (us = sLinkTrip(link, request)) > 0;
                round->direct.push_back(us);
                break;
            case 1:
                ok = (us = sLinkTrip(client, request)) > 0;
                round->shared.push_back(us);
                break;
            default:
                ok = (us = sDealerTrip(dealer)) > 0;
                round->dealer.push_back(us);
                break;
            }
        }
    }
    aPacket_Destroy(&request);
    return ok;
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
    setvbuf(stdout, NULL, _IONBF, 0);
    bench::printLoad("start");
    // The device: silent on sync requests, as a module behind a link already synced is.
    module_emu::ModuleCore device(2);
    device.setAnswerSync(false);
    device.setHandler(2, sEntityReply);
    qctest::CoreOnSocketPair pair(device);
    aStream* stream = pair.stream();
    aLinkId link = stream ? aLink_Create(stream) : 0;
    if (!link || !sWaitRunning(link)) {
        fprintf(stderr, "no link\n");
        return 1;
    }
    aServer* server = aServer_Create(link, 0, true);
    u16 port = 0;
    if (!server || aServer_Start(server) != aErrNone || aServer_GetPort(server, &port) != aErrNone) {
        fprintf(stderr, "no server\n");
        return 1;
    }
    aStream* clientStream = NULL;
    aLinkId client = 0;
    if (aStream_CreateClient(htonl(INADDR_LOOPBACK), port, &clientStream) == aErrNone)
        client = aLink_Create(clientStream);
    zsock_t* dealer = zsock_new(ZMQ_DEALER);
    if (!client || !sWaitRunning(client) || !dealer
        || zsock_connect(dealer, "tcp://127.0.0.1:%d", (int)port) != 0) {
        fprintf(stderr, "no client\n");
        return 1;
    }
    zsock_set_rcvtimeo(dealer, 2000);

    // The served link is used directly only between the server's requests: never at once.
    Samples all;
    std::vector<double> sharedRatios, dealerRatios;
    for (int r = 0; r < kRounds; r++) {
        Samples round;
        if (!sRound(link, client, dealer, &round)) {
            fprintf(stderr, "a reply went missing in round %d\n", r + 1);
            return 1;
        }
        double direct = bench::medianOf(round.direct);
        sharedRatios.push_back(bench::medianOf(round.shared) / direct);
        dealerRatios.push_back(bench::medianOf(round.dealer) / direct);
        all.direct.insert(all.direct.end(), round.direct.begin(), round.direct.end());
        all.shared.insert(all.shared.end(), round.shared.begin(), round.shared.end());
        all.dealer.insert(all.dealer.end(), round.dealer.begin(), round.dealer.end());
    }
    zsock_destroy(&dealer);

    bench::printSpread("direct_link_roundtrip_us", bench::spreadOf(all.direct), "trips");
    bench::printSpread("server_dealer_roundtrip_us", bench::spreadOf(all.dealer), "trips");
    bench::printSpread("shared_link_roundtrip_us", bench::spreadOf(all.shared), "trips");
    bench::printSpread("server_dealer_over_direct", bench::spreadOf(dealerRatios), "rounds");
    bench::printSpread("shared_link_over_direct", bench::spreadOf(sharedRatios), "rounds");

    if (client)
        aLink_Destroy(&client);
    aServer_Destroy(&server);
    aLink_Destroy(&link);
    pair.stop();
    bench::printLoad("end");
    return 0;
}
