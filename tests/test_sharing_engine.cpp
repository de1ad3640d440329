// Shared links in the engine: a USB link (kernel-node emulator) with a sharing server and a
// client link on it, client links of their own, and the release rules.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "Module.h"
#include "NetNamespace.h"
#include "aLinkManagerInternal.h"
#include "aServer_ZeroMQ.h"
#include "discover.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/PtyTransport.h"
#include "qcusb_driver.h"
#include <czmq.h>
#include "test_sharing_tsan.h"
#include "UsbNodeDirectory.h"

using module_emu::ModuleCore;
using module_emu::Packet;
using module_emu::PtyTransport;

namespace {

::testing::Environment* const gNodes =
    ::testing::AddGlobalTestEnvironment(new UsbNodeDirectory("qc_sharing_usb"));

const u8 kModel = 0x13;

// A module at address 6 on a USB node: answers the model query (system entity, option 8),
// and echoes any other entity request with the value 0x55. wrongModel replaces the model
// reply when given (a module that answers wrongly).
struct UsbModule {
    explicit UsbModule(u32 serial, Packet wrongModel = {})
        : modelReply(std::move(wrongModel)), core(6), node(UsbNodePath(serial))
    {
        core.attach(node);
        core.setHandler(6, [this](const Packet& p) -> std::vector<Packet> {
            if (p.data.size() == 3 && p.data[0] == 0x03 && p.data[1] == 0x48)
                return {modelReply.data.empty() ? Packet{6, {0x03, 0x08, 0x00, kModel}}
                                                : modelReply};
            if (!p.data.empty() && p.data[0] == 23) // echo test
                return {p};
            if (p.data.size() >= 3)
                return {Packet{6, {p.data[0], (u8)(p.data[1] & 0x3F), 0x00, 0x55}}};
            return {};
        });
    }
    ~UsbModule() { core.detach(node); }
    const Packet modelReply;
    ModuleCore core; // the transport goes first: its reader ends before the core
    PtyTransport node;
};

unsigned char sAny(const aPacket*, const void*)
{
    return 1;
}

// One entity GET on a link; the reply's value byte, or -1.
int sRequest(aLinkId id)
{
    const u8 get[3] = {0x10, 0x41, 0x20};
    aPacket* p = aPacket_CreateWithData(6, 3, get);
    aLink_PutPacket(id, p);
    aPacket_Destroy(&p);
    aPacket* reply = aLink_AwaitFirst(id, sAny, nullptr, 2000);
    int value = reply && reply->length == 4 && reply->data[0] == 0x10 ? reply->data[3] : -1;
    aPacket_Destroy(&reply);
    return value;
}

bool sCollect(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    *(linkSpec*)ref = *linkSpecifier;
    *found = true;
    return false;
}

// Servers take loopback discovery slots: every test runs in a network namespace of its own.
#define QC_SHARING_NAMESPACE()                                                            \
    do {                                                                                  \
        qctest::NetNamespaceOptions options_;                                             \
        options_.loopbackAddresses.clear();                                               \
        QC_REQUIRE_PRIVATE_NETWORK(options_);                                             \
    } while (0)

} // namespace

TEST(SharedLink, MissingOutPointersOpenNothing)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000001;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    u16 port = 0;
    u32 networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(serial, nullptr, &networkInterface, true), 0u);
    EXPECT_EQ(aLink_CreateServer(serial, &port, nullptr, true), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    EXPECT_EQ(module.core.hostPacketCount(), 0u);
}

TEST(SharedLink, ServerBackedLinkCarriesRequestsAndGoesWithItsClient)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000002;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    u16 port = 0;
    u32 networkInterface = 0;
    aLinkId client = aLink_CreateServer(serial, &port, &networkInterface, true);
    ASSERT_NE(client, 0u);
    EXPECT_NE(port, 0);
    EXPECT_EQ(networkInterface, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(sRequest(client), 0x55);

    // The server learned the module: a search finds it.
    linkSpec linkSpecifier{};
    EXPECT_EQ(aDiscovery_EnumerateModules(AETHER, sCollect, &linkSpecifier, 0), 1);
    EXPECT_EQ(linkSpecifier.serialNumber, serial);
    EXPECT_EQ(linkSpecifier.model, kModel);
    EXPECT_EQ(linkSpecifier.t.ip.ipPort, port);

    // The served device is reached only through the server meanwhile.
    EXPECT_EQ(aLink_CreateUSB(serial), 0u);
    aLinkId second = aLink_CreateClient(linkSpecifier.t.ip.ipAddress, linkSpecifier.t.ip.ipPort, 0);
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, client);
    EXPECT_EQ(sRequest(second), 0x55);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(sRequest(client), 0x55) << "another client's release leaves the server";

    // The last release of the client takes the USB link and its server with it.
    EXPECT_EQ(aLink_Destroy(&client), aErrNone);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    aLinkId plain = aLink_CreateUSB(serial);
    EXPECT_NE(plain, 0u) << "a plain link once the server is gone";
    EXPECT_EQ(sRequest(plain), 0x55);
    aLink_Destroy(&plain);
}

TEST(SharedLink, PlainLinkInUseIsNotServed)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000003;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    aLinkId plain = aLink_CreateUSB(serial);
    ASSERT_NE(plain, 0u);
    u16 port = 0;
    u32 networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(serial, &port, &networkInterface, true), 0u);
    aLinkEntry* entry = sLookupEntryByID(plain);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->server, nullptr);
    EXPECT_EQ(entry->useCount, 1);
    EXPECT_EQ(sRequest(plain), 0x55) << "the plain link's replies stay its own";
    aLink_Destroy(&plain);
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
}

// Two creating calls for one serial may both reach the server step on the same USB link:
// the second server must not replace the first, whose threads would then run on unowned.
TEST(SharedLink, SecondServerIsNotAttachedOverTheFirst)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000009;
    UsbModule module(serial);
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    aLinkId usb = aLink_CreateUSB(serial);
    ASSERT_NE(usb, 0u);
    aServer* first = aServer_Create(usb, 0, true);
    aServer* second = aServer_Create(usb, 0, true);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(sAttachServer(usb, first));
    EXPECT_FALSE(sAttachServer(usb, second));
    aLinkEntry* entry = sLookupEntryByID(usb);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->server, first);
    EXPECT_EQ(aServer_Destroy(&second), aErrNone);
    aLink_Destroy(&usb); // destroys the attached first server with the link
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
}

TEST(SharedLink, WrongModelReplyCleansUpOnce)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000004;
    UsbModule module(serial, Packet{6, {0x03, 0x08, 0x00}}); // no value: not a model
    ASSERT_TRUE(module.node.ok()) << module.node.error();
    u16 port = 0;
    u32 networkInterface = 0;
    EXPECT_EQ(aLink_CreateServer(serial, &port, &networkInterface, true), 0u);
    EXPECT_EQ(networkInterface, 0u) << "the interface is written back only on success";
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
    EXPECT_EQ(sLookupEntryByIdentifier(htonl(INADDR_LOOPBACK)), nullptr) << "no client left";
    int modelQueries = 0;
    for (auto& h : module.core.hostPackets())
        modelQueries += h.packet.data.size() == 3 && h.packet.data[0] == 0x03;
    EXPECT_EQ(modelQueries, 5) << "five tries";
    // Released exactly once: the device can be opened again.
    aLinkId plain = aLink_CreateUSB(serial);
    EXPECT_NE(plain, 0u);
    aLink_Destroy(&plain);
}

TEST(SharedLink, ClientLinksAreNewOrShared)
{
    QC_SHARING_NAMESPACE();
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    ASSERT_NE(router, nullptr);
    int port = zsock_bind(router, "tcp://127.0.0.1:*");
    ASSERT_GT(port, 0);
    const u32 loopback = htonl(INADDR_LOOPBACK);
    aLinkId a = aLink_CreateClient(loopback, (u32)port | 0x10000, 0);
    aLinkId b = aLink_CreateClient(loopback, (u32)port, 0);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    aLinkEntry* ea = sLookupEntryByID(a);
    aLinkEntry* eb = sLookupEntryByID(b);
    ASSERT_TRUE(ea && eb);
    EXPECT_EQ(eb->clientIndex, ea->clientIndex + 1);
    EXPECT_EQ(ea->port, (u32)port) << "the port's low 16 bits";
    EXPECT_EQ(ea->type, aLINKTYPE_AETHER);
    EXPECT_EQ(ea->identifier, loopback);

    EXPECT_EQ(aLink_CreateClient(loopback, (u32)port, a), a);
    EXPECT_EQ(ea->useCount, 2);
    const aLinkId released = a;
    aLinkId copy = a;
    EXPECT_EQ(aLink_Destroy(&copy), aErrNone);
    EXPECT_EQ(aLink_Destroy(&a), aErrNone);
    EXPECT_EQ(aLink_CreateClient(loopback, (u32)port, released), 0u)
        << "a released id is not shared";
    EXPECT_EQ(aLink_Destroy(&b), aErrNone);
    zsock_destroy(&router);
}

using Velmoran::Quillcore::Module;
using Velmoran::Quillcore::aEtherConfig;

TEST(SharedModule, ConnectsThroughItsServerAndSharesIt)
{
    QC_SHARING_NAMESPACE();
    const u32 serial = 0x0C000010;
    UsbModule device(serial);
    ASSERT_TRUE(device.node.ok()) << device.node.error();
    const unsigned char echo[3] = {1, 2, 3};

    // The defaults: sharing on, loopback only.
    Module first(2, (unsigned char)0);
    linkSpec usb{};
    usb.type = USB;
    usb.serialNumber = serial;
    ASSERT_EQ(first.connectFromSpec(usb), aErrNone);
    EXPECT_EQ(first.getModuleAddress(), 6) << "the address learnt through the server";
    aEtherConfig config;
    ASSERT_EQ(first.getConfig(&config), aErrNone);
    EXPECT_NE(config.assignedPort, 0);
    EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(first.debug(echo, 3), aErrNone);
    aLinkEntry* entry = sLookupEntryByID(first.getLink()->getLinkId());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->type, aLINKTYPE_AETHER) << "the module holds the client link";

    // A module reached through the first shares its client link, over the same server.
    Module sub(6, false, (unsigned char)0);
    ASSERT_EQ(sub.connectThroughLinkModule(&first), aErrNone);
    linkSpec linkSpecifier;
    ASSERT_EQ(sub.getLinkSpecifier(&linkSpecifier), aErrNone);
    EXPECT_EQ(linkSpecifier.type, (u32)AETHER);
    EXPECT_EQ(linkSpecifier.t.ip.ipPort, config.assignedPort);
    EXPECT_EQ(sub.getLink()->getLinkId(), first.getLink()->getLinkId());
    EXPECT_EQ(sub.debug(echo, 3), aErrNone);

    // Another module for the same device: not on USB for it (served), found on the server.
    Module other(2, (unsigned char)0);
    ASSERT_EQ(other.connect(USB, serial), aErrNone);
    ASSERT_EQ(other.getLinkSpecifier(&linkSpecifier), aErrNone);
    EXPECT_EQ(linkSpecifier.type, (u32)AETHER);
    EXPECT_NE(other.getLink()->getLinkId(), first.getLink()->getLinkId());
    EXPECT_EQ(other.debug(echo, 3), aErrNone);

    // Without fallback the USB search alone decides.
    Module strict(2, (unsigned char)0);
    aEtherConfig noFallback;
    noFallback.fallback = false;
    ASSERT_EQ(strict.setConfig(noFallback), aErrNone);
    EXPECT_EQ(strict.connect(USB, serial), aErrNotFound);

    // The device is let go with its last user.
    other.disconnect();
    sub.disconnect();
    EXPECT_NE(sLookupEntryByIdentifier(serial), nullptr);
    first.disconnect();
    EXPECT_EQ(sLookupEntryByIdentifier(serial), nullptr);
}
