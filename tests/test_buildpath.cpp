#include <gtest/gtest.h>

#include <string>

#include "path.h"

TEST(BuildPath, JoinsEveryPartWithOneSeparator)
{
    const std::string longPart(5000, 'x');
    struct Row { std::string got; std::string expected; };
    const Row rows[] = {
        {BuildPath("a", nullptr), "a"},
        {BuildPath("a", "b", nullptr), "a/b"},
        // The separator goes in whatever the parts end or begin with.
        {BuildPath("a/", "b", nullptr), "a//b"},
        {BuildPath("a", "/b", nullptr), "a//b"},
        {BuildPath("a", "", nullptr), "a/"},
        {BuildPath("", "b", nullptr), "/b"},
        {BuildPath("/home/u", ".velmoran", "updater", nullptr), "/home/u/.velmoran/updater"},
        {BuildPath("r", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", nullptr),
         "r/1/2/3/4/5/6/7/8/9/10/11"},
        // No fixed buffer: parts of any length are joined whole.
        {BuildPath(longPart.c_str(), longPart.c_str(), nullptr), longPart + "/" + longPart},
        {BuildPath(nullptr, "b", nullptr), ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.got, r.expected);
}
