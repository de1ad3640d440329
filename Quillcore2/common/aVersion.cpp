// The library's version and the two layouts of a packed firmware version.
#include "aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
struct FeatureRow { const char* name; const char* description; };
}

static const FeatureRow FEATS[] = {
    {"VERSION", "Version Query API"},
};
static const size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

// The first byte of the current layout; every top byte below it marks the legacy layout.
static const u32 sCurrentMarker = 0x2F;

u8 aVersion_GetMajor(void) { return aVERSION_MAJOR; }
u8 aVersion_GetMinor(void) { return aVERSION_MINOR; }
u8 aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void)
{
    static char version_string[15];
    // A function-local static is initialised once even when threads race on the first call.
    static const bool version_inited = [] {
        memset(version_string, 0, sizeof(version_string));
        snprintf(version_string, sizeof(version_string), "%d.%d%s%d", aVERSION_MAJOR,
                 aVERSION_MINOR, aVERSION_PHASE, aVERSION_PATCH);
        return true;
    }();
    (void)version_inited;
    return version_string;
}

bool aVersion_IsAtLeastCompare(u8 a, u8 b, u8 c, u8 d, u8 e, u8 f)
{
    if (a != d)
        return a > d;
    if (b != e)
        return b > e;
    return c >= f;
}

bool aVersion_IsAtLeast(u8 major, u8 minor, u8 patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major,
                                     minor, patch);
}

bool aVersion_IsLegacyFormat(u32 packed)
{
    return aVersion_IsAtLeastCompare(2, 15, 0, (u8)((packed >> 28) & 0xF),
                                     (u8)((packed >> 24) & 0xF), 255);
}

u8 aVersion_ParseMajor(u32 packed)
{
    return aVersion_IsLegacyFormat(packed) ? (u8)((packed >> 28) & 0xF)
                                           : (u8)((packed >> 16) & 0xFF);
}

u8 aVersion_ParseMinor(u32 packed)
{
    return aVersion_IsLegacyFormat(packed) ? (u8)((packed >> 24) & 0xF)
                                           : (u8)((packed >> 8) & 0xFF);
}

u32 aVersion_ParsePatch(u32 packed)
{
    return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFF) : (packed & 0xFF);
}

int aVersion_ParseString(u32 packed, char* buffer, size_t size)
{
    return snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(packed),
                    aVersion_ParseMinor(packed), (unsigned)aVersion_ParsePatch(packed));
}

u32 aVersion_Pack(u8 major, u8 minor, u8 patch)
{
    if (major > 2 || (major == 2 && minor >= 15))
        return (sCurrentMarker << 24) | ((u32)major << 16) | ((u32)minor << 8) | patch;
    return ((u32)(major & 0xF) << 28) | ((u32)(minor & 0xF) << 24) | patch;
}

bool aVersion_HasFeature(const char* name)
{
    if (!name)
        return false;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        if (strcmp(FEATS[i].name, name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t total = 1;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        total += strlen(FEATS[i].name) + 3 + strlen(FEATS[i].description) + 1;
    char* list = (char*)malloc(total);
    if (!list)
        return NULL;
    size_t used = 0;
    for (size_t i = 0; i < NUM_FEATS; ++i)
        used += (size_t)snprintf(list + used, total - used, "%s%s - %s", i ? "\n" : "",
                                 FEATS[i].name, FEATS[i].description);
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (!list)
        return;
    free(*list);
    *list = NULL;
}
