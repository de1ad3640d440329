// Serial-port stream: an aStream over a POSIX terminal device in raw mode. Reads never block
// (VMIN 0, VTIME 0): a get finds a byte or reports aErrNotReady. aStream_CreateSerial is
// declared in aStream.h.
#ifndef _unix_streamserial_H_
#define _unix_streamserial_H_

#include <termios.h>

#include "aStream.h"

#define aSERIALSTREAMCHECK 0xBEEF
#define aSERIAL_MAXPATH 4096
// Received bytes are taken from the line's queue in blocks of up to this size and served one
// by one, so a byte costs no system call of its own.
#define aSERIAL_READAHEAD 1024

// The transport record behind a serial stream.
typedef struct aSerialStream {
    u32 baudIndex;
    char path[aSERIAL_MAXPATH];   // at most 4095 characters
    int descriptor;               // -1 when none
    struct termios saved;         // as found at open; put back when the stream is destroyed
    struct termios settings;      // as set here
    u16 check;
    // Read side only: bytes taken from the line and not yet handed out.
    u32 readPos, readLen;
    u8 readBuf[aSERIAL_READAHEAD];
} aSerialStream;

// Bits per second of a baud index 0..7; 0 for any other index.
u32 aSerial_BaudRate(u32 baudIndex);

#endif
