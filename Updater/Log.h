// The updater's diagnostic log: process-wide, switched on per package by the -X bit mask.
#ifndef _Log_H_
#define _Log_H_

#include <cstdio>

// Log packages: the bits of the -X mask. Package 0 is always written.
#define DEBUG_Updater       0x1
#define DEBUG_History       0x2
#define DEBUG_Attributes    0x4
#define DEBUG_BirdFile      0x8
#define DEBUG_Network       0x10
#define DEBUG_ServerComm    0x20
#define DEBUG_Network2      0x100  // printed as DEBUG_Network too
#define DEBUG_Network_SR    0x200
#define DEBUG_Network_FIRM  0x400
#define DEBUG_NXPSerial     0x1000
#define DEBUG_NXPSerial_E   0x2000
#define DEBUG_NXPSerial_SR  0x4000
#define DEBUG_APP           0x10000
#define DEBUG_iMXSerial     0x10000000

class Log {
public:
    Log() {}
    ~Log() {}

    // Writes one formatted text (cut to 2047 characters, no newline added) when package is 0
    // or shares a bit with the active mask.
    static void log(unsigned int package, char const* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* fh);
    static void ActivatePackage(unsigned int bits);
    static void DeactivatePackage(unsigned int bits);

    static unsigned int package_bitmask;
    static FILE* fh;
    static bool timestamped;
};

#endif
