// The module emulator's protocol core on its own: framing from the byte stream whatever the
// read boundaries, one write per read's replies, silence before the host speaks, scripts.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "module_emu/ModuleCore.h"

using module_emu::ModuleCore;
using module_emu::Packet;
using module_emu::ReplyFate;

namespace {

struct Wire {
    std::mutex m;
    std::vector<std::vector<uint8_t>> writes;
    ModuleCore::Sender sender()
    {
        return [this](const uint8_t* d, size_t n) {
            std::lock_guard<std::mutex> lock(m);
            writes.emplace_back(d, d + n);
            return true;
        };
    }
};

std::vector<Packet> echo(const Packet& p)
{
    return {p};
}

} // namespace

TEST(ModuleCore, FramesPacketsAcrossAnyReadBoundaries)
{
    const std::vector<uint8_t> stream = {2, 3, 9, 8, 7, 0xAF, 1, 1, 4, 0, 0xAD, 0, 6, 1, 5};
    for (size_t chunk = 1; chunk <= stream.size(); chunk++) {
        ModuleCore core(2);
        for (size_t at = 0; at < stream.size(); at += chunk)
            core.onBytes(stream.data() + at, std::min(chunk, stream.size() - at));
        auto all = core.hostPackets();
        ASSERT_EQ(all.size(), 5u) << chunk;
        EXPECT_EQ(all[0].packet.wire(), (std::vector<uint8_t>{2, 3, 9, 8, 7}));
        EXPECT_EQ(all[2].packet.wire(), (std::vector<uint8_t>{4, 0}));
        EXPECT_EQ(all[4].packet.wire(), (std::vector<uint8_t>{6, 1, 5}));
        EXPECT_EQ(core.routeRecords(), (std::vector<uint8_t>{1}));
        EXPECT_EQ(core.syncRequests(), 1);
        for (size_t i = 1; i < all.size(); i++)
            EXPECT_LE(all[i - 1].when, all[i].when);
    }
}

TEST(ModuleCore, ABurstOfSyncRequestsIsAnsweredInOneWrite)
{
    ModuleCore core(6);
    Wire wire;
    core.setSender(wire.sender());
    std::vector<uint8_t> burst;
    for (int i = 0; i < 6; i++) {
        burst.push_back(0xAD);
        burst.push_back(0);
    }
    core.onBytes(burst.data(), burst.size());
    ASSERT_EQ(wire.writes.size(), 1u);
    EXPECT_EQ(wire.writes[0], (std::vector<uint8_t>{6, 0, 6, 0, 6, 0, 6, 0, 6, 0, 6, 0}));
    // Routing gets no reply.
    const uint8_t route[] = {0xAF, 1, 0};
    core.onBytes(route, 3);
    EXPECT_EQ(wire.writes.size(), 1u);
    EXPECT_EQ(core.routeRecords(), (std::vector<uint8_t>{0}));
    // A silent device: no answer at all.
    core.setAnswerSync(false);
    core.onBytes(burst.data(), 2);
    EXPECT_EQ(wire.writes.size(), 1u);
    EXPECT_EQ(core.syncRequests(), 7);
}

TEST(ModuleCore, SilentUntilTheHostSpeaks)
{
    ModuleCore core(2);
    Wire wire;
    core.setSender(wire.sender());
    EXPECT_FALSE(core.sendHeartbeat(0));
    EXPECT_FALSE(core.sendRaw({2, 0}));
    EXPECT_TRUE(wire.writes.empty());
    const uint8_t route[] = {0xAF, 1, 1};
    core.onBytes(route, 3);
    EXPECT_TRUE(core.sendHeartbeat(1));
    ASSERT_EQ(wire.writes.size(), 1u);
    EXPECT_EQ(wire.writes[0], (std::vector<uint8_t>{2, 2, 0, 1}));
    // The host's answer is checked against s + 2.
    const uint8_t wrong[] = {2, 2, 0, 2};
    const uint8_t right[] = {2, 2, 0, 3};
    core.onBytes(wrong, 4);
    core.onBytes(right, 4);
    EXPECT_EQ(core.heartbeatAnswersOk(), 1);
    EXPECT_EQ(core.heartbeatAnswersWrong(), 1);
    EXPECT_TRUE(core.sendHeartbeat(0));
    const uint8_t up[] = {2, 2, 0, 2};
    core.onBytes(up, 4);
    EXPECT_EQ(core.heartbeatAnswersOk(), 2);
    core.onBytes(up, 4); // none outstanding
    EXPECT_EQ(core.heartbeatAnswersWrong(), 2);
    // After a disconnect it is silent again.
    core.onDisconnect();
    EXPECT_FALSE(core.sendHeartbeat(0));
}

TEST(ModuleCore, ScriptShapesHandlerReplies)
{
    ModuleCore core(2);
    Wire wire;
    core.setSender(wire.sender());
    core.setHandler(2, echo);
    core.pushScript({ReplyFate::Dropped, 0});
    core.pushScript({ReplyFate::OddAddress, 0});
    core.pushScript({ReplyFate::Delayed, 50});
    const uint8_t request[] = {2, 1, 0x10};
    for (int i = 0; i < 4; i++)
        core.onBytes(request, 3);
    // Dropped: nothing; odd: address 3; delayed: later; the fourth goes as usual at once.
    std::vector<std::vector<uint8_t>> now;
    {
        std::lock_guard<std::mutex> lock(wire.m);
        now = wire.writes;
    }
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0], (std::vector<uint8_t>{3, 1, 0x10}));
    EXPECT_EQ(now[1], (std::vector<uint8_t>{2, 1, 0x10}));
    for (int i = 0; i < 100; i++) {
        {
            std::lock_guard<std::mutex> lock(wire.m);
            if (wire.writes.size() == 3)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(wire.m);
    ASSERT_EQ(wire.writes.size(), 3u);
    EXPECT_EQ(wire.writes[2], (std::vector<uint8_t>{2, 1, 0x10}));
}

TEST(ModuleCore, LengthsAboveTwentyEightAreFramingErrors)
{
    ModuleCore core(2);
    const uint8_t bytes[] = {2, 29, 2, 1, 7};
    core.onBytes(bytes, sizeof bytes);
    EXPECT_EQ(core.framingErrors(), 1);
    // The bad packet's address byte is dropped and framing goes on from the next byte.
    auto all = core.hostPackets();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].packet.wire(), (std::vector<uint8_t>{29, 2, 1, 7}));
}
