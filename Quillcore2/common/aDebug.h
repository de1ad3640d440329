// Library trace output: developer lines on standard output, one switch for all and one bit per
// trace class. Nothing in the updater sets the switches, so a trace costs one load and one
// predictable branch: no formatting, no call.
#ifndef _aDebug_H_
#define _aDebug_H_

#include <atomic>

#include "aDefs.h"

// Trace classes: bits of aQuillcoreDebuggingLevel.
#define aDEBUG_LINK 0x1
#define aDEBUG_PACKETS 0x2
#define aDEBUG_SERVER 0x4
#define aDEBUG_MULTICAST 0x8
#define aDEBUG_DISCOVERY 0x10
#define aDEBUG_CLIENTSTREAM 0x20 // ZeroMQ client stream
#define aDEBUG_AUTONETWORKING 0x40
#define aDEBUG_BEACONGUARD 0x200
#define aDEBUG_USB 0x400

// Off by default. Atomic because pipe threads read them while a debugger or test may flip
// them; plain assignment works as for a bool and an integer.
extern std::atomic<bool> aQuillcoreDebuggingEnable;
extern std::atomic<u32> aQuillcoreDebuggingLevel;

// True while the trace class (one or more bits) is to be printed.
inline bool aDebug_On(u32 traceClass)
{
    return aQuillcoreDebuggingEnable.load(std::memory_order_relaxed)
           && (aQuillcoreDebuggingLevel.load(std::memory_order_relaxed) & traceClass) != 0;
}

// Prints like printf to standard output and flushes it; one call is one whole line that
// lines of other threads do not cut.
void aDebug_Printf(const char* format, ...) __attribute__((format(printf, 1, 2), cold));

// The arguments are evaluated only when the class is on.
#define aTRACE(traceClass, ...)                                                                   \
    do {                                                                                          \
        if (__builtin_expect(aDebug_On(traceClass), 0))                                           \
            aDebug_Printf(__VA_ARGS__);                                                           \
    } while (0)

#endif
