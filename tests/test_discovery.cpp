// Link specifiers and the network search, against emulated modules answering the multicast
// request inside a private network namespace.
#include <gtest/gtest.h>

#include "DiscoveryFixture.h"
#include "unix_discovery.h"

using namespace qctest;

TEST(LinkSpec, CreateCopyDestroy)
{
    linkSpec* linkSpecifier = aLinkSpec_Create(SERIAL);
    ASSERT_NE(linkSpecifier, nullptr);
    const u8* bytes = reinterpret_cast<const u8*>(linkSpecifier);
    EXPECT_EQ(linkSpecifier->type, (u32)SERIAL);
    for (size_t i = 4; i < sizeof(linkSpec); i++)
        ASSERT_EQ(bytes[i], 0) << "byte " << i << " of a new linkSpecifier";

    // A copy carries every byte, the end of the port name included.
    linkSpecifier->serialNumber = 0x12345678;
    linkSpecifier->t.serial.baudRate = 115200;
    memset(linkSpecifier->t.serial.portName, 'x', sizeof(linkSpecifier->t.serial.portName) - 1);
    linkSpec* copy = aLinkSpec_Copy(linkSpecifier);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, linkSpecifier, aLINKSPEC_SIZE), 0);
    EXPECT_EQ(bytes[28], 'x');

    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
    aLinkSpec_Destroy(&linkSpecifier);
}

TEST(LinkSpec, WireOffsets)
{
    // The record travels byte for byte in host order; check where each field lands.
    linkSpec linkSpecifier{};
    linkSpecifier.type = TCPIP;
    linkSpecifier.serialNumber = 0x01020304;
    linkSpecifier.module = 6;
    linkSpecifier.router = 8;
    linkSpecifier.routerSerialNumber = 0x0A0B0C0D;
    linkSpecifier.model = 0x11;
    linkSpecifier.t.ip.ipAddress = 0x7F000005;
    linkSpecifier.t.ip.ipPort = 9000;
    u32 words[8];
    memcpy(words, &linkSpecifier, sizeof(words));
    const u32 expected[8] = {2, 0x01020304, 6, 8, 0x0A0B0C0D, 0x11, 0x7F000005, 9000};
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(words[i], expected[i]) << "word at byte " << 4 * i;
    EXPECT_EQ(reinterpret_cast<u8*>(&linkSpecifier.t.usb.usbId) - reinterpret_cast<u8*>(&linkSpecifier), 24);
    EXPECT_EQ(reinterpret_cast<u8*>(&linkSpecifier.t.serial.baudRate) - reinterpret_cast<u8*>(&linkSpecifier), 24);
}

TEST(DiscoveryReply, ParseTable)
{
    const u8 full[16] = {0x99, 0x04, 0x28, 0x23, 0x78, 0x56, 0x34, 0x12,
                         0xEE, 0xEE, 0xEE, 0xEE, 0x13, 0xEE, 0xEE, 0xEE};
    struct Row {
        size_t length;
        bool accepted;
        u32 model;
    } rows[] = {
        {16, true, 0x13},
        {13, true, 0x13},
        {12, true, 255}, // the model byte is missing
        {8, true, 255},
        {7, false, 0},   // no whole serial number: not a module reply
        {0, false, 0},
    };
    for (const Row& row : rows) {
        linkSpec linkSpecifier;
        memset(&linkSpecifier, 0xA5, sizeof(linkSpecifier));
        bool ok = aDiscovery_ParseTCPIPReply(full, row.length, ip("127.0.0.9"), &linkSpecifier);
        ASSERT_EQ(ok, row.accepted) << "length " << row.length;
        if (!ok)
            continue;
        EXPECT_EQ(linkSpecifier.type, (u32)TCPIP);
        EXPECT_EQ(linkSpecifier.module, 4u);
        EXPECT_EQ(linkSpecifier.router, 4u);
        EXPECT_EQ(linkSpecifier.t.ip.ipPort, 0x2328u) << "port is little-endian";
        EXPECT_EQ(linkSpecifier.serialNumber, 0x12345678u) << "serial is little-endian";
        EXPECT_EQ(linkSpecifier.routerSerialNumber, 0x12345678u);
        EXPECT_EQ(linkSpecifier.model, row.model) << "length " << row.length;
        EXPECT_EQ(linkSpecifier.t.ip.ipAddress, ip("127.0.0.9"));
        const u8* bytes = reinterpret_cast<const u8*>(&linkSpecifier);
        for (size_t i = 32; i < sizeof(linkSpecifier); i++)
            ASSERT_EQ(bytes[i], 0) << "unused byte " << i;
    }
}

TEST(Discovery, TypesWithoutSearch)
{
    for (u32 type : {(u32)SERIAL, 0u, 5u, 0xFFFFFFFFu}) {
        int calls = 0;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, cbNeverCalled, &calls, ip("127.0.0.1")), 0);
        EXPECT_EQ(calls, 0) << "type " << type;
        EXPECT_EQ(aDiscovery_FindModule(type, 0x1234, ip("127.0.0.1")), nullptr);
    }
}

TEST(Discovery, ConvertIPv4Interface)
{
    char buffer[20];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ip("127.0.0.2"), buffer, 15), 0);
    EXPECT_EQ(buffer[0], '#') << "a short buffer is left untouched";
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ip("127.0.0.2"), buffer, 20), 9);
    EXPECT_STREQ(buffer, "127.0.0.2");
    for (size_t i = 9; i < sizeof(buffer); i++)
        ASSERT_EQ(buffer[i], 0) << "the whole buffer is cleared";
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ip("255.255.255.255"), buffer, 16), 15);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0, nullptr, 16), 0);
}

TEST(DiscoveryNet, IPv4InterfacesListed)
{
    qctest::NetNamespaceOptions options;
    options.veths = {{"qcv0", "10.77.0.1/24"}, {"qcv1", "10.77.1.1/24"}};
    QC_REQUIRE_PRIVATE_NETWORK(options);
    u32 list[8] = {};
    int n = aDiscovery_GetIPv4Interfaces(list, 8);
    std::vector<u32> got(list, list + n);
    EXPECT_NE(std::find(got.begin(), got.end(), ip("10.77.0.1")), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), ip("10.77.1.1")), got.end());
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 1), 1) << "the maximum is kept";
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 8), 0);
}

TEST(DiscoveryNet, OnlyLoopbackSendsNothing)
{
    qctest::NetNamespaceOptions options;
    options.loopbackAddresses.clear();
    QC_REQUIRE_PRIVATE_NETWORK(options);
    DiscoveryIdentity id = identity(0x1111, 2, 9000, 5, "127.0.0.10");
    id.joinOn = "127.0.0.1";
    auto module = startResponder(id);
    Collected c;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, cbCollect, &c, ip("127.0.0.1")), 0);
    EXPECT_LT(msSince(t0), 500) << "no request sent: no 2 s wait";
    EXPECT_TRUE(c.specs.empty());
    EXPECT_TRUE(module->requests().empty());
}

TEST(DiscoveryNet, StopAtFirstEndsAtOnce)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    auto module = startResponder(identity(0xCAFE0001, 4, 9100, 19, "127.0.0.10"));
    Collected c;
    c.stopAfter = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, cbCollect, &c, ip("127.0.0.1")), 1);
    EXPECT_LT(msSince(t0), 1500);
    ASSERT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(c.specs[0].serialNumber, 0xCAFE0001u);

    // The request went out through 127.0.0.2 only, as one 16-byte datagram [1][0 x 15].
    auto requests = module->requests();
    ASSERT_EQ(requests.size(), 1u);
    std::vector<u8> expected(16, 0);
    expected[0] = 1;
    EXPECT_EQ(requests[0], expected);
}

TEST(DiscoveryNet, FindModuleBySerial)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    auto a = startResponder(identity(0xAAAA0001, 2, 9001, 17, "127.0.0.11"));
    auto b = startResponder(identity(0xBBBB0002, 6, 9002, 18, "127.0.0.12"));
    linkSpec* linkSpecifier = aDiscovery_FindModule(TCPIP, 0xBBBB0002, ip("127.0.0.1"));
    ASSERT_NE(linkSpecifier, nullptr);
    EXPECT_EQ(linkSpecifier->type, (u32)TCPIP);
    EXPECT_EQ(linkSpecifier->serialNumber, 0xBBBB0002u);
    EXPECT_EQ(linkSpecifier->module, 6u);
    EXPECT_EQ(linkSpecifier->t.ip.ipAddress, ip("127.0.0.12"));
    EXPECT_EQ(linkSpecifier->t.ip.ipPort, 9002u);
    EXPECT_EQ(linkSpecifier->model, 18u);
    aLinkSpec_Destroy(&linkSpecifier);

    linkSpecifier = aDiscovery_FindFirstModule(TCPIP, ip("127.0.0.1"));
    ASSERT_NE(linkSpecifier, nullptr);
    EXPECT_TRUE(linkSpecifier->serialNumber == 0xAAAA0001u || linkSpecifier->serialNumber == 0xBBBB0002u);
    aLinkSpec_Destroy(&linkSpecifier);
}

