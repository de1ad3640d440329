// Entity-protocol byte helpers.
#include "aUEI.h"

u16 aUEI_RetrieveShort(const u8* bytes)
{
    return (u16)((bytes[0] << 8) | bytes[1]);
}

void aUEI_StoreShort(u8* bytes, u16 value)
{
    bytes[0] = (u8)(value >> 8);
    bytes[1] = (u8)value;
}

u32 aUEI_RetrieveInt(const u8* bytes)
{
    return ((u32)bytes[0] << 24) | ((u32)bytes[1] << 16) | ((u32)bytes[2] << 8) | bytes[3];
}

void aUEI_StoreInt(u8* bytes, u32 value)
{
    bytes[0] = (u8)(value >> 24);
    bytes[1] = (u8)(value >> 16);
    bytes[2] = (u8)(value >> 8);
    bytes[3] = (u8)value;
}

void aUEI_ModifyIntBuffer(u32* words, size_t count)
{
    if (!words)
        return;
    for (size_t i = 0; i < count; i++)
        words[i] = aUEI_RetrieveInt((const u8*)&words[i]);
}

// The last data byte, or false for a packet that has none (length 0 would read data[-1]).
static bool sLastDataByte(const aPacket* packet, u8* byte)
{
    if (!aVALIDPACKET(packet) || packet->length == 0 || packet->length > aPACKETMAXDATA)
        return false;
    *byte = packet->data[packet->length - 1];
    return true;
}

u8 aUEI_getBytesSequence(const aPacket* packet)
{
    u8 last;
    return sLastDataByte(packet, &last) ? (u8)(last & 0x7F) : 0;
}

u8 aUEI_getBytesContinue(const aPacket* packet)
{
    u8 last;
    return sLastDataByte(packet, &last) ? (u8)(last >> 7) : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return packet && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!packet)
        return false;
    switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
        return true;
    default:
        return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    // NULL is no entity packet either: callers go on to read its bytes.
    return packet && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return packet && packet->length > 4 && aUEI_isUEIPayload(packet) && packet->data[1] < 64
        && (packet->data[2] & 0x40);
}
