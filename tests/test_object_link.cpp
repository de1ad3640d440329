// Link and Module: configuration, connecting, status and the raw queries, against emulated
// modules on a serial link; a router with modules behind it on one link.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <map>
#include <memory>
#include <chrono>
#include <dirent.h>
#include <errno.h>
#include <functional>
#include <mutex>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ThreadCount.h"
#include "Timing.h"
#include "EmulatedModules.h"
#include "I2CClass.h"
#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "aUEI.h"

using namespace Velmoran::Quillcore;
using module_emu::ModuleIdentity;
using qctest::Bytes;
using qctest::ident;

namespace {

linkSpec specOf(u32 type)
{
    linkSpec s;
    memset(&s, 0, sizeof(s));
    s.type = type;
    s.serialNumber = 0x42;
    return s;
}

} // namespace

TEST(LinkConfig, DefaultsAndRefusalsWithoutDevice)
{
    Link link("test");
    aEtherConfig c;
    ASSERT_EQ(link.getConfig(&c), aErrNone);
    EXPECT_TRUE(c.enabled);
    EXPECT_TRUE(c.fallback);
    EXPECT_TRUE(c.localOnly);
    EXPECT_EQ(c.assignedPort, 0);
    EXPECT_EQ(c.networkInterface, htonl(0x7F000001));
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    EXPECT_EQ(link.getStatus(), kLinkStatusError);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.connect(), aErrConfiguration) << "no specifier";
    linkSpec got;
    EXPECT_EQ(link.getLinkSpecifier(&got), aErrNotFound);

    u8 address = 9;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(link.sendPacket(2, 23, 0, nullptr), aErrConnection);

    struct Row {
        u32 type;
        bool sharing;
        aErr result;
    } rows[] = {
        {AETHER, false, aErrConfiguration},
        {AETHER, true, aErrConnection}, // no sharing server at that address
        {USB, true, aErrConnection},    // no device to put a sharing server on
        {7, false, aErrMode},
        {0, false, aErrMode},
    };
    for (const Row& row : rows) {
        aEtherConfig config = qctest::plainConfig();
        config.enabled = row.sharing;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        ASSERT_EQ(link.setLinkSpecifier(specOf(row.type)), aErrNone);
        EXPECT_EQ(link.connect(), row.result) << "type " << row.type;
        EXPECT_EQ(link.getLinkId(), 0u);
    }

    // A serial specifier with a baud rate the engine does not know: no link.
    linkSpec serial = specOf(SERIAL);
    serial.t.serial.baudRate = 12345;
    strcpy(serial.t.serial.portName, "/dev/null");
    ASSERT_EQ(link.setLinkSpecifier(serial), aErrNone);
    EXPECT_EQ(link.connect(), aErrConnection);
    EXPECT_EQ(link.getLinkId(), 0u);

    Link other("other");
    EXPECT_EQ(other.connectThroughLinkModule(link), aErrInitialization);
    EXPECT_EQ(other.getLinkSpecifier(&got), aErrNotFound) << "nothing changed";
}

TEST(LinkConfig, NameIsCutAt1024)
{
    std::string name(2000, 'n');
    Link link(name.c_str());
    EXPECT_EQ(std::string(link.getName()), name.substr(0, 1024));
    Link shortName("Link");
    EXPECT_STREQ(shortName.getName(), "Link");
}

TEST(ModuleConfig, ChecksBeforeAnyConnection)
{
    Module m(2, (unsigned char)0);
    EXPECT_EQ(m.connect(USB, 0), aErrParam);
    EXPECT_EQ(m.hasUEI(3, 1, 0, 0xC0), aErrParam);
    EXPECT_EQ(m.hasUEI(3, 1, 0, 0x01), aErrParam);
    EXPECT_EQ(m.hasUEI(3, 1, 0, 0x40), aErrConnection);
    unsigned char count = 7;
    EXPECT_EQ(m.classQuantity(3, &count), aErrConnection);
    EXPECT_EQ(count, 0) << "the count is cleared first";
    EXPECT_EQ(m.getStatus(), kLinkStatusError);
    EXPECT_EQ(m.disconnect(), aErrNone);
    aEtherConfig config = qctest::plainConfig();
    EXPECT_EQ(m.setConfig(config), aErrNone);
    // Nothing discovered over TCP/IP: no interface but loopback sends no request.
}

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bench.pty.ok()) << bench.pty.error(); }
    qctest::SerialModules bench;
};

TEST_F(SerialLinkTest, ConnectDisconnectAndShare)
{
    Link a("a"), b("b");
    ASSERT_EQ(a.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(a.setLinkSpecifier(bench.linkSpecifier()), aErrNone);
    ASSERT_EQ(a.connect(), aErrNone);
    EXPECT_TRUE(a.isConnected());
    EXPECT_EQ(a.getStatus(), kLinkStatusRunning);
    EXPECT_EQ(a.connect(), aErrConnection);
    EXPECT_EQ(a.setConfig(qctest::plainConfig()), aErrPermission);
    EXPECT_EQ(a.setLinkSpecifier(bench.linkSpecifier()), aErrBusy);

    // A second Link for the same device gets the same engine link, with its own use.
    ASSERT_EQ(b.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(b.setLinkSpecifier(bench.linkSpecifier()), aErrNone);
    ASSERT_EQ(b.connect(), aErrNone);
    EXPECT_EQ(a.getLinkId(), b.getLinkId());
    aLinkId shared = a.getLinkId();
    EXPECT_EQ(b.disconnect(), aErrNone);
    EXPECT_EQ(b.getLinkId(), 0u);
    EXPECT_TRUE(a.isConnected()) << "the other use stays";
    u8 address = 0;
    EXPECT_EQ(a.getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 2);

    // Disconnect, then connect again with the same specifier: a fresh engine link.
    EXPECT_EQ(a.disconnect(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(shared), kLinkStatusNoStream) << "the last use released it";
    ASSERT_EQ(a.connect(), aErrNone);
    EXPECT_NE(a.getLinkId(), shared);
}

// A share that fails before any creating call ran took no use of the other's link, so
// releasing the failed Link must leave the other's link running.
TEST_F(SerialLinkTest, ShareRefusedBeforeAnyCreatingCallHoldsNothing)
{
    Link a("a");
    ASSERT_EQ(a.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(a.setLinkSpecifier(bench.linkSpecifier()), aErrNone);
    ASSERT_EQ(a.connect(), aErrNone);
    aLinkId shared = a.getLinkId();

    linkSpec aether;
    memset(&aether, 0, sizeof(aether));
    aether.type = AETHER;
    aether.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    aether.t.ip.ipPort = 9;
    linkSpec unknown;
    memset(&unknown, 0, sizeof(unknown));
    unknown.type = 9;
    struct Case {
        const char* what;
        const linkSpec* linkSpecifier;
        aErr result;
    };
    const Case cases[] = {{"no specifier", nullptr, aErrConfiguration},
                          {"shared-link specifier with sharing off", &aether, aErrConfiguration},
                          {"unknown link type", &unknown, aErrMode}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            Link b("b");
            ASSERT_EQ(b.setConfig(qctest::plainConfig()), aErrNone);
            if (c.linkSpecifier) {
                ASSERT_EQ(b.setLinkSpecifier(*c.linkSpecifier), aErrNone);
            }
            EXPECT_EQ(b.connectThroughLinkModule(a), c.result);
            EXPECT_EQ(b.getLinkId(), 0u);
        }
        EXPECT_EQ(aLink_GetStatus(shared), kLinkStatusRunning) << "the other's use stays";
        u8 address = 0;
        EXPECT_EQ(a.getModuleAddress(&address), aErrNone);
        EXPECT_EQ(address, 2);
    }
}

TEST_F(SerialLinkTest, HeldLinkThatStoppedRunningIsReleasedOnConnect)
{
    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(m.connectFromSpec(bench.linkSpecifier()), aErrNone);
    aLinkId old = m.getLink()->getLinkId();
    ASSERT_NE(old, 0u);

    // The far end goes away: reads fail and the link stops running.
    bench.pty.closeMaster();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (m.isConnected() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(m.isConnected());
    EXPECT_NE(m.getStatus(), kLinkStatusRunning);
    // Settings may change while the link is held but not running.
    EXPECT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);

    // Connecting again lets the dead link go instead of keeping it for ever.
    aErr err = m.reconnect();
    EXPECT_EQ(aLink_GetStatus(old), kLinkStatusNoStream) << "old engine link released";
    if (err != aErrNone) {
        EXPECT_EQ(m.getLink()->getLinkId(), 0u);
    }
}

TEST_F(SerialLinkTest, RawCommandsAndModuleQueries)
{
    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(m.connectFromSpec(bench.linkSpecifier()), aErrNone);
    Link* link = m.getLink();

    Bytes payload(28, 0x33);
    EXPECT_EQ(link->sendPacket(2, 23, 28, payload.data()), aErrParam);
    EXPECT_EQ(m.debug(payload.data(), 28), aErrParam);
    for (unsigned char k = 0; k < 27; k++)
        payload[k] = k;
    EXPECT_EQ(m.debug(payload.data(), 27), aErrNone);
    std::vector<Bytes> sent = bench.sentTo(2);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().size(), 28u) << "27 bytes and the command";

    EXPECT_EQ(link->sendPacket(0, 23, 0, nullptr), aErrPacket);
    EXPECT_EQ(link->sendPacket(3, 23, 0, nullptr), aErrPacket);

    // The build number: [73][0xFF] and a reply of 6 bytes matched on those two.
    ASSERT_EQ(link->sendPacket(2, 73, 1, (const u8[]){0xFF}), aErrNone);
    u8 reply[28] = {73, 0xFF};
    u8 length = 2;
    ASSERT_EQ(link->receivePacket(2, reply, &length, reply), aErrNone);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(aUEI_RetrieveInt(&reply[2]), bench.module(2).identity().build);

    // A command of its own plugged into the module (as the UPGRADE emulator does): the reply
    // is matched on its leading bytes and copied whole.
    bench.module(2).setCommandHandler(95, [](const module_emu::Packet& request) {
        module_emu::Packet r = request;
        r.data.push_back(0x5A);
        return std::vector<module_emu::Packet>{r};
    });
    ASSERT_EQ(link->sendPacket(2, 95, 2, (const u8[]){7, 8}), aErrNone);
    u8 upgrade[28] = {95, 7};
    length = 2;
    ASSERT_EQ(link->receivePacket(2, upgrade, &length, upgrade), aErrNone);
    EXPECT_EQ(Bytes(upgrade, upgrade + length), (Bytes{95, 7, 8, 0x5A}));

    length = 29;
    EXPECT_EQ(link->receivePacket(2, reply, &length, reply), aErrParam);
    length = 1;
    u8 none[1] = {0x99};
    EXPECT_EQ(link->receivePacket(2, none, &length, reply), aErrTimeout);
    EXPECT_EQ(length, 1) << "untouched on a time-out";
    // No match bytes: the first packet queued, whatever it is.
    ASSERT_EQ(link->sendPacket(2, 23, 1, (const u8[]){5}), aErrNone);
    length = 0;
    ASSERT_EQ(link->receivePacket(2, nullptr, &length, reply), aErrNone);
    EXPECT_EQ(Bytes(reply, reply + length), (Bytes{23, 5}));

    EXPECT_EQ(m.hasUEI(3, 9, 0, 0x40), aErrNone);
    EXPECT_EQ(m.hasUEI(3, 9, 0, 0x80), module_emu::kEmuErrPermission) << "serial is read-only";
    EXPECT_EQ(m.hasUEI(3, 60, 0, 0), module_emu::kEmuErrInvalidOption);
    EXPECT_EQ(m.hasUEI(77, 1, 0, 0), module_emu::kEmuErrInvalidEntity);
    unsigned char count = 0;
    EXPECT_EQ(m.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    bench.module(2).setEntityGroup(3, 0, 9);
    unsigned char group = 0;
    EXPECT_EQ(m.entityGroup(3, 0, &group), aErrNone);
    EXPECT_EQ(group, 9);
    EXPECT_EQ(m.subClassQuantity(3, 0, &count), aErrNone);
    EXPECT_GT(count, 30);

    // Replies that do not answer the query: a changed echo, entity information cut short.
    bench.module(2).setCommandHandler(23, [](const module_emu::Packet& request) {
        module_emu::Packet r = request;
        r.data.back() ^= 1;
        return std::vector<module_emu::Packet>{r};
    });
    EXPECT_EQ(m.debug(payload.data(), 3), aErrIO);
    bench.module(2).setCommandHandler(73, [](const module_emu::Packet& request) {
        module_emu::Packet r = request;
        r.data.resize(3);
        return std::vector<module_emu::Packet>{r};
    });
    EXPECT_EQ(m.hasUEI(3, 9, 0, 0x40), aErrUnknown);
    count = 9;
    EXPECT_EQ(m.classQuantity(3, &count), aErrUnknown);
    EXPECT_EQ(count, 0);
}

// The module's raw queries take the next reply with their command byte: one that came after
// an earlier query gave up must not be taken for the answer to the next.
TEST_F(SerialLinkTest, LateQueryReplyDoesNotAnswerTheNextQuery)
{
    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(m.connectFromSpec(bench.linkSpecifier()), aErrNone);
    // The first echo and the first class count are answered 1.2 s late; the count then was 1.
    // The handlers run on the emulator's thread and may outlive this body: they share the
    // counts.
    auto echoes = std::make_shared<std::atomic<int>>(0);
    auto counts = std::make_shared<std::atomic<int>>(0);
    bench.module(2).setCommandHandler(23, [echoes](const module_emu::Packet& request) {
        module_emu::Packet r = request;
        r.delayMs = (*echoes)++ == 0 ? 1200 : 0;
        return std::vector<module_emu::Packet>{r};
    });
    bench.module(2).setCommandHandler(73, [counts](const module_emu::Packet& request) {
        module_emu::Packet r = request;
        bool late = (*counts)++ == 0;
        r.delayMs = late ? 1200 : 0;
        r.data.push_back(late ? 1 : 2);
        return std::vector<module_emu::Packet>{r};
    });
    const unsigned char first[2] = {1, 2}, second[2] = {3, 4};
    EXPECT_EQ(m.debug(first, 2), aErrTimeout);
    unsigned char count = 0;
    EXPECT_EQ(m.classQuantity(3, &count), aErrTimeout);
    // The count gave up at about 2.0 s, its late reply comes at 2.2 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    EXPECT_EQ(m.debug(second, 2), aErrNone) << "the echo of this request";
    EXPECT_EQ(m.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 2) << "the count the module gave this query";
    EXPECT_EQ(echoes->load(), 2);
    EXPECT_EQ(counts->load(), 2);
}

TEST_F(SerialLinkTest, SendPacketReportsTheQueueing)
{
    Link link("l");
    ASSERT_EQ(link.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(link.setLinkSpecifier(bench.linkSpecifier()), aErrNone);
    ASSERT_EQ(link.connect(), aErrNone);
    EXPECT_EQ(link.sendPacket(2, 23, 0, nullptr), aErrNone);
    uei u;
    memset(&u, 0, sizeof(u));
    u.module = 2;
    u.command = 3;
    u.option = 0x49;
    u.specifier = 0x20;
    u.type = 3; // no such value type
    EXPECT_EQ(link.sendUEI(u), aErrParam);
    u.type = kUEITypeBytes;
    u.count = 10;
    u.value.bytes = nullptr;
    EXPECT_EQ(link.sendUEI(u), aErrParam);
}

class AutoNetworkTest : public ::testing::Test {
protected:
    qctest::SerialModules bench{{ident(6, 0x0600)}};
};

TEST_F(AutoNetworkTest, AddressAdoptedOnlyWithAutoNetworking)
{
    ASSERT_TRUE(bench.pty.ok());
    Module on(2, (unsigned char)0);
    ASSERT_EQ(on.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(on.connectFromSpec(bench.linkSpecifier()), aErrNone);
    EXPECT_EQ(on.getModuleAddress(), 6);
    SystemClass sys;
    sys.init(&on, 0);
    unsigned int serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0600u);
    on.disconnect();

    Module off(2, false, 0);
    ASSERT_EQ(off.setConfig(qctest::plainConfig()), aErrNone);
    ASSERT_EQ(off.connectFromSpec(bench.linkSpecifier()), aErrNone);
    EXPECT_EQ(off.getModuleAddress(), 2);
    EXPECT_EQ(off.connectFromSpec(bench.linkSpecifier()), aErrBusy);
}

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.pty.ok());
        ASSERT_EQ(router.setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(router.connectFromSpec(bench.linkSpecifier()), aErrNone);
    }
    qctest::SerialModules bench{{ident(2, 0x0200), ident(4, 0x0400), ident(6, 0x0600)}};
    Module router{2, (unsigned char)0};
};

TEST_F(RouterTest, ModulesBehindTheRouterShareItsLink)
{
    Module sub(4, false, 0);
    ASSERT_EQ(sub.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(sub.getLink()->getLinkId(), router.getLink()->getLinkId());
    EXPECT_EQ(sub.getModuleAddress(), 4);
    EXPECT_EQ(sub.connectThroughLinkModule(&router), aErrNone) << "already connected";

    SystemClass s2, s4;
    s2.init(&router, 0);
    s4.init(&sub, 0);
    unsigned int serial = 0;
    EXPECT_EQ(s4.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0400u);
    EXPECT_EQ(s2.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0200u);

    // Replies to two modules are taken by their own waits, whatever order they come in.
    Link* link = router.getLink();
    for (u8 address : {2, 4, 6}) {
        uei u;
        memset(&u, 0, sizeof(u));
        u.module = address;
        u.command = 3;
        u.option = 9 | kUEIOptionGet;
        u.specifier = kUEISpecifierHost;
        ASSERT_EQ(link->sendUEI(u), aErrNone);
    }
    for (u8 address : {6, 2, 4}) {
        uei r;
        memset(&r, 0, sizeof(r));
        r.module = address;
        r.command = 3;
        r.option = 9;
        r.specifier = 0;
        ASSERT_EQ(link->receiveUEI(address, 3, 9, 0, &r), aErrNone);
        EXPECT_EQ(r.type, kUEITypeInt);
        EXPECT_EQ(r.value.intVal, (u32)address << 8) << int(address);
    }

    EXPECT_EQ(sub.disconnect(), aErrNone);
    EXPECT_TRUE(router.isConnected()) << "the router keeps its use";
    EXPECT_EQ(s2.getSerialNumber(&serial), aErrNone);
}

TEST_F(RouterTest, ProbeTheRoutersBusAndRouteToHost)
{
    I2CClass bus;
    bus.init(&router, 0);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    const unsigned char zero[2] = {0, 0};
    EXPECT_EQ(bus.write(4, 2, zero), aErrNone) << "module 4 answers";
    EXPECT_EQ(bus.write(8, 2, zero), module_emu::kEmuErrNotFound) << "nobody at 8";
    SystemClass sys;
    sys.init(&router, 0);
    EXPECT_EQ(sys.routeToMe(1), aErrNone);
    EXPECT_EQ(bench.module(2).routeToMe(), 1);
    unsigned char routerOf4 = 0xFF;
    Module sub(4, false, 0);
    ASSERT_EQ(sub.connectThroughLinkModule(&router), aErrNone);
    SystemClass s4;
    s4.init(&sub, 0);
    EXPECT_EQ(s4.getRouter(&routerOf4), aErrNone);
    EXPECT_EQ(routerOf4, 0);
}

class StreamTest : public SerialLinkTest {
protected:
    void SetUp() override
    {
        SerialLinkTest::SetUp();
        for (Link* l : {&a, &b}) {
            ASSERT_EQ(l->setConfig(qctest::plainConfig()), aErrNone);
            ASSERT_EQ(l->setLinkSpecifier(bench.linkSpecifier()), aErrNone);
            ASSERT_EQ(l->connect(), aErrNone);
        }
    }
    bool sendSample(uint8_t option, uint32_t value)
    {
        return bench.host->send(
            module_emu::EntityModule::streamSample(2, 3, option, 0, 1, value, 7));
    }
    Link a{"a"}, b{"b"};
};

TEST_F(StreamTest, CallbackRunsOnTheWorkerAndValueIsCached)
{
    std::atomic<int> calls{0};
    std::atomic<std::thread::id> where{};
    auto callback = [&](const aPacket* p, void* ref) -> aErr {
        EXPECT_EQ(ref, &calls);
        EXPECT_EQ(p->data[0], 3);
        where = std::this_thread::get_id();
        calls++;
        return aErrNone;
    };
    ASSERT_EQ(a.registerStreamCallback(2, 3, 0xFF, 0, true, callback, &calls), aErrNone);
    std::vector<Bytes> sent = bench.sentTo(2);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), (Bytes{93, 0x81, 0x20, 2, 3, 0xFF, 0})) << "key bytes as the value";

    ASSERT_TRUE(sendSample(5, 0x42));
    for (int k = 0; k < 200 && calls == 0; k++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(calls, 1);
    EXPECT_NE(where.load(), std::this_thread::get_id());
    u32 v = 0;
    EXPECT_EQ(a.getStreamValue(2, 3, 5, 0, 0, &v), aErrNone);
    EXPECT_EQ(v, 0x42u);
    EXPECT_EQ(a.getStreamValue(2, 3, 5, 0, 0, &v), aErrStreamStale);
    EXPECT_EQ(a.getStreamValue(2, 3, 6, 0, 0, &v), aErrNotFound);

    ASSERT_EQ(a.registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr), aErrNone);
    EXPECT_TRUE(a.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    EXPECT_EQ(a.registerStreamCallback(3, 3, 1, 0, true, nullptr, nullptr), aErrParam);
}

TEST_F(StreamTest, SubindexSamplesAndBadLengths)
{
    std::atomic<int> calls{0};
    auto callback = [&](const aPacket*, void*) -> aErr {
        calls++;
        return aErrNone;
    };
    ASSERT_EQ(a.registerStreamCallback(2, 3, 0xFF, 0, true, callback, nullptr), aErrNone);
    // Kind 5 carries a subindex; a kind-2 sample one byte short is consumed without a value.
    ASSERT_TRUE(bench.host->send(module_emu::EntityModule::streamSample(2, 3, 5, 0, 5, 0x21, 1, 7)));
    ASSERT_TRUE(bench.host->send(module_emu::EntityModule::streamSample(2, 3, 5, 0, 5, 0x22, 1, 3)));
    module_emu::Packet shortSample = module_emu::EntityModule::streamSample(2, 3, 6, 0, 2, 0x1234, 1);
    shortSample.data.erase(shortSample.data.end() - 2);
    ASSERT_TRUE(bench.host->send(shortSample));
    for (int k = 0; k < 200 && calls < 3; k++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(calls, 3) << "every stream packet reaches the matching callbacks";

    std::vector<u64> seven = a.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 7, true);
    ASSERT_EQ(seven.size(), 1u);
    EXPECT_EQ(seven[0], Link::createStreamKey(2, 3, 5, 0, 7));
    u32 v = 0;
    EXPECT_EQ(a.getStreamValue(2, 3, 5, 0, 3, &v), aErrNone);
    EXPECT_EQ(v, 0x22u);
    EXPECT_EQ(a.getStreamValue(2, 3, 6, 0, 0, &v), aErrNotFound) << "no value from a bad length";
    std::map<u64, u32> status;
    EXPECT_EQ(a.getStreamStatus(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, &status), aErrNone);
    EXPECT_EQ(status.size(), 2u) << "the registration itself is never listed";
    EXPECT_EQ(a.getStreamStatus(2, 3, 5, 0, 0xFF, nullptr), aErrParam);
}

TEST(StreamRing, HoldsOneLessThanItsSlots)
{
    Velmoran::LocklessQueue_SPSC<int> ring(500);
    int pushed = 0;
    while (pushed < 600 && ring.push(pushed))
        pushed++;
    EXPECT_EQ(pushed, 499);
    int out = -1;
    for (int k = 0; k < 499; k++) {
        ASSERT_TRUE(ring.pop(&out));
        ASSERT_EQ(out, k) << "first in, first out";
    }
    EXPECT_FALSE(ring.pop(&out));
    EXPECT_TRUE(ring.push(1)) << "room again after the pops";
}

TEST_F(StreamTest, RefusedEnableLeavesNoEntries)
{
    bench.module(2).setStreamRefusal(13);
    EXPECT_EQ(a.enableStream(2, 3, 5, 1, true), 13);
    EXPECT_TRUE(a.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    std::vector<Bytes> sent = bench.sentTo(2);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), (Bytes{93, 0x81, 0x20, 2, 3, 5, 1}));
}

TEST_F(StreamTest, FilterLeavesTheSharedLinkWithItsLink)
{
    // a's stream filter sits on the engine link b shares. Once a lets go (disconnect, or
    // destruction), stream packets reach b's waits again and nothing calls into a.
    for (bool destroy : {false, true}) {
        std::unique_ptr<Link> owner(new Link("owner"));
        ASSERT_EQ(owner->setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(owner->setLinkSpecifier(bench.linkSpecifier()), aErrNone);
        ASSERT_EQ(owner->connect(), aErrNone);
        ASSERT_EQ(owner->enableStream(2, 3, 0xFF, 0, true), aErrNone);
        if (destroy)
            owner.reset();
        else
            owner->disconnect();
        ASSERT_TRUE(sendSample(5, 0x99));
        u8 match[1] = {3};
        u8 length = 1;
        u8 reply[28];
        EXPECT_EQ(b.receivePacket(2, match, &length, reply), aErrNone) << "destroy " << destroy;
        EXPECT_EQ(length, 14);
    }
}

using qctest::threadCount;

// A callback may end its own streaming: the worker it runs on cannot join itself, so it ends
// by itself once the callback returns, and the Link is usable again (or gone) afterwards.
TEST_F(StreamTest, CallbackThatEndsItsOwnStreamingEndsCleanly)
{
    enum Action { kTurnOff, kDisconnect, kDestroy };
    struct Row {
        const char* what;
        Action action;
    } rows[] = {
        {"turns its stream off", kTurnOff},
        {"disconnects its Link", kDisconnect},
        {"destroys its Link", kDestroy},
    };
    const int before = threadCount();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Link* link = new Link("self");
        ASSERT_EQ(link->setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(link->setLinkSpecifier(bench.linkSpecifier()), aErrNone);
        ASSERT_EQ(link->connect(), aErrNone);
        std::atomic<int> calls{0};
        std::atomic<bool> done{false};
        std::atomic<aErr> offResult{aErrUnknown};
        auto oneShot = [&, link](const aPacket*, void*) -> aErr {
            if (calls++ > 0)
                return aErrNone;
            if (row.action == kTurnOff)
                offResult = link->registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr);
            else if (row.action == kDisconnect)
                link->disconnect();
            else
                delete link;
            done = true;
            return aErrNone;
        };
        ASSERT_EQ(link->registerStreamCallback(2, 3, 0xFF, 0, true, oneShot, nullptr), aErrNone);
        ASSERT_TRUE(sendSample(5, 0x11));
        for (int k = 0; k < 400 && !done; k++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(done);
        EXPECT_EQ(calls, 1);

        if (row.action == kDestroy) {
            link = new Link("again");
            ASSERT_EQ(link->setConfig(qctest::plainConfig()), aErrNone);
            ASSERT_EQ(link->setLinkSpecifier(bench.linkSpecifier()), aErrNone);
        } else if (row.action == kTurnOff) {
            EXPECT_EQ(offResult.load(), aErrNone);
            EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
            EXPECT_TRUE(link->isConnected());
        } else {
            EXPECT_FALSE(link->isConnected());
        }
        if (!link->isConnected()) {
            ASSERT_EQ(link->connect(), aErrNone);
        }

        // Streaming starts again on a new worker.
        std::atomic<int> later{0};
        auto count = [&](const aPacket*, void*) -> aErr {
            later++;
            return aErrNone;
        };
        ASSERT_EQ(link->registerStreamCallback(2, 3, 0xFF, 0, true, count, nullptr), aErrNone);
        ASSERT_TRUE(sendSample(6, 0x22));
        for (int k = 0; k < 400 && later == 0; k++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(later, 1);
        delete link; // from this thread: joins whatever worker is left
        int after = threadCount();
        for (int k = 0; k < 200 && after != before; k++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            after = threadCount();
        }
        EXPECT_EQ(after, before) << "every worker has ended";
    }
}

namespace {

// Runs body in a child process and waits for it at most limitMs, so that stream workers that
// wait for each other fail the case instead of hanging the program: the child is killed. The
// child makes its own emulated module and Link (the threads of the parent's stay behind), its
// failures print as they happen and its exit status says whether there were any.
void runInChild(const std::function<void()>& body, int limitMs)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    ASSERT_GE(child, 0) << "fork: " << strerror(errno);
    if (child == 0) {
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && qctest::msSince(start) < limitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the child did not end within " << limitMs << " ms: its workers wait for ever";
    }
    ASSERT_EQ(done, child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child failed (status " << status << ")";
}

// Callbacks of one Link inside their body at once, and the most there ever were.
struct InFlight {
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    struct Scope {
        explicit Scope(InFlight& in) : f(in)
        {
            int n = ++f.now;
            int m = f.most.load();
            while (n > m && !f.most.compare_exchange_weak(m, n)) {
            }
        }
        ~Scope() { f.now--; }
        InFlight& f;
    };
};

bool sendStreamSample(qctest::SerialModules& bench, uint8_t command, uint8_t option, uint32_t value)
{
    return bench.host->send(
        module_emu::EntityModule::streamSample(2, command, option, 0, 1, value, 7));
}

bool waitUntil(const std::function<bool()>& done, int ms)
{
    auto start = std::chrono::steady_clock::now();
    while (!done() && qctest::msSince(start) < ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

// Destroys the Link from this thread, within 2 s, and waits for its threads to be gone.
void tearDownWithin2s(std::unique_ptr<Link>& link, int threadsBefore)
{
    auto start = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(qctest::msSince(start), 2000) << "the teardown joins the workers at once";
    EXPECT_TRUE(waitUntil([&] { return threadCount() == threadsBefore; }, 2000))
        << "every worker and engine thread has ended: " << threadCount() << " threads, "
        << threadsBefore << " before the Link";
}

bool connectTo(Link& link, qctest::SerialModules& bench)
{
    return link.setConfig(qctest::plainConfig()) == aErrNone &&
           link.setLinkSpecifier(bench.linkSpecifier()) == aErrNone && link.connect() == aErrNone;
}

}  // namespace

// Worker W's callback turns its stream off and on (W retires, W2 starts), then waits a while
// for W2's callback, which ends its stream, and then registers another stream. Had W2 run its
// callback beside W's and waited for W to end, and W then for W2, both would wait for ever.
TEST(StreamWorkers, RestartFromACallbackNeverWaitsForAnotherWorker)
{
    runInChild(
        [] {
            qctest::SerialModules bench;
            ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
            const int before = threadCount();
            auto link = std::make_unique<Link>("w");
            ASSERT_TRUE(connectTo(*link, bench));
            Link* l = link.get();
            InFlight inFlight;
            std::atomic<int> wCalls{0}, w2Calls{0}, laterCalls{0};
            std::atomic<bool> w2Ended{false}, wDone{false};
            std::atomic<aErr> off{aErrUnknown}, on{aErrUnknown}, another{aErrUnknown},
                w2Off{aErrUnknown};
            auto later = [&](const aPacket*, void*) -> aErr {
                InFlight::Scope in(inFlight);
                laterCalls++;
                return aErrNone;
            };
            auto onW2 = [&, l](const aPacket*, void*) -> aErr {
                InFlight::Scope in(inFlight);
                if (w2Calls++ == 0) {
                    w2Off = l->registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr);
                    w2Ended = true;
                }
                return aErrNone;
            };
            auto onW = [&, l](const aPacket*, void*) -> aErr {
                InFlight::Scope in(inFlight);
                if (wCalls++ > 0)
                    return aErrNone;
                off = l->registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr);
                on = l->registerStreamCallback(2, 3, 0xFF, 0, true, onW2, nullptr);
                sendStreamSample(bench, 3, 5, 0x12);
                // W2's callback must not start while this one runs; before, it did, ended
                // its stream and waited here for W.
                waitUntil([&] { return w2Ended.load(); }, 500);
                another = l->registerStreamCallback(2, 6, 1, 0, true, later, nullptr);
                wDone = true;
                return aErrNone;
            };
            ASSERT_EQ(link->registerStreamCallback(2, 3, 0xFF, 0, true, onW, nullptr), aErrNone);
            ASSERT_TRUE(sendStreamSample(bench, 3, 5, 0x11));
            if (!waitUntil([&] { return wDone && w2Ended; }, 2000)) {
                ADD_FAILURE() << "the sequence did not end within 2 s: W " << wDone << ", W2 "
                              << w2Ended << ", most callbacks at once " << inFlight.most;
                link.release();  // its workers are stuck: destroying it would wait for them
                return;
            }
            EXPECT_EQ(off.load(), aErrNone);
            EXPECT_EQ(on.load(), aErrNone);
            EXPECT_EQ(another.load(), aErrNone);
            EXPECT_EQ(w2Off.load(), aErrNone);
            EXPECT_EQ(inFlight.most, 1) << "W2's callback ran while W's did";

            // The stream W registered still reaches its callback.
            ASSERT_TRUE(sendStreamSample(bench, 6, 1, 0x13));
            EXPECT_TRUE(waitUntil([&] { return laterCalls > 0; }, 2000));
            EXPECT_EQ(inFlight.most, 1);
            tearDownWithin2s(link, before);
        },
        30000);
}

// Streams turned off and on from callbacks (a callback that restarts its own stream, one that
// ends it) and from the main thread (one stream, then every stream of the module), while
// samples keep coming: workers come and go, and never are two callbacks of the Link running.
TEST(StreamWorkers, CallbacksOfOneLinkNeverOverlap)
{
    runInChild(
        [] {
            qctest::SerialModules bench;
            ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
            const int before = threadCount();
            auto link = std::make_unique<Link>("toggles");
            ASSERT_TRUE(connectTo(*link, bench));
            Link* l = link.get();
            InFlight inFlight;
            std::atomic<int> aCalls{0}, bCalls{0}, restarts{0}, ends{0};
            std::atomic<bool> stopping{false};
            // Threads that ran a callback (an ended thread's id may come again, so each
            // counts itself once).
            static std::atomic<int> threads{0};
            auto enter = [] {
                static thread_local bool counted = false;
                if (!counted)
                    threads++;
                counted = true;
            };
            // A callback that stays a while, so that another one beside it would be seen.
            auto stay = [] { std::this_thread::sleep_for(std::chrono::microseconds(500)); };
            Link::streamCallback onA;
            onA = [&, l](const aPacket*, void*) -> aErr {
                InFlight::Scope in(inFlight);
                enter();
                stay();
                int n = aCalls++;
                if (stopping)
                    return aErrNone;
                if (n % 4 == 1) {
                    l->registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr);
                    l->registerStreamCallback(2, 3, 0xFF, 0, true, onA, nullptr);
                    restarts++;
                    // Samples keep coming: a new worker would take the next one now.
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                } else if (n % 4 == 3) {
                    l->registerStreamCallback(2, 3, 0xFF, 0, false, nullptr, nullptr);
                    ends++;
                }
                return aErrNone;
            };
            auto onB = [&](const aPacket*, void*) -> aErr {
                InFlight::Scope in(inFlight);
                enter();
                stay();
                bCalls++;
                return aErrNone;
            };
            std::atomic<bool> sending{true};
            std::thread samples([&] {
                for (uint32_t v = 0; sending; v++) {
                    sendStreamSample(bench, 3, 5, v);
                    sendStreamSample(bench, 6, 1, v);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            auto start = std::chrono::steady_clock::now();
            int rounds = 0;
            // Results are not checked: two threads asking the module at once may take each
            // other's reply and time out; the toggles are what counts here. At least 2 s,
            // and on a slow machine until enough toggles were made (10 s at most).
            auto enough = [&] {
                return restarts >= 20 && ends >= 20 && bCalls >= 20 && threads >= 20;
            };
            for (; qctest::msSince(start) < 10000 && (qctest::msSince(start) < 2000 || !enough());
                 rounds++) {
                l->registerStreamCallback(2, 3, 0xFF, 0, true, onA, nullptr);
                l->registerStreamCallback(2, 6, 1, 0, true, onB, nullptr);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (rounds % 2)
                    l->registerStreamCallback(2, 6, 1, 0, false, nullptr, nullptr);
                else
                    l->registerStreamCallback(2, 0xFF, 0xFF, 0xFF, false, nullptr, nullptr);
            }
            stopping = true;
            l->registerStreamCallback(2, 0xFF, 0xFF, 0xFF, false, nullptr, nullptr);
            sending = false;
            samples.join();

            EXPECT_EQ(inFlight.most, 1) << "two callbacks of the Link ran at once";
            EXPECT_TRUE(enough()) << "in " << rounds << " rounds: " << restarts << " restarts, "
                                  << ends << " ends, " << bCalls << " calls of the other stream, "
                                  << threads << " workers";
            tearDownWithin2s(link, before);
        },
        60000);
}

// The module's answers to the stream-control requests: a state, an error with its code, and
// errors that carry no code, which are never taken for success.
TEST_F(StreamTest, StreamControlReplies)
{
    u8 state = 9;
    EXPECT_EQ(a.isLinkStreaming(2, &state), aErrNone);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(bench.sentTo(2).back(), (Bytes{93, 0x41, 0x20}));
    ASSERT_EQ(a.enableStream(2, 3, 5, 1, true), aErrNone);
    EXPECT_EQ(a.isLinkStreaming(2, &state), aErrNone);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(a.enableStream(2, 3, 5, 1, false), aErrNone);

    struct Row {
        const char* what;
        Bytes tail;  // reply bytes after [93][option]
        aErr result;
    } rows[] = {
        {"error with its code", {0x80, 13}, (aErr)13},
        {"error whose code is 0", {0x80, 0}, aErrUnknown},
        {"error without a code", {0x80}, aErrUnknown},
        {"no value", {0x00}, aErrPacket},
    };
    for (const Row& row : rows) {
        // The handler runs on the emulator's thread and outlives the row: it keeps a copy.
        const Bytes tail = row.tail;
        bench.module(2).setCommandHandler(93, [tail](const module_emu::Packet& request) {
            module_emu::Packet r;
            r.address = request.address;
            // A GET is answered with the plain option, a SET with 0xC0 or-ed in.
            u8 option = (u8)(request.data[1] & 0x80 ? request.data[1] | 0xC0 : request.data[1] & 0x3F);
            r.data = {93, option};
            r.data.insert(r.data.end(), tail.begin(), tail.end());
            return std::vector<module_emu::Packet>{r};
        });
        state = 9;
        EXPECT_EQ(a.isLinkStreaming(2, &state), row.result) << row.what;
        EXPECT_EQ(state, 9) << row.what << ": state untouched";
        if (row.result != aErrPacket) {
            EXPECT_EQ(a.enableStream(2, 3, 5, 1, true), row.result) << row.what;
            EXPECT_TRUE(a.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty())
                << row.what << ": a refused enable leaves no entry";
        }
    }
}

// A stream-control reply that came after its request gave up must not answer the next one:
// a refusal then would undo an enable the module accepted, a stale state would be reported.
TEST_F(StreamTest, LateStreamControlReplyDoesNotAnswerTheNextRequest)
{
    // The first enable is refused 1.2 s late (code 13), the first state query says 1 as late;
    // later requests are answered at once: enabled, state 0. The handler runs on the
    // emulator's thread and may outlive this body: it shares the counts.
    auto enables = std::make_shared<std::atomic<int>>(0);
    auto queries = std::make_shared<std::atomic<int>>(0);
    bench.module(2).setCommandHandler(93, [enables, queries](const module_emu::Packet& request) {
        module_emu::Packet r;
        r.address = request.address;
        if (request.data[1] == 0x41) {
            bool late = (*queries)++ == 0;
            r.delayMs = late ? 1200 : 0;
            r.data = {93, 1, 0, (u8)(late ? 1 : 0)};
        } else {
            bool late = (*enables)++ == 0;
            r.delayMs = late ? 1200 : 0;
            r.data = late ? Bytes{93, 0xC1, 0x80, 13} : Bytes{93, 0xC1, 0};
        }
        return std::vector<module_emu::Packet>{r};
    });
    u8 state = 9;
    EXPECT_EQ(a.enableStream(2, 3, 5, 1, true), aErrTimeout);
    EXPECT_EQ(a.isLinkStreaming(2, &state), aErrTimeout);
    // The query gave up at about 2.0 s, its late reply comes at 2.2 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    EXPECT_EQ(a.enableStream(2, 3, 5, 1, true), aErrNone) << "the module accepted this enable";
    EXPECT_EQ(a.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).size(), 1u);
    EXPECT_EQ(a.isLinkStreaming(2, &state), aErrNone);
    EXPECT_EQ(state, 0) << "the state the module gave this query";
    EXPECT_EQ(enables->load(), 2);
    EXPECT_EQ(queries->load(), 2);
}
