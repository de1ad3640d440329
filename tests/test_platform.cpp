#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <string>

#include "aDefs.h"
#include "aTime.h"
#include "aVersion.h"

TEST(ModelName, ByNumber)
{
    struct Row { u32 model; const char* name; };
    const Row rows[] = {
        {0, "Unknown"},   {3, "Unknown"},     {4, "Dorvel"},    {5, "Kaltrin"},
        {6, "Unknown"},   {12, "Unknown"},    {13, "Pennock"},  {14, "Gristel"},
        {15, "Harlune"},  {16, "Fenwray"},    {17, "Jorvane"},  {18, "Nimbrel"},
        {19, "Ostravel"}, {20, "Brisolt"},    {21, "Tamsorel"}, {22, "Rendak"},
        {23, "Corvesh"},  {24, "Ysmeral"},    {25, "Wendlock"}, {26, "Zeffin"},
        {27, "Unknown"},  {0x104, "Unknown"}, {0xFFFFFFFF, "Unknown"},
    };
    for (const Row& r : rows)
        EXPECT_STREQ(aDefs_GetModelName(r.model), r.name) << r.model;
}

TEST(LibraryVersion, NumbersAndString)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 10);
    EXPECT_EQ(aVersion_GetPatch(), 8);
    const char* first = aVersion_GetString();
    EXPECT_STREQ(first, "2.10.8");
    EXPECT_EQ(aVersion_GetString(), first);
    EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 8));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 9, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 10, 9));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(LibraryVersion, IsAtLeastCompare)
{
    struct Row { u8 a, b, c, d, e, f; bool expected; };
    const Row rows[] = {
        {2, 10, 8, 2, 10, 8, true},
        {2, 10, 8, 2, 11, 0, false},
        {3, 0, 0, 2, 255, 255, true},
        {2, 10, 8, 2, 10, 9, false},
        {2, 10, 9, 2, 10, 8, true},
        {2, 11, 0, 2, 10, 255, true},
        {1, 255, 255, 2, 0, 0, false},
        {0, 0, 0, 0, 0, 0, true},
        {255, 255, 255, 255, 255, 255, true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(aVersion_IsAtLeastCompare(r.a, r.b, r.c, r.d, r.e, r.f), r.expected)
            << int(r.a) << "." << int(r.b) << "." << int(r.c) << " vs " << int(r.d) << "."
            << int(r.e) << "." << int(r.f);
}

TEST(PackedVersion, LayoutAndFields)
{
    struct Row { u32 packed; bool legacy; u8 major, minor; u32 patch; const char* text; };
    const Row rows[] = {
        {0x2E000003, true, 2, 14, 3, "2.14.3"},
        {0x2F020F00, false, 2, 15, 0, "2.15.0"},
        {0x2F030107, false, 3, 1, 7, "3.1.7"},
        {0x21000100, true, 2, 1, 256, "2.1.256"},
        {0x30020100, false, 2, 1, 0, "2.1.0"},
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x2F000000, false, 0, 0, 0, "0.0.0"},
        {0xFF000000, false, 0, 0, 0, "0.0.0"},
        {0x00000000, true, 0, 0, 0, "0.0.0"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(r.packed), r.legacy);
        EXPECT_EQ(aVersion_ParseMajor(r.packed), r.major);
        EXPECT_EQ(aVersion_ParseMinor(r.packed), r.minor);
        EXPECT_EQ(aVersion_ParsePatch(r.packed), r.patch);
        char text[32];
        EXPECT_EQ(aVersion_ParseString(r.packed, text, sizeof(text)), (int)strlen(r.text));
        EXPECT_STREQ(text, r.text);
    }
}

TEST(PackedVersion, ParseStringIsBounded)
{
    char text[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(aVersion_ParseString(0x2F030107, text, 4), 5);
    EXPECT_STREQ(text, "3.1");
    EXPECT_EQ(text[4], 'x');
}

TEST(PackedVersion, Pack)
{
    struct Row { u8 major, minor, patch; u32 packed; };
    const Row rows[] = {
        {2, 14, 3, 0x2E000003},
        {2, 15, 0, 0x2F020F00},
        {3, 1, 7, 0x2F030107},
        {1, 20, 0, 0x14000000},
        {2, 10, 255, 0x2A0000FF},
        {2, 255, 255, 0x2F02FFFF},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(aVersion_Pack(r.major, r.minor, r.patch), r.packed)
            << int(r.major) << "." << int(r.minor) << "." << int(r.patch);
    }
    // What packs in the current layout reads back unchanged.
    u32 packed = aVersion_Pack(4, 200, 9);
    EXPECT_EQ(aVersion_ParseMajor(packed), 4);
    EXPECT_EQ(aVersion_ParseMinor(packed), 200);
    EXPECT_EQ(aVersion_ParsePatch(packed), 9u);
}

TEST(Features, QueryAndList)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIO"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSION "));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(NULL));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(strlen(list), 27u);
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}

TEST(Time, TicksFollowTheWallClock)
{
    struct timeval tv;
    ASSERT_EQ(gettimeofday(&tv, NULL), 0);
    u64 wall = (u64)tv.tv_sec * 1000 + (u64)tv.tv_usec / 1000;
    u64 ticks = aTime_GetMSTicks();
    EXPECT_GE(ticks, wall);
    EXPECT_LT(ticks - wall, 1000u);
}

TEST(Time, SleepLasts)
{
    // 1100 ms needs more than one sleep piece.
    const u64 lengths[] = {0, 10, 1100};
    for (u64 ms : lengths) {
        u64 start = aTime_GetMSTicks();
        EXPECT_EQ(aTime_MSSleep(ms), aErrNone);
        u64 elapsed = aTime_GetMSTicks() - start;
        EXPECT_GE(elapsed, ms) << ms;
        EXPECT_LT(elapsed, ms + 200) << ms;
    }
}
