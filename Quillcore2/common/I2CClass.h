// An I2C bus of a module (entity command 8), spoken with raw packets: reads, writes and the
// pull-ups, each one request and one reply.
#ifndef _I2CClass_H_
#define _I2CClass_H_

#include "Entity.h"

#define cmdI2C 8
#define aI2C_MAX_TRANSFER 23

namespace Velmoran {
namespace Quillcore {

class I2CClass : public EntityClass {
public:
    I2CClass();
    virtual ~I2CClass();
    // Binds command 8 with the index; the speed code goes back to 0.
    void init(Module* module, unsigned char index);

    // One transfer of at most 23 bytes (aErrSize, nothing sent) with the device at the 8-bit
    // bus address (a read sets bit 0). aErrTimeout without a reply, aErrPacket for a reply too
    // short, the device's code for a status with bit 7 (aErrUnknown for a code of 0). A read
    // copies no more than it asked for and the reply holds.
    aErr read(unsigned char address, unsigned char length, unsigned char* data);
    aErr write(unsigned char address, unsigned char length, const unsigned char* data);
    aErr setPullup(bool enable);
    // Codes 0 to 3, sent with every transfer; aErrParam above 3 (the old code stays).
    aErr setSpeed(unsigned char code);
    aErr getSpeed(unsigned char* code);

private:
    aErr _transfer(const unsigned char* request, unsigned char requestLength,
                   unsigned char matchLength, unsigned char* reply, unsigned char* replyLength);

    unsigned char speed;
};

} // namespace Quillcore
} // namespace Velmoran

#endif
