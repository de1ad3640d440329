// Byte streams over a scripted transport: reads with push-back, writes, destroy, records.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "aStream.h"

namespace {

// A transport whose get results are scripted: each step is a byte (aErrNone) or an error.
struct Script {
    struct Step { aErr err; char byte; };
    std::deque<Step> steps;
    aErr whenEmpty = aErrNotReady;
    int gets = 0, puts = 0, writes = 0, deletes = 0;
    aErr putResult = aErrNone, deleteResult = aErrNone;
    std::string written;
    std::vector<size_t> writeSizes;

    void bytes(const std::string& s) { for (char c : s) steps.push_back({aErrNone, c}); }
    void error(aErr e) { steps.push_back({e, 0}); }
};

aErr sGet(char* byte, void* ref)
{
    Script* s = (Script*)ref;
    s->gets++;
    if (s->steps.empty())
        return s->whenEmpty;
    Script::Step st = s->steps.front();
    s->steps.pop_front();
    if (st.err == aErrNone)
        *byte = st.byte;
    return st.err;
}

aErr sPut(const char* byte, void* ref)
{
    Script* s = (Script*)ref;
    s->puts++;
    if (s->putResult != aErrNone)
        return s->putResult;
    s->written.push_back(*byte);
    return aErrNone;
}

aErr sWrite(const char* data, size_t n, void* ref)
{
    Script* s = (Script*)ref;
    s->writes++;
    s->writeSizes.push_back(n);
    s->written.append(data, n);
    return aErrNone;
}

aErr sDelete(void* ref)
{
    Script* s = (Script*)ref;
    s->deletes++;
    return s->deleteResult;
}

struct StreamFixture : testing::Test {
    Script script;
    aStream* stream = nullptr;
    void SetUp() override
    {
        stream = aStream_Create(sGet, sPut, sWrite, sDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }
    std::string read(size_t n, aErr expect)
    {
        std::string buf(n, '\x7E');
        EXPECT_EQ(aStream_Read(stream, &buf[0], n), expect);
        return buf;
    }
};

}  // namespace

TEST_F(StreamFixture, PartialReadDeliversNothingAndKeepsTheBytes)
{
    script.bytes("ab");
    EXPECT_EQ(read(4, aErrNotReady), std::string(4, '\x7E'));
    int gets = script.gets;
    EXPECT_EQ(read(2, aErrNone), "ab");
    EXPECT_EQ(script.gets, gets);   // served from the push-back ring
    EXPECT_EQ(stream->count, 0u);
}

TEST_F(StreamFixture, ReadFailingPartWayConsumesNothing)
{
    for (aErr err : {aErrIO, aErrConnection, aErrParam}) {
        SCOPED_TRACE(aError_GetErrorText(err));
        script.bytes("xyz");
        script.error(err);
        script.bytes("!");
        EXPECT_EQ(read(5, err), std::string(5, '\x7E'));
        EXPECT_EQ(read(4, aErrNone), "xyz!");
    }
}

TEST_F(StreamFixture, EndOfDataDeliversWhatCame)
{
    script.bytes("hi");
    script.error(aErrEOF);
    EXPECT_EQ(read(3, aErrEOF), std::string("hi\x7E"));
}

TEST_F(StreamFixture, PushedBackBytesComeFirstThenGet)
{
    ASSERT_EQ(aStreamBufferChar(stream, 'p'), aErrNone);
    ASSERT_EQ(aStreamBufferChar(stream, 'q'), aErrNone);
    script.bytes("rs");
    EXPECT_EQ(read(4, aErrNone), "pqrs");
    // A not-ready read after taking ring bytes puts them back in the same order.
    ASSERT_EQ(aStreamBufferChar(stream, '1'), aErrNone);
    script.bytes("2");
    EXPECT_EQ(read(3, aErrNotReady), std::string(3, '\x7E'));
    script.bytes("3");
    EXPECT_EQ(read(3, aErrNone), "123");
}

TEST_F(StreamFixture, LargeReadsAndLargePushBacks)
{
    std::string big;
    for (int i = 0; i < 3000; i++)
        big.push_back((char)('A' + i % 26));
    script.bytes(big.substr(0, 2999));
    EXPECT_EQ(read(3000, aErrNotReady), std::string(3000, '\x7E'));
    script.bytes(big.substr(2999));
    EXPECT_EQ(read(3000, aErrNone), big);
}

TEST_F(StreamFixture, RingGrowsByOneChunkWhenNearlyFull)
{
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(aStreamBufferChar(stream, (u8)i), aErrNone);
        if (i == 510) {  // 511 held
            EXPECT_EQ(stream->capacity, 512u) << "grew early";
        } else if (i == 511) {  // the 512th push grows it
            EXPECT_EQ(stream->capacity, 1024u);
        }
    }
    EXPECT_EQ(stream->count, 600u);
    for (int i = 0; i < 600; i++) {
        char c;
        ASSERT_TRUE(sStreamGetBufferedChar(stream, &c));
        EXPECT_EQ((u8)c, (u8)i) << i;
    }
    char c;
    EXPECT_FALSE(sStreamGetBufferedChar(stream, &c));
    // Interleaved pushes and takes wrap round the ring and still keep the order.
    for (int round = 0; round < 3000; round++) {
        ASSERT_EQ(aStreamBufferChar(stream, (u8)round), aErrNone);
        ASSERT_EQ(aStreamBufferChar(stream, (u8)(round + 1)), aErrNone);
        ASSERT_TRUE(sStreamGetBufferedChar(stream, &c));
        ASSERT_TRUE(sStreamGetBufferedChar(stream, &c));
        EXPECT_EQ((u8)c, (u8)(round + 1));
    }
    EXPECT_EQ(aStreamBufferChar(nullptr, 1), aErrParam);
}

TEST_F(StreamFixture, WriteChoosesPutOrWrite)
{
    EXPECT_EQ(aStream_Write(stream, "a", 1), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    EXPECT_EQ(aStream_Write(stream, "bc", 2), aErrNone);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(aStream_Write(stream, "", 0), aErrNone);
    EXPECT_EQ(script.puts + script.writes, 2);
    EXPECT_EQ(script.written, "abc");

    // Write-only: a single byte goes through write. Put-only: byte by byte, first error stops.
    Script other;
    aStream* wonly = aStream_Create(nullptr, nullptr, sWrite, nullptr, &other);
    EXPECT_EQ(aStream_Write(wonly, "z", 1), aErrNone);
    EXPECT_EQ(other.writes, 1);
    aStream_Destroy(&wonly);
    aStream* ponly = aStream_Create(nullptr, sPut, nullptr, nullptr, &other);
    EXPECT_EQ(aStream_Write(ponly, "xyz", 3), aErrNone);
    EXPECT_EQ(other.puts, 3);
    other.putResult = aErrIO;
    EXPECT_EQ(aStream_Write(ponly, "xyz", 3), aErrIO);
    EXPECT_EQ(other.puts, 4);
    aStream_Destroy(&ponly);
}

TEST(Stream, ArgumentErrors)
{
    Script s;
    aStream* none = aStream_Create(nullptr, nullptr, nullptr, nullptr, &s);
    aStream bad = *none;
    bad.check = 0;
    char buf[4];
    EXPECT_EQ(aStream_Read(nullptr, buf, 1), aErrParam);
    EXPECT_EQ(aStream_Read(&bad, buf, 1), aErrParam);
    EXPECT_EQ(aStream_Read(none, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(none, buf, 1), aErrMode);
    EXPECT_EQ(aStream_Write(&bad, "a", 1), aErrParam);
    EXPECT_EQ(aStream_Write(none, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Write(none, "a", 1), aErrMode);
    EXPECT_EQ(aStream_Flush(none, none), aErrMode);
    EXPECT_EQ(aStream_Flush(&bad, none), aErrParam);
    aStream* copy = &bad;
    EXPECT_EQ(aStream_Destroy(&copy), aErrParam);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aStream_Destroy(&none), aErrNone);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(Stream, DestroyReturnsTheTransportsResult)
{
    Script s;
    s.deleteResult = aErrIO;
    aStream* st = aStream_Create(sGet, nullptr, nullptr, sDelete, &s);
    aStreamBufferChar(st, 1);
    EXPECT_EQ(aStream_Destroy(&st), aErrIO);
    EXPECT_EQ(s.deletes, 1);
    EXPECT_EQ(st, nullptr);
}

TEST_F(StreamFixture, Records)
{
    struct Row {
        const char* name;
        std::string input;
        aErr tail;            // what get gives after the input
        std::string delim;
        size_t size;
        aErr result;
        std::string record;
        std::string next;     // what a following read of the remaining bytes sees
    };
    const Row rows[] = {
        {"line", "abc\r\nrest", aErrNotReady, "\r\n", 16, aErrNone, "abc", "rest"},
        {"record fills up", "abcdef", aErrNotReady, ";", 4, aErrNone, "abcd", "ef"},
        {"broken match is data", "a\rb\r\n", aErrNotReady, "\r\n", 16, aErrNone, "a\rb", ""},
        {"overlapping delimiter", "xaaab!", aErrNotReady, "aab", 16, aErrNone, "xa", "!"},
        {"full inside a broken match", "xyabZ", aErrNotReady, "abc", 3, aErrNone, "xya", "bZ"},
        {"not ready keeps every byte", "abc\r", aErrNotReady, "\r\n", 16, aErrNotReady, "", "abc\r"},
        {"error keeps every byte", "abc", aErrIO, "\n", 16, aErrIO, "", "abc"},
        {"end of data completes", "abc", aErrEOF, "\n", 16, aErrNone, "abc", ""},
        {"end inside a match is data", "ab\r", aErrEOF, "\r\n", 16, aErrNone, "ab\r", ""},
        {"end before any byte", "", aErrEOF, "\n", 16, aErrEOF, "", ""},
        {"empty record", "\nz", aErrNotReady, "\n", 16, aErrNone, "", "z"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        script.steps.clear();
        script.bytes(r.input);
        script.error(r.tail);
        char buf[32];
        memset(buf, '~', sizeof(buf));
        u64 count = 99;
        EXPECT_EQ(aStream_ReadRecord(stream, buf, &count, r.size, r.delim.data(), r.delim.size()),
                  r.result);
        EXPECT_EQ(count, r.record.size());
        if (r.result == aErrNone) {
            EXPECT_EQ(std::string(buf, count), r.record);
        }
        else
            EXPECT_EQ(buf[0], '~');
        // Whatever the record did not consume is read next, in order.
        std::string rest;
        char c;
        while (aStream_Read(stream, &c, 1) == aErrNone)
            rest.push_back(c);
        EXPECT_EQ(rest, r.next);
    }
}

TEST_F(StreamFixture, RecordWritersAndCStrings)
{
    EXPECT_EQ(aStream_WriteRecord(stream, "ab", 2, "\r\n", 2), aErrNone);
    EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "xy", ";"), aErrNone);
    EXPECT_EQ(script.written, std::string("ab\r\nhi\0xy;\0", 11));
    EXPECT_EQ(aStream_WriteRecord(stream, "ab", 2, "", 0), aErrParam);

    script.bytes(std::string("hello\0more", 10));
    char buf[8];
    EXPECT_EQ(aStream_ReadCString(stream, buf, sizeof(buf)), aErrNone);
    EXPECT_STREQ(buf, "hello");
    script.steps.clear();
    script.bytes("0123456789");
    EXPECT_EQ(aStream_ReadCString(stream, buf, 4), aErrNone);   // at most size - 1
    EXPECT_STREQ(buf, "012");
    script.steps.clear();
    script.bytes("k=v;;tail");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, buf, sizeof(buf), ";;"), aErrNone);
    EXPECT_STREQ(buf, "k=v");
}

TEST(Stream, FlushCopiesUntilEnd)
{
    Script src, dst;
    src.bytes("copy me");
    src.whenEmpty = aErrEOF;
    aStream* a = aStream_Create(sGet, nullptr, nullptr, nullptr, &src);
    aStream* b = aStream_Create(nullptr, sPut, nullptr, nullptr, &dst);
    EXPECT_EQ(aStream_Flush(a, b), aErrNone);
    EXPECT_EQ(dst.written, "copy me");
    src.bytes("x");
    src.whenEmpty = aErrNotReady;
    EXPECT_EQ(aStream_Flush(a, b), aErrNotReady);
    EXPECT_EQ(dst.written, "copy mex");
    src.bytes("y");
    dst.putResult = aErrIO;
    EXPECT_EQ(aStream_Flush(a, b), aErrIO);
    aStream_Destroy(&a);
    aStream_Destroy(&b);
}

TEST(Stream, FileStreams)
{
    char dir[] = "/tmp/qc_stream_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/two";
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, "h", 1), aErrNone);     // put
    EXPECT_EQ(aStream_Write(out, "i", 1), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    char buf[3] = {'~', '~', '~'};
    EXPECT_EQ(aStream_Read(in, buf, 3), aErrEOF);
    EXPECT_EQ(std::string(buf, 3), "hi~");
    EXPECT_EQ(aStream_Write(in, "x", 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);

    aStream* none = nullptr;
    EXPECT_EQ(aStream_CreateFileInput((std::string(dir) + "/missing").c_str(), &none), aErrResource);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &none), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(path.c_str(), nullptr), aErrResource);
    unlink(path.c_str());
    rmdir(dir);
}
