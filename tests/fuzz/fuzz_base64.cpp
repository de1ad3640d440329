// Any text handed to the decoder: it must never read or write out of bounds, and whatever it
// accepts must survive an encode and decode unchanged.
#include "base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size)
{
    unsigned long n = 0;
    unsigned char* bytes = base64_decode((char const*)data, size, &n);
    if (!bytes)
        return 0;
    if (bytes[n] != 0)
        abort();
    unsigned long textLength = 0;
    char* text = base64_encode((char const*)bytes, n, &textLength);
    if (!text || textLength != size)
        abort();
    unsigned long m = 0;
    unsigned char* again = base64_decode(text, textLength, &m);
    if (!again || m != n || memcmp(again, bytes, n) != 0)
        abort();
    free(again);
    free(text);
    free(bytes);
    return 0;
}
