// Fuzz target: arbitrary received bytes through the packet assembler as the in-pipe thread
// feeds it (reset after every rejected byte and every complete packet), and the same bytes
// as a stream read in records. The assembler must never accept an invalid packet and never
// touch memory outside the record.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "aPacket.h"
#include "aStream.h"
#include "aUEI.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size, pos;
};

aErr sGet(char* byte, void* ref)
{
    Feed* f = (Feed*)ref;
    if (f->pos >= f->size)
        return aErrEOF;
    // Some bytes read as "not yet": the reader must push back and see them again.
    if ((f->data[f->pos] & 0x3F) == 0x3F && (f->pos & 1)) {
        f->pos++;
        return aErrNotReady;
    }
    *byte = (char)f->data[f->pos++];
    return aErrNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    aPacket* p = aPacket_Create();
    for (size_t i = 0; i < size; i++) {
        aErr err = aPacket_AddByte(p, data[i]);
        if (err != aErrNone) {
            aPacket_Reset(p);
            continue;
        }
        if (aPacket_IsComplete(p)) {
            if (p->address == 0 || (p->address & 1) || p->length > aPACKETMAXDATA)
                abort();
            aPacket* copy = aPacket_Copy(p);
            if (!copy || memcmp(copy->data, p->data, aPACKETMAXDATA) != 0)
                abort();
            (void)aUEI_isStreamPacket(copy);
            (void)aUEI_getBytesSequence(copy);
            aPacket_Destroy(&copy);
            aPacket_Reset(p);
        }
    }
    aPacket_Destroy(&p);

    if (size < 2)
        return 0;
    Feed f = {data + 1, size - 1, 0};
    aStream* s = aStream_Create(sGet, NULL, NULL, NULL, &f);
    const size_t delimiterLength = (data[0] & 3) + 1;
    const uint8_t delimiter[4] = {data[1], data[1], (uint8_t)(data[1] + 1), data[1]};
    char record[64];
    for (int rounds = 0; rounds < 1000; rounds++) {
        u64 count = 0;
        aErr err = aStream_ReadRecord(s, record, &count, (data[0] >> 2) % 48 + 1, delimiter,
                                      delimiterLength);
        if (count > 48)
            abort();
        if (err == aErrEOF || (err != aErrNone && err != aErrNotReady))
            break;
    }
    aStream_Destroy(&s);
    return 0;
}
