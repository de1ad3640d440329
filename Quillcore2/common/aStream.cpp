// Byte streams: the push-back ring, reads and writes through the transport callbacks, file
// streams and record helpers.
#include "aStream.h"

#include <memory>
#include <new>
#include <stdlib.h>
#include <string.h>

#include "aFile.h"

// Reads up to this size use the stack: the link engine reads one byte per call.
#define sSTREAM_STACK_READ 256

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref)
{
    aStream* stream = (aStream*)calloc(1, sizeof(aStream));
    if (!stream)
        return NULL;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->ref = ref;
    stream->check = aSTREAMCHECK;
    return stream;
}

aErr aStream_Destroy(aStream** stream)
{
    if (!stream)
        return aErrParam;
    aStream* s = *stream;
    *stream = NULL;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->del)
        err = s->del(s->ref);
    free(s->buffer);
    s->check = 0;
    free(s);
    return err;
}

// Makes room in the ring for n more bytes, growing it by whole chunks with the bytes it holds
// moved to the front. The ring is never completely full, so head == tail always means empty.
static aErr sStreamReserve(aStream* stream, size_t n)
{
    if (stream->buffer && stream->count + n + 1 <= stream->capacity)
        return aErrNone;
    size_t capacity = stream->capacity + aSTREAMBUFCHUNK;
    while (stream->count + n + 1 > capacity)
        capacity += aSTREAMBUFCHUNK;
    u8* ring = (u8*)malloc(capacity);
    if (!ring)
        return aErrMemory;
    for (u32 i = 0; i < stream->count; i++)
        ring[i] = stream->buffer[(stream->head + i) % stream->capacity];
    free(stream->buffer);
    stream->buffer = ring;
    stream->capacity = capacity;
    stream->head = 0;
    stream->tail = stream->count;
    return aErrNone;
}

aErr aStreamBufferChar(aStream* stream, u8 byte)
{
    if (!stream)
        return aErrParam;
    aErr err = sStreamReserve(stream, 1);
    if (err != aErrNone)
        return err;
    stream->buffer[stream->tail] = byte;
    stream->tail = (stream->tail + 1) % stream->capacity;
    stream->count++;
    return aErrNone;
}

bool sStreamGetBufferedChar(aStream* stream, char* byte)
{
    if (!stream || !byte || stream->count == 0 || !stream->buffer)
        return false;
    *byte = (char)stream->buffer[stream->head];
    stream->head = (stream->head + 1) % stream->capacity;
    stream->count--;
    return true;
}

// Puts bytes taken by a read that cannot deliver them back in front of the ring, in order,
// so that the next read sees them first.
static aErr sStreamUnread(aStream* stream, const u8* bytes, size_t n)
{
    if (n == 0)
        return aErrNone;
    aErr err = sStreamReserve(stream, n);
    if (err != aErrNone)
        return err;
    for (size_t i = n; i-- > 0;) {
        stream->head = (stream->head + stream->capacity - 1) % stream->capacity;
        stream->buffer[stream->head] = bytes[i];
        stream->count++;
    }
    return aErrNone;
}

aErr aStream_Read(aStream* stream, void* buffer, size_t n)
{
    if (!aVALIDSTREAM(stream) || !buffer)
        return aErrParam;
    if (!stream->get)
        return aErrMode;
    if (n == 1 && stream->count == 0) {
        // The link engine's one-byte read: nothing to push back whatever happens.
        char c;
        aErr err = stream->get(&c, stream->ref);
        if (err == aErrNone)
            *(char*)buffer = c;
        return err;
    }
    u8 small[sSTREAM_STACK_READ];
    std::unique_ptr<u8[]> large;
    u8* temp = small;
    if (n > sizeof(small)) {
        large.reset(new (std::nothrow) u8[n]);
        if (!large)
            return aErrResource;
        temp = large.get();
    }

    aErr err = aErrNone;
    size_t got = 0;
    while (got < n && err == aErrNone) {
        char c;
        if (sStreamGetBufferedChar(stream, &c)) {
            temp[got++] = (u8)c;
            continue;
        }
        err = stream->get(&c, stream->ref);
        if (err == aErrNone)
            temp[got++] = (u8)c;
    }

    if (err == aErrNone || err == aErrEOF)
        memcpy(buffer, temp, got);
    else
        // Not ready or failed part-way: nothing is consumed, the next read sees these first.
        sStreamUnread(stream, temp, got);
    return err;
}

aErr aStream_Write(aStream* stream, const void* data, size_t n)
{
    if (!aVALIDSTREAM(stream) || !data)
        return aErrParam;
    if (!stream->write && !stream->put)
        return aErrMode;
    const char* bytes = (const char*)data;
    if (stream->write && (n > 1 || !stream->put))
        return n == 0 ? aErrNone : stream->write(bytes, n, stream->ref);
    for (size_t i = 0; i < n; i++) {
        aErr err = stream->put(&bytes[i], stream->ref);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

/* File streams */

static aErr sFileStreamGet(char* byte, void* ref)
{
    if (!ref)
        return aErrIO;
    u64 count = 0;
    aErr err = aFile_Read((aFile*)ref, byte, 1, &count);
    if (err == aErrNone && count != 1)
        err = aErrEOF;
    return err;
}

static aErr sFileStreamWrite(const char* data, size_t n, void* ref)
{
    if (!ref)
        return aErrIO;
    return aFile_Write((aFile*)ref, data, n, NULL);
}

static aErr sFileStreamPut(const char* byte, void* ref)
{
    return sFileStreamWrite(byte, 1, ref);
}

static aErr sFileStreamDelete(void* ref)
{
    if (!ref)
        return aErrIO;
    aFile* file = (aFile*)ref;
    return aFile_Close(&file);
}

static aErr sStreamCreateFile(const char* path, int mode, aStream** stream)
{
    if (!path || !stream)
        return aErrResource;
    aFile* file = aFile_Open(path, mode);
    if (!file)
        return aErrResource;
    aStream* s = mode == aFILE_MODE_READ
        ? aStream_Create(sFileStreamGet, NULL, NULL, sFileStreamDelete, file)
        : aStream_Create(NULL, sFileStreamPut, sFileStreamWrite, sFileStreamDelete, file);
    if (!s) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream)
{
    return sStreamCreateFile(path, aFILE_MODE_READ, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream)
{
    return sStreamCreateFile(path, aFILE_MODE_WRITE, stream);
}

/* Records */

// fallback[i]: the length of the longest proper prefix of delim[0 .. i] that is also its suffix.
static void sFillFallback(const u8* delim, size_t n, size_t* fallback)
{
    fallback[0] = 0;
    for (size_t i = 1, k = 0; i < n; i++) {
        while (k > 0 && delim[i] != delim[k])
            k = fallback[k - 1];
        if (delim[i] == delim[k])
            k++;
        fallback[i] = k;
    }
}

aErr aStream_ReadRecord(aStream* stream, void* buffer, u64* count, size_t size,
                        const void* delimiter, size_t delimiterLength)
{
    if (count)
        *count = 0;
    if (!aVALIDSTREAM(stream) || !buffer || !delimiter || delimiterLength == 0)
        return aErrParam;
    const u8* delim = (const u8*)delimiter;
    // The bytes taken so far are always record[0 .. stored) followed by delim[0 .. matched),
    // so they can be handed back in order. A byte that breaks a partial match falls back along
    // this table, keeping the part that may still begin the delimiter ("aab" in "aaab").
    std::unique_ptr<size_t[]> fallback(new (std::nothrow) size_t[delimiterLength]);
    std::unique_ptr<u8[]> record(new (std::nothrow) u8[size ? size : 1]);
    if (!fallback || !record)
        return aErrResource;
    sFillFallback(delim, delimiterLength, fallback.get());

    size_t stored = 0, matched = 0;
    aErr err = aErrNone;
    bool complete = size == 0;
    while (!complete) {
        char c;
        err = aStream_Read(stream, &c, 1);
        if (err != aErrNone)
            break;
        const u8 byte = (u8)c;
        for (;;) {
            if (byte == delim[matched]) {
                complete = ++matched == delimiterLength;
                if (complete)
                    matched = 0;
                break;
            }
            if (matched == 0) {
                record[stored++] = byte;
                complete = stored == size;
                break;
            }
            // The byte breaks the match: its oldest bytes are record data after all.
            size_t move = matched - fallback[matched - 1];
            if (move > size - stored)
                move = size - stored;
            memcpy(record.get() + stored, delim, move);
            stored += move;
            matched -= move;  // what is left of the match is delim[0 .. matched) again
            if (stored == size) {
                // Full: whatever was taken beyond the record goes back for the next read.
                sStreamUnread(stream, &byte, 1);
                sStreamUnread(stream, delim + move, matched);
                matched = 0;
                complete = true;
                break;
            }
        }
    }

    if (err == aErrEOF && matched > 0) {
        // The end came inside a partial match: those bytes are data.
        size_t move = matched < size - stored ? matched : size - stored;
        memcpy(record.get() + stored, delim, move);
        stored += move;
        matched = 0;
    }
    if (err == aErrEOF && stored > 0)
        err = aErrNone;
    if (err == aErrNone) {
        memcpy(buffer, record.get(), stored);
        if (count)
            *count = stored;
    } else if (err != aErrEOF) {
        // Nothing is consumed by a record that is not delivered.
        sStreamUnread(stream, delim, matched);
        sStreamUnread(stream, record.get(), stored);
    }
    return err;
}

aErr aStream_WriteRecord(aStream* stream, const void* data, size_t n, const void* delimiter,
                         size_t delimiterLength)
{
    if (!aVALIDSTREAM(stream) || !data || !delimiter || delimiterLength == 0)
        return aErrParam;
    aErr err = aStream_Write(stream, data, n);
    if (err == aErrNone)
        err = aStream_Write(stream, delimiter, delimiterLength);
    return err;
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size,
                               const char* delimiter)
{
    if (!buffer || size == 0 || !delimiter || !*delimiter)
        return aErrParam;
    u64 count = 0;
    aErr err = aStream_ReadRecord(stream, buffer, &count, size - 1, delimiter,
                                  strlen(delimiter));
    if (err == aErrNone || err == aErrEOF)
        buffer[count] = '\0';
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    static const u8 zero = 0;
    u64 count = 0;
    aErr err = aStream_ReadRecord(stream, buffer, &count, size - 1, &zero, 1);
    if (err == aErrNone || err == aErrEOF)
        buffer[count] = '\0';
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text)
{
    if (!text)
        return aErrParam;
    return aStream_Write(stream, text, strlen(text) + 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* delimiter)
{
    if (!text || !delimiter)
        return aErrParam;
    return aStream_WriteRecord(stream, text, strlen(text), delimiter, strlen(delimiter) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination)
{
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (!source->get || !destination->put)
        return aErrMode;
    for (;;) {
        char c;
        aErr err = source->get(&c, source->ref);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = destination->put(&c, destination->ref);
        if (err != aErrNone)
            return err;
    }
}

/* Readiness hook */

aErr aStream_SetDescriptorProc(aStream* stream, aStreamDescriptorProc proc)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->descriptor = proc;
    return aErrNone;
}

int aStream_GetDescriptor(const aStream* stream)
{
    if (!aVALIDSTREAM(stream) || !stream->descriptor)
        return -1;
    return stream->descriptor(stream->ref);
}

aErr aStream_SetConnectionProc(aStream* stream, aStreamConnectionProc proc)
{
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    stream->connection = proc;
    return aErrNone;
}

u32 aStream_GetConnection(const aStream* stream)
{
    if (!aVALIDSTREAM(stream) || !stream->connection)
        return 0;
    return stream->connection(stream->ref);
}
