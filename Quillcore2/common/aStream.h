// Byte streams: four transport callbacks and a reference, plus a push-back ring that lets a
// reader return bytes it could not use yet.
//
// A stream has no lock. One thread may read (get and the push-back ring belong to the reading
// side) while another writes; two threads must not read, or destroy, the same stream at once.
#ifndef _aStream_H_
#define _aStream_H_

#include "aDefs.h"
#include "aError.h"

#define aSTREAMCHECK 0x4321
#define aSTREAMBUFCHUNK 512

// aErrNone: one byte stored; aErrNotReady: no byte now (try again later); aErrEOF: the data
// has ended; anything else is an error.
typedef aErr (*aStreamGetProc)(char* byte, void* ref);
typedef aErr (*aStreamPutProc)(const char* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const char* data, size_t length, void* ref);
// Closes and frees the transport record.
typedef aErr (*aStreamDeleteProc)(void* ref);

typedef struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;          // transport record, owned by the stream, released through del
    u8* buffer;         // push-back ring; NULL until the first byte is pushed back
    u32 count;          // bytes held in the ring
    size_t capacity;
    size_t head;        // oldest held byte
    size_t tail;        // where the next pushed byte goes
    u16 check;          // aSTREAMCHECK; cleared on destroy
    int (*descriptor)(void* ref); // optional readiness hook, see aStream_SetDescriptorProc
    u32 (*connection)(void* ref);  // optional connection hook, see aStream_SetConnectionProc
} aStream;

static inline bool aVALIDSTREAM(const aStream* stream)
{
    return stream != NULL && stream->check == aSTREAMCHECK;
}

// A new stream with an empty push-back ring (any callback may be NULL); NULL without memory.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref);
// Reads exactly n bytes (pushed-back bytes first). aErrNotReady when fewer than n are there:
// nothing is delivered and the bytes taken are pushed back, so the next read sees them first.
// aErrEOF may deliver fewer than n. On any other error the caller's buffer is untouched and
// the bytes taken are pushed back as well. aErrParam (invalid stream, NULL buffer), aErrMode
// (no get callback).
aErr aStream_Read(aStream* stream, void* buffer, size_t n);
// Writes n bytes: one write call when there is one and n > 1, else byte by byte through put
// (write of one byte without a put). aErrParam, aErrMode (neither write nor put).
aErr aStream_Write(aStream* stream, const void* data, size_t n);
// Calls del(ref), frees the ring and the stream; returns del's result, aErrParam for an
// invalid stream. *stream is set to NULL in every case.
aErr aStream_Destroy(aStream** stream);
// Pushes one byte back; it comes out after the bytes already held. aErrParam for NULL,
// aErrMemory when the ring cannot grow (the byte is then not held).
aErr aStreamBufferChar(aStream* stream, u8 byte);
// Takes the oldest pushed-back byte; false when none is held.
bool sStreamGetBufferedChar(aStream* stream, char* byte);

// File streams (aFile read / write modes). aErrResource on any failure; nothing stays open.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// Collects bytes until the delimiter has been read (it is not stored) or size bytes are held;
// count gets the number stored (count may be NULL). aErrEOF before any byte gives aErrEOF with
// count 0; aErrNotReady pushes every byte taken back. aErrParam, aErrResource (no memory).
aErr aStream_ReadRecord(aStream* stream, void* buffer, u64* count, size_t size,
                        const void* delimiter, size_t delimiterLength);
aErr aStream_WriteRecord(aStream* stream, const void* data, size_t n, const void* delimiter,
                         size_t delimiterLength);
// A record ended by one zero byte, at most size - 1 bytes, terminated.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
// The text and one zero byte.
aErr aStream_WriteCString(aStream* stream, const char* text);
// A record ended by the delimiter text's bytes, terminated; at most size - 1 bytes.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* delimiter);
// The text, then the delimiter text including its terminating zero byte.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter);
// Copies source get to destination put (source ring not consulted) until aErrEOF (aErrNone),
// another get result (returned) or a failed put. aErrParam, aErrMode (no get / no put).
aErr aStream_Flush(aStream* source, aStream* destination);

// Optional readiness hook of a transport: returns the descriptor that polls readable when get
// may have a byte (-1 when there is none now). It lets a reader block until data comes
// instead of calling get in a loop. aErrParam for an invalid stream.
typedef int (*aStreamDescriptorProc)(void* ref);
aErr aStream_SetDescriptorProc(aStream* stream, aStreamDescriptorProc proc);
// The transport's descriptor, or -1 for a stream without the hook or an invalid stream.
int aStream_GetDescriptor(const aStream* stream);

// Optional connection hook of a transport that connects again by itself: returns a number
// that changes whenever its read side moves to a new connection, so that a reader can tell
// the bytes of a connection that ended from those of the next. Called on the reading side.
// aErrParam for an invalid stream.
typedef u32 (*aStreamConnectionProc)(void* ref);
aErr aStream_SetConnectionProc(aStream* stream, aStreamConnectionProc proc);
// The transport's connection number, or 0 for a stream without the hook or an invalid stream.
u32 aStream_GetConnection(const aStream* stream);

// Transports (declared here so that callers need one header).
// TCP client stream to an IPv4 address in network byte order (as in sin_addr.s_addr) and a
// port in host order; aErrResource on any failure.
aErr aStream_CreateSocket(u32 address, u16 port, aStream** stream);
// Serial port in raw mode. baudIndex 0..7 = 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400; parity 0 none, else even; dataBits 0 eight, 1 seven; stopBits 0 one, 1 two.
// aErrResource for bad arguments (a baud index above 7 and a path of 4096 characters or more
// among them); else the open's error: aErrNotFound, aErrPermission or aErrIO.
aErr aStream_CreateSerial(const char* path, u32 baudIndex, u8 parity, u32 dataBits,
                          u32 stopBits, aStream** stream);
// USB module by serial number (kernel driver node when present, else libusb). aErrParam for
// serial 0, aErrNotFound, aErrConfiguration, aErrBusy, aErrMemory, or the node's aErrIO.
aErr aStream_CreateUSB(u32 serial, aStream** stream);
// The same, for the device with that serial number at that port path only (another device with
// the serial elsewhere is never opened); aErrParam for a path with no port.
struct aUSBPortPath;
aErr aStream_CreateUSBAt(u32 serial, const struct aUSBPortPath* path, aStream** stream);

#endif
