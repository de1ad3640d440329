// EntityClass: entity-protocol values, byte strings and raw packets of one entity.
#include "Entity.h"

#include <memory>
#include <string.h>

#include "aUEI.h"

namespace Velmoran {
namespace Quillcore {

// A string has at most 128 chunks (7-bit sequence numbers); a device that keeps saying "more"
// must not hold the reader for ever.
#define sMAX_CHUNKS 128
static_assert(sizeof(unsigned long) == sizeof(u64), "byte counts are kept as u64");

struct EntityClass::impl {
    explicit impl(EntityClass& entity) : owner(entity) {}
    EntityClass& owner;
    Module* module = nullptr;
    unsigned char command = 0;
    unsigned char index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
    void keys(uei* u, unsigned char option) const
    {
        u->module = module->getModuleAddress();
        u->command = command;
        u->option = option;
        u->specifier = index;
    }
    aErr request(unsigned char option, uei* u, unsigned char operation, bool subindexForm,
                 unsigned char subindex);
};

// An error reply's code; a code of 0 would read as success, so it is no code at all.
static aErr sErrorCode(const uei& u)
{
    return u.value.raw[0] ? (aErr)u.value.raw[0] : aErrUnknown;
}

static void sClearReply(uei* u)
{
    memset(&u->value, 0, sizeof(u->value));
    u->type = kUEITypeVoid;
}

// One request and its one reply: operation is kUEIOptionGet or kUEIOptionSet.
aErr EntityClass::impl::request(unsigned char option, uei* u, unsigned char operation,
                                bool subindexForm, unsigned char subindex)
{
    Link* l = link();
    bool get = operation == kUEIOptionGet;
    unsigned char replyOption = get ? option : (unsigned char)(option | kUEIOptionSetReply);
    // A reply that came after an earlier request of these keys gave up would be taken for the
    // answer to this one.
    l->dropMatchingUEIPackets(module->getModuleAddress(), command, replyOption, index);
    uei out = *u;
    keys(&out, (unsigned char)(option | operation));
    out.specifier = (unsigned char)(index | kUEISpecifierHost);
    aErr err = subindexForm ? l->sendUEI(out, subindex) : l->sendUEI(out);
    if (err != aErrNone)
        return err;
    keys(u, replyOption);
    // The reply is decoded into a cleared record, so a reply without a value can never pass
    // the request's own bytes off as the device's answer.
    sClearReply(u);
    err = l->receiveUEI(u->module, u->command, u->option, index, u);
    if (err != aErrNone)
        return err;
    if (u->specifier & kUEISpecifierError)
        return sErrorCode(*u);
    if (get && u->type == kUEITypeVoid)
        return aErrPacket;
    return aErrNone;
}

EntityClass::EntityClass() : m_pImpl(std::make_unique<impl>(*this)) {}

// Out of line, where impl is complete.
EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, unsigned char command, unsigned char index)
{
    m_pImpl->module = module;
    m_pImpl->command = command;
    m_pImpl->index = index;
}

unsigned char EntityClass::getIndex() const { return m_pImpl->index; }

aErr EntityClass::sendPacket(unsigned char command, unsigned char length, const unsigned char* data)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->sendPacket(m_pImpl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const unsigned char* match, unsigned char* length,
                                unsigned char* out)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    if (!length || !out || *length > aPACKETMAXDATA)
        return aErrParam;
    // match and out may be one buffer: the link compares before it copies, but keep a copy
    // so the comparison never sees a half-written reply.
    u8 keep[aPACKETMAXDATA];
    if (*length && match)
        memcpy(keep, match, *length);
    return l->receivePacket(m_pImpl->module->getModuleAddress(), match ? keep : NULL, length, out);
}

aErr EntityClass::dropPackets(const unsigned char* match, unsigned char length)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->dropPackets(match, length);
}

aErr EntityClass::getUEI(unsigned char option, uei* u)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    if (!u)
        return aErrParam;
    unsigned char subindex = u->type == kUEITypeByte ? u->value.byteVal : 0;
    u32 cached = 0;
    aErr err = l->getStreamValue(m_pImpl->module->getModuleAddress(), m_pImpl->command, option,
                                 m_pImpl->index, subindex, &cached);
    if (err == aErrNone || err == aErrStreamStale) {
        sClearReply(u);
        u->type = kUEITypeInt;
        u->value.intVal = cached;
        return err;
    }
    return m_pImpl->request(option, u, kUEIOptionGet, false, 0);
}

aErr EntityClass::setUEI(unsigned char option, uei* u)
{
    if (!m_pImpl->link())
        return aErrResource;
    if (!u)
        return aErrParam;
    return m_pImpl->request(option, u, kUEIOptionSet, false, 0);
}

aErr EntityClass::setUEI(unsigned char option, unsigned char subindex, uei* u)
{
    if (!m_pImpl->link())
        return aErrResource;
    if (!u)
        return aErrParam;
    return m_pImpl->request(option, u, kUEIOptionSet, true, subindex);
}

aErr EntityClass::callUEI(unsigned char option)
{
    uei u;
    memset(&u, 0, sizeof(u));
    u.type = kUEITypeVoid;
    return setUEI(option, &u);
}

static u32 sValueOf(const uei& u)
{
    switch (u.type) {
    case kUEITypeByte: return u.value.byteVal;
    case kUEITypeShort: return u.value.shortVal;
    default: return u.value.intVal;
    }
}

// The typed getters: a request with or without a subindex, the value copied out as T.
template <typename T>
static aErr sGet(EntityClass& entity, unsigned char option, bool withSubindex,
                 unsigned char subindex, T* v)
{
    if (!v)
        return aErrParam;
    uei u;
    memset(&u, 0, sizeof(u));
    u.type = withSubindex ? kUEITypeByte : kUEITypeVoid;
    u.value.byteVal = subindex;
    aErr err = entity.getUEI(option, &u);
    if (err == aErrNone || err == aErrStreamStale)
        *v = (T)sValueOf(u);
    return err;
}

template <typename T>
static aErr sSet(EntityClass& entity, unsigned char option, bool withSubindex,
                 unsigned char subindex, T value)
{
    uei u;
    memset(&u, 0, sizeof(u));
    if (sizeof(T) == 1) {
        u.type = kUEITypeByte;
        u.value.byteVal = (u8)value;
    } else if (sizeof(T) == 2) {
        u.type = kUEITypeShort;
        u.value.shortVal = (u16)value;
    } else {
        u.type = kUEITypeInt;
        u.value.intVal = (u32)value;
    }
    return withSubindex ? entity.setUEI(option, subindex, &u) : entity.setUEI(option, &u);
}

aErr EntityClass::getUEI8(unsigned char option, unsigned char* v)
{
    return sGet(*this, option, false, 0, v);
}
aErr EntityClass::getUEI8(unsigned char option, unsigned char subindex, unsigned char* v)
{
    return sGet(*this, option, true, subindex, v);
}
aErr EntityClass::getUEI16(unsigned char option, unsigned short* v)
{
    return sGet(*this, option, false, 0, v);
}
aErr EntityClass::getUEI16(unsigned char option, unsigned char subindex, unsigned short* v)
{
    return sGet(*this, option, true, subindex, v);
}
aErr EntityClass::getUEI32(unsigned char option, unsigned int* v)
{
    return sGet(*this, option, false, 0, v);
}
aErr EntityClass::getUEI32(unsigned char option, unsigned char subindex, unsigned int* v)
{
    return sGet(*this, option, true, subindex, v);
}
aErr EntityClass::setUEI8(unsigned char option, unsigned char value)
{
    return sSet(*this, option, false, 0, value);
}
aErr EntityClass::setUEI8(unsigned char option, unsigned char subindex, unsigned char value)
{
    return sSet(*this, option, true, subindex, value);
}
aErr EntityClass::setUEI16(unsigned char option, unsigned short value)
{
    return sSet(*this, option, false, 0, value);
}
aErr EntityClass::setUEI16(unsigned char option, unsigned char subindex, unsigned short value)
{
    return sSet(*this, option, true, subindex, value);
}
aErr EntityClass::setUEI32(unsigned char option, unsigned int value)
{
    return sSet(*this, option, false, 0, value);
}
aErr EntityClass::setUEI32(unsigned char option, unsigned char subindex, unsigned int value)
{
    return sSet(*this, option, true, subindex, value);
}

aErr EntityClass::setUEIBytes(unsigned char option, const unsigned char* data, unsigned long length)
{
    if (length > 0 && !data)
        return aErrParam;
    uei u;
    memset(&u, 0, sizeof(u));
    u.type = kUEITypeBytes;
    u.value.bytes = const_cast<u8*>(data);  // only read when setting
    u.count = length;
    return setUEI(option, &u);
}

unsigned char EntityClass::getUEIBytesSequence(const aPacket* packet)
{
    return aUEI_getBytesSequence(packet);
}

unsigned char EntityClass::getUEIBytesContinue(const aPacket* packet)
{
    return aUEI_getBytesContinue(packet);
}

unsigned char EntityClass::sUEIBytesFilter(const aPacket* packet, const void* ref)
{
    // The filter fills in the caller's own (writable) request with the reply.
    uei* u = const_cast<uei*>(static_cast<const uei*>(ref));
    if (packet->address != u->module || packet->length <= 2 || packet->data[0] != u->command
        || packet->data[1] != u->option || (packet->data[2] & kUEIIndexMask) != u->specifier)
        return 0;
    if (packet->data[2] & kUEISpecifierError) {
        u->specifier = packet->data[2];
        u->value.raw[0] = packet->length >= 4 ? packet->data[3] : (u8)aErrUnknown;
        return 1;
    }
    if (packet->length < 4) {
        // A chunk without its trailer: take it as a malformed reply rather than wait on.
        u->specifier |= kUEISpecifierError;
        u->value.raw[0] = aErrPacket;
        return 1;
    }
    u8 sequence = aUEI_getBytesSequence(packet);
    if (sequence != u->sequence)
        return 0;
    u64 n = (u64)packet->length - 4;
    if (*u->received + n > u->count) {
        u->specifier |= kUEISpecifierError;
        u->value.raw[0] = aErrMemory;
        return 1;
    }
    memcpy(u->value.bytes, &packet->data[3], (size_t)n);
    u->value.bytes += n;
    *u->received += n;
    u->sequence = sequence;
    u->more = aUEI_getBytesContinue(packet) ? 1 : 0;
    return 1;
}

aErr EntityClass::getUEIBytes(unsigned char option, unsigned char* buffer, unsigned long capacity,
                              unsigned long* received)
{
    if (!buffer || !received || capacity == 0)
        return aErrParam;
    *received = 0;
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    unsigned char address = m_pImpl->module->getModuleAddress();
    // Chunks left over from an earlier read of this option must not be spliced into this one.
    l->dropMatchingUEIPackets(address, m_pImpl->command, option, m_pImpl->index);
    uei u;
    memset(&u, 0, sizeof(u));
    m_pImpl->keys(&u, (unsigned char)(option | kUEIOptionGet));
    u.specifier = (unsigned char)(m_pImpl->index | kUEISpecifierHost);
    u.type = kUEITypeVoid;
    aErr err = l->sendUEI(u);
    if (err != aErrNone)
        return err;
    m_pImpl->keys(&u, option);
    u.value.bytes = buffer;
    u.count = capacity;
    u.received = (u64*)received;
    u.sequence = 0;
    u.more = 0;
    err = aErrPacket; // a string that never ends within 128 chunks
    for (int chunk = 0; chunk < sMAX_CHUNKS; chunk++) {
        aErr wait = l->receiveUEI(address, m_pImpl->command, option, m_pImpl->index, &u,
                                  sUEIBytesFilter);
        if (wait != aErrNone) {
            err = wait;
            break;
        }
        if (u.specifier & kUEISpecifierError) {
            err = sErrorCode(u);
            break;
        }
        if (!u.more) {
            err = aErrNone;
            break;
        }
        u.sequence = (u8)((u.sequence + 1) & 0x7F);
    }
    // Whatever of this string is still to come would be taken by the next read.
    if (err != aErrNone)
        l->dropMatchingUEIPackets(address, m_pImpl->command, option, m_pImpl->index);
    return err;
}

aErr EntityClass::getUEIBytesCheck(unsigned long* count, unsigned long elementSize)
{
    if (!count || elementSize == 0)
        return aErrParam;
    if (*count % elementSize)
        return aErrMemory;
    *count /= elementSize;
    return aErrNone;
}

aErr EntityClass::setStreamEnabled(unsigned char enable)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->enableStream(m_pImpl->module->getModuleAddress(), m_pImpl->command, 0xFF,
                           m_pImpl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(unsigned char option, bool enable,
                                         std::function<aErr(const aPacket*, void*)> callback,
                                         void* ref)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->registerStreamCallback(m_pImpl->module->getModuleAddress(), m_pImpl->command,
                                     option, m_pImpl->index, enable, callback, ref);
}

aErr EntityClass::getStreamStatus(std::map<unsigned long, unsigned int>* status)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->getStreamStatus(m_pImpl->module->getModuleAddress(), m_pImpl->command, 0xFF,
                              m_pImpl->index, 0xFF, status);
}

aErr EntityClass::awaitUEI32Val(unsigned int option, unsigned int* value)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    if (!value)
        return aErrParam;
    uei u;
    memset(&u, 0, sizeof(u));
    m_pImpl->keys(&u, (unsigned char)option);
    aErr err = l->receiveUEI(u.module, u.command, u.option, m_pImpl->index, &u);
    if (err != aErrNone)
        return err;
    if (u.specifier & kUEISpecifierError)
        return sErrorCode(u);
    if (u.type != kUEITypeInt)
        return aErrPacket;
    *value = u.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(unsigned char option)
{
    Link* l = m_pImpl->link();
    if (!l)
        return aErrResource;
    return l->dropMatchingUEIPackets(m_pImpl->module->getModuleAddress(), m_pImpl->command,
                                     option, m_pImpl->index);
}

} // namespace Quillcore
} // namespace Velmoran
