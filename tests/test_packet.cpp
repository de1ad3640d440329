// Packets: assembly byte by byte, creation and copies, and the entity-protocol byte helpers.
#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "aPacket.h"
#include "aUEI.h"

namespace {

struct AssemblyRow {
    const char* name;
    std::vector<u8> bytes;
    std::vector<aErr> results;   // one per byte
    bool complete;               // after the last byte
};

std::vector<u8> lengthAndData(u8 address, u8 length)
{
    std::vector<u8> v = {address, length};
    for (u8 i = 0; i < length; i++)
        v.push_back((u8)(0x40 + i));
    return v;
}

std::vector<aErr> accepted(size_t n)
{
    return std::vector<aErr>(n, aErrNone);
}

}  // namespace

TEST(PacketAssembly, PerByteResults)
{
    std::vector<aErr> full28 = accepted(30);
    std::vector<aErr> over = accepted(30);
    over.push_back(aErrOverrun);
    over.push_back(aErrOverrun);
    std::vector<u8> over28 = lengthAndData(4, 28);
    over28.push_back(1);
    over28.push_back(2);
    const AssemblyRow rows[] = {
        {"two data bytes", {0x04, 0x02, 0x11, 0x22}, accepted(4), true},
        {"empty packet", {0x04, 0x00}, accepted(2), true},
        {"address only", {0x04}, accepted(1), false},
        {"odd address", {0x05}, {aErrPacket}, false},
        {"zero address", {0x00}, {aErrPacket}, false},
        {"link-level address is odd", {cmdMAGIC}, {aErrPacket}, false},
        {"length 29", {0x04, 29}, {aErrNone, aErrPacket}, false},
        {"length 28 completes at 30", lengthAndData(4, 28), full28, true},
        {"bytes past the longest packet", over28, over, false},
        {"byte past a short packet", {0x06, 0x01, 0x33, 0x44}, {aErrNone, aErrNone, aErrNone, aErrPacket}, false},
    };
    for (const AssemblyRow& row : rows) {
        SCOPED_TRACE(row.name);
        aPacket* p = aPacket_Create();
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(row.bytes.size(), row.results.size());
        for (size_t i = 0; i < row.bytes.size(); i++)
            EXPECT_EQ(aPacket_AddByte(p, row.bytes[i]), row.results[i]) << "byte " << i;
        EXPECT_EQ(aPacket_IsComplete(p), row.complete);
        aPacket_Destroy(&p);
    }
}

TEST(PacketAssembly, FieldsOfAnAssembledPacket)
{
    aPacket* p = aPacket_Create();
    for (u8 b : {0x04, 0x02, 0x11, 0x22})
        ASSERT_EQ(aPacket_AddByte(p, b), aErrNone);
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 2);
    EXPECT_EQ(p->received, 4);
    EXPECT_EQ(p->data[0], 0x11);
    EXPECT_EQ(p->data[1], 0x22);
    // Reset zeroes every data byte so the bytes past a new, shorter packet read 0.
    ASSERT_EQ(aPacket_Reset(p), aErrNone);
    for (u8 b : {0x08, 0x01, 0x77})
        ASSERT_EQ(aPacket_AddByte(p, b), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(p));
    EXPECT_EQ(p->data[1], 0);
    aPacket_Destroy(&p);
}

TEST(PacketAssembly, FeedingOnAfterErrorsKeepsTheRecordIntact)
{
    // A careless caller keeps feeding a rejected packet far past 255 bytes; the byte count
    // must not wrap round and send bytes into the header fields or past the packet's length.
    aPacket* p = aPacket_Create();
    ASSERT_EQ(aPacket_AddByte(p, 4), aErrNone);
    ASSERT_EQ(aPacket_AddByte(p, 5), aErrNone);
    for (int i = 0; i < 600; i++)
        aPacket_AddByte(p, 0xEE);
    EXPECT_EQ(p->check, aPACKETCHECK);
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 5);
    for (int i = 5; i < aPACKETMAXDATA; i++)
        EXPECT_EQ(p->data[i], 0) << i;
    EXPECT_EQ(aPacket_AddByte(p, 1), aErrOverrun);
    EXPECT_FALSE(aPacket_IsComplete(p));
    aPacket_Destroy(&p);

    // A refused length byte stays in the record; fed on to the end, such a record must never
    // read as a complete packet whose length runs past its data.
    for (u8 length : {29, 30, 255}) {
        SCOPED_TRACE(length);
        p = aPacket_Create();
        ASSERT_EQ(aPacket_AddByte(p, 4), aErrNone);
        ASSERT_EQ(aPacket_AddByte(p, length), aErrPacket);
        for (int i = 0; i < 300; i++) {
            aPacket_AddByte(p, 0xEE);
            EXPECT_FALSE(aPacket_IsComplete(p)) << "after " << i + 3 << " bytes";
        }
        aPacket_Destroy(&p);
    }
}

TEST(PacketAssembly, InvalidPacketsAreRefused)
{
    aPacket bad = aPacket();
    EXPECT_EQ(aPacket_AddByte(nullptr, 4), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&bad, 4), aErrParam);
    EXPECT_EQ(bad.received, 0);
    EXPECT_EQ(aPacket_Reset(&bad), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&bad));
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
}

TEST(PacketCreate, WithDataAndCopies)
{
    u8 data[29];
    for (int i = 0; i < 29; i++)
        data[i] = (u8)(i + 1);
    struct Row { u8 length; const u8* data; bool made; };
    const Row rows[] = {
        {28, data, true}, {29, data, false}, {0, data, true}, {0, nullptr, false}, {3, nullptr, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "length " << (int)r.length);
        aPacket* p = aPacket_CreateWithData(0x0A, r.length, r.data);
        ASSERT_EQ(p != nullptr, r.made);
        if (!p)
            continue;
        EXPECT_TRUE(aVALIDPACKET(p));
        EXPECT_TRUE(aPacket_IsComplete(p));
        EXPECT_EQ(p->address, 0x0A);
        EXPECT_EQ(p->received, r.length + 2);
        EXPECT_EQ(memcmp(p->data, data, r.length), 0);
        for (int i = r.length; i < aPACKETMAXDATA; i++)
            EXPECT_EQ(p->data[i], 0) << i;
        aPacket* c = aPacket_Copy(p);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->check, aPACKETCHECK);
        EXPECT_EQ(c->address, p->address);
        EXPECT_EQ(c->length, p->length);
        EXPECT_EQ(c->received, p->received);
        EXPECT_EQ(memcmp(c->data, p->data, aPACKETMAXDATA), 0);
        aPacket_Destroy(&c);
        aPacket_Destroy(&p);
        EXPECT_EQ(p, nullptr);
    }
    // Link-level packets are made with their odd addresses as given.
    const u8 on = 1;
    aPacket* route = aPacket_CreateWithData(cmdFORCEROUTE, 1, &on);
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(route->address, 0xAF);
    aPacket_Destroy(&route);
}

TEST(PacketCreate, CopyRefusesInvalidAndOverlongPackets)
{
    aPacket p = aPacket();
    EXPECT_EQ(aPacket_Copy(&p), nullptr);       // no check value
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    p.check = aPACKETCHECK;
    p.address = 4;
    p.length = 29;                              // would copy past data[27]
    EXPECT_EQ(aPacket_Copy(&p), nullptr);
    p.length = 28;
    aPacket* c = aPacket_Copy(&p);
    EXPECT_NE(c, nullptr);
    aPacket_Destroy(&c);

    aPacket* none = nullptr;
    EXPECT_EQ(aPacket_Destroy(&none), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(PacketFields, CommandOptionIndex)
{
    const u8 bytes[] = {0x55, 0xC7, 0xFF};
    struct Row { u8 length; aErr cmd, option, index; };
    const Row rows[] = {
        {0, aErrPacket, aErrPacket, aErrPacket},
        {1, aErrNone, aErrPacket, aErrPacket},
        {2, aErrNone, aErrNone, aErrPacket},
        {3, aErrNone, aErrNone, aErrNone},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "length " << (int)r.length);
        aPacket* p = aPacket_CreateWithData(4, r.length, bytes);
        u8 v = 0xEE;
        EXPECT_EQ(aPacket_GetCmd(p, &v), r.cmd);
        if (r.cmd == aErrNone) {
            EXPECT_EQ(v, 0x55);
        }
        EXPECT_EQ(aPacket_GetOption(p, &v), r.option);
        if (r.option == aErrNone) {
            EXPECT_EQ(v, 0x07);
        }
        EXPECT_EQ(aPacket_GetIndex(p, &v), r.index);
        if (r.index == aErrNone) {
            EXPECT_EQ(v, 0x1F);
        }
        EXPECT_EQ(aPacket_GetCmd(p, nullptr), aErrParam);
        aPacket_Destroy(&p);
    }
    u8 v;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(UEIBytes, BigEndianLoadsAndStores)
{
    u8 b[4] = {0};
    aUEI_StoreInt(b, 0x12345678);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
    EXPECT_EQ(b[2], 0x56);
    EXPECT_EQ(b[3], 0x78);
    EXPECT_EQ(aUEI_RetrieveInt(b), 0x12345678u);
    const u8 s[2] = {0xFF, 0x01};
    EXPECT_EQ(aUEI_RetrieveShort(s), 0xFF01);
    aUEI_StoreShort(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xBE);
    EXPECT_EQ(b[1], 0xEF);
    const u8 high[4] = {0xFE, 0xDC, 0xBA, 0x98};
    EXPECT_EQ(aUEI_RetrieveInt(high), 0xFEDCBA98u);

    u32 words[2];
    const u8 raw[8] = {0x00, 0x00, 0x01, 0x02, 0xA0, 0xB0, 0xC0, 0xD0};
    memcpy(words, raw, sizeof(raw));
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x0102u);
    EXPECT_EQ(words[1], 0xA0B0C0D0u);
}

TEST(UEIBytes, ChunkTrailer)
{
    struct Row { std::vector<u8> data; u8 sequence, more; bool full; };
    const Row rows[] = {
        {{0x10, 0x85}, 5, 1, false},
        {{0x7F}, 0x7F, 0, false},
        {{}, 0, 0, false},                       // no last byte to read
        {std::vector<u8>(27, 0x81), 1, 1, true},
        {std::vector<u8>(28, 0x02), 2, 0, true},
        {std::vector<u8>(26, 0x02), 2, 0, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "length " << r.data.size());
        aPacket* p = aPacket_CreateWithData(4, (u8)r.data.size(), r.data.data() ? r.data.data() : (const u8*)"");
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(aUEI_getBytesSequence(p), r.sequence);
        EXPECT_EQ(aUEI_getBytesContinue(p), r.more);
        EXPECT_EQ(aUEI_getBytesFullPacket(p), r.full);
        aPacket_Destroy(&p);
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEIBytes, PayloadAndStreamTests)
{
    const u8 notEntity[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; cmd++) {
        bool listed = memchr(notEntity, cmd, sizeof(notEntity)) != nullptr;
        const u8 d[1] = {(u8)cmd};
        aPacket* p = aPacket_CreateWithData(4, 1, d);
        EXPECT_EQ(aUEI_isNotUEIPayload(p), listed) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(p), !listed) << cmd;
        aPacket_Destroy(&p);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));

    struct Row { const char* name; std::vector<u8> data; bool stream; };
    const Row rows[] = {
        {"stream packet", {3, 0x05, 0x40, 1, 2}, true},
        {"exactly 4 data bytes", {3, 0x05, 0x40, 1}, false},
        {"I2C command", {8, 0x05, 0x40, 1, 2}, false},
        {"option 64", {3, 64, 0x40, 1, 2}, false},
        {"option 63", {3, 63, 0x40, 1, 2}, true},
        {"specifier without 0x40", {3, 0x05, 0x3F, 1, 2}, false},
        {"specifier 0xC0", {3, 0x05, 0xC0, 1, 2}, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        aPacket* p = aPacket_CreateWithData(4, (u8)r.data.size(), r.data.data());
        EXPECT_EQ(aUEI_isStreamPacket(p), r.stream);
        aPacket_Destroy(&p);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}
