// A case that lacks its environment skips on a developer's machine and fails under CI.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <stdlib.h>

#include <optional>
#include <string>

#include "SkipOrFail.h"

namespace {

// Sets CI for the scope of one row, then puts back what was there.
struct CiVariable {
    explicit CiVariable(const char* value)
    {
        if (const char* old = getenv("CI"))
            saved = old;
        if (value)
            setenv("CI", value, 1);
        else
            unsetenv("CI");
    }
    ~CiVariable()
    {
        if (saved)
            setenv("CI", saved->c_str(), 1);
        else
            unsetenv("CI");
    }
    std::optional<std::string> saved;
};

bool gPastTheCheck = false;

void sNeedsAThing(bool present)
{
    gPastTheCheck = false;
    // An if without braces around the macro: an else must not bind to the macro's own if.
    if (!present)
        QC_SKIP_OR_FAIL("no thing " << 42);
    else
        gPastTheCheck = true;
}

}  // namespace

TEST(SkipOrFail, WhatCountsAsCi)
{
    struct Row { const char* value; bool ci; };
    const Row rows[] = {{"true", true}, {"1", true}, {"yes", true}, {nullptr, false},
                        {"", false},    {"false", false}, {"0", false}};
    for (const Row& row : rows) {
        CiVariable ci(row.value);
        EXPECT_EQ(qctest::UnderCi(), row.ci) << (row.value ? row.value : "(unset)");
    }
}

TEST(SkipOrFail, SkipsOnADevelopersMachineAndFailsUnderCi)
{
    struct Row { const char* ci; bool fails; const char* message; };
    const Row rows[] = {{nullptr, false, "no thing 42"},
                        {"true", true, "missing under CI: no thing 42"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.ci ? row.ci : "(unset)");
        CiVariable ci(row.ci);
        testing::TestPartResultArray results;
        {
            testing::ScopedFakeTestPartResultReporter intercept(
                testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            sNeedsAThing(false);
        }
        EXPECT_FALSE(gPastTheCheck);
        ASSERT_EQ(results.size(), 1);
        const testing::TestPartResult& r = results.GetTestPartResult(0);
        EXPECT_EQ(r.skipped(), !row.fails);
        EXPECT_EQ(r.fatally_failed(), row.fails);
        // The scoped trace follows on the next line.
        std::string message = r.message();
        EXPECT_EQ(message.substr(0, message.find('\n')), row.message);

        sNeedsAThing(true);
        EXPECT_TRUE(gPastTheCheck);
    }
}
