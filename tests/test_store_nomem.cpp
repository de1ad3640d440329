// The store and its attribute files when memory runs out (a huge attribute file, a small
// limit): one allocation fails at each point of a look-up, a listing and a save in turn. No
// empty entry may pass for the device (its folder would be the root of the file system), no
// exception may leave the attribute file's own functions, and the device's file is either the
// old one or the whole new one, with no temporary left beside it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "UpdaterStore.h"
#include "test_store_support.h"

using storetest::Entries;
using storetest::ReadText;
using storetest::WriteText;

namespace {

// The allocation to fail, counted down by every allocation of the program; -1 fails none.
long gFailIn = -1;
bool gFailed = false;

void* sAllocate(std::size_t n)
{
    if (gFailIn >= 0 && gFailIn-- == 0) {
        gFailed = true;
        throw std::bad_alloc();
    }
    void* p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n)
{
    return sAllocate(n);
}
void* operator new[](std::size_t n)
{
    return sAllocate(n);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

const unsigned int kSerial = 0x40F5849A;

TEST(StoreWithoutMemory, NoEmptyEntryForTheDeviceAndNoHalfSavedFile)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string base = dir / "updater";
    const std::string device = base + "/40F5849A";
    const std::string settings = device + "/.settings";
    const std::string old =
        "CREATED_TIME=then\nLATEST_DOWNLOAD=1300.bird\nLATEST_TRANSFER=1200.bird\n";
    {
        UpdaterStore store(base.c_str());
        store.AddDevice(kSerial);
    }
    ASSERT_TRUE(WriteText(settings, old));
    ASSERT_TRUE(WriteText(device + "/1300.bird", "image"));
    // The lock file stays from the making of ".settings"; no temporary is ever left.
    const std::vector<std::string> files = {".settings", ".settings.lock", "1300.bird"};

    bool failed = true;
    long n = 0;
    for (; failed && n < 100000; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        UpdaterStore store(base.c_str());
        UpdaterStoreItem item;
        std::vector<UpdaterStoreItem> builds;
        bool found = false;
        aErr saved = aErrUnknown;
        bool escaped = false, escapedFromAttributes = false;
        gFailed = false;
        gFailIn = n;
        try {
            found = store.FindDevice(kSerial, &item);
            store.FindLocalBuilds(kSerial, builds);
            if (found) {
                try {
                    item.attributes.Add("LATEST_DOWNLOAD", "1400.bird");
                    saved = item.attributes.Save(nullptr);
                } catch (const std::bad_alloc&) {
                    escapedFromAttributes = true;
                }
            }
        } catch (const std::bad_alloc&) {
            escaped = true;  // the store's own look-up may give up
        }
        gFailIn = -1;
        failed = gFailed;

        if (found) {
            EXPECT_EQ(item.path, base);
            EXPECT_EQ(item.name, "40F5849A");
        }
        for (const UpdaterStoreItem& b : builds)
            EXPECT_EQ(b.path, device) << b.name;
        EXPECT_FALSE(escapedFromAttributes);
        std::vector<std::string> left = Entries(device);
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, files);
        std::string now = ReadText(settings);
        if (saved == aErrNone) {
            // Every entry of the old file is still there, with the new value.
            EXPECT_NE(now.find("CREATED_TIME=then\n"), std::string::npos) << now;
            EXPECT_NE(now.find("LATEST_DOWNLOAD=1400.bird\n"), std::string::npos) << now;
            EXPECT_NE(now.find("LATEST_TRANSFER=1200.bird\n"), std::string::npos) << now;
        } else {
            EXPECT_EQ(now, old);
        }
        if (!failed && !escaped) {
            // The run without a failure: everything was there.
            EXPECT_TRUE(found);
            EXPECT_EQ(saved, aErrNone);
            EXPECT_EQ(builds.size(), 1u);
        }
        ASSERT_TRUE(WriteText(settings, old));
    }
    EXPECT_FALSE(failed) << "still failing after " << n << " allocations";
}

}  // namespace
