// A fixture for the link-sharing tests: a link on a socket pair with a scripted device, and a
// sharing server on it started on demand. Each suite enters its own network namespace in
// SetUp (the server takes a discovery slot) and calls closeServedLink() in TearDown.
#ifndef QCTEST_SERVEDLINKFIXTURE_H
#define QCTEST_SERVEDLINKFIXTURE_H

#include <gtest/gtest.h>

#include <memory>

#include "ScriptedDevice.h"
#include "aLink.h"
#include "aServer_ZeroMQ.h"

namespace qctest {

struct ServedLinkFixture : ::testing::Test {
    aLinkId link = 0;
    aServer* server = nullptr;
    std::unique_ptr<ScriptedDevice> device;
    u16 port = 0;

    void openLink() { ASSERT_TRUE(openScriptedLink(device, link)); }

    void startServer(u32 networkInterface = 0, bool localOnly = true)
    {
        server = aServer_Create(link, networkInterface, localOnly);
        ASSERT_NE(server, nullptr);
        ASSERT_EQ(aServer_Start(server), aErrNone);
        ASSERT_EQ(aServer_GetPort(server, &port), aErrNone);
        ASSERT_NE(port, 0);
    }

    // Server, then link, then device; the server's destroy result (aErrNone without one).
    aErr closeServedLink()
    {
        aErr err = aErrNone;
        if (server)
            err = aServer_Destroy(&server);
        if (link)
            aLink_Destroy(&link);
        device.reset();
        return err;
    }
};

} // namespace qctest

#endif
