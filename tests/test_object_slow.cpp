// Connects that end on their time limits: a device that never reports its address, and a
// serial number the network search does not find.
#include <gtest/gtest.h>

#include <chrono>

#include "DiscoveryFixture.h"
#include "EmulatedModules.h"
#include "Module.h"

using namespace Velmoran::Quillcore;

TEST(ModuleSlow, DeviceThatNeverReportsItsAddress)
{
    qctest::SerialModules bench;
    ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
    bench.core.setAnswerSync(false);
    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(m.connectFromSpec(bench.linkSpecifier()), aErrNotReady);
    EXPECT_GE(qctest::msSince(t0), 3900) << "four address queries of 1000 ms";
    EXPECT_TRUE(m.isConnected()) << "the link stays up";
    EXPECT_EQ(bench.core.syncRequests(), 4);
}

TEST(ModuleSlow, SerialNumberNotOnTheNetwork)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    auto responder = qctest::startResponder(qctest::identity(0x1000, 2, 9100, 5, "127.0.0.20"));
    Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    EXPECT_EQ(m.connect(TCPIP, 0x2000), aErrNotFound);
    linkSpec linkSpecifier;
    EXPECT_EQ(m.getLinkSpecifier(&linkSpecifier), aErrNotFound) << "no specifier stored";
    // With the default configuration a failed USB search would fall back to a shared link.
    Module defaults(2, (unsigned char)0);
    EXPECT_EQ(defaults.connect(TCPIP, 0x2000), aErrNotFound) << "TCP/IP never falls back";
}
