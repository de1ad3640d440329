// The reconnect after a LOAD without reply: how many attempts, and what counts as success.
// Slow: each case waits out the real reply and reconnect delays (seconds).
#include <gtest/gtest.h>

#include "UpdaterEntity.h"
#include "upgrade_support.h"

using namespace upgradetest;
using module_emu::UpgradeFaults;

TEST(UpgradeReconnect, ModuleGoneThenTheDefaultSerialIsTried)
{
    UpgradeModuleConfig cfg;
    cfg.ip = "127.0.0.41";
    cfg.dropDownMs = 20000;  // gone for longer than every attempt takes
    EntityRig t(cfg);
    auto& [rig, log, display, e] = t;
    ASSERT_TRUE(rig.connected);
    ASSERT_EQ(e.LoaderInit(), aErrNone);
    UpgradeFaults gone;
    gone.dropOnLoad = true;
    rig.device().setFaults(gone);
    EXPECT_EQ(e.LoaderStart(), aErrTimeout);
    for (int i = 1; i <= 5; i++) {
        char line[96];
        snprintf(line, sizeof line, "NETWORK: Attempting to reconnect. Attempt: %d of 5\n", i);
        EXPECT_EQ(log.count(line), 1u) << line;
        snprintf(line, sizeof line, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of 5\n",
                 i);
        EXPECT_EQ(log.count(line), 1u) << line;
    }
    EXPECT_EQ(log.count("NETWORK: Couldn't reconnect to device delaying: 500 ms\n"), 10u);
    EXPECT_EQ(log.count("NETWORK: Reconnected to device\n"), 0u);
    EXPECT_EQ(log.count("NETWORK: Invalid or reply when starting loader. [3, aErrNotFound]\n"), 1u)
        << log.text();
    EXPECT_FALSE(rig.module->isConnected()) << "a failed attempt leaves no link behind";
}

TEST(UpgradeReconnect, ConnectedWithoutAnAddressCountsAsReconnected)
{
    EntityRig t(configAt("127.0.0.42"));
    auto& [rig, log, display, e] = t;
    ASSERT_TRUE(rig.connected);
    ASSERT_EQ(e.LoaderInit(), aErrNone);
    UpgradeFaults silent;
    silent.withholdCommand = module_emu::kUpgradeLoad;
    rig.device().setFaults(silent);
    // The module is back on the link but never says its address.
    rig.emu->setAnswerAddress(false);
    int before = rig.emu->connections();
    EXPECT_EQ(e.LoaderStart(), aErrTimeout);
    EXPECT_EQ(log.count("NETWORK: Attempting to reconnect. Attempt: 1 of 5\n"), 1u);
    EXPECT_EQ(log.count("NETWORK: Attempting to reconnect. Attempt: 2 of 5\n"), 0u) << log.text();
    EXPECT_EQ(log.count("NETWORK: Reconnected to device\n"), 1u);
    EXPECT_EQ(rig.emu->connections(), before + 1);
    EXPECT_TRUE(rig.module->isConnected());
}
