// Attribute files: the line format, getters and setters, saving and what a failed read or
// write must leave behind, and records that other runs write beside.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <thread>

#include "KeyValueStore.h"
#include "test_store_support.h"

using storetest::Entries;
using storetest::ReadText;
using storetest::WriteText;
typedef std::map<std::string, std::string> Map;

namespace {

class Attributes : public testing::Test {
protected:
    // A store loaded from a file holding text.
    KeyValueStore loaded(const std::string& text)
    {
        std::string p = dir / ".settings";
        EXPECT_TRUE(WriteText(p, text));
        KeyValueStore kv;
        EXPECT_EQ(kv.Load(p.c_str()), aErrNone);
        return kv;
    }
    ScratchDir dir;
};

TEST_F(Attributes, LineFormat)
{
    struct Row {
        const char* name;
        std::string text;
        Map want;
    } rows[] = {
        {"blanks around key, '=' and value", "  key \t=  some value  \n", {{"key", "some value"}}},
        {"comment", "#a=1\nb=2\n", {{"b", "2"}}},
        {"indented comment", "   #a=1\n", {}},
        {"empty value", "a=\n", {{"a", ""}}},
        {"a= without newline at the end is too short", "b=1\na=", {{"b", "1"}}},
        {"the later line wins", "k=1\nk=2\n", {{"k", "2"}}},
        {"no '='", "novalue\nx=1\n", {{"x", "1"}}},
        {"empty key", "  = v\n=w\nx=1\n", {{"x", "1"}}},
        {"'=' in the value", "k=v=w\n", {{"k", "v=w"}}},
        {"CRLF", "k=v\r\nl=w\r\n", {{"k", "v"}, {"l", "w"}}},
        {"blank lines", "\n\n   \nk=v\n", {{"k", "v"}}},
        {"last line without newline", "k=v\nlast=x", {{"k", "v"}, {"last", "x"}}},
    };
    for (const Row& r : rows) {
        KeyValueStore kv = loaded(r.text);
        EXPECT_EQ(kv.values, r.want) << r.name;
        EXPECT_FALSE(kv.dirty) << r.name;
    }
}

TEST_F(Attributes, OverlongLineIsDroppedAndTheRestKept)
{
    std::string longLine = "junk=" + std::string(5000, 'x') + "\n";
    KeyValueStore kv = loaded("a=1\n" + longLine + "b=2\n" + longLine + longLine + "c=3");
    EXPECT_EQ(kv.values, (Map{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
    // A line that fills the reader's buffer exactly, newline included, is whole.
    std::string exact = "k=" + std::string(KeyValueStore::MAX_LINE - 3, 'v') + "\n";
    ASSERT_EQ(exact.size(), KeyValueStore::MAX_LINE);
    KeyValueStore kv2 = loaded(exact + "z=9\n");
    EXPECT_EQ(kv2.values.size(), 2u);
    EXPECT_EQ(kv2.values["k"].size(), KeyValueStore::MAX_LINE - 3);
    // The same bytes as a last line without newline: once saved it would be one byte too long
    // to read back, so it is no entry.
    std::string unterminated = "k=" + std::string(KeyValueStore::MAX_LINE - 2, 'v');
    EXPECT_EQ(loaded("z=9\n" + unterminated).values, (Map{{"z", "9"}}));
    // A damaged long line whose rest holds NUL bytes (a block of zeros) still ends at its
    // newline: the entry after it is kept, so a later save does not lose it.
    std::string zeros = "junk=" + std::string(3000, 'x') + std::string(8, '\0') + "tail\n";
    EXPECT_EQ(loaded("a=1\n" + zeros + "LATEST_DOWNLOAD=1300.bird\n").values,
              (Map{{"a", "1"}, {"LATEST_DOWNLOAD", "1300.bird"}}));
}

TEST_F(Attributes, GetInt)
{
    KeyValueStore kv = loaded("LATEST_DOWNLOAD=12345.bird\nP=/home/u/x.bird\nE=\nN=-5\n"
                              "B=99999999999\nW=  7\nU=3000000000.bird\nM=-3000000000\n");
    struct Row {
        const char* key;
        int def, want;
    } rows[] = {
        {"LATEST_DOWNLOAD", 9, 12345}, {"P", 9, 0}, {"E", 9, 9}, {"N", 9, -5},
        {"B", 9, 9}, {"W", 9, 7}, {"MISSING", 4, 4},
        // A build number is 32-bit unsigned: above INT_MAX it comes back with the same bits.
        {"U", 9, (int)3000000000u}, {"M", 9, 9},
    };
    for (const Row& r : rows)
        EXPECT_EQ(kv.GetInt(r.key, r.def), r.want) << r.key;
    // A missing key is entered, empty, without marking the store changed.
    ASSERT_EQ(kv.values.count("MISSING"), 1u);
    EXPECT_EQ(kv.values["MISSING"], "");
    EXPECT_FALSE(kv.dirty);

    EXPECT_EQ(kv.GetString("NONE", nullptr), "");
    EXPECT_EQ(kv.GetString("NONE", "d"), "d");
    EXPECT_EQ(kv.GetString("E", "d"), "");
    EXPECT_EQ(kv.values.count("NONE"), 0u);
    EXPECT_EQ(kv["NONE"], nullptr);
    EXPECT_STREQ(kv["LATEST_DOWNLOAD"], "12345.bird");
}

TEST_F(Attributes, OtherGetters)
{
    KeyValueStore kv = loaded("H=0x1F\nh=ff\nB=2\nZ=0\nD=2.5\nBIG=1FFFFFFFF\n");
    EXPECT_EQ(kv.GetHex("H", 7), 0x1Fu);
    EXPECT_EQ(kv.GetHex("h", 7), 0xFFu);
    EXPECT_EQ(kv.GetHex("BIG", 7), 7u);
    EXPECT_EQ(kv.GetHex("none", 7), 7u);
    EXPECT_TRUE(kv.GetBOOL("B", false));
    EXPECT_FALSE(kv.GetBOOL("Z", true));
    EXPECT_TRUE(kv.GetBOOL("none2", true));
    EXPECT_DOUBLE_EQ(kv.GetDouble("D", 0), 2.5);
    EXPECT_DOUBLE_EQ(kv.GetDouble("none3", 1.5), 1.5);
}

TEST_F(Attributes, AddMarksChangesAndRefusesWhatWouldNotReadBack)
{
    KeyValueStore kv;
    EXPECT_TRUE(kv.Add("k", "v"));
    EXPECT_TRUE(kv.dirty);
    kv.dirty = false;
    EXPECT_TRUE(kv.Add("k", "v"));
    EXPECT_FALSE(kv.dirty);
    EXPECT_TRUE(kv.Add("e", ""));   // a missing key counts as empty: entered, not changed
    EXPECT_FALSE(kv.dirty);
    EXPECT_EQ(kv.values.count("e"), 1u);

    std::string tooLong(KeyValueStore::MAX_LINE, 'x');
    struct Row {
        const char* key;
        std::string value;
    } refused[] = {
        {"k", "a\nb"}, {"k", "a\rb"}, {"k", "end\n"}, {"", "v"}, {nullptr, "v"},
        {"a=b", "v"},  {"a\nb", "v"}, {"k", tooLong},
    };
    for (const Row& r : refused) {
        EXPECT_FALSE(kv.Add(r.key, r.value.c_str())) << (r.key ? r.key : "null");
        EXPECT_FALSE(kv.dirty);
        EXPECT_EQ(kv.values, (Map{{"e", ""}, {"k", "v"}}));
    }
    EXPECT_FALSE(kv.Add("k", (const char*)nullptr));

    EXPECT_TRUE(kv.Add("i", 42));
    EXPECT_TRUE(kv.Add("d", 1.5));
    EXPECT_TRUE(kv.AddHex("x", 0x1A));
    EXPECT_EQ(kv.values["i"], "42");
    EXPECT_EQ(kv.values["d"], "1.500000");
    EXPECT_EQ(kv.values["x"], "0x0000001A");

    KeyValueStore other, empty;
    other.Add("k", "w");
    kv.dirty = false;
    kv.Add(empty);
    EXPECT_FALSE(kv.dirty);
    kv.Add(other);
    EXPECT_TRUE(kv.dirty);
    EXPECT_EQ(kv.values["k"], "w");
    kv.dirty = false;
    kv.Clear();
    EXPECT_TRUE(kv.values.empty());
    EXPECT_TRUE(kv.dirty);
}

TEST_F(Attributes, MissingFileIsCreatedWithBothStamps)
{
    std::string p = dir / ".settings";
    KeyValueStore kv(p.c_str());
    EXPECT_FALSE(kv.dirty);
    EXPECT_EQ(kv.filename, p);
    std::regex stamp("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
    std::string text = ReadText(p);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, std::regex("CREATED_TIME=(.*)\nUPDATED_TIME=(.*)\n")))
        << text;
    EXPECT_TRUE(std::regex_match(m[1].str(), stamp)) << m[1];
    EXPECT_TRUE(std::regex_match(m[2].str(), stamp)) << m[2];
    EXPECT_TRUE(std::regex_match(KeyValueStore::TimeStamp(), stamp));
}

TEST_F(Attributes, RoundTripInKeyOrder)
{
    std::string p = dir / ".settings";
    KeyValueStore kv(p.c_str());
    kv.Add("LATEST_DOWNLOAD", "12345.bird");
    kv.Add("LAST_DOWNLOAD_DATE", "Wed Dec  9 03:20:00 2026");
    ASSERT_EQ(kv.Save(nullptr), aErrNone);
    EXPECT_FALSE(kv.dirty);
    std::string text = ReadText(p);
    EXPECT_TRUE(std::regex_match(
        text, std::regex("CREATED_TIME=[^\n]+\nLAST_DOWNLOAD_DATE=Wed Dec  9 03:20:00 2026\n"
                         "LATEST_DOWNLOAD=12345\\.bird\nUPDATED_TIME=[^\n]+\n")))
        << text;
    KeyValueStore back(p.c_str());
    EXPECT_EQ(back.values, kv.values);
    EXPECT_EQ(back.GetInt("LATEST_DOWNLOAD", 0), 12345);

    // Saving an unchanged store rewrites the same lines: no new UPDATED_TIME.
    WriteText(p, "UPDATED_TIME=then\nk=v\n");
    KeyValueStore same(p.c_str());
    ASSERT_EQ(same.Save(nullptr), aErrNone);
    EXPECT_EQ(ReadText(p), "UPDATED_TIME=then\nk=v\n");
    // A change stamps it.
    same.Add("k", "w");
    ASSERT_EQ(same.Save(nullptr), aErrNone);
    EXPECT_EQ(ReadText(p).find("UPDATED_TIME=then"), std::string::npos);

    // Copies carry everything.
    KeyValueStore copy(same);
    EXPECT_EQ(copy.values, same.values);
    EXPECT_EQ(copy.filename, same.filename);
    KeyValueStore assigned;
    assigned = same;
    EXPECT_EQ(assigned.values, same.values);
}

TEST_F(Attributes, LoadKeepsEntriesAlreadyThere)
{
    std::string p = dir / ".settings";
    WriteText(p, "a=1\n");
    KeyValueStore kv;
    kv.Add("b", "2");
    ASSERT_EQ(kv.Load(p.c_str()), aErrNone);
    EXPECT_EQ(kv.values, (Map{{"a", "1"}, {"b", "2"}}));
    EXPECT_FALSE(kv.dirty);
}

TEST_F(Attributes, NamelessSaveWritesNothing)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    KeyValueStore kv;
    kv.Add("k", "v");
    EXPECT_NE(kv.Save(nullptr), aErrNone);
    EXPECT_TRUE(kv.dirty);
    EXPECT_TRUE(Entries(dir.path).empty());
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Attributes, FailedSaveKeepsOldFileAndDirty)
{
    // The target is a directory: the rename cannot replace it.
    std::string p = dir / "settings.d";
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
    KeyValueStore kv;
    kv.Add("k", "v");
    EXPECT_NE(kv.Save(p.c_str()), aErrNone);
    EXPECT_TRUE(kv.dirty);

    // The folder is gone: no temporary can be made.
    KeyValueStore lost;
    lost.Add("k", "v");
    EXPECT_EQ(lost.Save((dir / "none/.settings").c_str()), aErrNotFound);
    EXPECT_TRUE(lost.dirty);
    EXPECT_EQ(Entries(dir.path), std::vector<std::string>{"settings.d"});

    // A missing file that cannot be made either: the stamps stay in memory, still unsaved.
    KeyValueStore nowhere;
    EXPECT_EQ(nowhere.Load((dir / "none/.settings").c_str()), aErrNotFound);
    EXPECT_EQ(nowhere.values.count("CREATED_TIME"), 1u);
    EXPECT_EQ(nowhere.values.count("UPDATED_TIME"), 1u);
    EXPECT_TRUE(nowhere.dirty);
}

TEST_F(Attributes, ExistingUnreadableFileIsNeverOverwritten)
{
    // A directory where the file should be reads as an I/O error.
    std::string d = dir / "dir.settings";
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    KeyValueStore kv(d.c_str());
    EXPECT_EQ(kv.Load(d.c_str()), aErrIO);
    kv.Add("k", "v");
    EXPECT_NE(kv.Save(nullptr), aErrNone);
    EXPECT_TRUE(kv.dirty);

    // A file its reader may not read, though it may write it and the folder.
    std::string p = dir / ".settings";
    const std::string old = "CREATED_TIME=long ago\nLATEST_DOWNLOAD=900.bird\n";
    ASSERT_TRUE(WriteText(p, old));
    ASSERT_EQ(chmod(p.c_str(), 0222), 0);
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // root reads anything: run as nobody.
        if (geteuid() == 0) {
            struct passwd* nobody = getpwnam("nobody");
            if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                _exit(10);
        }
        KeyValueStore item;
        if (item.Load(p.c_str()) != aErrIO)
            _exit(11);
        item.Add("LATEST_DOWNLOAD", "1000.bird");
        if (item.Save(nullptr) == aErrNone)
            _exit(12);
        if (item.Save(p.c_str()) == aErrNone)
            _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadText(p), old);
}

// Another run's hold of an attributes file's lock (an open file description of its own).
class HeldLock {
public:
    explicit HeldLock(const std::string& path)
        : fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644))
    {
        held = fd >= 0 && flock(fd, LOCK_EX) == 0;
    }
    ~HeldLock() { release(); }
    void release()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    int fd;
    bool held;
};

long sMsSinceStart(std::chrono::steady_clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

// A record reads the file again under its lock: what another run saved since this store was
// loaded stays, a file removed meanwhile is made again, and nothing is written on a failure.
TEST_F(Attributes, RecordReadsTheFileAgainUnderItsLock)
{
    std::string p = dir / ".settings";
    ASSERT_TRUE(WriteText(p, "CREATED_TIME=then\nLATEST_DOWNLOAD=1200.bird\n"));
    KeyValueStore kv(p.c_str());
    ASSERT_TRUE(WriteText(p, "CREATED_TIME=then\nLATEST_DOWNLOAD=1300.bird\nX=other run\n"));
    ASSERT_EQ(kv.Record({{"LATEST_TRANSFER", "1300.bird"}, {"LAST_TRANSFER_DATE", "now"}}),
              aErrNone);
    EXPECT_FALSE(kv.dirty);
    EXPECT_EQ(kv.reason, 0);
    Map got = KeyValueStore(p.c_str()).values;
    ASSERT_EQ(got.count("UPDATED_TIME"), 1u);
    got.erase("UPDATED_TIME");
    EXPECT_EQ(got, (Map{{"CREATED_TIME", "then"},
                        {"LATEST_DOWNLOAD", "1300.bird"},
                        {"LATEST_TRANSFER", "1300.bird"},
                        {"LAST_TRANSFER_DATE", "now"},
                        {"X", "other run"}}));

    ASSERT_EQ(unlink(p.c_str()), 0);
    ASSERT_EQ(kv.Record({{"LATEST_DOWNLOAD", "1400.bird"}}), aErrNone);
    KeyValueStore again(p.c_str());
    EXPECT_EQ(again.GetString("LATEST_DOWNLOAD", ""), "1400.bird");
    EXPECT_EQ(again.GetString("CREATED_TIME", ""), "then");

    const std::string before = ReadText(p);
    EXPECT_EQ(kv.Record({{"bad=key", "v"}}), aErrParam);
    EXPECT_EQ(ReadText(p), before);
    EXPECT_EQ(KeyValueStore().Record({{"k", "v"}}), aErrParam);

    // A file that cannot be read is never replaced, and the reason is the system's.
    std::string d = dir / "dir.settings";
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    KeyValueStore unreadable(d.c_str());
    EXPECT_EQ(unreadable.Record({{"k", "v"}}), aErrIO);
    EXPECT_EQ(unreadable.reason, EISDIR);
    EXPECT_EQ(unreadable.ReasonText(aErrIO), strerror(EISDIR));
    EXPECT_TRUE(Entries(d).empty());
}

// The lock is bounded: a run waits lockWaitMs (10 s unless shortened) for another run to let
// it go, then gives up without writing, and the reason names the lock file. One let go during
// the wait is taken then.
TEST_F(Attributes, RecordWaitsForTheLockWithinItsBound)
{
    const std::string p = dir / ".settings";
    const std::string lock = dir / ".settings.lock";
    KeyValueStore kv(p.c_str());
    const std::string before = ReadText(p);
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(KeyValueStore::LockPath(p), lock);
    EXPECT_EQ(KeyValueStore::LockPath("x.cfg"), ".x.cfg.lock");
    EXPECT_EQ(kv.lockWaitMs, 10000u);
    kv.lockWaitMs = 300;
    {
        HeldLock other(lock);
        ASSERT_TRUE(other.held);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kv.Record({{"LATEST_TRANSFER", "1300.bird"}}), aErrTimeout);
        long ms = sMsSinceStart(start);
        EXPECT_GE(ms, 300);
        EXPECT_LT(ms, 3000);
        EXPECT_EQ(ReadText(p), before);
        EXPECT_EQ(kv.ReasonText(aErrTimeout), "Timed out after 300 ms waiting for the lock [" +
                                                  lock + "], held by another run");

        // Nor is a missing file made while another run holds its lock.
        const std::string missing = dir / ".other";
        HeldLock otherToo(dir / ".other.lock");
        ASSERT_TRUE(otherToo.held);
        KeyValueStore fresh;
        fresh.lockWaitMs = 300;
        EXPECT_EQ(fresh.Load(missing.c_str()), aErrTimeout);
        EXPECT_EQ(access(missing.c_str(), F_OK), -1);
    }
    kv.lockWaitMs = 10000;
    EXPECT_EQ(kv.ReasonText(aErrTimeout),
              "Timed out after 10 s waiting for the lock [" + lock + "], held by another run");

    HeldLock brief(lock);
    ASSERT_TRUE(brief.held);
    std::thread release([&brief] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        brief.release();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kv.Record({{"LATEST_TRANSFER", "1300.bird"}}), aErrNone);
    EXPECT_GE(sMsSinceStart(start), 150);
    release.join();
    EXPECT_EQ(KeyValueStore(p.c_str()).GetString("LATEST_TRANSFER", ""), "1300.bird");
}

// Many runs record keys of their own into one device's file at once (downloads and updates,
// each as a process, or as threads of one): every key of every writer is there at the end.
TEST_F(Attributes, ConcurrentRecordsKeepEveryKey)
{
    const int kWriters = 16, kKeys = 6;
    const std::string p = dir / ".settings";
    auto key = [](int w, int k) { return "W" + std::to_string(w) + "_K" + std::to_string(k); };
    // Each writer's view is loaded before they all start, so it is stale at once.
    auto records = [&](KeyValueStore& kv, int w) {
        for (int k = 0; k < kKeys; k++)
            if (kv.Record({{key(w, k), std::to_string(k)}}) != aErrNone)
                return false;
        return true;
    };
    for (bool processes : {true, false}) {
        SCOPED_TRACE(processes ? "processes" : "threads");
        ASSERT_TRUE(WriteText(p, "CREATED_TIME=then\n"));
        if (processes) {
            int start[2];
            ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
            std::vector<pid_t> children;
            for (int w = 0; w < kWriters; w++) {
                pid_t child = fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    close(start[1]);
                    KeyValueStore kv(p.c_str());
                    char c;
                    if (read(start[0], &c, 1) != 0)  // until the test closes its end
                        _exit(2);
                    _exit(records(kv, w) ? 0 : 1);
                }
                children.push_back(child);
            }
            close(start[0]);
            close(start[1]);
            for (pid_t child : children) {
                int status = 0;
                ASSERT_EQ(waitpid(child, &status, 0), child);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            }
        } else {
            std::atomic<bool> go{false};
            std::vector<char> ok(kWriters, 0);
            std::vector<std::thread> threads;
            for (int w = 0; w < kWriters; w++)
                threads.emplace_back([&, w] {
                    KeyValueStore kv(p.c_str());
                    while (!go)
                        std::this_thread::yield();
                    ok[w] = records(kv, w);
                });
            go = true;
            for (std::thread& t : threads)
                t.join();
            EXPECT_EQ(std::count(ok.begin(), ok.end(), 1), kWriters);
        }
        KeyValueStore back(p.c_str());
        std::vector<std::string> lost;
        for (int w = 0; w < kWriters; w++)
            for (int k = 0; k < kKeys; k++)
                if (back.GetString(key(w, k).c_str(), "") != std::to_string(k))
                    lost.push_back(key(w, k));
        EXPECT_TRUE(lost.empty()) << lost.size() << " keys lost, the first " << lost.front();
        EXPECT_EQ(back.GetString("CREATED_TIME", ""), "then");
    }
}

}  // namespace
