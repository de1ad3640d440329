#include <gtest/gtest.h>

#include "aError.h"

TEST(ErrorText, NamesAndDescriptionsByCode)
{
    struct Row { aErr code; const char* name; const char* description; };
    const Row rows[] = {
        {0, "aErrNone", "Success, no error"},
        {2, "aErrParam", "Invalid parameter"},
        {3, "aErrNotFound", "Not found"},
        {11, "aErrNotReady", "Not ready, no bytes available"},
        {18, "aErrTimeout", "Timeout occurred"},
        {25, "aErrConnection", "Connection error"},
        {27, "aErrShortCommand", "Quillcore command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {-1, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
    };
    for (const Row& r : rows) {
        EXPECT_STREQ(aError_GetErrorText(r.code), r.name) << r.code;
        EXPECT_STREQ(aError_GetErrorDescription(r.code), r.description) << r.code;
    }
}
