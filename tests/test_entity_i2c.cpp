// The I2C entity against an emulated bus: request bytes, status codes and how much a read
// may copy.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "EmulatedModules.h"
#include "I2CClass.h"
#include "Module.h"

using namespace Velmoran::Quillcore;
using qctest::Bytes;

class I2CTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench.pty.ok()) << bench.pty.error();
        bench.module(2).addI2CDevice(0x10, {1, 2, 3, 4, 5, 6, 7, 8});
        ASSERT_EQ(module.setConfig(qctest::plainConfig()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(bench.linkSpecifier()), aErrNone);
        bus.init(&module, 0);
    }
    Bytes lastSent()
    {
        auto sent = bench.sentTo(2);
        return sent.empty() ? Bytes() : sent.back();
    }
    qctest::SerialModules bench;
    Module module{2, (unsigned char)0};
    I2CClass bus;
};

TEST_F(I2CTest, WriteAndReadBytes)
{
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    const unsigned char zero[2] = {0, 0};
    EXPECT_EQ(bus.write(0x10, 2, zero), aErrNone);
    EXPECT_EQ(lastSent(), (Bytes{8, 0, 0x10, 2, 3, 0, 0}));
    EXPECT_EQ(bench.module(2).i2cContents(0x10), (Bytes{0, 0}));
    EXPECT_EQ(bench.module(2).lastI2CSpeed(), 3);

    const unsigned char data[4] = {9, 8, 7, 6};
    ASSERT_EQ(bus.write(0x10, 4, data), aErrNone);
    unsigned char in[8];
    memset(in, 0xEE, sizeof(in));
    EXPECT_EQ(bus.read(0x10, 3, in), aErrNone);
    EXPECT_EQ(lastSent(), (Bytes{8, 0, 0x11, 3, 3}));
    EXPECT_EQ(Bytes(in, in + 4), (Bytes{9, 8, 7, 0xEE}));

    EXPECT_EQ(bus.read(0x20, 2, in), module_emu::kEmuErrNotFound) << "status 0x83 gives 3";
    EXPECT_EQ(bus.setPullup(true), aErrNone);
    EXPECT_EQ(lastSent(), (Bytes{8, 0, 1, 1}));
    EXPECT_TRUE(bench.module(2).pullup());
}

TEST_F(I2CTest, LimitsAndSpeed)
{
    Bytes big(24, 1);
    size_t before = bench.sentTo(2).size();
    EXPECT_EQ(bus.write(0x10, 24, big.data()), aErrSize);
    EXPECT_EQ(bus.read(0x10, 24, big.data()), aErrSize);
    EXPECT_EQ(bus.write(0x10, 23, big.data()), aErrNone);
    EXPECT_EQ(bench.sentTo(2).size(), before + 1) << "only the 23-byte write went out";

    unsigned char code = 9;
    ASSERT_EQ(bus.setSpeed(2), aErrNone);
    EXPECT_EQ(bus.setSpeed(4), aErrParam);
    EXPECT_EQ(bus.getSpeed(&code), aErrNone);
    EXPECT_EQ(code, 2);
    I2CClass fresh;
    EXPECT_EQ(fresh.write(0x10, 1, big.data()), aErrResource);
}

TEST_F(I2CTest, ReadCopiesNoMoreThanAskedOrSent)
{
    struct Row {
        int countByte;   // what the reply claims
        int carried;     // bytes the reply holds
        unsigned char asked;
        size_t copied;
    } rows[] = {
        {-1, -1, 4, 4},  // honest reply
        {20, 4, 4, 4},   // claims more than asked
        {20, 8, 4, 4},   // claims and carries more than asked
        {10, 2, 8, 2},   // claims more than it holds
        {3, 8, 8, 3},    // claims less than it holds
    };
    for (const Row& row : rows) {
        bench.module(2).setI2CReadCount(row.countByte);
        bench.module(2).setI2CReadBytes(row.carried);
        unsigned char in[32];
        memset(in, 0xEE, sizeof(in));
        EXPECT_EQ(bus.read(0x10, row.asked, in), aErrNone);
        size_t copied = 0;
        while (copied < sizeof(in) && in[copied] != 0xEE)
            copied++;
        EXPECT_EQ(copied, row.copied) << "count " << row.countByte << " carried " << row.carried;
    }
}

// The status byte of every transfer: bit 7 marks a failure whose low bits are the device's
// code; a failure without a code is never taken for success.
TEST_F(I2CTest, StatusByteOfEveryTransfer)
{
    struct Row {
        unsigned char status;
        aErr result;
    } rows[] = {
        {0x00, aErrNone},
        {0x7F, aErrNone},  // bit 7 clear: no failure, whatever else is set
        {0x83, (aErr)3},
        {0x80, aErrUnknown},
    };
    for (const Row& row : rows) {
        // The handler runs on the emulator's thread and outlives the row: it keeps a copy.
        const unsigned char status = row.status;
        bench.module(2).setCommandHandler(8, [status](const module_emu::Packet& request) {
            // [8][index][address or 1][length or 0][status], then any data asked for.
            module_emu::Packet r = request;
            r.data.resize(4);
            if (request.data.size() > 4)
                r.data[3] = (request.data[2] & 1) ? request.data[3] : 0;
            r.data.push_back(status);
            if ((request.data[2] & 1) && request.data.size() > 4)
                r.data.resize(r.data.size() + request.data[3], 0x11);
            return std::vector<module_emu::Packet>{r};
        });
        const unsigned char zero[2] = {0, 0};
        unsigned char in[4];
        EXPECT_EQ(bus.write(0x10, 2, zero), row.result) << "write, status " << int(row.status);
        EXPECT_EQ(bus.read(0x10, 2, in), row.result) << "read, status " << int(row.status);
        EXPECT_EQ(bus.setPullup(true), row.result) << "pull-up, status " << int(row.status);
    }
}

// A transfer whose reply came after it gave up: the next transfer with the same address gets
// its own reply, not that one.
TEST_F(I2CTest, LateReplyDoesNotAnswerTheNextTransfer)
{
    // Every first transfer of a kind is answered 1.2 s late, with data 0xA1 and status 0x83;
    // later ones at once, with data 0xB2 and status 0. The handler runs on the emulator's
    // thread and may outlive this body: it shares the counts.
    auto reads = std::make_shared<std::atomic<int>>(0);
    auto writes = std::make_shared<std::atomic<int>>(0);
    bench.module(2).setCommandHandler(8, [reads, writes](const module_emu::Packet& request) {
        bool read = request.data[2] & 1;
        bool late = (read ? (*reads)++ : (*writes)++) == 0;
        module_emu::Packet r = request;
        r.delayMs = late ? 1200 : 0;
        r.data.resize(4);
        r.data[3] = read ? request.data[3] : 0;
        r.data.push_back(late ? 0x83 : 0);
        if (read)
            r.data.resize(r.data.size() + request.data[3], late ? 0xA1 : 0xB2);
        return std::vector<module_emu::Packet>{r};
    });
    unsigned char in[2] = {0, 0};
    const unsigned char zero[2] = {0, 0};
    EXPECT_EQ(bus.read(0x10, 2, in), aErrTimeout);
    EXPECT_EQ(bus.write(0x10, 2, zero), aErrTimeout);
    // The write gave up at about 2.0 s, its late reply comes at 2.2 s.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    EXPECT_EQ(bus.read(0x10, 2, in), aErrNone) << "the status of this read";
    EXPECT_EQ(Bytes(in, in + 2), (Bytes{0xB2, 0xB2})) << "the data of this read";
    EXPECT_EQ(bus.write(0x10, 2, zero), aErrNone) << "the status of this write";
    EXPECT_EQ(reads->load(), 2);
    EXPECT_EQ(writes->load(), 2);
}
