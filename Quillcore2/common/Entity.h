// Base of a module's entities: binds (module, entity command, index) and reaches the device
// through the module's Link with entity-protocol values, raw packets and the stream cache.
#ifndef _Entity_H_
#define _Entity_H_

#include <functional>
#include <map>
#include <memory>

#include "Link.h"
#include "Module.h"

namespace Velmoran {
namespace Quillcore {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity; the module is not owned and must outlive every call.
    void init(Module* module, unsigned char command, unsigned char index);
    unsigned char getIndex() const;

    // Every operation below gives aErrResource when no module is bound or it has no Link.

    // Queues [command][data] to the bound module (at most 27 bytes of data).
    aErr sendPacket(unsigned char command, unsigned char length, const unsigned char* data);
    // Waits 1000 ms for the first packet whose leading *length data bytes equal match;
    // copies its data into out (28 bytes; may be match) and sets *length.
    aErr receivePacket(const unsigned char* match, unsigned char* length, unsigned char* out);
    // Throws away every queued packet whose leading length data bytes equal match (at most
    // 28, aErrParam above): replies that came after their wait gave up.
    aErr dropPackets(const unsigned char* match, unsigned char length);

    // General forms; the caller fills u->type and u->value. A GET answered without a value is
    // aErrPacket; an error reply gives the device's code.
    aErr getUEI(unsigned char option, uei* u);
    aErr setUEI(unsigned char option, uei* u);
    aErr setUEI(unsigned char option, unsigned char subindex, uei* u);
    aErr callUEI(unsigned char option);

    // Typed values. Getters: aErrParam for a NULL out; the value is written on aErrNone and on
    // aErrStreamStale (a cached stream value already read), else left untouched.
    aErr getUEI8(unsigned char option, unsigned char* v);
    aErr getUEI8(unsigned char option, unsigned char subindex, unsigned char* v);
    aErr getUEI16(unsigned char option, unsigned short* v);
    aErr getUEI16(unsigned char option, unsigned char subindex, unsigned short* v);
    aErr getUEI32(unsigned char option, unsigned int* v);
    aErr getUEI32(unsigned char option, unsigned char subindex, unsigned int* v);
    aErr setUEI8(unsigned char option, unsigned char value);
    aErr setUEI8(unsigned char option, unsigned char subindex, unsigned char value);
    aErr setUEI16(unsigned char option, unsigned short value);
    aErr setUEI16(unsigned char option, unsigned char subindex, unsigned short value);
    aErr setUEI32(unsigned char option, unsigned int value);
    aErr setUEI32(unsigned char option, unsigned char subindex, unsigned int value);

    // Byte strings, in chunks of 24 bytes (at most 3072 bytes).
    aErr setUEIBytes(unsigned char option, const unsigned char* data, unsigned long length);
    // aErrParam for a NULL buffer or count or a zero capacity; aErrMemory when the string is
    // longer than the capacity (bytes taken before stay, counted in *received).
    aErr getUEIBytes(unsigned char option, unsigned char* buffer, unsigned long capacity,
                     unsigned long* received);
    // Turns a byte count into a count of elements; aErrMemory (count unchanged) when it is
    // not a multiple of elementSize.
    aErr getUEIBytesCheck(unsigned long* count, unsigned long elementSize);

    static unsigned char sUEIBytesFilter(const aPacket* packet, const void* ref);
    static unsigned char getUEIBytesSequence(const aPacket* packet);
    static unsigned char getUEIBytesContinue(const aPacket* packet);

    // Streams and queued replies.
    aErr setStreamEnabled(unsigned char enable);
    aErr registerOptionCallback(unsigned char option, bool enable,
                                std::function<aErr(const aPacket*, void*)> callback, void* ref);
    aErr getStreamStatus(std::map<unsigned long, unsigned int>* status);
    // Sends nothing; waits 1000 ms for a reply of this option and takes its 32-bit value
    // (aErrPacket when the reply carries none).
    aErr awaitUEI32Val(unsigned int option, unsigned int* value);
    aErr drainUEI(unsigned char option);

    struct impl;

private:
    std::unique_ptr<impl> m_pImpl;
};

} // namespace Quillcore
} // namespace Velmoran

#endif
