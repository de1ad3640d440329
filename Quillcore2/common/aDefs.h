// Basic types of the device link library and the table of device model names.
#ifndef _aDefs_H_
#define _aDefs_H_

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;

// Name of a device model by model number (low byte of the USB product id, system option 8);
// "Unknown" for numbers that name no model.
const char* aDefs_GetModelName(u32 model);

#endif
