#include "base64.h"

#include <cstdlib>
#include <cstring>

static char const encoding_table[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static int const mod_table[] = {0, 2, 1};

// Every entry is set: characters outside the alphabet map to 0xFF, so input can never make the
// decoder read an unset value.
static void _build_decoding_table(unsigned char table[256])
{
    memset(table, 0xFF, 256);
    for (unsigned char i = 0; i < 64; i++)
        table[(unsigned char)encoding_table[i]] = i;
}

unsigned char* base64_decode(char const* text, unsigned long length, unsigned long* outLength)
{
    if (length % 4 != 0 || (length > 0 && !text))
        return nullptr;
    unsigned char table[256];
    _build_decoding_table(table);

    unsigned long pad = 0;
    if (length > 0 && text[length - 1] == '=') {
        pad++;
        if (text[length - 2] == '=')
            pad++;
    }
    unsigned long decodedLength = length / 4 * 3 - pad;

    // Validate before allocating: a corrupt download is refused rather than half decoded.
    for (unsigned long i = 0; i < length - pad; i++)
        if (table[(unsigned char)text[i]] == 0xFF)
            return nullptr;

    unsigned char* out = (unsigned char*)malloc(decodedLength + 1);
    if (!out)
        return nullptr;
    out[decodedLength] = 0;

    unsigned long j = 0;
    for (unsigned long i = 0; i < length; i += 4) {
        unsigned long v = 0;
        for (int k = 0; k < 4; k++) {
            char c = text[i + k];
            v = (v << 6) | (c == '=' ? 0 : table[(unsigned char)c]);
        }
        if (j < decodedLength)
            out[j++] = (unsigned char)(v >> 16);
        if (j < decodedLength)
            out[j++] = (unsigned char)(v >> 8);
        if (j < decodedLength)
            out[j++] = (unsigned char)v;
    }
    if (outLength)
        *outLength = decodedLength;
    return out;
}

char* base64_encode(char const* bytes, unsigned long length, unsigned long* outLength)
{
    if (length > 0 && !bytes)
        return nullptr;
    unsigned long encodedLength = 4 * ((length + 2) / 3);
    char* out = (char*)malloc(encodedLength + 1);
    if (!out)
        return nullptr;
    out[encodedLength] = 0;

    unsigned char const* in = (unsigned char const*)bytes;
    unsigned long j = 0;
    for (unsigned long i = 0; i < length; i += 3) {
        unsigned long a = in[i];
        unsigned long b = i + 1 < length ? in[i + 1] : 0;
        unsigned long c = i + 2 < length ? in[i + 2] : 0;
        unsigned long v = (a << 16) | (b << 8) | c;
        out[j++] = encoding_table[(v >> 18) & 0x3F];
        out[j++] = encoding_table[(v >> 12) & 0x3F];
        out[j++] = encoding_table[(v >> 6) & 0x3F];
        out[j++] = encoding_table[v & 0x3F];
    }
    for (int k = 0; k < mod_table[length % 3]; k++)
        out[encodedLength - 1 - k] = '=';
    if (outLength)
        *outLength = encodedLength;
    return out;
}
