// The firmware store: layout, look-up (with decoys), listing, image reads and writes, and
// saving under a file-size limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "BirdBuilder.h"
#include "UpdaterStore.h"
#include "test_store_support.h"

using storetest::Entries;
using storetest::ReadText;
using storetest::WriteText;

namespace {

class Store : public testing::Test {
protected:
    std::string base() const { return dir / "updater"; }
    static bool isDir(const std::string& p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    static std::string thrown(const std::function<void()>& f)
    {
        try {
            f();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(nothing thrown)";
    }
    ScratchDir dir;
};

TEST_F(Store, ConstructorMakesTheBaseOrThrows)
{
    std::string deep = dir / "a/b/updater";
    UpdaterStore s(deep.c_str());
    EXPECT_TRUE(isDir(deep));
    EXPECT_STREQ(s.BasePath(), deep.c_str());
    UpdaterStore again(deep.c_str());   // an existing base is fine

    std::string file = dir / "file";
    WriteText(file, "x");
    EXPECT_EQ(thrown([&] { UpdaterStore t(file.c_str()); }),
              "UpdaterStore: " + file + " exists and is a file");
    std::string under = file + "/updater";
    EXPECT_EQ(thrown([&] { UpdaterStore t(under.c_str()); }),
              "UpdaterStore: Could not create directory " + under + " error 12");
}

TEST_F(Store, AddDeviceMakesTheDirectoryAndAttributes)
{
    UpdaterStore s(base().c_str());
    UpdaterStoreItem item = s.AddDevice(26u);
    EXPECT_EQ(item.path, base());
    EXPECT_EQ(item.name, "0000001A");
    EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(item.IsValid());
    std::string d = base() + "/0000001A";
    struct stat st;
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    std::string text = ReadText(d + "/.settings");
    EXPECT_EQ(text.find("CREATED_TIME="), 0u) << text;
    EXPECT_NE(text.find("\nUPDATED_TIME="), std::string::npos) << text;
    EXPECT_EQ(item.attributes.values.size(), 2u);

    // Again: the same directory, its attributes read back, nothing rewritten.
    WriteText(d + "/.settings", "LATEST_DOWNLOAD=7.bird\n");
    UpdaterStoreItem second = s.AddDevice(26u);
    EXPECT_EQ(second.attributes.GetString("LATEST_DOWNLOAD", ""), "7.bird");
    EXPECT_EQ(ReadText(d + "/.settings"), "LATEST_DOWNLOAD=7.bird\n");

    WriteText(base() + "/0000001B", "a file");
    EXPECT_EQ(thrown([&] { s.AddDevice(0x1Bu); }),
              "UpdaterStore: " + base() + "/0000001B exists and is a file");
    for (const char* bad : {"", ".", "..", "../x", "a/b"})
        EXPECT_NE(thrown([&] { s.AddDevice(bad); }), "(nothing thrown)") << bad;
    EXPECT_FALSE(isDir(dir / "x"));
}

// Only a directory named exactly by the serial number is the device.
TEST_F(Store, FindDeviceIgnoresDecoys)
{
    struct Row {
        const char* name;
        std::string base;                  // relative to the scratch directory
        std::vector<std::string> dirs;     // made under the base
        std::vector<std::string> files;    // made under the base
    } rows[] = {
        {"empty store", "updater", {}, {}},
        {"suffixed directory", "updater", {"40F5849A.old", "140F5849A"}, {}},
        {"file of that name", "updater", {}, {"40F5849A"}},
        {"lower-case name", "updater", {"40f5849a"}, {}},
        {"base path holds the serial", "40F5849A/updater", {"00000001"}, {"40F5849A.bird"}},
    };
    for (const Row& r : rows) {
        ScratchDir::Remove(dir / "updater");
        ScratchDir::Remove(dir / "40F5849A");
        std::string b = dir / r.base;
        UpdaterStore s(b.c_str());
        for (const std::string& d : r.dirs)
            ASSERT_EQ(mkdir((b + "/" + d).c_str(), 0755), 0);
        for (const std::string& f : r.files)
            ASSERT_TRUE(WriteText(b + "/" + f, "x"));
        UpdaterStoreItem item;
        EXPECT_FALSE(s.FindDevice(0x40F5849Au, &item)) << r.name;
        EXPECT_FALSE(item.IsValid()) << r.name;
        EXPECT_EQ(item.type, STORE_ITEM_UNSET) << r.name;

        ScratchDir::Remove(b + "/40F5849A");   // a file decoy would block the device
        s.AddDevice(0x40F5849Au);
        EXPECT_TRUE(s.FindDevice(0x40F5849Au, &item)) << r.name;
        EXPECT_EQ(item.path, b) << r.name;
        EXPECT_EQ(item.name, "40F5849A") << r.name;
        EXPECT_EQ(item.type, STORE_ITEM_DIRECTORY) << r.name;
        EXPECT_EQ(item.attributes.values.count("CREATED_TIME"), 1u) << r.name;
        EXPECT_TRUE(s.FindDevice("40F5849A", nullptr)) << r.name;
    }
}

TEST_F(Store, FindLocalBuildsListsVisibleEntries)
{
    UpdaterStore s(base().c_str());
    std::vector<UpdaterStoreItem> builds(1);   // entries already there stay
    EXPECT_TRUE(s.FindLocalBuilds(0x1234u, builds));
    EXPECT_EQ(builds.size(), 1u);

    UpdaterStoreItem dev = s.AddDevice(0x1234u);
    std::string d = base() + "/00001234";
    WriteText(d + "/100.bird", "x");
    WriteText(d + "/200.bird", "y");
    WriteText(d + "/.hidden", "z");
    // A folder among the images (it may be a link to one elsewhere).
    ASSERT_EQ(mkdir((d + "/old").c_str(), 0755), 0);
    EXPECT_TRUE(s.FindLocalBuilds(0x1234u, builds));
    ASSERT_EQ(builds.size(), 4u);
    std::set<std::string> names;
    for (size_t i = 1; i < builds.size(); i++) {
        EXPECT_EQ(builds[i].type, builds[i].name == "old" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
        EXPECT_EQ(builds[i].path, d);
        EXPECT_TRUE(builds[i].IsValid());
        names.insert(builds[i].name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"100.bird", "200.bird", "old"}));
    // Listing made nothing inside the images' folder, nor inside the folder among them; the
    // lock file that making ".settings" left is not listed.
    std::vector<std::string> entries = Entries(d);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{".hidden", ".settings", ".settings.lock",
                                                 "100.bird", "200.bird", "old"}));
    EXPECT_EQ(Entries(d + "/old"), std::vector<std::string>{});
}

TEST_F(Store, ReadBirdFile)
{
    UpdaterStore s(base().c_str());
    UpdaterStoreItem dev = s.AddDevice(0x1Au);
    std::string d = base() + "/0000001A";
    BirdBuilder b;
    b.firmware(0x1000, BirdBuilder::Random(256, 3)).descriptor("300", "3.0.0", "0000001A", "M");
    ASSERT_TRUE(b.writeTo(d + "/300.bird"));
    BirdFile f = dev.ReadBirdFile("300.bird");
    EXPECT_EQ(f.blockCount, 2u);
    EXPECT_EQ(f.path, d + "/300.bird");
    EXPECT_EQ(f.GetVersion(), "3.0.0");

    WriteText(d + "/text.bird", "not a bird file at all");
    EXPECT_EQ(thrown([&] { dev.ReadBirdFile("text.bird"); }), "Invalid bird " + d + "/text.bird");
    EXPECT_EQ(thrown([&] { dev.ReadBirdFile("missing.bird"); }),
              "Invalid bird " + d + "/missing.bird");
    EXPECT_EQ(thrown([&] { dev.ReadBirdFile(""); }), "Invalid bird " + d + "/");
    EXPECT_EQ(thrown([&] { dev.ReadBirdFile("../0000001A/300.bird"); }),
              "Invalid bird " + d + "/../0000001A/300.bird");
    BirdBuilder::WriteBytes(d + "/bad.bird", BirdBuilder::Wrap({1, 2, 3, 4, 5}));
    EXPECT_EQ(thrown([&] { dev.ReadBirdFile("bad.bird"); }), "Failed to load bird data");
}

TEST_F(Store, WriteFile)
{
    UpdaterStore s(base().c_str());
    UpdaterStoreItem dev = s.AddDevice(0x1Au);
    std::string d = base() + "/0000001A";
    const unsigned char bytes[] = {1, 2, 3, 0, 5};
    EXPECT_EQ(dev.WriteFile("1.bird", nullptr, 5), aErrNotFound);
    EXPECT_FALSE(dev.FileExists("1.bird"));
    EXPECT_EQ(dev.WriteFile("1.bird", bytes, sizeof bytes), aErrNone);
    EXPECT_EQ(ReadText(d + "/1.bird"), std::string("\1\2\3\0\5", 5));
    EXPECT_TRUE(dev.FileExists("1.bird"));
    EXPECT_EQ(dev.WriteFile("1.bird", bytes, 2), aErrNone);   // replaces
    EXPECT_EQ(ReadText(d + "/1.bird"), "\1\2");
    for (const char* bad : {"", ".", "..", "../escape.bird", "sub/x.bird"})
        EXPECT_EQ(dev.WriteFile(bad, bytes, 2), aErrParam) << bad;
    EXPECT_EQ(dev.WriteFile(nullptr, bytes, 2), aErrParam);
    EXPECT_EQ(UpdaterStoreItem().WriteFile("x.bird", bytes, 2), aErrParam);
    EXPECT_EQ(Entries(base()), std::vector<std::string>{"0000001A"});
    // FileExists wants a file: the device directory is not one.
    UpdaterStoreItem top(dir.path.c_str(), "updater", STORE_ITEM_DIRECTORY);
    EXPECT_FALSE(top.FileExists("0000001A"));
}

// What a download leaves is what a later update finds: image, attributes and all.
TEST_F(Store, DownloadThenLookUpRoundTrip)
{
    BirdBuilder b;
    b.firmware(0x1000, BirdBuilder::Random(2048, 4)).serialInfo(0x1010, 0)
        .descriptor("1300", "1.3.0", "00000000", "USBHub3p");
    BirdBuilder::Bytes image = b.image();
    {
        UpdaterStore s(base().c_str());
        UpdaterStoreItem dev;
        ASSERT_FALSE(s.FindDevice(0x40F5849Au, &dev));
        dev = s.AddDevice(0x40F5849Au);
        ASSERT_EQ(dev.WriteFile("1300.bird", image.data(), image.size()), aErrNone);
        dev.attributes.Add("LATEST_DOWNLOAD", std::string("1300.bird"));
        dev.attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
        ASSERT_EQ(dev.attributes.Save(nullptr), aErrNone);
    }
    UpdaterStore s(base().c_str());
    UpdaterStoreItem dev;
    ASSERT_TRUE(s.FindDevice(0x40F5849Au, &dev));
    EXPECT_EQ(dev.attributes.GetInt("LATEST_DOWNLOAD", 0), 1300);
    EXPECT_EQ(dev.attributes.GetString("LATEST_DOWNLOAD", ""), "1300.bird");
    BirdFile f = dev.ReadBirdFile("1300.bird");
    ASSERT_TRUE(f.hasSerialBlock);
    ASSERT_TRUE(f.ReplaceSerialNumber(0x40F5849A));
    EXPECT_EQ(f.GetVersion(), "1.3.0");
    // The patch stays in memory.
    EXPECT_EQ(ReadText(base() + "/40F5849A/1300.bird"), std::string(image.begin(), image.end()));
}

// Saving past RLIMIT_FSIZE fails in the middle of a write: the old image and attribute
// file must survive and the caller must hear of it.
TEST_F(Store, SavingUnderAFileSizeLimitKeepsTheOldFiles)
{
    UpdaterStore s(base().c_str());
    UpdaterStoreItem dev = s.AddDevice(0x40F5849Au);
    std::string d = base() + "/40F5849A";
    BirdBuilder::Bytes oldImage = BirdBuilder::Random(3000, 1);
    ASSERT_EQ(dev.WriteFile("1300.bird", oldImage.data(), oldImage.size()), aErrNone);
    dev.attributes.Add("LATEST_DOWNLOAD", "1300.bird");
    ASSERT_EQ(dev.attributes.Save(nullptr), aErrNone);
    const std::string oldSettings = ReadText(d + "/.settings");
    ASSERT_GT(oldSettings.size(), 64u);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64, 64};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(10);
        BirdBuilder::Bytes newImage = BirdBuilder::Random(200000, 2);
        if (dev.WriteFile("1300.bird", newImage.data(), newImage.size()) == aErrNone)
            _exit(11);
        // A small write that only the close's flush finds too big.
        if (dev.WriteFile("1300.bird", newImage.data(), 100) == aErrNone)
            _exit(12);
        dev.attributes.Add("LATEST_DOWNLOAD", "1400.bird");
        dev.attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp().c_str());
        if (dev.attributes.Save(nullptr) == aErrNone)
            _exit(13);
        if (!dev.attributes.dirty)
            _exit(14);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadText(d + "/1300.bird"), std::string(oldImage.begin(), oldImage.end()));
    EXPECT_EQ(ReadText(d + "/.settings"), oldSettings);
    std::vector<std::string> entries = Entries(d);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{".settings", ".settings.lock", "1300.bird"}));
}

}  // namespace
