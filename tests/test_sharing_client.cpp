// The link-sharing client stream against a plain ROUTER socket standing in for the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <czmq.h>
#include <dirent.h>
#include <vector>

#include "ThreadCount.h"
#include "NetNamespace.h"
#include "aPacket.h"
#include "test_sharing_tsan.h"
#include "aStream_ZeroMQClient.h"

namespace {

using qctest::threadCount;

// An actor thread still runs for a moment after it has sent its last signal: wait for the
// count to reach what is wanted (up to 2 s) and return what it is then.
int sThreadCountSettled(int wanted)
{
    int n = threadCount();
    for (int i = 0; i < 200 && n != wanted; i++) {
        zclock_sleep(10);
        n = threadCount();
    }
    return n;
}

// A ROUTER on loopback and a client stream connected to it. The server learns the client's
// identity from the first frame the client writes.
struct ClientFixture : testing::Test {
    zsock_t* router = nullptr;
    aStream* stream = nullptr;
    zframe_t* identity = nullptr;

    void SetUp() override
    {
        router = zsock_new(ZMQ_ROUTER);
        ASSERT_NE(router, nullptr);
        int port = zsock_bind(router, "tcp://127.0.0.1:*");
        ASSERT_GT(port, 0);
        ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), (u16)port, &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
    }

    void TearDown() override
    {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
        zframe_destroy(&identity);
        zsock_destroy(&router);
    }

    // Receives one client message within 2 s; returns its data frame's bytes.
    std::vector<u8> serverReceive()
    {
        zsock_set_rcvtimeo(router, 2000);
        zmsg_t* msg = zmsg_recv(router);
        if (!msg)
            return {};
        zframe_destroy(&identity);
        identity = zmsg_pop(msg);
        zframe_t* data = zmsg_pop(msg);
        std::vector<u8> bytes;
        if (data)
            bytes.assign(zframe_data(data), zframe_data(data) + zframe_size(data));
        EXPECT_EQ(zmsg_size(msg), 0u) << "one data frame per write";
        zframe_destroy(&data);
        zmsg_destroy(&msg);
        return bytes;
    }

    void serverSend(const std::vector<u8>& bytes)
    {
        ASSERT_NE(identity, nullptr);
        zmsg_t* msg = zmsg_new();
        zframe_t* to = zframe_dup(identity);
        zmsg_append(msg, &to);
        zmsg_addmem(msg, bytes.data(), bytes.size());
        ASSERT_EQ(zmsg_send(&msg, router), 0);
    }

    // Tells the server who we are with one packet write.
    void introduce()
    {
        const u8 hello[2] = {2, 0};
        ASSERT_EQ(aStream_Write(stream, hello, 2), aErrNone);
        ASSERT_EQ(serverReceive(), std::vector<u8>({2, 0}));
    }

    // Gets one byte, waiting through not-ready results for up to 3 s.
    aErr getByte(u8* byte)
    {
        aErr err = aErrNotReady;
        for (int i = 0; i < 3 && err == aErrNotReady; i++)
            err = stream->get(reinterpret_cast<char*>(byte), stream->ref);
        return err;
    }
};

} // namespace

TEST(SharingClient, NoOutPointer)
{
    EXPECT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), 1, nullptr), aErrParam);
}

TEST(SharingClient, NoServerIsAConnectionError)
{
    // A namespace of its own: nothing listens on any port there.
    qctest::NetNamespaceOptions options;
    options.loopbackAddresses.clear();
    QC_REQUIRE_PRIVATE_NETWORK(options);
    aStream* stream = reinterpret_cast<aStream*>(1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), 9850, &stream), aErrConnection);
    EXPECT_EQ(stream, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(ClientFixture, WriteIsOneFrameOfExactlyThoseBytes)
{
    const u8 packet[5] = {4, 3, 0x11, 0x22, 0x33};
    ASSERT_EQ(aStream_Write(stream, packet, sizeof(packet)), aErrNone);
    EXPECT_EQ(serverReceive(), std::vector<u8>(packet, packet + 5));
}

TEST_F(ClientFixture, SingleBytePutIsRefused)
{
    const u8 octet = 7;
    EXPECT_EQ(aStream_Write(stream, &octet, 1), aErrUnimplemented);
}

TEST_F(ClientFixture, GetWithNothingThereIsNotReadyAfterAboutOneSecond)
{
    char octet;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stream->get(&octet, stream->ref), aErrNotReady);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
}

TEST_F(ClientFixture, FramesComeOutByteByByteInOrder)
{
    introduce();
    serverSend({2, 4, 10, 11, 12, 13});
    serverSend({6, 0});
    const u8 expected[8] = {2, 4, 10, 11, 12, 13, 6, 0};
    for (int i = 0; i < 8; i++) {
        u8 octet = 0;
        ASSERT_EQ(getByte(&octet), aErrNone) << "byte " << i;
        EXPECT_EQ(octet, expected[i]) << "byte " << i;
    }
}

TEST_F(ClientFixture, EmptyFrameIsIndexRangeAndTheNextFrameFollows)
{
    introduce();
    serverSend({});
    serverSend({8, 0});
    u8 octet = 0;
    EXPECT_EQ(getByte(&octet), aErrIndexRange);
    ASSERT_EQ(getByte(&octet), aErrNone);
    EXPECT_EQ(octet, 8);
    ASSERT_EQ(getByte(&octet), aErrNone);
    EXPECT_EQ(octet, 0);
}

TEST_F(ClientFixture, BatchFrameAssemblesIntoPacketsBackToBack)
{
    introduce();
    // Three packet records in one frame, as a server's stream batch carries them.
    serverSend({2, 5, 1, 2, 3, 4, 5, 4, 0, 6, 2, 0xAA, 0xBB});
    struct Want {
        u8 address;
        std::vector<u8> data;
    };
    const Want want[] = {{2, {1, 2, 3, 4, 5}}, {4, {}}, {6, {0xAA, 0xBB}}};
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    for (const Want& w : want) {
        aPacket_Reset(packet);
        while (!aPacket_IsComplete(packet)) {
            u8 octet = 0;
            ASSERT_EQ(getByte(&octet), aErrNone);
            ASSERT_EQ(aPacket_AddByte(packet, octet), aErrNone);
        }
        EXPECT_EQ(packet->address, w.address);
        ASSERT_EQ(packet->length, w.data.size());
        EXPECT_EQ(std::vector<u8>(packet->data, packet->data + packet->length), w.data);
    }
    aPacket_Destroy(&packet);
}

TEST_F(ClientFixture, ManyFramesEachWayKeepTheirOrder)
{
    introduce();
    const int n = 300;
    for (int i = 0; i < n; i++) {
        const u8 packet[3] = {2, 1, (u8)i};
        ASSERT_EQ(aStream_Write(stream, packet, 3), aErrNone);
    }
    for (int i = 0; i < n; i++) {
        std::vector<u8> got = serverReceive();
        ASSERT_EQ(got.size(), 3u) << "frame " << i;
        EXPECT_EQ(got[2], (u8)i);
        serverSend({2, 1, (u8)i});
    }
    for (int i = 0; i < n; i++) {
        u8 bytes[3];
        for (u8& b : bytes)
            ASSERT_EQ(getByte(&b), aErrNone);
        EXPECT_EQ(bytes[2], (u8)i) << "frame " << i;
    }
}

TEST(SharingClient, DestroyEndsTheBrokerThread)
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    ASSERT_NE(router, nullptr);
    int port = zsock_bind(router, "tcp://127.0.0.1:*");
    ASSERT_GT(port, 0);
    // The first stream starts ZeroMQ's own threads, which stay for the process.
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), (u16)port, &stream), aErrNone);
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    zclock_sleep(100);
    int before = threadCount();
    ASSERT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), (u16)port, &stream), aErrNone);
    EXPECT_EQ(threadCount(), before + 1) << "one broker thread per stream";
    ASSERT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(sThreadCountSettled(before), before);
    zsock_destroy(&router);
}
