// Test fixture: what to do when the machine lacks what a case needs (root, umockdev, a private
// network namespace, strace, a writable /dev). On a developer's machine the case is skipped;
// under CI (CI set, as CI sets CI=true) it fails and names what is missing, so a CI run never
// passes over cases it did not run.
#ifndef _SkipOrFail_H_
#define _SkipOrFail_H_

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace qctest {

// CI=false, CI=0 and an empty CI count as unset.
inline bool UnderCi()
{
    const char* ci = std::getenv("CI");
    return ci && *ci && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0;
}

}  // namespace qctest

// A statement, like GTEST_SKIP(): ends the test (or the SetUp/helper it is in, which returns
// void) with the reason, which may be a chain of << operands. One return statement without an
// if of its own, so it sits under a caller's brace-less if (and else) like GTEST_SKIP() does.
#define QC_SKIP_OR_FAIL(reason)                                                          \
    return GTEST_MESSAGE_AT_(__FILE__, __LINE__, "",                                     \
                             qctest::UnderCi() ? ::testing::TestPartResult::kFatalFailure \
                                               : ::testing::TestPartResult::kSkip)        \
        << (qctest::UnderCi() ? "missing under CI: " : "") << reason

#endif
