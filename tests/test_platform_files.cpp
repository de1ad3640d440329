#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "aDirectory.h"
#include "ScratchDir.h"
#include "aFile.h"
#include "SkipOrFail.h"

namespace {

// A fresh directory per test, removed with everything in it afterwards.
class Scratch : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.empty()); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string put(const std::string& name, const std::string& content) const
    {
        std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    static std::string contents(const std::string& p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool isDir(const std::string& p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    ScratchDir scratch{"qc_platform"};
    const std::string dir = scratch.path;
};

using Files = Scratch;
using Directories = Scratch;

TEST_F(Files, OpenRefusesBadArguments)
{
    std::string existing = put("e", "x");
    struct Row { std::string path; int mode; };
    const Row rows[] = {
        {existing, 3},
        {existing, -1},
        {"", 0},
        {"", 1},
        {"/" + std::string(4096, 'p'), 0},  // 4097 characters
        {path("missing"), 0},
        {path("no/such/dir/f"), 1},
    };
    for (const Row& r : rows) {
        aFile* f = aFile_Open(r.path.c_str(), r.mode);
        EXPECT_EQ(f, nullptr) << r.path.substr(0, 40) << " mode " << r.mode;
        aFile_Close(&f);
    }
    EXPECT_EQ(aFile_Open(NULL, 0), nullptr);
}

TEST_F(Files, WriteModeCreatesAndEmpties)
{
    std::string fresh = path("fresh");
    aFile* f = aFile_Open(fresh.c_str(), aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    EXPECT_TRUE(aFile_Exists(fresh.c_str()));
    EXPECT_EQ(contents(fresh), "");

    std::string old = put("old", "previous content");
    f = aFile_Open(old.c_str(), aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    u64 count = 99;
    EXPECT_EQ(aFile_Write(f, "new", 3, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(contents(old), "new");
}

TEST_F(Files, ModesGateReadingAndWriting)
{
    std::string p = put("m", "abc\n");
    char buffer[16];
    u64 count = 0;
    struct Row { int mode; aErr read; aErr write; aErr printf_; aErr line; aErr unbuffered; };
    const Row rows[] = {
        {aFILE_MODE_READ, aErrNone, aErrMode, aErrMode, aErrNone, aErrMode},
        {aFILE_MODE_WRITE, aErrMode, aErrNone, aErrNone, aErrMode, aErrNone},
        {aFILE_MODE_APPEND, aErrNone, aErrNone, aErrNone, aErrNone, aErrNone},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mode);
        put("m", "abc\n");
        aFile* f = aFile_Open(p.c_str(), r.mode);
        ASSERT_NE(f, nullptr);
        // Append mode starts at the end; reading starts from the beginning.
        EXPECT_EQ(aFile_Seek(f, 0, 0), aErrNone);
        EXPECT_EQ(aFile_Read(f, buffer, 1, &count), r.read);
        EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), &count), r.line);
        EXPECT_EQ(aFile_Write(f, "x", 1, &count), r.write);
        EXPECT_EQ(aFile_Printf(f, "%d", 7), r.printf_);
        EXPECT_EQ(aFile_SetUnbuffered(f), r.unbuffered);
        EXPECT_EQ(aFile_Read(f, NULL, 1, &count), r.read == aErrNone ? aErrParam : r.read);
        EXPECT_EQ(aFile_Write(f, NULL, 1, &count), r.write == aErrNone ? aErrParam : r.write);
        EXPECT_EQ(aFile_Close(&f), aErrNone);
    }
}

TEST_F(Files, NullHandlesAreRefused)
{
    char buffer[8] = "keep";
    u64 n = 5;
    s64 position = 0;
    EXPECT_EQ(aFile_Read(NULL, buffer, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Write(NULL, buffer, 1, &n), aErrParam);
    EXPECT_EQ(aFile_Seek(NULL, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(NULL, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(NULL, buffer, sizeof(buffer), &n), aErrParam);
    EXPECT_STREQ(buffer, "");  // the buffer is emptied before the check
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Printf(NULL, "x"), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(NULL), aErrParam);
    EXPECT_EQ(aFile_GetPosition(NULL, &position), aErrParam);
    EXPECT_EQ(aFile_Close(NULL), aErrParam);
    aFile* none = NULL;
    EXPECT_EQ(aFile_Close(&none), aErrParam);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Files, AppendKeepsContentAndReadsBack)
{
    std::string p = put("a", "abc");
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_APPEND);
    ASSERT_NE(f, nullptr);
    s64 position = -1;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 3);
    EXPECT_EQ(aFile_Write(f, "def\n", 4, NULL), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 0, 0), aErrNone);
    char line[32];
    u64 length = 0;
    EXPECT_EQ(aFile_ReadLine(f, line, sizeof(line), &length), aErrNone);
    EXPECT_STREQ(line, "abcdef\n");
    // A write straight after a read still lands at the end.
    EXPECT_EQ(aFile_Seek(f, 1, 0), aErrNone);
    EXPECT_EQ(aFile_Read(f, line, 1, &length), aErrNone);
    EXPECT_EQ(aFile_Printf(f, "%s-%d\n", "g", 42), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(contents(p), "abcdef\ng-42\n");
}

TEST_F(Files, UnbufferedWritesReachTheFileAtOnce)
{
    std::string p = path("log");
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_APPEND);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
    EXPECT_EQ(aFile_Printf(f, "line %d\n", 1), aErrNone);
    EXPECT_EQ(contents(p), "line 1\n");
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, ReadCountsAndEndOfFile)
{
    std::string p = put("r", "0123456789");
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_READ);
    ASSERT_NE(f, nullptr);
    char buffer[16] = {0};
    u64 count = 99;
    EXPECT_EQ(aFile_Read(f, buffer, 0, &count), aErrNone);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(aFile_Seek(f, -4, 2), aErrNone);
    EXPECT_EQ(aFile_Read(f, buffer, 10, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    count = 99;
    EXPECT_EQ(aFile_Read(f, buffer, 10, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(f, buffer, 10, NULL), aErrEOF);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, FailedWritesAreIOErrors)
{
    // /dev/full takes no byte: an unbuffered write fails at once, a buffered one at close.
    aFile* f = aFile_Open("/dev/full", aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_SetUnbuffered(f), aErrNone);
    u64 count = 99;
    EXPECT_EQ(aFile_Write(f, "abc", 3, &count), aErrIO);
    EXPECT_LT(count, 3u);
    EXPECT_EQ(aFile_Printf(f, "%s", "abc"), aErrIO);
    EXPECT_EQ(aFile_Write(f, "abc", 0, &count), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrNone);

    f = aFile_Open("/dev/full", aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Write(f, "abc", 3, &count), aErrNone);  // still in the stream's buffer
    EXPECT_EQ(aFile_Close(&f), aErrIO);
    EXPECT_EQ(f, nullptr);

    // More than the stream buffers fails during the write itself.
    f = aFile_Open("/dev/full", aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    std::vector<char> big(1 << 20, 'z');
    EXPECT_EQ(aFile_Write(f, big.data(), big.size(), &count), aErrIO);
    EXPECT_LT(count, big.size());
    aFile_Close(&f);
    EXPECT_EQ(f, nullptr);
}

TEST_F(Files, PartialWriteIsAnIOError)
{
    // A file-size limit lets the first bytes through and refuses the rest.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    aFile* f = aFile_Open(path("capped").c_str(), aFILE_MODE_WRITE);
    aErr result = aErrNone;
    u64 count = 0;
    std::vector<char> data(3 * 4096, 'q');
    if (f) {
        aFile_SetUnbuffered(f);
        result = aFile_Write(f, data.data(), data.size(), &count);
        aFile_Close(&f);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, aErrIO);
    EXPECT_EQ(count, 4096u);
}

TEST_F(Files, SeekTargets)
{
    std::string p = put("s", "0123456789");
    struct Row { s64 start; s64 offset; int origin; aErr result; s64 position; };
    const Row rows[] = {
        {4, 0, 0, aErrNone, 0},
        {4, 10, 0, aErrNone, 10},
        {4, 11, 0, aErrRange, 4},
        {4, -1, 0, aErrRange, 4},
        {4, 3, 1, aErrNone, 7},
        {4, -4, 1, aErrNone, 0},
        {4, -5, 1, aErrRange, 4},
        {4, 7, 1, aErrRange, 4},
        {4, -1, 2, aErrNone, 9},
        {4, 0, 2, aErrNone, 10},
        {4, 1, 2, aErrRange, 4},
        {4, -11, 2, aErrRange, 4},
        {4, 5, 7, aErrNone, 5},  // an unknown origin counts as the start
        {4, INT64_MAX, 1, aErrRange, 4},
        {4, INT64_MIN, 2, aErrRange, 4},
    };
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_READ);
    ASSERT_NE(f, nullptr);
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.offset << " from " << r.origin);
        ASSERT_EQ(aFile_Seek(f, r.start, 0), aErrNone);
        EXPECT_EQ(aFile_Seek(f, r.offset, r.origin), r.result);
        s64 position = -1;
        EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
        EXPECT_EQ(position, r.position);
    }
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, SizeLeavesThePosition)
{
    std::string p = put("z", "0123456789");
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_READ);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(aFile_Seek(f, 3, 0), aErrNone);
    u64 size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    s64 position = -1;
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrNone);
    EXPECT_EQ(position, 3);
    EXPECT_EQ(aFile_GetSize(f, NULL), aErrParam);
    EXPECT_EQ(aFile_GetPosition(f, NULL), aErrParam);
    EXPECT_EQ(aFile_Close(&f), aErrNone);

    // Bytes still in the stream's buffer count as well.
    f = aFile_Open(path("w").c_str(), aFILE_MODE_WRITE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Write(f, "12345", 5, NULL), aErrNone);
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, ReadLine)
{
    struct Step { aErr result; const char* text; };
    struct Row { const char* content; size_t size; std::vector<Step> steps; };
    const Row rows[] = {
        {"abcdef\n", 8, {{aErrNone, "abcdef\n"}, {aErrEOF, ""}}},
        {"abcdefg\n", 8, {{aErrOverrun, "abcdefg"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
        {"abc", 8, {{aErrNone, "abc"}, {aErrEOF, ""}}},
        // A last line that fills the buffer exactly is whole.
        {"abcdefg", 8, {{aErrNone, "abcdefg"}, {aErrEOF, ""}}},
        {"abcdefgh", 8, {{aErrOverrun, "abcdefg"}, {aErrNone, "h"}, {aErrEOF, ""}}},
        {"one\ntwo\n\nthree", 64,
         {{aErrNone, "one\n"}, {aErrNone, "two\n"}, {aErrNone, "\n"}, {aErrNone, "three"},
          {aErrEOF, ""}}},
        {"a\n\nb", 2,
         {{aErrOverrun, "a"}, {aErrNone, "\n"}, {aErrNone, "\n"}, {aErrNone, "b"},
          {aErrEOF, ""}}},
        {"", 8, {{aErrEOF, ""}, {aErrEOF, ""}}},
        {"\r\n", 8, {{aErrNone, "\r\n"}, {aErrEOF, ""}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << '"' << r.content << "\" size " << r.size);
        std::string p = put("lines", r.content);
        aFile* f = aFile_Open(p.c_str(), aFILE_MODE_READ);
        ASSERT_NE(f, nullptr);
        for (const Step& s : r.steps) {
            std::vector<char> buffer(r.size, '#');
            u64 length = 99;
            EXPECT_EQ(aFile_ReadLine(f, buffer.data(), r.size, &length), s.result);
            EXPECT_STREQ(buffer.data(), s.text);
            EXPECT_EQ(length, strlen(s.text));
        }
        EXPECT_EQ(aFile_Close(&f), aErrNone);
    }
}

TEST_F(Files, ReadLineRefusesTinyBuffers)
{
    std::string p = put("t", "abc\n");
    aFile* f = aFile_Open(p.c_str(), aFILE_MODE_READ);
    ASSERT_NE(f, nullptr);
    char one[1] = {'#'};
    u64 length = 9;
    EXPECT_EQ(aFile_ReadLine(f, one, 1, &length), aErrParam);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(aFile_ReadLine(f, NULL, 8, &length), aErrParam);
    EXPECT_EQ(length, 0u);
    // Nothing was consumed by the refused calls.
    char buffer[8];
    EXPECT_EQ(aFile_ReadLine(f, buffer, sizeof(buffer), NULL), aErrNone);
    EXPECT_STREQ(buffer, "abc\n");
    EXPECT_EQ(aFile_Close(&f), aErrNone);
}

TEST_F(Files, ExistsAndDelete)
{
    std::string file = put("f", "x");
    ASSERT_EQ(symlink(file.c_str(), path("link").c_str()), 0);
    ASSERT_EQ(symlink(path("gone").c_str(), path("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    std::string tooLong = "/" + std::string(4096, 'p');
    std::vector<std::pair<std::string, bool>> table = {
        {file, true}, {path("link"), true},     {path("dangling"), false},
        {path("d"), false}, {path("missing"), false}, {tooLong, false},
    };
    for (const auto& r : table)
        EXPECT_EQ(aFile_Exists(r.first.c_str()), r.second) << r.first.substr(0, 60);
    EXPECT_FALSE(aFile_Exists(NULL));

    std::vector<std::pair<std::string, aErr>> deletes = {
        {path("missing"), aErrNotFound},
        {tooLong, aErrFileNameLength},
        {path("d"), aErrIO},
        {path("link"), aErrNone},
        {file, aErrNone},
        {file, aErrNotFound},
    };
    for (const auto& r : deletes)
        EXPECT_EQ(aFile_Delete(r.first.c_str()), r.second) << r.first.substr(0, 60);
    EXPECT_EQ(aFile_Delete(NULL), aErrParam);
    EXPECT_FALSE(aFile_Exists(file.c_str()));
}

TEST_F(Directories, Exists)
{
    put("f", "x");
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ASSERT_EQ(symlink(path("d").c_str(), path("ld").c_str()), 0);
    std::vector<std::pair<std::string, bool>> table = {
        {dir, true}, {path("d"), true}, {path("ld"), true}, {path("f"), false},
        {path("missing"), false}, {"", false},
    };
    for (const auto& r : table)
        EXPECT_EQ(aDirectory_Exists(r.first.c_str()), r.second) << r.first;
    EXPECT_FALSE(aDirectory_Exists(NULL));
}

TEST_F(Directories, EnsureMakesEveryMissingAncestor)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    aErr relative = aDirectory_Ensure("a/b/c", 0755);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(relative, aErrNone);
    for (const char* p : {"a", "a/b", "a/b/c"})
        EXPECT_TRUE(isDir(path(p))) << p;

    put("file", "x");
    struct Row { std::string path; aErr result; bool made; };
    const Row rows[] = {
        {path("a/b/c"), aErrNone, true},
        {path("x//y///z/"), aErrNone, true},
        {"/" + dir + "/p/q", aErrNone, true},
        {path("file/sub"), aErrPermission, false},
        {path("file/sub/deeper"), aErrPermission, false},
        // A file where the directory should be is not reported as made.
        {path("file"), aErrPermission, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(aDirectory_Ensure(r.path.c_str(), 0755), r.result) << r.path;
        EXPECT_EQ(isDir(r.path), r.made) << r.path;
    }
    EXPECT_TRUE(isDir(path("x/y")));
    EXPECT_EQ(aDirectory_Ensure(NULL, 0755), aErrParam);

    mode_t old = umask(022);
    EXPECT_EQ(aDirectory_Ensure(path("m1/m2").c_str(), 0750), aErrNone);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path("m1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    ASSERT_EQ(stat(path("m1/m2").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

struct Seen {
    std::map<std::string, std::pair<u32, u32>> entries;  // path -> size, isDirectory
    int calls = 0;
    int stopAfter = -1;
};

bool sCollect(const aDirectoryListData* entry, void* ref)
{
    Seen* seen = static_cast<Seen*>(ref);
    seen->entries[entry->path] = {entry->size, entry->isDirectory};
    ++seen->calls;
    return seen->calls != seen->stopAfter;
}

TEST_F(Directories, ListMissingAndEmpty)
{
    Seen seen;
    EXPECT_EQ(aDirectory_List(path("missing").c_str(), sCollect, &seen), aErrNotFound);
    EXPECT_EQ(seen.calls, 0);

    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_List(path("empty").c_str(), sCollect, &seen), aErrNone);
    EXPECT_EQ(seen.calls, 2);
    std::map<std::string, std::pair<u32, u32>> expected = {
        {path("empty/."), {seen.entries[path("empty/.")].first, 1}},
        {path("empty/.."), {seen.entries[path("empty/..")].first, 1}},
    };
    EXPECT_EQ(seen.entries, expected);
    EXPECT_EQ(aDirectory_List(NULL, sCollect, &seen), aErrParam);
    EXPECT_EQ(aDirectory_List(dir.c_str(), NULL, &seen), aErrParam);
}

TEST_F(Directories, ListEntriesFollowingLinks)
{
    std::string outside = dir + "_outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::string tree = path("tree");
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    put("tree/file", "hello");
    ASSERT_EQ(mkdir(path("tree/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), path("tree/away").c_str()), 0);
    ASSERT_EQ(symlink(path("tree/file").c_str(), path("tree/alias").c_str()), 0);
    ASSERT_EQ(symlink(path("tree/gone").c_str(), path("tree/dangling").c_str()), 0);

    for (const std::string& given : {tree, tree + "/"}) {
        SCOPED_TRACE(given);
        Seen seen;
        EXPECT_EQ(aDirectory_List(given.c_str(), sCollect, &seen), aErrNone);
        EXPECT_EQ(seen.calls, 6);
        ASSERT_EQ(seen.entries.count(tree + "/file"), 1u);
        EXPECT_EQ(seen.entries[tree + "/file"], std::make_pair(5u, 0u));
        EXPECT_EQ(seen.entries[tree + "/sub"].second, 1u);
        // A link is listed as what it points at; one that points nowhere is not listed.
        ASSERT_EQ(seen.entries.count(tree + "/away"), 1u);
        EXPECT_EQ(seen.entries[tree + "/away"].second, 1u);
        EXPECT_EQ(seen.entries[tree + "/alias"], std::make_pair(5u, 0u));
        EXPECT_EQ(seen.entries.count(tree + "/dangling"), 0u);
    }
    Seen stopped;
    stopped.stopAfter = 2;
    EXPECT_EQ(aDirectory_List(tree.c_str(), sCollect, &stopped), aErrNone);
    EXPECT_EQ(stopped.calls, 2);
    rmdir(outside.c_str());
}

TEST_F(Directories, ListHandsFullPathsBeyond2048Bytes)
{
    std::string deep = dir;
    while (deep.size() <= 2100) {
        deep += "/" + std::string(250, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    std::string name(200, 'f');
    std::ofstream(deep + "/" + name) << "12";
    Seen seen;
    EXPECT_EQ(aDirectory_List(deep.c_str(), sCollect, &seen), aErrNone);
    EXPECT_EQ(seen.calls, 3);
    ASSERT_EQ(seen.entries.count(deep + "/" + name), 1u);
    EXPECT_EQ(seen.entries[deep + "/" + name], std::make_pair(2u, 0u));
}

TEST(Paths, Join)
{
    struct Row { size_t size; const char* a; const char* b; aErr result; const char* joined; };
    const Row rows[] = {
        {64, "/x", "y", aErrNone, "/x/y"},
        {64, "/x/", "y", aErrNone, "/x/y"},
        {64, "a/", "/b", aErrNone, "a//b"},
        {64, "a", "/b", aErrNone, "a/b"},
        {64, "a", "", aErrNone, "a/"},
        {64, "", "x", aErrNone, "/x"},
        {6, "abcd", "e", aErrOverrun, "abcd"},
        {6, "abc", "d", aErrOverrun, "abc/"},
        {6, "ab", "d", aErrNone, "ab/d"},
        {6, "abcde", "f", aErrOverrun, ""},
        {6, "abcd", NULL, aErrNone, "abcd"},
        {6, "abcde", NULL, aErrOverrun, ""},
        {2, "", NULL, aErrNone, ""},
        {2, "a", NULL, aErrOverrun, ""},
        {1, "a", "b", aErrParam, ""},
        {0, "a", "b", aErrParam, "#"},
        {64, NULL, "b", aErrParam, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.size << " [" << (r.a ? r.a : "NULL") << "] ["
                                        << (r.b ? r.b : "NULL") << "]");
        char buffer[64];
        memset(buffer, '#', sizeof(buffer));
        buffer[sizeof(buffer) - 1] = '\0';
        EXPECT_EQ(aDirectory_JoinPath(buffer, r.size, r.a, r.b), r.result);
        if (r.size == 0)
            EXPECT_EQ(buffer[0], '#');
        else
            EXPECT_STREQ(buffer, r.joined);
    }
    EXPECT_EQ(aDirectory_JoinPath(NULL, 64, "a", "b"), aErrParam);
}

TEST(Paths, BuildFromManyParts)
{
    char buffer[128];
    const char* p[12] = {"r", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", NULL};
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), p[0], p[1], p[2], p[3], p[4], p[5],
                                   p[6], p[7], p[8], p[9], (const char*)NULL),
              aErrNone);
    EXPECT_STREQ(buffer, "r/1/2/3/4/5/6/7/8/9");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), p[0], p[1], p[2], p[3], p[4], p[5],
                                   p[6], p[7], p[8], p[9], p[10], (const char*)NULL),
              aErrParam);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "home", "user/", "/.velmoran",
                                   "updater", (const char*)NULL),
              aErrNone);
    EXPECT_STREQ(buffer, "home/user//.velmoran/updater");
    // The buffer cannot be one of its own parts: it is emptied before the parts are read.
    strcpy(buffer, "self");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), buffer, "x", (const char*)NULL),
              aErrParam);
    strcpy(buffer, "self");
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "x", buffer + 1, (const char*)NULL),
              aErrParam);
}

TEST(Paths, BackwardsSearch)
{
    const char* text = "a/b/a/b";
    struct Row { const char* pattern; const char* found; };
    const Row rows[] = {
        {"a/b", text + 4}, {"/", text + 5}, {"b", text + 6}, {"a/b/a/b", text},
        {"", text},        {"c", NULL},     {"a/b/a/b/", NULL},
    };
    for (const Row& r : rows)
        EXPECT_EQ(backwards_memcmp(text, r.pattern), r.found) << r.pattern;
    EXPECT_EQ(backwards_memcmp("", "x"), nullptr);
}

TEST(Home, FromThePasswordEntry)
{
    struct passwd* pw = getpwuid(getuid());
    if (!pw || !pw->pw_dir || !pw->pw_dir[0])
        QC_SKIP_OR_FAIL("no password entry for this user");
    std::string home = pw->pw_dir;
    char buffer[4096];
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
    EXPECT_EQ(std::string(buffer), home);
    // A buffer too small gets a terminated cut copy, reported as such.
    std::vector<char> small(home.size(), '#');
    EXPECT_NE(aDirectory_GetHomeDirectory(small.data(), small.size()), aErrNone);
    EXPECT_EQ(std::string(small.data()), home.substr(0, home.size() - 1));
    EXPECT_EQ(aDirectory_GetHomeDirectory(NULL, 16), aErrParam);
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, 0), aErrParam);
}

// Runs the lookup as uid, a user without password entry, in a child so the test keeps its ids.
static int sHomeWithoutEntry(uid_t uid, const char* homeVariable, std::string* out)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        if (setgid(uid) != 0 || setuid(uid) != 0)
            _exit(100);
        if (homeVariable)
            setenv("HOME", homeVariable, 1);
        else
            unsetenv("HOME");
        char buffer[256];
        aErr result = aDirectory_GetHomeDirectory(buffer, sizeof(buffer));
        if (write(pipeFds[1], buffer, strlen(buffer)) < 0)
            _exit(101);
        _exit(result);
    }
    close(pipeFds[1]);
    char got[256];
    ssize_t n = read(pipeFds[0], got, sizeof(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    *out = n > 0 ? std::string(got, (size_t)n) : std::string();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Home, FallsBackToTheEnvironment)
{
    if (geteuid() != 0)
        QC_SKIP_OR_FAIL("needs root to become a user without password entry");
    uid_t uid = 54321;
    while (getpwuid(uid) && uid < 54400)
        ++uid;
    ASSERT_FALSE(getpwuid(uid)) << "every uid from 54321 to 54400 has a password entry";
    std::string got;
    EXPECT_EQ(sHomeWithoutEntry(uid, "/srv/elsewhere", &got), aErrNone);
    EXPECT_EQ(got, "/srv/elsewhere");
    int result = sHomeWithoutEntry(uid, NULL, &got);
    EXPECT_NE(result, aErrNone);
    EXPECT_NE(result, 100);
    EXPECT_EQ(got, "");
}

TEST_F(Directories, DeleteTreeStaysInsideTheTree)
{
    std::string outside = dir + "_keep";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    std::ofstream(outside + "/precious") << "keep";
    std::string tree = path("tree");
    ASSERT_EQ(aDirectory_Ensure((tree + "/a/b/c").c_str(), 0755), aErrNone);
    put("tree/top", "1");
    put("tree/a/b/leaf", "2");
    ASSERT_EQ(symlink(outside.c_str(), path("tree/a/away").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), path("tree/a/b/c/ref").c_str()), 0);

    EXPECT_EQ(aDirectory_DeleteTree(tree.c_str()), aErrNone);
    EXPECT_FALSE(isDir(tree));
    EXPECT_EQ(contents(outside + "/precious"), "keep");
    std::filesystem::remove_all(outside);

    EXPECT_EQ(aDirectory_DeleteTree(path("missing").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(NULL), aErrParam);
}

TEST_F(Directories, DeleteOnlyEmpty)
{
    ASSERT_EQ(mkdir(path("full").c_str(), 0755), 0);
    put("full/f", "x");
    ASSERT_EQ(mkdir(path("empty").c_str(), 0755), 0);
    EXPECT_EQ(aDirectory_Delete(path("full").c_str()), aErrUnknown);
    EXPECT_TRUE(isDir(path("full")));
    EXPECT_EQ(aDirectory_Delete(path("empty").c_str()), aErrNone);
    EXPECT_FALSE(isDir(path("empty")));
    EXPECT_EQ(aDirectory_Delete(path("empty").c_str()), aErrUnknown);
}

TEST(Process, WorkingDirectoryAndExecutable)
{
    char expected[4096];
    ASSERT_NE(getcwd(expected, sizeof(expected)), nullptr);
    char buffer[4096];
    EXPECT_EQ(aDirectory_CWD(buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_CWD(buffer, strlen(expected)), aErrParam);

    ssize_t n = readlink("/proc/self/exe", expected, sizeof(expected) - 1);
    ASSERT_GT(n, 4);
    expected[n] = '\0';
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, 5), aErrNone);
    EXPECT_EQ(std::string(buffer), std::string(expected, 4));
}

}  // namespace
