// Network searches that run to their 2 s end: every reply offered, nothing taken, the count.
#include <gtest/gtest.h>

#include "DiscoveryFixture.h"

using namespace qctest;

TEST(DiscoveryNetSlow, EveryReplyOfferedUntilQuiet)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    DiscoveryIdentity twice = identity(0x00000B0B, 8, 9200, 33, "127.0.0.21");
    twice.repliesPerRequest = 2;
    DiscoveryIdentity shortReply = identity(0x00000C0C, 10, 9300, 44, "127.0.0.22");
    shortReply.replyLength = 12;
    DiscoveryIdentity silent = identity(0x00000D0D, 12, 9400, 55, "127.0.0.23");
    silent.silent = true;
    auto m1 = startResponder(identity(0x00000A0A, 2, 9100, 22, "127.0.0.20"));
    auto m2 = startResponder(twice);
    auto m3 = startResponder(shortReply);
    auto m4 = startResponder(silent);

    Collected c;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, cbCollect, &c, ip("127.0.0.1")), 4);
    EXPECT_GE(msSince(t0), 1900) << "the search ends 2 s after the last reply";
    ASSERT_EQ(c.specs.size(), 4u);

    int ofA = 0, ofB = 0, ofC = 0;
    const linkSpec* b[2] = {nullptr, nullptr};
    for (const linkSpec& s : c.specs) {
        if (s.serialNumber == 0x0A0A) {
            ofA++;
            EXPECT_EQ(s.model, 22u);
            EXPECT_EQ(s.t.ip.ipAddress, ip("127.0.0.20"));
        } else if (s.serialNumber == 0x0B0B) {
            b[ofB++ & 1] = &s;
        } else if (s.serialNumber == 0x0C0C) {
            ofC++;
            EXPECT_EQ(s.model, 255u) << "a 12-byte reply has no model";
            EXPECT_EQ(s.t.ip.ipPort, 9300u);
        } else {
            ADD_FAILURE() << "unexpected serial " << std::hex << s.serialNumber;
        }
    }
    EXPECT_EQ(ofA, 1);
    EXPECT_EQ(ofC, 1);
    ASSERT_EQ(ofB, 2) << "duplicates are not filtered";
    EXPECT_EQ(memcmp(b[0], b[1], sizeof(linkSpec)), 0);
    EXPECT_EQ(m4->requests().size(), 1u);
}

TEST(DiscoveryNetSlow, NotTakenMeansNotFound)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    auto m = startResponder(identity(0x0000ABCD, 2, 9100, 22, "127.0.0.20"));
    Collected c;
    c.take = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, cbCollect, &c, ip("127.0.0.1")), 0);
    EXPECT_EQ(c.specs.size(), 1u);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0000ABCE, ip("127.0.0.1")), nullptr);
}

TEST(DiscoveryNetSlow, CountWrapsAt256)
{
    QC_REQUIRE_PRIVATE_NETWORK(qctest::NetNamespaceOptions());
    DiscoveryIdentity id = identity(0x00000100, 2, 9100, 22, "127.0.0.20");
    id.repliesPerRequest = 256;
    auto m = startResponder(id);
    Collected c;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, cbCollect, &c, ip("127.0.0.1")), 0);
    EXPECT_EQ(c.specs.size(), 256u);
}
