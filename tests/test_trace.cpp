// Library trace lines on standard output: the two switches, and the lines of the registry, the
// sync handshake, heartbeats and auto-networking, read back from a captured standard output.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EmulatedModules.h"
#include "Module.h"
#include "StdoutCapture.h"
#include "aDebug.h"
#include "aLinkManagerInternal.h"
#include "test_link_support.h"

using namespace linktest;
using Lines = std::vector<std::string>;
using qctest::StdoutCapture;

namespace {

using qctest::joined;

// Leaves the switches off whatever a test does.
struct TraceTest : testing::Test {
    void on(u32 level)
    {
        aQuillcoreDebuggingLevel = level;
        aQuillcoreDebuggingEnable = true;
    }
    void TearDown() override
    {
        aQuillcoreDebuggingEnable = false;
        aQuillcoreDebuggingLevel = 0;
    }
};

} // namespace

TEST_F(TraceTest, SwitchesGateEachClass)
{
    struct Row { bool enable; u32 level; u32 traceClass; bool printed; };
    const Row rows[] = {
        {false, 0, aDEBUG_LINK, false},
        {false, 0xFFFFFFFF, aDEBUG_LINK, false}, // the level alone prints nothing
        {true, 0, aDEBUG_USB, false},            // nor the switch alone
        {true, aDEBUG_USB, aDEBUG_USB, true},
        {true, aDEBUG_USB, aDEBUG_LINK, false},
        {true, aDEBUG_LINK | aDEBUG_PACKETS, aDEBUG_PACKETS, true},
        {true, 0xFFFFFFFF & ~aDEBUG_DISCOVERY, aDEBUG_DISCOVERY, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.enable << " level " << r.level << " class " << r.traceClass);
        int evaluated = 0;
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        aQuillcoreDebuggingLevel = r.level;
        aQuillcoreDebuggingEnable = r.enable;
        aTRACE(r.traceClass, "trace %d\n", ++evaluated);
        TearDown();
        out.stop();
        EXPECT_EQ(out.text(), r.printed ? "trace 1\n" : "");
        // Off means no formatting at all: the arguments are not even evaluated.
        EXPECT_EQ(evaluated, r.printed ? 1 : 0);
    }
}

TEST_F(TraceTest, RegistryPrintsEntriesUseCountsAndTheLastRelease)
{
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_LINK);
    EmulatedLink a;
    EmulatedLink b;
    aLinkId ida = a.id, idb = b.id;
    aLink_Destroy(&a.id);
    aLink_Destroy(&b.id);
    TearDown();
    out.stop();
    ASSERT_NE(ida, 0u);
    ASSERT_NE(idb, 0u);
    const Lines expected = {
        qctest::formatted(" sCreate2(FFFFFFFF)==>%d", (int)ida),
        qctest::formatted(" sChangeUseCount(%d, %+d) ==> %d", (int)ida, 1, 1),
        qctest::formatted(" sCreate2(FFFFFFFF)==>%d", (int)idb),
        qctest::formatted(" sChangeUseCount(%d, %+d) ==> %d", (int)idb, 1, 1),
        qctest::formatted(" sChangeUseCount(%d, %+d) ==> %d", (int)ida, -1, 0),
        qctest::formatted(" sChangeUseCount(%d, %+d) ==> %d", (int)idb, -1, 0),
        "NO MORE LINKS", // only when the last one goes
    };
    EXPECT_EQ(out.lines(), expected) << joined(out.lines());
}

TEST_F(TraceTest, HandshakePrintsEachStepAndTheFramingError)
{
    struct Row { std::vector<u8> bytes; Lines lines; };
    const Row rows[] = {
        {{4, 0, 4, 0}, {"sync2", "sync3", "sync4", "synced"}},
        // The 6 sends it back to start, whose next byte restarts the handshake.
        {{4, 0, 6, 0, 8, 0, 8, 0}, {"sync2", "sync3", "syncStart", "sync2", "sync3", "sync4", "synced"}},
        {{5, 4, 0, 4, 0}, {"syncStart", "sync2", "sync3", "sync4", "synced"}},
        // A wrong length byte also goes back to start; the zero after the restart is no address.
        {{4, 1, 4, 0, 4, 0, 4, 0}, {"sync2", "syncStart", "syncStart", "sync2", "sync3", "sync4", "synced"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(joined(r.lines));
        EmulatedLink link;
        ASSERT_NE(link.id, 0u);
        ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
        link.core.setAnswerSync(false);
        StdoutCapture out;
        ASSERT_TRUE(out.ok());
        on(aDEBUG_LINK);
        // The odd address is a framing error; the zero behind it is no address and restarts.
        ASSERT_TRUE(link.core.sendRaw({3, 0}));
        ASSERT_TRUE(waitUntil([&] { return link.core.syncRequests() >= 12; }, 1000));
        ASSERT_TRUE(link.core.sendRaw(r.bytes));
        Lines expected = {"Out of sync", "syncStart", "syncStart"};
        expected.insert(expected.end(), r.lines.begin(), r.lines.end());
        Lines got = out.waitLines(expected.size(), 1000);
        TearDown();
        out.stop();
        EXPECT_EQ(got, expected) << joined(got);
        EXPECT_EQ(aLink_GetStatus(link.id), kLinkStatusRunning);
    }
}

namespace {

// An in-memory device that answers each sync request with [2][0], and whose next read can be
// held: so a byte is sure to reach the handshake while it still stands idle.
struct GatedDevice {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<char> input;
    bool gate = false;   // the next read blocks until released, then brings gateByte
    bool blocked = false;
    char gateByte = 0;

    static aErr get(char* byte, void* ref)
    {
        GatedDevice* d = (GatedDevice*)ref;
        std::unique_lock<std::mutex> lock(d->mutex);
        if (d->gate) {
            d->blocked = true;
            d->changed.notify_all();
            d->changed.wait_for(lock, std::chrono::seconds(3), [&] { return !d->gate; });
            d->blocked = false;
            *byte = d->gateByte;
            return aErrNone;
        }
        if (d->input.empty())
            return aErrNotReady;
        *byte = d->input.front();
        d->input.pop_front();
        return aErrNone;
    }
    static aErr write(const char* data, size_t n, void* ref)
    {
        GatedDevice* d = (GatedDevice*)ref;
        std::lock_guard<std::mutex> lock(d->mutex);
        if (n == 2 && (u8)data[0] == cmdMAGIC && data[1] == 0) {
            d->input.push_back(2);
            d->input.push_back(0);
        }
        return aErrNone;
    }
    static aErr put(const char* byte, void* ref) { return write(byte, 1, ref); }
    static aErr destroy(void*) { return aErrNone; }

    void hold(char byte)
    {
        std::unique_lock<std::mutex> lock(mutex);
        gateByte = byte;
        gate = true;
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return blocked; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        gate = false;
        changed.notify_all();
    }
};

} // namespace

// A sync that aLink_Sync asks for, met by a byte before any empty read: it starts from idle.
TEST_F(TraceTest, RequestedSyncMetByAByteStartsFromIdle)
{
    GatedDevice device;
    aStream* stream = aStream_Create(GatedDevice::get, GatedDevice::put, GatedDevice::write,
                                     GatedDevice::destroy, &device);
    ASSERT_NE(stream, nullptr);
    aLinkId id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    // The link reads the device on this stack frame: it goes first, whatever fails.
    struct Release {
        GatedDevice& device;
        aLinkId& id;
        ~Release()
        {
            device.release();
            if (id)
                aLink_Destroy(&id);
        }
    } release{device, id};
    device.hold(2);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_LINK);
    aErr synced = aErrUnknown;
    std::thread sync([&] { synced = aLink_Sync(id); });
    bool syncing = waitUntil([&] { return aLink_GetStatus(id) == kLinkStatusSyncing; }, 1000);
    device.release();
    sync.join();
    TearDown();
    out.stop();
    EXPECT_TRUE(syncing);
    EXPECT_EQ(synced, aErrNone);
    const Lines expected = {"sync default", "syncStart", "sync2", "sync3", "sync4", "synced"};
    EXPECT_EQ(out.lines(), expected) << joined(out.lines());
}

TEST_F(TraceTest, HeartbeatsPrintTheirDirection)
{
    EmulatedLink link;
    ASSERT_TRUE(link.core.waitFor([](auto& all) { return !all.empty(); }, 2000));
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_PACKETS);
    const u8 beats[] = {0, 1, 7, 0};
    for (u8 s : beats)
        ASSERT_TRUE(link.core.sendHeartbeat(s));
    ASSERT_TRUE(waitUntil([&] { return link.core.heartbeatAnswersOk() == 4; }, 2000));
    // The release prints only link-class lines, which are off here.
    aLink_Destroy(&link.id);
    TearDown();
    out.stop();
    // A beat other than up or down is answered without a line.
    const Lines expected = {"sending HB UP", "sending HB DOWN", "sending HB UP"};
    EXPECT_EQ(out.lines(), expected) << joined(out.lines());
}

TEST_F(TraceTest, AutoNetworkingPrintsTheAdoptedAddress)
{
    module_emu::ModuleIdentity id;
    id.address = 6;
    qctest::SerialModules bench({id});
    Velmoran::Quillcore::Module m(2, (unsigned char)0);
    ASSERT_EQ(m.setConfig(qctest::plainConfig()), aErrNone);
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    on(aDEBUG_AUTONETWORKING);
    aErr err = m.connectFromSpec(bench.linkSpecifier());
    TearDown();
    out.stop();
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(m.getModuleAddress(), 6);
    EXPECT_EQ(out.lines(), (Lines{"Adopted module address: 6 (was 2)"})) << joined(out.lines());
    m.disconnect();
}

// The same paths with the switches off, every class bit set: nothing at all is printed.
// (Checks run after the capture ends, so that a failure's own text is not swallowed.)
TEST_F(TraceTest, NothingIsPrintedWhileTheSwitchIsOff)
{
    StdoutCapture out;
    ASSERT_TRUE(out.ok());
    aQuillcoreDebuggingLevel = 0xFFFFFFFF;
    bool answered = false, resynced = false, adopted = false;
    {
        EmulatedLink link;
        link.core.waitFor([](auto& all) { return !all.empty(); }, 2000);
        link.core.sendHeartbeat(0);
        answered = waitUntil([&] { return link.core.heartbeatAnswersOk() == 1; }, 2000);
        link.core.sendRaw({3, 0}); // framing error, then a handshake
        resynced = waitUntil([&] { return link.core.syncRequests() >= 6; }, 2000)
                   && waitUntil([&] { return aLink_GetStatus(link.id) == kLinkStatusRunning; }, 2000);
    }
    module_emu::ModuleIdentity id;
    id.address = 6;
    qctest::SerialModules bench({id});
    Velmoran::Quillcore::Module m(2, (unsigned char)0);
    m.setConfig(qctest::plainConfig());
    adopted = m.connectFromSpec(bench.linkSpecifier()) == aErrNone && m.getModuleAddress() == 6;
    m.disconnect();
    out.stop();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(resynced);
    EXPECT_TRUE(adopted);
    EXPECT_EQ(out.text(), "");
}
