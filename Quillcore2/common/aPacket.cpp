// Device packets: creation, copies and the byte-by-byte assembler.
#include "aPacket.h"

#include <stdlib.h>
#include <string.h>

static const aPacket sPacketTemplate = {aPACKETCHECK, 0, 0, 0, {0}};

aPacket* aPacket_Create(void)
{
    aPacket* packet = (aPacket*)malloc(sizeof(aPacket));
    if (packet)
        *packet = sPacketTemplate;
    return packet;
}

aPacket* aPacket_CreateWithData(u8 address, u8 length, const u8* data)
{
    if (!data || length > aPACKETMAXDATA)
        return NULL;
    aPacket* packet = aPacket_Create();
    if (!packet)
        return NULL;
    packet->address = address;
    packet->length = length;
    packet->received = (u8)(length + 2);
    memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    // A corrupt length would read past the source's data.
    if (!aVALIDPACKET(packet) || packet->length > aPACKETMAXDATA)
        return NULL;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !*packet)
        return aErrParam;
    free(*packet);
    *packet = NULL;
    return aErrNone;
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    *packet = sPacketTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, u8 byte)
{
    if (!aVALIDPACKET(packet))
        return aErrParam;
    // The count saturates past the longest packet: a caller that keeps feeding a rejected
    // packet must never wrap it back into the data indices.
    if (packet->received >= aPACKETMAXWIRE) {
        packet->received = aPACKETMAXWIRE + 1;
        return aErrOverrun;
    }
    packet->received++;
    if (packet->address == 0) {
        if (byte == 0 || (byte & 1))
            return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->length == 0) {
        packet->length = byte;
        return byte > aPACKETMAXDATA ? aErrPacket : aErrNone;
    }
    // received < 3 only for a record edited by hand; never index before data[0].
    if (packet->received > packet->length + 2 || packet->received < 3)
        return aErrPacket;
    packet->data[packet->received - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    // A refused length byte stays in the record, and the saturated count of a record fed on
    // equals 29 + 2: that must not pass for a packet whose data runs past the record.
    return aVALIDPACKET(packet) && packet->length <= aPACKETMAXDATA
        && packet->received == packet->length + 2;
}

static aErr sPacketField(const aPacket* packet, u8* out, u8 need, u8 index, u8 mask)
{
    if (!out)
        return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length < need)
        return aErrPacket;
    *out = packet->data[index] & mask;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, u8* cmd)
{
    return sPacketField(packet, cmd, 1, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, u8* option)
{
    return sPacketField(packet, option, 2, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, u8* index)
{
    return sPacketField(packet, index, 3, 2, 0x1F);
}
