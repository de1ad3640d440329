// I2CClass: bus transfers as raw command-8 packets.
#include "I2CClass.h"

#include <string.h>

namespace Velmoran {
namespace Quillcore {

#define sSTATUS_ERROR 0x80
#define sREPLY_MIN 5

// A status with bit 7 set is a failure; its low bits are the device's code, and a code of 0
// would read as success, so it is no code at all.
static aErr sStatus(unsigned char status)
{
    if (!(status & sSTATUS_ERROR))
        return aErrNone;
    unsigned char code = (unsigned char)(status & ~sSTATUS_ERROR);
    return code ? (aErr)code : aErrUnknown;
}

I2CClass::I2CClass() : speed(0) {}

I2CClass::~I2CClass() {}

void I2CClass::init(Module* module, unsigned char index)
{
    EntityClass::init(module, cmdI2C, index);
    speed = 0;
}

// Sends [8][request] and takes the reply whose first matchLength data bytes repeat
// [8][request...]; checks its length and status byte.
aErr I2CClass::_transfer(const unsigned char* request, unsigned char requestLength,
                         unsigned char matchLength, unsigned char* reply,
                         unsigned char* replyLength)
{
    reply[0] = cmdI2C;
    memcpy(&reply[1], request, (size_t)matchLength - 1);
    // A reply that came after an earlier transfer gave up would be taken for this one's.
    dropPackets(reply, matchLength);
    aErr err = sendPacket(cmdI2C, requestLength, request);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    err = receivePacket(reply, replyLength, reply);
    if (err != aErrNone)
        return err;
    if (*replyLength < sREPLY_MIN)
        return aErrPacket;
    return sStatus(reply[4]);
}

aErr I2CClass::read(unsigned char address, unsigned char length, unsigned char* data)
{
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (!data && length)
        return aErrParam;
    const unsigned char request[4] = {getIndex(), (unsigned char)(address | 1), length, speed};
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got = 0;
    aErr err = _transfer(request, 4, 3, reply, &got);
    if (err != aErrNone)
        return err;
    // The count byte is the device's word; never copy more than was asked or was sent.
    size_t n = reply[3];
    if (n > length)
        n = length;
    if (n > (size_t)(got - sREPLY_MIN))
        n = (size_t)(got - sREPLY_MIN);
    if (n)
        memcpy(data, &reply[5], n);
    return aErrNone;
}

aErr I2CClass::write(unsigned char address, unsigned char length, const unsigned char* data)
{
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (!data && length)
        return aErrParam;
    unsigned char request[4 + aI2C_MAX_TRANSFER] = {getIndex(), address, length, speed};
    if (length)
        memcpy(&request[4], data, length);
    // The reply repeats [8][index][address] followed by a 0, then the status.
    unsigned char reply[aPACKETMAXDATA] = {cmdI2C, getIndex(), address, 0};
    // A reply that came after an earlier write gave up would be taken for this one's.
    dropPackets(reply, 4);
    aErr err = sendPacket(cmdI2C, (unsigned char)(4 + length), request);
    if (err != aErrNone)
        return err;
    unsigned char got = 4;
    err = receivePacket(reply, &got, reply);
    if (err != aErrNone)
        return err;
    if (got < sREPLY_MIN)
        return aErrPacket;
    return sStatus(reply[4]);
}

aErr I2CClass::setPullup(bool enable)
{
    const unsigned char request[3] = {getIndex(), 1, (unsigned char)(enable ? 1 : 0)};
    unsigned char reply[aPACKETMAXDATA];
    unsigned char got = 0;
    return _transfer(request, 3, 3, reply, &got);
}

aErr I2CClass::setSpeed(unsigned char code)
{
    if (code > 3)
        return aErrParam;
    speed = code;
    return aErrNone;
}

aErr I2CClass::getSpeed(unsigned char* code)
{
    if (!code)
        return aErrParam;
    *code = speed;
    return aErrNone;
}

} // namespace Quillcore
} // namespace Velmoran
