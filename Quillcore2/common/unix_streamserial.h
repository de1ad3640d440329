// Serial-port stream: an aStream over a POSIX terminal device in raw mode. Reads never block
// (VMIN 0, VTIME 0): a get finds a byte or reports aErrNotReady. aStream_CreateSerial is
// declared in aStream.h.
#ifndef _unix_streamserial_H_
#define _unix_streamserial_H_

#include <termios.h>

#include "aStream.h"

#define aSERIALSTREAMCHECK 0xBEEF
#define aSERIAL_MAXPATH 4096

// The transport record behind a serial stream.
typedef struct aSerialStream {
    u32 baudIndex;
    char path[aSERIAL_MAXPATH];   // at most 4095 characters
    int descriptor;               // -1 when none
    struct termios saved;         // as found at open; put back when the stream is destroyed
    struct termios settings;      // as set here
    u16 check;
} aSerialStream;

// Bits per second of a baud index 0..7; 0 for any other index.
u32 aSerial_BaudRate(u32 baudIndex);

#endif
