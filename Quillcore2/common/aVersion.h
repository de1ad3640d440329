// The library's own version and the two layouts of a packed firmware version.
#ifndef _aVersion_H_
#define _aVersion_H_

#include "aDefs.h"

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 10
#define aVERSION_PATCH 8
#define aVERSION_PHASE "."

u8 aVersion_GetMajor(void);
u8 aVersion_GetMinor(void);
u8 aVersion_GetPatch(void);
// "2.10.8", built on first use into a static buffer.
const char* aVersion_GetString(void);
bool aVersion_IsAtLeast(u8 major, u8 minor, u8 patch);
// True when (a, b, c) >= (d, e, f), most significant first, as unsigned bytes.
bool aVersion_IsAtLeastCompare(u8 a, u8 b, u8 c, u8 d, u8 e, u8 f);
// True when the packed value's top byte is below 0x2F (legacy layout).
bool aVersion_IsLegacyFormat(u32 packed);
u8 aVersion_ParseMajor(u32 packed);
u8 aVersion_ParseMinor(u32 packed);
u32 aVersion_ParsePatch(u32 packed);
// Writes "major.minor.patch" bounded by size; returns the formatter's count.
int aVersion_ParseString(u32 packed, char* buffer, size_t size);
u32 aVersion_Pack(u8 major, u8 minor, u8 patch);
bool aVersion_HasFeature(const char* name);
// A new text of "name - description" lines; free with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif
