// Device packets: the record, its framing and byte-by-byte assembly.
//
// Wire framing on every transport: [address][length n, 0..28][data 0 .. n-1]. No start byte,
// no escape, no checksum; a packet is at most 30 bytes. Module packets carry an even, non-zero
// address; the link-level packets below use odd addresses and are sent by the host only.
#ifndef _aPacket_H_
#define _aPacket_H_

#include "aDefs.h"
#include "aError.h"

#define aPACKETCHECK 0xBEEF
#define aPACKETMAXDATA 28
#define aPACKETMAXWIRE (aPACKETMAXDATA + 2)

// Link-level addresses: sync request / address query (length 0) and force-route (length 1,
// data 1 = on, 0 = off).
#define cmdMAGIC 0xAD
#define cmdFORCEROUTE 0xAF

typedef struct aPacket {
    u16 check;                 // aPACKETCHECK in every packet made here
    u8 received;               // bytes accepted while assembling; length + 2 when complete
    u8 address;                // 0 while none has been received
    u8 length;                 // data bytes, 0..28
    u8 data[aPACKETMAXDATA];   // data[0] is the command byte; bytes past length read 0
} aPacket;

// True for a non-NULL packet whose check is aPACKETCHECK.
static inline bool aVALIDPACKET(const aPacket* packet)
{
    return packet != NULL && packet->check == aPACKETCHECK;
}

// A new empty packet; NULL when memory runs out.
aPacket* aPacket_Create(void);
// A new complete packet (received = length + 2); NULL for NULL data (even with length 0),
// length above 28, or no memory. The address is taken as given (link-level packets too).
aPacket* aPacket_CreateWithData(u8 address, u8 length, const u8* data);
// A new complete packet with the same address, length and data; NULL for an invalid packet
// or one whose length is above 28.
aPacket* aPacket_Copy(const aPacket* packet);
// Frees the packet and sets *packet to NULL; aErrParam when packet or *packet is NULL.
aErr aPacket_Destroy(aPacket** packet);
// Empties the packet for the next assembly (all 28 data bytes zeroed); aErrParam if invalid.
aErr aPacket_Reset(aPacket* packet);
// Takes the next received byte. aErrNone when accepted; aErrPacket for a 0 or odd address
// byte, a length above 28 or a byte past the packet's end; aErrOverrun past 30 bytes;
// aErrParam for an invalid packet. After anything but aErrNone reset the packet. A packet of
// length 0 is complete after its second byte, so test aPacket_IsComplete after every byte.
aErr aPacket_AddByte(aPacket* packet, u8 byte);
// True for a valid packet whose received count equals length + 2.
bool aPacket_IsComplete(const aPacket* packet);

// data[0], data[1] & 0x3F and data[2] & 0x1F; aErrPacket for an invalid packet or one with
// fewer than 1, 2 or 3 data bytes, aErrParam for a NULL out.
aErr aPacket_GetCmd(const aPacket* packet, u8* cmd);
aErr aPacket_GetOption(const aPacket* packet, u8* option);
aErr aPacket_GetIndex(const aPacket* packet, u8* index);

#endif
