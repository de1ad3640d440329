// A Module found by serial number over TCP/IP: the network search inside a private network
// namespace finds the emulated module, the link goes to the address and port of its reply,
// and modules behind it share that link.
#include <gtest/gtest.h>

#include "DiscoveryFixture.h"
#include "TcpModules.h"
#include "EmulatedModules.h"
#include "Module.h"
#include "SystemClass.h"
#include "module_emu/TcpTransport.h"

using namespace Velmoran::Quillcore;
using namespace qctest;
using module_emu::ModuleIdentity;

namespace {

} // namespace

TEST(ModuleTcp, ConnectBySerialThroughDiscovery)
{
    QC_REQUIRE_PRIVATE_NETWORK(NetNamespaceOptions());
    TcpModules a({ident(2, 0xAB000001), ident(4, 0xAB000004)}, "127.0.0.10", 17);
    TcpModules b({ident(6, 0xAB000002)}, "127.0.0.11", 18);
    ASSERT_TRUE(a.tcp.ok() && b.tcp.ok());
    ASSERT_TRUE(a.responder->start()) << a.responder->error();
    ASSERT_TRUE(b.responder->start()) << b.responder->error();

    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(plainConfig()), aErrNone);
    ASSERT_EQ(m.connect(TCPIP, 0xAB000002), aErrNone);
    EXPECT_EQ(m.getModuleAddress(), 6) << "the address the device reports";
    linkSpec linkSpecifier;
    ASSERT_EQ(m.getLinkSpecifier(&linkSpecifier), aErrNone);
    EXPECT_EQ(linkSpecifier.type, (u32)TCPIP);
    EXPECT_EQ(linkSpecifier.t.ip.ipAddress, ip("127.0.0.11"));
    EXPECT_EQ(linkSpecifier.t.ip.ipPort, b.tcp.port());
    SystemClass sys;
    sys.init(&m, 0);
    unsigned int serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xAB000002u);
    EXPECT_EQ(a.tcp.connections(), 0) << "only the module asked for is connected";

    // Disconnect and reconnect: a fresh connection to the same device.
    EXPECT_EQ(m.disconnect(), aErrNone);
    EXPECT_FALSE(m.isConnected());
    ASSERT_EQ(m.reconnect(), aErrNone);
    EXPECT_TRUE(b.tcp.waitForConnections(2, 1000));

    // By model, without a serial number.
    Module byModel(2, (unsigned char)17);
    ASSERT_EQ(byModel.setConfig(plainConfig()), aErrNone);
    ASSERT_EQ(byModel.discoverAndConnect(TCPIP, 0), aErrNone);
    ASSERT_EQ(byModel.getLinkSpecifier(&linkSpecifier), aErrNone);
    EXPECT_EQ(linkSpecifier.serialNumber, 0xAB000001u);

    // A module behind that router: same link, its own address.
    Module sub(4, false, 0);
    ASSERT_EQ(sub.connectThroughLinkModule(&byModel), aErrNone);
    EXPECT_EQ(sub.getLink()->getLinkId(), byModel.getLink()->getLinkId());
    SystemClass s4;
    s4.init(&sub, 0);
    EXPECT_EQ(s4.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xAB000004u);
    sub.disconnect();
    EXPECT_TRUE(byModel.isConnected());
    EXPECT_EQ(a.tcp.connections(), 1) << "the sub-module opened no connection of its own";
}
