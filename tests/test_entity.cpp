// Entity-protocol requests through EntityClass and SystemClass against an emulated module:
// the exact bytes of each request, and what each reply turns into.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "EmulatedModules.h"
#include "Entity.h"
#include "Module.h"
#include "SystemClass.h"

using namespace Velmoran::Quillcore;
using module_emu::ModuleIdentity;
using module_emu::OptionKind;
using module_emu::OptionValue;
using qctest::Bytes;

namespace {

const uint8_t kTest = 5;  // an entity class of the emulated module's own, index 1

OptionValue value(OptionKind kind, uint32_t v)
{
    OptionValue o;
    o.kind = kind;
    o.value = v;
    return o;
}

class EntityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
        auto& m = bench.module(2);
        m.setOption(kTest, 1, 3, value(OptionKind::Byte, 0x5A));
        m.setOption(kTest, 1, 5, value(OptionKind::Short, 0x1234));
        m.setOption(kTest, 1, 6, value(OptionKind::Short, 0));
        m.setOption(kTest, 1, 7, value(OptionKind::Int, 0));
        OptionValue failing = value(OptionKind::Int, 0);
        failing.errorCode = 13;
        m.setOption(kTest, 1, 8, failing);
        OptionValue noCode = value(OptionKind::Int, 0);
        noCode.errorWithoutCode = true;
        m.setOption(kTest, 1, 9, noCode);
        OptionValue empty = value(OptionKind::Int, 0x77);
        empty.replyWithoutValue = true;
        m.setOption(kTest, 1, 10, empty);
        OptionValue odd = value(OptionKind::Int, 0x77);
        odd.replyValueBytes = 3;
        m.setOption(kTest, 1, 12, odd);
        OptionValue sub = value(OptionKind::Short, 0);
        sub.subValues = {0x100, 0x200, 0x300};
        m.setOption(kTest, 1, 11, sub);

        ASSERT_EQ(module.setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(bench.linkSpecifier()), aErrNone);
        sys.init(&module, 0);
        test.init(&module, kTest, 1);
    }

    // Runs op and returns the packets it sent to module 2 (an echo afterwards marks the end,
    // so "nothing sent" is seen as well).
    std::vector<Bytes> sentBy(const std::function<void()>& op)
    {
        size_t before = bench.sentTo(2).size();
        op();
        const unsigned char mark[1] = {0xEE};
        EXPECT_EQ(module.debug(mark, 1), aErrNone);
        std::vector<Bytes> all = bench.sentTo(2);
        std::vector<Bytes> out(all.begin() + before, all.end());
        EXPECT_FALSE(out.empty());
        if (!out.empty())
            out.pop_back();
        return out;
    }

    qctest::SerialModules bench;
    Module module{2, (unsigned char)0};
    SystemClass sys;
    EntityClass test;
};

} // namespace

TEST_F(EntityTest, RequestAndReplyTable)
{
    ModuleIdentity id = bench.module(2).identity();
    unsigned char b = 0;
    unsigned short s = 0;
    unsigned int i = 0;
    struct Row {
        const char* what;
        std::function<aErr()> op;
        Bytes request;
        aErr result;
        std::function<uint32_t()> got;
        uint32_t expected;
    } rows[] = {
        {"get8 model", [&] { return sys.getModel(&b); }, {3, 0x48, 0x20}, aErrNone,
         [&] { return b; }, id.model},
        {"get8 other index", [&] { return test.getUEI8(3, &b); }, {5, 0x43, 0x21}, aErrNone,
         [&] { return b; }, 0x5A},
        {"get16", [&] { return test.getUEI16(5, &s); }, {5, 0x45, 0x21}, aErrNone,
         [&] { return s; }, 0x1234},
        {"get32 serial", [&] { return sys.getSerialNumber(&i); }, {3, 0x49, 0x20}, aErrNone,
         [&] { return i; }, id.serialNumber},
        {"get32 version", [&] { return sys.getVersion(&i); }, {3, 0x47, 0x20}, aErrNone,
         [&] { return i; }, id.version},
        {"get with subindex", [&] { return test.getUEI16(11, 2, &s); }, {5, 0x4B, 0x21, 2},
         aErrNone, [&] { return s; }, 0x300},
        {"fingerprint word", [&] { return sys.getUEI32(39, 3, &i); }, {3, 0x67, 0x20, 3},
         aErrNone, [&] { return i; }, id.fingerprint[3]},
        {"set8 led", [&] { return sys.setLED(7); }, {3, 0x84, 0x20, 1}, aErrNone,
         [&] { return bench.module(2).option(3, 0, 4).value; }, 1},
        {"set16", [&] { return test.setUEI16(6, 0xABCD); }, {5, 0x86, 0x21, 0xAB, 0xCD},
         aErrNone, [&] { return bench.module(2).option(kTest, 1, 6).value; }, 0xABCD},
        {"set32", [&] { return test.setUEI32(7, 0x01020304); },
         {5, 0x87, 0x21, 1, 2, 3, 4}, aErrNone,
         [&] { return bench.module(2).option(kTest, 1, 7).value; }, 0x01020304},
        {"set with subindex", [&] { return test.setUEI16(11, 1, 0x4242); },
         {5, 0x8B, 0x21, 1, 0x42, 0x42}, aErrNone,
         [&] { return bench.module(2).option(kTest, 1, 11).subValues[1]; }, 0x4242},
        {"route to me", [&] { return sys.routeToMe(1); }, {3, 0x94, 0x20, 1}, aErrNone,
         [&] { return bench.module(2).routeToMe(); }, 1},
        {"reset", [&] { return sys.reset(); }, {3, 0x8B, 0x20}, aErrNone,
         [&] { return bench.module(2).resets(); }, 1},
        {"error reply", [&] { i = 0xFEED; return test.getUEI32(8, &i); }, {5, 0x48, 0x21},
         (aErr)13, [&] { return i; }, 0xFEED},
        {"error reply without code", [&] { i = 0xFEED; return test.getUEI32(9, &i); },
         {5, 0x49, 0x21}, aErrUnknown, [&] { return i; }, 0xFEED},
        {"get reply without value", [&] { i = 0xFEED; return test.getUEI32(10, &i); },
         {5, 0x4A, 0x21}, aErrPacket, [&] { return i; }, 0xFEED},
        {"get reply without value, with subindex",
         [&] { i = 0xFEED; return test.getUEI32(10, 2, &i); }, {5, 0x4A, 0x21, 2}, aErrPacket,
         [&] { return i; }, 0xFEED},
        {"get reply of no value width, with subindex",
         [&] { i = 0xFEED; return test.getUEI32(12, 2, &i); }, {5, 0x4C, 0x21, 2}, aErrPacket,
         [&] { return i; }, 0xFEED},
        {"unknown option", [&] { return sys.getUEI8(60, &b); }, {3, 0x7C, 0x20},
         (aErr)module_emu::kEmuErrInvalidOption, [&] { return 0u; }, 0},
        {"set refused", [&] { return test.setUEI32(8, 1); }, {5, 0x88, 0x21, 0, 0, 0, 1},
         (aErr)13, [&] { return 0u; }, 0},
        {"null out", [&] { return sys.getModel(nullptr); }, {}, aErrParam,
         [&] { return 0u; }, 0},
    };
    for (Row& row : rows) {
        aErr result = aErrNone;
        std::vector<Bytes> sent = sentBy([&] { result = row.op(); });
        EXPECT_EQ(result, row.result) << row.what;
        if (row.request.empty())
            EXPECT_TRUE(sent.empty()) << row.what << ": nothing may be sent";
        else
            EXPECT_EQ(sent, std::vector<Bytes>{row.request}) << row.what;
        EXPECT_EQ(row.got(), row.expected) << row.what;
    }
}

TEST_F(EntityTest, UnboundEntityAndBadAddress)
{
    EntityClass unbound;
    unsigned int v = 0;
    EXPECT_EQ(unbound.getUEI32(9, &v), aErrResource);
    EXPECT_EQ(unbound.sendPacket(23, 0, nullptr), aErrResource);

    for (unsigned char address : {0, 3}) {
        module.setModuleAddress(address);
        std::vector<Bytes> sent = sentBy([&] {
            EXPECT_EQ(sys.getSerialNumber(&v), aErrPacket) << int(address);
            module.setModuleAddress(2);
        });
        EXPECT_TRUE(sent.empty());
    }
}

TEST_F(EntityTest, ByteStringsAcrossChunks)
{
    Bytes name(50);
    for (size_t k = 0; k < name.size(); k++)
        name[k] = uint8_t('a' + k % 26);
    std::vector<Bytes> sent = sentBy([&] { EXPECT_EQ(sys.setName(name.data(), name.size()), aErrNone); });
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t trailers[3] = {0x80, 0x81, 0x02};
    const size_t sizes[3] = {24, 24, 2};
    for (int c = 0; c < 3; c++) {
        EXPECT_EQ(sent[c].size(), sizes[c] + 4) << "chunk " << c;
        EXPECT_EQ(Bytes(sent[c].begin(), sent[c].begin() + 3), (Bytes{3, 0xA0, 0x20}));
        EXPECT_EQ(sent[c].back(), trailers[c]) << "chunk " << c;
    }
    EXPECT_EQ(bench.module(2).option(3, 0, 32).bytes, name);

    // Read back: 24 + 24 + 2 in three chunks, one request.
    unsigned char buffer[64];
    unsigned long received = 99;
    sent = sentBy([&] { EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrNone); });
    EXPECT_EQ(sent, std::vector<Bytes>{(Bytes{3, 0x60, 0x20})});
    ASSERT_EQ(received, 50u);
    EXPECT_EQ(Bytes(buffer, buffer + 50), name);

    // An empty string is one chunk of no bytes.
    sent = sentBy([&] { EXPECT_EQ(sys.setName(name.data(), 0), aErrNone); });
    EXPECT_EQ(sent, std::vector<Bytes>{(Bytes{3, 0xA0, 0x20, 0x00})});
    EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrNone);
    EXPECT_EQ(received, 0u);

    // Too small a buffer: the first chunk already does not fit.
    ASSERT_EQ(sys.setName(name.data(), name.size()), aErrNone);
    EXPECT_EQ(sys.getName(buffer, 10, &received), aErrMemory);
    EXPECT_EQ(received, 0u);
    // The rest of that string must not end up in the next read.
    EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrNone);
    EXPECT_EQ(received, 50u);
    EXPECT_EQ(Bytes(buffer, buffer + 50), name);

    EXPECT_EQ(sys.getName(nullptr, 10, &received), aErrParam);
    EXPECT_EQ(sys.getName(buffer, 0, &received), aErrParam);
}

TEST_F(EntityTest, WordStringsAndTheirCount)
{
    struct Row {
        size_t bytes;
        aErr result;
        unsigned long count;
    } rows[] = {{12, aErrNone, 3}, {10, aErrMemory, 10}, {0, aErrNone, 0}};
    for (const Row& row : rows) {
        OptionValue config;
        config.kind = OptionKind::Bytes;
        config.bytes.assign(row.bytes, 0x11);
        bench.module(2).setOption(3, 0, 31, config);
        unsigned int words[8];
        unsigned long received = 0;
        EXPECT_EQ(sys.getInputPowerBehaviorConfig(words, 8, &received), row.result) << row.bytes;
        EXPECT_EQ(received, row.count) << row.bytes;
    }
    unsigned int out[2] = {0x01020304, 0x05060708};
    EXPECT_EQ(sys.setInputPowerBehaviorConfig(out, 2), aErrNone);
    Bytes expected(8);
    memcpy(expected.data(), out, 8);
    EXPECT_EQ(bench.module(2).option(3, 0, 31).bytes, expected) << "host memory order";
}

TEST_F(EntityTest, ChunkOutOfSequenceIsNotTaken)
{
    OptionValue name;
    name.kind = OptionKind::Bytes;
    name.bytes = {1, 2, 3};
    name.firstChunkSequence = 1;
    bench.module(2).setOption(3, 0, 32, name);
    unsigned char buffer[8];
    unsigned long received = 0;
    EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrTimeout);
    EXPECT_EQ(received, 0u);
}

TEST_F(EntityTest, LateChunksAreNotSplicedIntoTheNextRead)
{
    // First read: chunk 0 at once, the rest after the reply wait has given up.
    OptionValue slow;
    slow.kind = OptionKind::Bytes;
    slow.bytes.assign(60, 'o');
    slow.chunkDelayMs = 1150;
    bench.module(2).setOption(3, 0, 32, slow);
    unsigned char buffer[80];
    unsigned long received = 0;
    EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrTimeout);

    // The old chunks 1 and 2 arrive and wait in the link; the module now holds a new string.
    OptionValue fresh;
    fresh.kind = OptionKind::Bytes;
    fresh.bytes.assign(60, 'n');
    bench.module(2).setOption(3, 0, 32, fresh);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_EQ(sys.getName(buffer, sizeof(buffer), &received), aErrNone);
    ASSERT_EQ(received, 60u);
    EXPECT_EQ(Bytes(buffer, buffer + 60), Bytes(60, 'n'));
}

// Replies that came after their waits gave up, all for one key: a drain takes every one of
// them, error replies included, so none answers a later request in place of its own reply.
TEST_F(EntityTest, DrainTakesEveryLateReplyOfItsKey)
{
    struct Row {
        const char* what;
        uint8_t command, option;
        std::function<aErr()> op;
    } rows[] = {
        {"drainUEI, then a get", kTest, 3,
         [&] {
             EXPECT_EQ(test.drainUEI(3), aErrNone);
             unsigned char b = 0;
             aErr err = test.getUEI8(3, &b);
             EXPECT_EQ(b, err == aErrNone ? 0x5A : 0);
             return err;
         }},
        {"a byte-string read, which drains first", 3, 32,
         [&] {
             unsigned char buffer[16];
             unsigned long received = 0;
             aErr err = sys.getName(buffer, sizeof(buffer), &received);
             EXPECT_EQ(std::string((const char*)buffer, received), err == aErrNone ? "Emu" : "");
             return err;
         }},
    };
    for (const Row& row : rows) {
        uint8_t index = row.command == kTest ? 1 : 0;
        module_emu::Packet late;
        late.address = 2;
        for (Bytes data : {Bytes{row.command, row.option, (uint8_t)(0x80 | index), 13},
                           Bytes{row.command, row.option, (uint8_t)(0x80 | index), 12},
                           Bytes{row.command, row.option, index, 0x11}}) {
            late.data = data;
            ASSERT_TRUE(bench.host->send(late));
        }
        // The echo's reply follows them on the link: once it is in, so are they.
        const unsigned char mark[1] = {0xEE};
        ASSERT_EQ(module.debug(mark, 1), aErrNone);
        EXPECT_EQ(row.op(), aErrNone) << row.what << ": a late reply answered the request";
    }
}

// A reply that comes after its request gave up must not answer the next request of the same
// option: that one gets the module's answer to itself.
TEST_F(EntityTest, LateReplyDoesNotAnswerTheNextRequest)
{
    // The first GET of option 3 and the first SET of option 7 are answered 1.2 s late, with
    // what the module held then; later requests at once.
    // The handler runs on the emulator's thread and may outlive this body: it shares the counts.
    auto gets = std::make_shared<std::atomic<int>>(0);
    auto sets = std::make_shared<std::atomic<int>>(0);
    bench.module(2).setCommandHandler(kTest, [gets, sets](const module_emu::Packet& request) {
        module_emu::Packet r;
        r.address = request.address;
        u8 option = request.data[1];
        if (option == (0x40 | 3)) {
            r.delayMs = (*gets)++ == 0 ? 1200 : 0;
            r.data = {kTest, 3, 1, (u8)(r.delayMs ? 0x01 : 0x02)};
        } else if (option == (0x80 | 7)) {
            bool late = (*sets)++ == 0;
            r.delayMs = late ? 1200 : 0;
            r.data = late ? Bytes{kTest, 0xC7, 0x81, 13} : Bytes{kTest, 0xC7, 1};
        }
        return std::vector<module_emu::Packet>{r};
    });
    unsigned char b = 0;
    EXPECT_EQ(test.getUEI8(3, &b), aErrTimeout);
    EXPECT_EQ(test.setUEI32(7, 5), aErrTimeout);
    // The set gave up at about 2.0 s, its late reply comes at 2.2 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    EXPECT_EQ(test.getUEI8(3, &b), aErrNone);
    EXPECT_EQ(b, 0x02) << "the value the module gave this request";
    EXPECT_EQ(test.setUEI32(7, 6), aErrNone) << "the module accepted this set";
    EXPECT_EQ(gets->load(), 2);
    EXPECT_EQ(sets->load(), 2);
}

TEST_F(EntityTest, CachedStreamValueAnswersTheGet)
{
    Link* link = module.getLink();
    unsigned int v = 0;
    // Nothing streamed: the get goes to the module.
    EXPECT_EQ(link->getStreamValue(2, kTest, 7, 1, 0, &v), aErrNotFound);

    ASSERT_EQ(test.registerOptionCallback(7, true, nullptr, nullptr), aErrNone);
    ASSERT_TRUE(bench.host->send(module_emu::EntityModule::streamSample(2, kTest, 7, 1, 3,
                                                                      0xC0FFEE, 42)));
    // Wait for the sample without reading it (a read would make it stale).
    std::map<unsigned long, unsigned int> cached;
    for (int k = 0; k < 100 && cached.empty(); k++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(test.getStreamStatus(&cached), aErrNone);
    }
    ASSERT_EQ(cached.size(), 1u) << "one concrete value, never the registration";
    EXPECT_EQ(cached.begin()->first, Link::createStreamKey(2, kTest, 7, 1, 0));

    std::vector<Bytes> sent = sentBy([&] {
        v = 0;
        EXPECT_EQ(test.getUEI32(7, &v), aErrNone);
        EXPECT_EQ(v, 0xC0FFEEu);
        v = 0;
        EXPECT_EQ(test.getUEI32(7, &v), aErrStreamStale);
        EXPECT_EQ(v, 0xC0FFEEu) << "a stale value is still delivered";
    });
    EXPECT_TRUE(sent.empty()) << "a cached value needs no request";
}
