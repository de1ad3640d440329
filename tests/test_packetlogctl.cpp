// Packet-log control of a Link: the writer thread turns the engine link's log into text lines
// in a file, starts with a START line, survives records of any size, sleeps while the log is
// empty, stops with disable and with disconnect, and follows the engine link in use.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "Timing.h"
#include "StoreBench.h"
#include "e2e_ops_support.h"
#include "aLink.h"
#include "module_emu/TcpTransport.h"

using namespace Velmoran::Quillcore;
using qctest::StoreBench;

namespace {

// A scratch directory of its own, removed with what the test wrote into it.
struct TempDir : opstest::TempDir {
    std::string dir = path;
    std::string file(const char* name) const { return dir + "/" + name; }
};

// The log without the engine's own routing packets (address 0xAF), which it sends when a link
// starts and may still be writing when the log is enabled.
std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::string all = s.str(), out;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find("\r\n", at);
        end = end == std::string::npos ? all.size() : end + 2;
        std::string line = all.substr(at, end - at);
        if (line.compare(0, 9, "3 > 0xAF ") != 0)
            out += line;
        at = end;
    }
    return out;
}

// The file once it holds at least as many bytes as want (or after 2 s).
std::string awaitFile(const std::string& path, const std::string& want)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::string got = readFile(path);
    while (got.size() < want.size() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        got = readFile(path);
    }
    return got;
}

const std::string kStart("6 < START\0\r\n", 12);

// The lines of one size query of store 0, slot 0 of the module at address, which holds n bytes.
std::string sizeQueryLines(uint8_t address, uint8_t n, bool replyFirst = false)
{
    char sent[64], received[80];
    snprintf(sent, sizeof sent, "6 > 0x%X 0x4 0x4 0x2 0x0 0x0 \r\n", address);
    snprintf(received, sizeof received, "8 < 0x%X 0x6 0x4 0x2 0x0 0x0 0x0 0x%X \r\n", address,
             n);
    return replyFirst ? std::string(received) + sent : std::string(sent) + received;
}

// The engine logs a request once it is written, so its reply may be logged first: either
// order of the pair is taken.
::testing::AssertionResult logHolds(const std::string& path, const std::string& before,
                                    uint8_t address, uint8_t n, const std::string& after = "")
{
    std::string inOrder = before + sizeQueryLines(address, n) + after;
    std::string swapped = before + sizeQueryLines(address, n, true) + after;
    std::string got = awaitFile(path, inOrder);
    if (got == inOrder || got == swapped)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the log holds\n" << got << "\nnot\n" << inOrder;
}

using qctest::cpuSeconds;

} // namespace

TEST(PacketLogControl, RefusedWithoutAnEngineLink)
{
    TempDir tmp;
    std::string path = tmp.file("never.log");
    Link link("none");
    EXPECT_EQ(link.enablePacketLog(path.c_str()), aErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0) << "no file is made";
}

TEST(PacketLogControl, FileThatCannotBeOpenedIsAnError)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    EXPECT_EQ(b.link.disablePacketLog(), aErrParam) << "never enabled";
    std::string bad = tmp.dir + "/missing/dir/x.log";
    EXPECT_EQ(b.link.enablePacketLog(bad.c_str()), aErrIO);
    EXPECT_EQ(b.link.enablePacketLog(nullptr), aErrParam);
    EXPECT_EQ(b.link.disablePacketLog(), aErrParam) << "no writer was made";
    // A later enable with a good path still works.
    std::string path = tmp.file("late.log");
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    EXPECT_EQ(awaitFile(path, kStart).substr(0, kStart.size()), kStart);
    EXPECT_EQ(b.link.disablePacketLog(), aErrNone);
}

TEST(PacketLogControl, LinesOfStartAndOfAnExchange)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->addSlot(0, 0, 64, {1, 2, 3});
    std::string path = tmp.file("packets.log");
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    size_t size = 0;
    ASSERT_EQ(b.link.storeSlotSize(2, 0, 0, &size), aErrNone);
    ASSERT_TRUE(logHolds(path, kStart, 2, 3));
    std::string firstRun = readFile(path);

    // A new connect gets a new engine link and so a new writer, which appends to the file.
    ASSERT_EQ(b.link.disconnect(), aErrNone);
    ASSERT_EQ(b.link.connect(), aErrNone);
    ASSERT_TRUE(StoreBench::routed(b.modules));
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(b.link.storeSlotSize(2, 0, 0, &size), aErrNone);
    EXPECT_TRUE(logHolds(path, firstRun + kStart, 2, 3));
    EXPECT_EQ(b.link.disablePacketLog(), aErrNone);
}

TEST(PacketLogControl, RecordsOfAnySizeAreWritten)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->addSlot(0, 0, 64, {});
    std::string path = tmp.file("long.log");
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    std::string text(255, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = (char)('a' + i % 26);
    ASSERT_EQ(aLink_PacketDebug_Write(b.link.getLinkId(), kPacketLogText, (u32)text.size(),
                                      text.data()),
              aErrNone);
    size_t size = 9;
    ASSERT_EQ(b.link.storeSlotSize(2, 0, 0, &size), aErrNone);
    // The packets after the long record are logged too: the writer did not stall on it.
    EXPECT_TRUE(logHolds(path, kStart + "255 < " + text + "\r\n", 2, 0));
}

TEST(PacketLogControl, DisableStopsTheWriterAndEnableResumes)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->addSlot(0, 0, 64, {7});
    std::string path = tmp.file("resume.log");
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(awaitFile(path, kStart), kStart);
    ASSERT_EQ(b.link.disablePacketLog(), aErrNone);
    size_t size = 0;
    ASSERT_EQ(b.link.storeSlotSize(2, 0, 0, &size), aErrNone);
    // A writer still running would write these lines within a few milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(readFile(path), kStart);
    // The engine kept recording; a new enable writes what it recorded, then START.
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    EXPECT_TRUE(logHolds(path, kStart, 2, 1, kStart));
}

TEST(PacketLogControl, DisconnectStopsTheWriterAndANewLinkGetsItsOwn)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    b.store->addSlot(0, 0, 64, {7, 7});
    std::string first = tmp.file("first.log");
    ASSERT_EQ(b.link.enablePacketLog(first.c_str()), aErrNone);
    ASSERT_EQ(awaitFile(first, kStart), kStart);
    aLinkId before = b.link.getLinkId();
    ASSERT_EQ(b.link.disconnect(), aErrNone);
    EXPECT_EQ(b.link.disablePacketLog(), aErrConfiguration);

    // The same Link on another module (address 6) with its own engine link.
    module_emu::ModuleIdentity id;
    id.address = 6;
    id.serialNumber = 0x600D;
    qctest::SerialModules other({id});
    module_emu::StoreSlots otherStore(other.module(6));
    otherStore.addSlot(0, 0, 64, {1, 2, 3, 4});
    ASSERT_EQ(b.link.setLinkSpecifier(other.linkSpecifier()), aErrNone);
    ASSERT_EQ(b.link.connect(), aErrNone);
    ASSERT_TRUE(StoreBench::routed(other));
    EXPECT_NE(b.link.getLinkId(), before);
    std::string second = tmp.file("second.log");
    ASSERT_EQ(b.link.enablePacketLog(second.c_str()), aErrNone);
    size_t size = 0;
    ASSERT_EQ(b.link.storeSlotSize(6, 0, 0, &size), aErrNone);
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(logHolds(second, kStart, 6, 4));
    EXPECT_EQ(readFile(first), kStart) << "the old writer is gone";
    EXPECT_EQ(b.link.disconnect(), aErrNone);
}

TEST(PacketLogControl, IdleWriterSleeps)
{
    TempDir tmp;
    StoreBench b;
    ASSERT_TRUE(b.connected);
    std::string path = tmp.file("idle.log");
    ASSERT_EQ(b.link.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(awaitFile(path, kStart), kStart);
    double cpu = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cpu = cpuSeconds() - cpu;
    // A writer that polled without sleeping would burn the whole 300 ms.
    EXPECT_LT(cpu, 0.1) << "CPU seconds used while the log was empty";
    EXPECT_EQ(b.link.disablePacketLog(), aErrNone);
}

TEST(PacketLogControl, ResetKeepsTheWriterOnTheNewLog)
{
    // A reset opens a new stream, which a TCP link can do.
    // The transport goes before the core: its reader is joined while the core still exists.
    module_emu::ModuleIdentity id;
    module_emu::ModuleCore core(id.address);
    module_emu::ModuleNetwork network;
    network.add(id);
    module_emu::EntityHost host(core, network);
    module_emu::TcpTransport tcp(module_emu::TcpConfig{});
    ASSERT_TRUE(tcp.ok()) << tcp.error();
    core.attach(tcp);
    {
        module_emu::StoreSlots store(network.front());
        store.addSlot(0, 0, 64, {5, 5, 5, 5, 5});
        TempDir tmp;
        std::string path = tmp.file("reset.log");
        Link link("tcp");
        ASSERT_EQ(link.setConfig(qctest::plainConfig()), aErrNone);
        linkSpec linkSpecifier;
        memset(&linkSpecifier, 0, sizeof linkSpecifier);
        linkSpecifier.type = TCPIP;
        linkSpecifier.t.ip.ipAddress = tcp.addressNetworkOrder();
        linkSpecifier.t.ip.ipPort = tcp.port();
        ASSERT_EQ(link.setLinkSpecifier(linkSpecifier), aErrNone);
        ASSERT_EQ(link.connect(), aErrNone);
        for (int i = 0; i < 500 && core.routeRecords().empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(link.enablePacketLog(path.c_str()), aErrNone);
        ASSERT_EQ(awaitFile(path, kStart), kStart);
        ASSERT_EQ(link.reset(), aErrNone);
        ASSERT_TRUE(tcp.waitForConnections(2, 2000));
        for (int i = 0; i < 200 && !link.isConnected(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        size_t size = 0;
        ASSERT_EQ(link.storeSlotSize(2, 0, 0, &size), aErrNone);
        std::string sent = "6 > 0x2 0x4 0x4 0x2 0x0 0x0 \r\n";
        std::string received = "8 < 0x2 0x6 0x4 0x2 0x0 0x0 0x0 0x5 \r\n";
        auto logged = [&](const std::string& text) {
            return text.find(sent) != std::string::npos
                   && text.find(received) != std::string::npos;
        };
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::string got = readFile(path);
        while (!logged(got) && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            got = readFile(path);
        }
        EXPECT_TRUE(logged(got)) << "logged after the reset: " << got;
        EXPECT_EQ(link.disablePacketLog(), aErrNone);
        link.disconnect();
    }
    core.detach(tcp);
}
