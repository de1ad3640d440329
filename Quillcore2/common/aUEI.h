// Byte helpers of the entity protocol: big-endian loads and stores, the byte-string chunk
// trailer, and the tests that tell entity and device-stream packets from the others.
#ifndef _aUEI_H_
#define _aUEI_H_

#include "aDefs.h"
#include "aPacket.h"

// Big-endian 16- and 32-bit values.
u16 aUEI_RetrieveShort(const u8* bytes);
void aUEI_StoreShort(u8* bytes, u16 value);
u32 aUEI_RetrieveInt(const u8* bytes);
void aUEI_StoreInt(u8* bytes, u32 value);
// Turns count words in place from big-endian byte order into host values.
void aUEI_ModifyIntBuffer(u32* words, size_t count);

// Chunk trailer of a byte string, in the last data byte: bits 0-6 the sequence number, bit 7
// set while more chunks follow. Both give 0 for NULL, an invalid packet or one without data.
u8 aUEI_getBytesSequence(const aPacket* packet);
u8 aUEI_getBytesContinue(const aPacket* packet);
// True when the packet carries 27 or 28 data bytes (a full chunk).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when the command byte is one of the link, store, I2C, debug, module, factory and
// upgrade commands that are not entity requests; false for NULL.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// True for an entity-protocol packet; false for NULL as well.
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a device-stream packet: more than 4 data bytes, an entity command, option byte
// below 64 and bit 0x40 set in the specifier byte.
bool aUEI_isStreamPacket(const aPacket* packet);

#endif
