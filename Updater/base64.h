// Base64 (RFC 4648 alphabet, "=" padding) for the images the update server sends.
#ifndef _base64_H_
#define _base64_H_

// Decodes `length` characters of `text`. Returns a malloc'd buffer (the caller frees it) of the
// decoded bytes plus a terminating 0, their number stored through outLength (when not null).
// Null when length is not a multiple of 4, when the text holds a character outside the
// alphabet or padding anywhere but at its end, or when memory runs out.
unsigned char* base64_decode(char const* text, unsigned long length, unsigned long* outLength);

// Encodes `length` bytes. Returns a malloc'd buffer of the characters plus a terminating 0,
// their number stored through outLength (when not null); null when memory runs out.
char* base64_encode(char const* bytes, unsigned long length, unsigned long* outLength);

#endif
