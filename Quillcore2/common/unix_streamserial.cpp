// Serial-port stream over a POSIX terminal in raw mode.
#include "unix_streamserial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const struct { u32 rate; speed_t speed; } sBaudTable[] = {
    {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};
#define sBAUD_COUNT (sizeof(sBaudTable) / sizeof(sBaudTable[0]))

u32 aSerial_BaudRate(u32 baudIndex)
{
    return baudIndex < sBAUD_COUNT ? sBaudTable[baudIndex].rate : 0;
}

static bool aVALIDSS(const aSerialStream* s)
{
    return s != NULL && s->check == aSERIALSTREAMCHECK;
}

static aErr sSerialStreamGet(char* byte, void* ref)
{
    aSerialStream* s = (aSerialStream*)ref;
    if (!aVALIDSS(s) || !byte)
        return aErrParam;
    if (s->readPos < s->readLen) {
        *byte = (char)s->readBuf[s->readPos++];
        return aErrNone;
    }
    ssize_t r = read(s->descriptor, s->readBuf, sizeof(s->readBuf));
    if (r > 0) {
        s->readLen = (u32)r;
        s->readPos = 1;
        *byte = (char)s->readBuf[0];
        return aErrNone;
    }
    if (r == 0) {
        // With VMIN 0 an empty read is also what a hung-up line gives (the far side of a
        // pseudo-terminal closed, an adapter unplugged); tell the two apart without waiting.
        struct pollfd p = {s->descriptor, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return aErrIO;
        return aErrNotReady;
    }
    if (errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

static aErr sSerialStreamWrite(const char* data, size_t n, void* ref)
{
    aSerialStream* s = (aSerialStream*)ref;
    if (!aVALIDSS(s) || (!data && n))
        return aErrParam;
    if (n == 0)
        return aErrNone;
    ssize_t w;
    do {
        w = write(s->descriptor, data, n);
    } while (w < 0 && errno == EINTR);
    if (w < 0 || (size_t)w != n)
        return aErrIO;
    int d;
    do {
        d = tcdrain(s->descriptor);
    } while (d < 0 && errno == EINTR);
    return d == 0 ? aErrNone : aErrIO;
}

static aErr sSerialStreamPut(const char* byte, void* ref)
{
    return sSerialStreamWrite(byte, 1, ref);
}

static aErr sSerialStreamDelete(void* ref)
{
    aSerialStream* s = (aSerialStream*)ref;
    if (!aVALIDSS(s))
        return aErrParam;
    if (s->descriptor >= 0) {
        tcsetattr(s->descriptor, TCSANOW, &s->saved);
        close(s->descriptor);
        s->descriptor = -1;
    }
    s->check = 0;
    free(s);
    return aErrNone;
}

static aErr sStreamOpenSerial(aSerialStream* s, u8 parity, u32 dataBits, u32 stopBits)
{
    int fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return aErrNotFound;
        if (errno == EACCES)
            return aErrPermission;
        return aErrIO;
    }
    s->descriptor = fd;
    // Opened non-blocking so that a modem line cannot hold the open; blocking again after,
    // so that a write waits for room instead of failing part-way.
    if (fcntl(fd, F_SETFL, 0) < 0)
        return aErrIO;
    if (tcgetattr(fd, &s->saved) < 0)
        return aErrIO;

    struct termios t = s->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits ? CS7 : CS8)
        | (stopBits ? CSTOPB : 0);
    t.c_lflag = 0;
    cfsetispeed(&t, sBaudTable[s->baudIndex].speed);
    cfsetospeed(&t, sBaudTable[s->baudIndex].speed);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) < 0)
        return aErrIO;
    s->settings = t;
    if (tcflush(fd, TCIOFLUSH) < 0) {
        tcsetattr(fd, TCSANOW, &s->saved);
        return aErrIO;
    }
    return aErrNone;
}

// Readiness hook: the line's descriptor polls readable when a byte (or a hang-up) is there.
static int sSerialStreamDescriptor(void* ref)
{
    aSerialStream* s = (aSerialStream*)ref;
    return aVALIDSS(s) ? s->descriptor : -1;
}

aErr aStream_CreateSerial(const char* path, u32 baudIndex, u8 parity, u32 dataBits,
                          u32 stopBits, aStream** stream)
{
    // A path that does not fit the record is refused, never cut short into another device.
    if (!path || !stream || dataBits > 1 || stopBits > 1 || baudIndex >= sBAUD_COUNT
        || strlen(path) >= aSERIAL_MAXPATH)
        return aErrResource;
    *stream = NULL;
    aSerialStream* s = (aSerialStream*)calloc(1, sizeof(aSerialStream));
    if (!s)
        return aErrResource;
    s->check = aSERIALSTREAMCHECK;
    s->baudIndex = baudIndex;
    s->descriptor = -1;
    strcpy(s->path, path);

    aErr err = sStreamOpenSerial(s, parity, dataBits, stopBits);
    if (err != aErrNone) {
        if (s->descriptor >= 0) {
            close(s->descriptor);
            s->descriptor = -1;
        }
        s->check = 0;
        free(s);
        return err;
    }
    aStream* st = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                 sSerialStreamDelete, s);
    if (!st) {
        sSerialStreamDelete(s);
        return aErrResource;
    }
    aStream_SetDescriptorProc(st, sSerialStreamDescriptor);
    *stream = st;
    return aErrNone;
}
