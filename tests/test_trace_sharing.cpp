// Trace lines of link sharing (server, multicast sockets, discovery, client stream), read back
// from a captured standard output inside a private network namespace: each class prints its
// lines where they belong, and nothing prints while the switch or the class is off.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetNamespace.h"
#include "ScriptedDevice.h"
#include "ServedLinkFixture.h"
#include "SocketPairLink.h"
#include "StdoutCapture.h"
#include "aDebug.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aMulticast.h"
#include "aServer_ZeroMQ.h"
#include "aStream_ZeroMQClient.h"
#include "discover.h"
#include "test_sharing_tsan.h"
#include "zBeaconInterface.h"
#include "SkipOrFail.h"

// The stale-pool case pushes thousands of frames through the server's threads; with
// ThreadSanitizer's default history the runtime recycles its per-thread traces and then reports
// the server's teardown as a race with an already finished thread whose stack it cannot
// restore. A longer history keeps the ordering it needs.
extern "C" const char* __tsan_default_options()
{
    return "history_size=7";
}

using qctest::StdoutCapture;
using Lines = std::vector<std::string>;
using Bytes = std::vector<u8>;

namespace {

using qctest::joined;

// CZMQ writes its own log lines ("E: 26-12-10 11:34:27 ...") to standard output too.
bool sCzmqLog(const std::string& line)
{
    return line.size() > 20 && line[1] == ':' && line[2] == ' ' && line[5] == '-'
           && line[8] == '-' && line[11] == ' ' && line[14] == ':' && line[17] == ':';
}

// The captured lines without CZMQ's.
Lines traced(StdoutCapture& out)
{
    Lines lines;
    for (const std::string& l : out.lines())
        if (!sCzmqLog(l))
            lines.push_back(l);
    return lines;
}

u32 sIp(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

const u32 kLoopback = htonl(INADDR_LOOPBACK);
const u16 kPort = 47000; // a multicast port no search or server uses

// A raw ZeroMQ client of the server.
struct Client {
    zsock_t* socket = nullptr;
    explicit Client(u16 port)
    {
        socket = zsock_new(ZMQ_DEALER);
        zsock_connect(socket, "tcp://127.0.0.1:%d", (int)port);
    }
    ~Client() { zsock_destroy(&socket); }
    void send(const Bytes& frame)
    {
        zframe_t* f = zframe_new(frame.data(), frame.size());
        if (zframe_send(&f, socket, 0) != 0) {
            zframe_destroy(&f);
            ADD_FAILURE() << "client send";
        }
    }
};

Bytes sChunk(u8 sequence, bool more)
{
    Bytes p = {2, 28, 0x10, 0x8A, 0x20};
    for (int i = 0; i < 24; i++)
        p.push_back((u8)i);
    p.push_back((u8)((more ? 0x80 : 0) | sequence));
    return p;
}

bool sTake(const linkSpec*, bool* found, void*)
{
    *found = true;
    return true;
}

// One namespace per test program run: lo with multicast and one veth interface (for beacons).
struct SharingTrace : qctest::ServedLinkFixture {
    void SetUp() override
    {
        qctest::NetNamespaceOptions options;
        options.loopbackAddresses.clear();
        options.veths = {{"qct0", "10.78.0.1/24"}};
        std::string why;
        if (!qctest::enterPrivateNetwork(options, &why))
            QC_SKIP_OR_FAIL("no private network namespace: " << why);
    }
    void TearDown() override
    {
        off();
        closeServedLink();
    }
    void on(u32 level)
    {
        aQuillcoreDebuggingLevel = level;
        aQuillcoreDebuggingEnable = true;
    }
    void off()
    {
        aQuillcoreDebuggingEnable = false;
        aQuillcoreDebuggingLevel = 0;
    }
};

} // namespace

TEST_F(SharingTrace, MulticastSocketErrorsNameTheirCause)
{
    const u32 group = sIp(DISCOVERY_MULTICAST_GROUP);
    struct Row {
        const char* what;
        std::function<void()> drive;
        Lines lines;
    };
    const Row rows[] = {
        {"second receiver on a held port",
         [&] {
             aMulticast* held = aMulticast_Create(0, group, kPort, kMulticastReceiver);
             ASSERT_NE(held, nullptr);
             EXPECT_EQ(aMulticast_Create(0, group, kPort, kMulticastReceiver), nullptr);
             aMulticast_Destroy(&held);
         },
         {qctest::formatted("bind() failed with error code %d", EADDRINUSE)}},
        {"datagram too long to send",
         [&] {
             aMulticast* sender = aMulticast_Create(0, group, kPort, kMulticastSender);
             ASSERT_NE(sender, nullptr);
             std::vector<u8> big(70000);
             EXPECT_EQ(aMulticast_Send(sender, big.data(), (unsigned)big.size()), -1);
             aMulticast_Destroy(&sender);
         },
         {qctest::formatted("sendto() failed with error code %d", EMSGSIZE)}},
        {"receive time-out",
         [&] {
             aMulticast* receiver = aMulticast_Create(0, group, kPort, kMulticastReceiver);
             ASSERT_NE(receiver, nullptr);
             u8 buffer[8];
             EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), -1);
             aMulticast_Destroy(&receiver);
         },
         {qctest::formatted("recvfrom() failed with error code %d", EAGAIN)}},
    };
    struct Switch {
        bool enable;
        u32 level;
        bool prints;
    };
    const Switch switches[] = {
        {true, aDEBUG_MULTICAST, true},
        {true, ~(u32)aDEBUG_MULTICAST, false},
        {false, 0xFFFFFFFF, false},
    };
    for (const Row& r : rows)
        for (const Switch& s : switches) {
            SCOPED_TRACE(testing::Message() << r.what << ", enable " << s.enable << " level 0x"
                                            << std::hex << s.level);
            StdoutCapture out;
            ASSERT_TRUE(out.ok());
            aQuillcoreDebuggingLevel = s.level;
            aQuillcoreDebuggingEnable = s.enable;
            r.drive();
            off();
            out.stop();
            EXPECT_EQ(traced(out), s.prints ? r.lines : Lines()) << joined(traced(out));
        }
}

// The socket-address printer of the multicast traces: numeric host and port, IPv6 in
// brackets, a local socket's host alone, getnameinfo's reason for an address it cannot read;
// nothing while off.
TEST(MulticastTrace, AddressPrinter)
{
    struct sockaddr_in v4 = {};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(9850);
    inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
    struct sockaddr_in6 v6 = {};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(9950);
    inet_pton(AF_INET6, "::1", &v6.sin6_addr);
    struct sockaddr_un local = {};
    local.sun_family = AF_UNIX;
    struct Row {
        const struct sockaddr* address;
        socklen_t length;
        std::string text;
    };
    const Row rows[] = {
        {(const struct sockaddr*)&v4, sizeof v4, "127.0.0.1:9850"},
        {(const struct sockaddr*)&v6, sizeof v6, "[::1]:9950"},
        {(const struct sockaddr*)&local, sizeof local, "localhost"},
        {(const struct sockaddr*)&v4, 2, gai_strerror(EAI_FAMILY)},  // cut short
    };
    for (const Row& r : rows)
        for (bool on : {true, false}) {
            SCOPED_TRACE(testing::Message() << r.text << (on ? " on" : " off"));
            StdoutCapture out;
            ASSERT_TRUE(out.ok());
            aQuillcoreDebuggingLevel = on ? aDEBUG_MULTICAST : ~(u32)aDEBUG_MULTICAST;
            aQuillcoreDebuggingEnable = true;
            _printAddress(r.address, r.length);
            aQuillcoreDebuggingEnable = false;
            aQuillcoreDebuggingLevel = 0;
            out.stop();
            EXPECT_EQ(out.text(), on ? r.text : "");
        }
}

TEST_F(SharingTrace, ClientStreamPrintsItsAddressAndARefusedConnect)
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    ASSERT_NE(router, nullptr);
    int listening = zsock_bind(router, "tcp://127.0.0.1:*");
    ASSERT_GT(listening, 0);
    struct Row {
        u16 port;
        aErr result;
        Lines lines;
    };
    const Row rows[] = {
        {(u16)listening, aErrNone, {"aStream_CreateClient address: 127.0.0.1"}},
        // Nothing listens on the multicast port in this namespace.
        {kPort, aErrConnection,
         {"aStream_CreateClient address: 127.0.0.1",
          qctest::formatted("Error connecting to socket: %d(rc)", aErrConnection)}},
    };
    for (const Row& r : rows)
        for (bool enabled : {true, false}) {
            SCOPED_TRACE(testing::Message() << "port " << r.port << " enabled " << enabled);
            StdoutCapture out;
            ASSERT_TRUE(out.ok());
            on(enabled ? aDEBUG_CLIENTSTREAM : ~(u32)aDEBUG_CLIENTSTREAM);
            aStream* stream = nullptr;
            EXPECT_EQ(aStream_CreateClient(kLoopback, r.port, &stream), r.result);
            if (stream)
                aStream_Destroy(&stream);
            off();
            out.stop();
            EXPECT_EQ(traced(out), enabled ? r.lines : Lines()) << joined(traced(out));
        }
    zsock_destroy(&router);
}

TEST_F(SharingTrace, ServerSetUpFailuresAndLoopbackResponder)
{
    ASSERT_NO_FATAL_FAILURE(openLink());
    struct Row {
        const char* what;
        std::function<void()> drive;
        Lines lines;
    };
    const Row rows[] = {
        {"unknown link", [] { EXPECT_EQ(aServer_Create(0x7FFFFFF0, 0, true), nullptr); },
         {"Could not find device Item"}},
        {"no device with that serial number to share",
         [] {
             u16 p = 0;
             u32 at = 0;
             EXPECT_EQ(aLink_CreateServer(0x5EC0DE01, &p, &at, true), 0u);
         },
         {"Failed to create server"}},
        {"beacon on an interface the host lacks",
         [&] {
             aServer* s = aServer_Create(link, sIp("10.78.9.9"), false);
             ASSERT_NE(s, nullptr);
             EXPECT_EQ(aServer_Start(s), aErrResource);
             aServer_Destroy(&s);
         },
         {"Could not find open port"}},
        {"loopback request before and after the model is known",
         [&] {
             startServer();
             EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sTake, nullptr, 0), 0);
             ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
             EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sTake, nullptr, 0), 1);
             aServer_Destroy(&server);
         },
         {"Discovery port offset: 0", "We got the multicast magic value",
          "Discovery not allowed (Multicast), model not set.",
          "We got the multicast magic value"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        for (bool enabled : {true, false}) {
            StdoutCapture out;
            ASSERT_TRUE(out.ok());
            // Off: the level alone prints nothing (the search has lines of its own classes).
            aQuillcoreDebuggingLevel = enabled ? aDEBUG_SERVER : 0xFFFFFFFF;
            aQuillcoreDebuggingEnable = enabled;
            r.drive();
            off();
            out.stop();
            EXPECT_EQ(traced(out), enabled ? r.lines : Lines()) << joined(traced(out));
        }
    }
}

TEST_F(SharingTrace, ServerRequestFailuresAndDroppedPackets)
{
    ASSERT_NO_FATAL_FAILURE(openLink());
    ASSERT_NO_FATAL_FAILURE(startServer());
    const size_t routed = device->countAddress(cmdFORCEROUTE);
    Client client(port);
    struct Row {
        const char* what;
        std::function<void()> drive;
        Lines lines;
    };
    const Row rows[] = {
        {"client force-route", [&] { client.send({cmdFORCEROUTE, 1, 1}); },
         {"Blocking cmdFORCEROUTE from remote client"}},
        {"write chunk out of sequence",
         [&] {
             client.send(sChunk(0, true));
             client.send(sChunk(2, true));
         },
         {"BOOM: Sequence mix up. ttl will clean it up. "}},
        {"request the device leaves unanswered",
         [&] { client.send({2, 3, 0x10, 0x41, 0x20}); },
         {"Failed to AWAIT packet", "Address: 2, Size: 3 Data: 0x10 0x41 0x20 "}},
        {"short request the device leaves unanswered", [&] { client.send({2, 1, 0x10}); },
         {"Failed to AWAIT packet", "Weird Packet: Address: 2, Size: 1"}},
        {"answer whose slot was flushed",
         [&] {
             size_t before = device->countAddress(2);
             client.send({2, 3, 0x10, 0x41, 0x20});
             ASSERT_TRUE(device->waitAddress(2, before + 1, 2000));
             ASSERT_EQ(aServer_FlushFIFO(server), aErrNone);
             zclock_sleep(50);
             EXPECT_TRUE(device->send({2, 4, 0x10, 0x01, 0x00, 0x55})) << "device write";
         },
         {"no id to pop"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        on(aDEBUG_SERVER);
        r.drive();
        out.waitLines(r.lines.size(), 4000);
        zclock_sleep(50); // room for a stray line to show
        off();
        out.stop();
        EXPECT_EQ(traced(out), r.lines) << joined(traced(out));
    }
    EXPECT_EQ(device->countAddress(cmdFORCEROUTE), routed) << "the blocked packet stayed blocked";
}

TEST_F(SharingTrace, StaleWritePoolIsReportedWhenItsTtlRunsOut)
{
    ASSERT_NO_FATAL_FAILURE(openLink());
    ASSERT_NO_FATAL_FAILURE(startServer());
    Client client(port);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_SERVER);
    client.send(sChunk(0, true));
    // Entity packets that ask for no reply age the pool, one tick each; in steps, so the
    // link's out FIFO never fills.
    const Bytes tick = {cmdFORCEROUTE, 3, 0x10, 0x41, 0x20};
    size_t base = device->countAddress(cmdFORCEROUTE);
    for (size_t sent = 0; sent < 2000;) {
        for (int i = 0; i < 200; i++, sent++)
            client.send(tick);
        ASSERT_TRUE(device->waitAddress(cmdFORCEROUTE, base + sent, 5000)) << sent;
    }
    EXPECT_EQ(traced(out), Lines()) << "the pool lives through 2000 packets";
    client.send(tick);
    ASSERT_TRUE(device->waitAddress(cmdFORCEROUTE, base + 2001, 5000));
    off();
    out.stop();
    EXPECT_EQ(traced(out), Lines({"setUEIBytes is stale, destroying"})) << joined(traced(out));
}

TEST_F(SharingTrace, BeaconResponderAndBeaconSearch)
{
    ASSERT_NO_FATAL_FAILURE(openLink());
    sLookupEntryByID(link)->identifier = 0x00C0FFEE;
    ASSERT_NO_FATAL_FAILURE(startServer(sIp("10.78.0.1"), false));
    // A search while the model is unknown: every client beacon heard is refused.
    Lines lines;
    {
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        on(aDEBUG_SERVER | aDEBUG_DISCOVERY);
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sTake, nullptr, sIp("10.78.0.1")), 0);
        off();
        out.stop();
        lines = traced(out);
    }
    ASSERT_GE(lines.size(), 2u) << joined(lines);
    EXPECT_EQ(lines.back(), "Done with discovery");
    for (size_t i = 0; i + 1 < lines.size(); i++)
        EXPECT_EQ(lines[i], "Discovery not allowed (beacon), model not set.") << i;

    // Identified: the search finds it once, and the server falls silent 2 to 3 s after it
    // began publishing (it may start again at a client beacon heard after that).
    ASSERT_EQ(aServer_SetModel(server, 0x13), aErrNone);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_SERVER | aDEBUG_DISCOVERY);
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sTake, nullptr, sIp("10.78.0.1")), 1);
    Lines discovery;
    Lines silenced;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (silenced.empty() && std::chrono::steady_clock::now() < end) {
        zclock_sleep(20);
        discovery.clear();
        silenced.clear();
        for (const std::string& l : traced(out))
            (l == "Beacon silenced" ? silenced : discovery).push_back(l);
    }
    off();
    out.stop();
    char expected[160];
    snprintf(expected, sizeof expected,
             "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d",
             0x00C0FFEEu, (int)port, 0, (int)AETHER, 0x13);
    EXPECT_EQ(discovery, Lines({expected, "Done with discovery"})) << joined(traced(out));
    EXPECT_FALSE(silenced.empty()) << joined(traced(out));
}

TEST_F(SharingTrace, LoopbackSearchEndsWithItsLineOnlyWhileDiscoveryIsOn)
{
    for (u32 level : {(u32)aDEBUG_DISCOVERY, ~(u32)aDEBUG_DISCOVERY}) {
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        on(level);
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sTake, nullptr, 0), 0);
        off();
        out.stop();
        EXPECT_EQ(traced(out), level == aDEBUG_DISCOVERY ? Lines({"Done with discovery"}) : Lines())
            << joined(traced(out));
    }
}
