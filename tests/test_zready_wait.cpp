// The sharing threads' wait for input on several ZeroMQ sockets: order, wake-ups, bursts, and
// input that a send on the same socket took in without a signal.
#include <gtest/gtest.h>

#include <czmq.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Timing.h"
#include "zReadyWait.h"

namespace {

using Clock = std::chrono::steady_clock;

using qctest::msSince;

// A bound DEALER the wait reads and a connected one that writes to it, in-process.
struct Pair {
    zsock_t* reader = nullptr;
    zsock_t* writer = nullptr;
    explicit Pair(const char* name)
    {
        static std::atomic<int> counter{0};
        std::string endpoint = std::string("inproc://zready-") + name + "-" + std::to_string(++counter);
        reader = zsock_new(ZMQ_DEALER);
        writer = zsock_new(ZMQ_DEALER);
        zsock_bind(reader, "%s", endpoint.c_str());
        zsock_connect(writer, "%s", endpoint.c_str());
    }
    ~Pair()
    {
        zsock_destroy(&writer);
        zsock_destroy(&reader);
    }
    void send(zsock_t* from, const char* text) { zstr_send(from, text); }
    // The text of the next message on `at`, "" when none within 1 s.
    std::string take(zsock_t* at)
    {
        zsock_set_rcvtimeo(at, 1000);
        char* text = zstr_recv(at);
        std::string s = text ? text : "";
        zstr_free(&text);
        return s;
    }
};

} // namespace

TEST(ZReadyWait, ReturnsTheFirstSocketWithInputInTheOrderAdded)
{
    Pair a("a"), b("b"), c("c");
    zReadyWait wait;
    ASSERT_TRUE(wait.add(a.reader));
    ASSERT_TRUE(wait.add(b.reader));
    ASSERT_TRUE(wait.add(c.reader));
    EXPECT_FALSE(wait.add(nullptr));

    c.send(c.writer, "c1");
    a.send(a.writer, "a1");
    // Messages between threads of one process arrive at once, but give them the moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(wait.wait(1000), (void*)a.reader);
    EXPECT_EQ(a.take(a.reader), "a1");
    EXPECT_EQ(wait.wait(1000), (void*)c.reader);
    EXPECT_EQ(c.take(c.reader), "c1");

    auto t = Clock::now();
    EXPECT_EQ(wait.wait(60), nullptr);
    EXPECT_GE(msSince(t), 60);
    EXPECT_FALSE(wait.terminated());
}

TEST(ZReadyWait, WakesAsSoonAsInputArrivesAndSeesEveryMessageOfABurst)
{
    Pair a("burst"), idle("idle");
    zReadyWait wait;
    ASSERT_TRUE(wait.add(idle.reader));
    ASSERT_TRUE(wait.add(a.reader));
    EXPECT_EQ(wait.wait(0), nullptr); // both looked at and found empty: left to their signal

    const int burst = 200;
    auto t = Clock::now();
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (int i = 0; i < burst; i++)
            a.send(a.writer, std::to_string(i).c_str());
    });
    int seen = 0;
    for (int i = 0; i < burst; i++) {
        if (wait.wait(5000) != (void*)a.reader || a.take(a.reader) != std::to_string(i))
            break;
        seen++;
    }
    sender.join();
    EXPECT_EQ(seen, burst);
    EXPECT_LT(msSince(t), 3000);
}

// A send on a socket may take in the command that announced its input, so the descriptor is
// no longer signalled: the socket must be asked again after the caller said it sent on it.
TEST(ZReadyWait, InputTakenInByASendIsFoundAfterTheSend)
{
    Pair a("sent");
    zReadyWait wait;
    ASSERT_TRUE(wait.add(a.reader));
    EXPECT_EQ(wait.wait(0), nullptr);

    a.send(a.writer, "in");
    // Past the time for which ZeroMQ leaves commands unprocessed on a send.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    a.send(a.reader, "out");
    wait.sent(a.reader);
    auto t = Clock::now();
    EXPECT_EQ(wait.wait(2000), (void*)a.reader);
    EXPECT_LT(msSince(t), 1000);
    EXPECT_EQ(a.take(a.reader), "in");
    EXPECT_EQ(a.take(a.writer), "out");
}
