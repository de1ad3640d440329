// Search for link-sharing servers: loopback slots and UDP beacons, inside a private network
// namespace, against small stand-ins that answer the way servers do.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <czmq.h>
#include <memory>
#include <thread>
#include <vector>

#include "NetNamespace.h"
#include "aMulticast.h"
#include "test_sharing_tsan.h"
#include "discover.h"
#include "zBeaconInterface.h"

namespace {

u32 ip(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

linkSpec sSpec(u32 serial, u32 address, u16 port)
{
    linkSpec linkSpecifier{};
    linkSpecifier.type = AETHER;
    linkSpecifier.serialNumber = serial;
    linkSpecifier.model = 0x13;
    linkSpecifier.t.ip.ipAddress = address;
    linkSpecifier.t.ip.ipPort = port;
    return linkSpecifier;
}

// Holds loopback slot k and answers the 4-byte magic with its linkSpecifier, as a server does.
struct SlotResponder {
    linkSpec linkSpecifier;
    int slot;
    bool answer;
    std::atomic<int> requests{0};
    std::atomic<bool> stopping{false};
    aMulticast* receiver = nullptr;
    aMulticast* sender = nullptr;
    std::thread thread;

    SlotResponder(int k, const linkSpec& s, bool answers = true) : linkSpecifier(s), slot(k), answer(answers)
    {
        const u32 group = ip(DISCOVERY_MULTICAST_GROUP);
        receiver = aMulticast_Create(0, group, (u16)(DISCOVERY_REQUEST_PORT + k), kMulticastReceiver);
        sender = aMulticast_Create(0, group, (u16)(DISCOVERY_REPLY_PORT + k), kMulticastSender);
        if (!receiver || !sender)
            return;
        thread = std::thread([this] {
            while (!stopping) {
                u32 magic = 0;
                if (aMulticast_Receive(receiver, &magic, sizeof(magic)) != 4
                    || magic != DISCOVERY_MULTICAST_MAGIC)
                    continue;
                requests++;
                if (answer)
                    aMulticast_Send(sender, &linkSpecifier, sizeof(linkSpecifier));
            }
        });
    }

    bool ok() const { return thread.joinable(); }

    ~SlotResponder()
    {
        stopping = true;
        if (thread.joinable()) {
            // Wake the receive at once instead of waiting for its time-out.
            aMulticast* wake = aMulticast_Create(0, ip(DISCOVERY_MULTICAST_GROUP),
                                                 (u16)(DISCOVERY_REQUEST_PORT + slot),
                                                 kMulticastSender);
            if (wake) {
                aMulticast_Send(wake, "x", 1);
                aMulticast_Destroy(&wake);
            }
            thread.join();
        }
        if (receiver)
            aMulticast_Destroy(&receiver);
        if (sender)
            aMulticast_Destroy(&sender);
    }
};

struct Collected {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0; // 0: never stop
};

bool cbCollect(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    Collected* c = static_cast<Collected*>(ref);
    EXPECT_FALSE(*found);
    c->specs.push_back(*linkSpecifier);
    *found = true;
    return c->stopAfter == 0 || c->specs.size() < c->stopAfter;
}

qctest::NetNamespaceOptions sLoopback()
{
    qctest::NetNamespaceOptions options;
    options.loopbackAddresses.clear();
    return options;
}

// A namespace with one real (veth) interface besides lo, for beacons.
qctest::NetNamespaceOptions sWithInterface()
{
    qctest::NetNamespaceOptions options = sLoopback();
    options.veths = {{"qcb0", "10.77.0.1/24"}};
    return options;
}

const u32 kLoopback = htonl(INADDR_LOOPBACK);

} // namespace

TEST(SharingDiscovery, LoopbackFindsServersInSlotOrder)
{
    QC_REQUIRE_PRIVATE_NETWORK(sLoopback());
    SlotResponder first(0, sSpec(0x1111, kLoopback, 5001));
    SlotResponder second(1, sSpec(0x2222, kLoopback, 5002));
    ASSERT_TRUE(first.ok() && second.ok());
    for (u32 networkInterface : {0u, kLoopback}) {
        Collected c;
        EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, networkInterface), 2);
        ASSERT_EQ(c.specs.size(), 2u);
        EXPECT_EQ(memcmp(&c.specs[0], &first.linkSpecifier, sizeof(linkSpec)), 0);
        EXPECT_EQ(memcmp(&c.specs[1], &second.linkSpecifier, sizeof(linkSpec)), 0);
    }
}

TEST(SharingDiscovery, LoopbackIgnoresRepeatsForeignAddressesAndSilentSlots)
{
    QC_REQUIRE_PRIVATE_NETWORK(sLoopback());
    SlotResponder silent(0, sSpec(0x1000, kLoopback, 5000), false);
    SlotResponder wanted(1, sSpec(0x2000, kLoopback, 5001));
    SlotResponder same(2, sSpec(0x2000, kLoopback, 5002));
    SlotResponder foreign(3, sSpec(0x3000, ip("10.1.1.1"), 5003));
    SlotResponder last(4, sSpec(0x4000, kLoopback, 5004));
    ASSERT_TRUE(silent.ok() && wanted.ok() && same.ok() && foreign.ok() && last.ok());
    Collected c;
    EXPECT_EQ(aDiscovery_Enumerate_aEtherModules(cbCollect, &c, 0), 2);
    ASSERT_EQ(c.specs.size(), 2u);
    EXPECT_EQ(c.specs[0].serialNumber, 0x2000u);
    EXPECT_EQ(c.specs[0].t.ip.ipPort, 5001u) << "the first server of a serial number is kept";
    EXPECT_EQ(c.specs[1].serialNumber, 0x4000u);
    EXPECT_EQ(silent.requests, 1) << "a held slot is asked even when it does not answer";
}

TEST(SharingDiscovery, StoppingAtTheFirstServerProbesNoFurther)
{
    QC_REQUIRE_PRIVATE_NETWORK(sLoopback());
    SlotResponder first(0, sSpec(0x1111, kLoopback, 5001));
    SlotResponder second(1, sSpec(0x2222, kLoopback, 5002));
    ASSERT_TRUE(first.ok() && second.ok());
    Collected c;
    c.stopAfter = 1;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, 0), 1);
    EXPECT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(first.requests, 1);
    EXPECT_EQ(second.requests, 0);

    // FindModule goes through the same search and returns a copy of the matching linkSpecifier.
    linkSpec* linkSpecifier = aDiscovery_FindModule(AETHER, 0x2222, 0);
    ASSERT_NE(linkSpecifier, nullptr);
    EXPECT_EQ(linkSpecifier->t.ip.ipPort, 5002u);
    aLinkSpec_Destroy(&linkSpecifier);
}

TEST(SharingDiscovery, EmptyLoopbackFindsNothingQuickly)
{
    QC_REQUIRE_PRIVATE_NETWORK(sLoopback());
    Collected c;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, 0), 0);
    EXPECT_TRUE(c.specs.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "free slots cost no waiting";
}

TEST(SharingDiscovery, LoopbackAddressSearchesLoopbackEvenWithOtherInterfaces)
{
    QC_REQUIRE_PRIVATE_NETWORK(sWithInterface());
    SlotResponder server(0, sSpec(0x5555, kLoopback, 5005));
    ASSERT_TRUE(server.ok());
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, kLoopback), 1);
    EXPECT_EQ(server.requests, 1);
}

TEST(SharingDiscovery, BeaconFindsAPublishingServerAndRestoresTheInterface)
{
    QC_REQUIRE_PRIVATE_NETWORK(sWithInterface());
    const u32 address = ip("10.77.0.1");
    linkSpec linkSpecifier = sSpec(0xABCD0001, address, 6001);
    // A server's beacon, publishing its linkSpecifier on the interface.
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.77.0.1"));
    zactor_t* server = zactor_new(zbeacon, NULL);
    ASSERT_NE(server, nullptr);
    zsock_send(server, "si", "CONFIGURE", DISCOVERY_BEACON_PORT);
    char* host = zstr_recv(server);
    zBeaconInterface_unlock();
    ASSERT_STREQ(host, "10.77.0.1");
    zstr_free(&host);
    zsock_send(server, "sbi", "PUBLISH", &linkSpecifier, sizeof(linkSpecifier), 100);

    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, address), 1);
    ASSERT_EQ(c.specs.size(), 1u) << "the linkSpecifier is offered once, however often it is heard";
    EXPECT_EQ(memcmp(&c.specs[0], &linkSpecifier, sizeof(linkSpecifier)), 0);
    EXPECT_STREQ(zsys_interface(), "*") << "the search puts the process-wide value back";
    zactor_destroy(&server);
}

TEST(SharingDiscovery, BeaconWithoutServersEndsAfterItsAttempts)
{
    QC_REQUIRE_PRIVATE_NETWORK(sWithInterface());
    Collected c;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, cbCollect, &c, ip("10.77.0.1")), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(c.specs.empty());
    EXPECT_LT(ms, 4000);
}
