// Multicast sockets inside a private network namespace, and the beacon-interface guard.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <czmq.h>
#include <future>
#include <string>
#include <thread>

#include "NetNamespace.h"
#include "aMulticast.h"
#include "test_sharing_tsan.h"
#include "zBeaconInterface.h"

namespace {

u32 ip(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

const u32 kGroup = ip(DISCOVERY_MULTICAST_GROUP);

qctest::NetNamespaceOptions loopbackOnly()
{
    qctest::NetNamespaceOptions options;
    options.loopbackAddresses.clear();
    return options;
}

} // namespace

TEST(Multicast, HeldReceiverPortRefusesSecondReceiverButNotSender)
{
    QC_REQUIRE_PRIVATE_NETWORK(loopbackOnly());
    aMulticast* first = aMulticast_Create(0, kGroup, 9850, kMulticastReceiver);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(aMulticast_Create(0, kGroup, 9850, kMulticastReceiver), nullptr);
    EXPECT_EQ(aMulticast_Create(ip("127.0.0.1"), kGroup, 9850, kMulticastReceiver), nullptr);
    aMulticast* sender = aMulticast_Create(0, kGroup, 9850, kMulticastSender);
    EXPECT_NE(sender, nullptr) << "senders never bind";
    aMulticast_Destroy(&sender);

    // Once the holder is gone the port can be taken again.
    EXPECT_EQ(aMulticast_Destroy(&first), 0);
    EXPECT_EQ(first, nullptr);
    aMulticast* again = aMulticast_Create(0, kGroup, 9850, kMulticastReceiver);
    EXPECT_NE(again, nullptr);
    aMulticast_Destroy(&again);
}

TEST(Multicast, WrongRoleAndMissingObject)
{
    QC_REQUIRE_PRIVATE_NETWORK(loopbackOnly());
    aMulticast* receiver = aMulticast_Create(0, kGroup, 9851, kMulticastReceiver);
    aMulticast* sender = aMulticast_Create(0, kGroup, 9851, kMulticastSender);
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    char buffer[8] = "abc";
    EXPECT_EQ(aMulticast_Send(receiver, buffer, 3), -3);
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof(buffer)), -3);
    EXPECT_EQ(aMulticast_Send(nullptr, buffer, 3), -2);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, sizeof(buffer)), -2);
    aMulticast* none = nullptr;
    EXPECT_EQ(aMulticast_Destroy(&none), -2);
    EXPECT_EQ(aMulticast_Destroy(nullptr), -2);
    EXPECT_EQ(aMulticast_Create(0, kGroup, 9851, 7), nullptr) << "unknown mode";
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
}

TEST(Multicast, DatagramRoundTripOnLoopback)
{
    QC_REQUIRE_PRIVATE_NETWORK(loopbackOnly());
    // Interface 0 and 127.0.0.1 are the same set-up: every pairing delivers.
    const u32 interfaces[] = {0, ip("127.0.0.1")};
    u16 port = 9860;
    for (u32 receiveOn : interfaces) {
        for (u32 sendOn : interfaces) {
            SCOPED_TRACE(testing::Message() << "receiver " << receiveOn << " sender " << sendOn);
            aMulticast* receiver = aMulticast_Create(receiveOn, kGroup, port, kMulticastReceiver);
            aMulticast* sender = aMulticast_Create(sendOn, kGroup, port, kMulticastSender);
            ASSERT_NE(receiver, nullptr);
            ASSERT_NE(sender, nullptr);
            const u8 message[6] = {1, 2, 3, 4, 5, 6};
            EXPECT_EQ(aMulticast_Send(sender, message, sizeof(message)), 6);
            u8 got[16] = {};
            EXPECT_EQ(aMulticast_Receive(receiver, got, sizeof(got)), 6);
            EXPECT_EQ(memcmp(got, message, 6), 0);

            // A datagram longer than the buffer is cut to it; the rest is gone.
            EXPECT_EQ(aMulticast_Send(sender, message, sizeof(message)), 6);
            u8 small[4] = {};
            EXPECT_EQ(aMulticast_Receive(receiver, small, sizeof(small)), 4);
            EXPECT_EQ(memcmp(small, message, 4), 0);
            aMulticast_Destroy(&receiver);
            aMulticast_Destroy(&sender);
            port++;
        }
    }
}

TEST(Multicast, ReceiveTimesOutAfterAboutOneSecond)
{
    QC_REQUIRE_PRIVATE_NETWORK(loopbackOnly());
    aMulticast* receiver = aMulticast_Create(0, kGroup, 9870, kMulticastReceiver);
    ASSERT_NE(receiver, nullptr);
    char buffer[4];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof(buffer)), -1);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
    aMulticast_Destroy(&receiver);
}

// The guard's lock cannot be observed directly: another thread trying to take it tells.
static bool sLockTakenWithin(int ms)
{
    auto taker = std::async(std::launch::async, [] {
        bool ok = zBeaconInterface_setAndLock("*");
        if (ok)
            zBeaconInterface_unlock();
        return ok;
    });
    if (taker.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready)
        return false;
    return taker.get();
}

TEST(BeaconInterfaceGuard, InvalidTextLocksNothing)
{
    const char* invalid[] = {"lo", "eth0", "127.0.0", "1.2.3.4.5", "localhost", " *", nullptr};
    for (const char* text : invalid) {
        SCOPED_TRACE(text ? text : "(null)");
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(text));
        EXPECT_FALSE(zBeaconInterface_setAndLock(text));
        EXPECT_TRUE(sLockTakenWithin(2000)) << "a refused text must leave the lock free";
    }
}

TEST(BeaconInterfaceGuard, BackupPutsTheEarlierValueBack)
{
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.1.2.3"));
    zBeaconInterface_unlock();
    const char* valid[] = {"", "*", "192.168.7.9"};
    for (const char* text : valid) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(zBeaconInterface_backupSetAndLock(text));
        EXPECT_STREQ(zsys_interface(), text);
        EXPECT_EQ(zBeaconInterface_getBackup(), "10.1.2.3");
        zBeaconInterface_restoreAndUnlock();
        EXPECT_STREQ(zsys_interface(), "10.1.2.3");
        EXPECT_EQ(zBeaconInterface_get(), "10.1.2.3");
    }
}

TEST(BeaconInterfaceGuard, SecondThreadWaitsWhileBackupHeld)
{
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("127.0.0.1"));
    std::atomic<bool> entered{false};
    std::thread other([&] {
        if (zBeaconInterface_setAndLock("*")) {
            entered = true;
            zBeaconInterface_unlock();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load()) << "the lock was not held by the backup";
    zBeaconInterface_restoreAndUnlock();
    other.join();
    EXPECT_TRUE(entered.load());
}
