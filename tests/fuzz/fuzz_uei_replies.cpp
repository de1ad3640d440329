// libFuzzer target: the entity-protocol replies as the object layer decodes them. The first
// byte picks the reader, the next four give the request's keys, and the rest is a run of
// packets [address][length][data...] as the link engine delivers them (at most 28 data bytes).
// Value replies: only a packet of the request's keys is taken, an error reply always keeps a
// non-zero code, and a value has the width its length gives. Byte strings: chunks are taken
// in sequence, never past the reader's buffer (sized exactly), and the bytes kept are the
// chunks' bytes. Device-stream samples: a value and time stamp read only from the packet's bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Entity.h"
#include "Link.h"
#include "aUEI.h"

using Velmoran::Quillcore::EntityClass;
using Velmoran::Quillcore::Link;

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
    // The next packet, or NULL at the input's end.
    aPacket* next()
    {
        if (size - at < 2)
            return nullptr;
        u8 address = data[at];
        u8 length = (u8)(data[at + 1] % (aPACKETMAXDATA + 1));
        at += 2;
        u8 bytes[aPACKETMAXDATA] = {0};
        size_t n = length < size - at ? length : size - at;
        memcpy(bytes, data + at, n);
        at += n;
        return aPacket_CreateWithData(address, length, bytes);
    }
};

bool sMatches(const aPacket* p, const uei& keys)
{
    return p->address == keys.module && p->length >= 3 && p->data[0] == keys.command
           && p->data[1] == keys.option && (p->data[2] & kUEIIndexMask) == keys.specifier;
}

void sValueReplies(Input& in, const uei& keys)
{
    while (aPacket* p = in.next()) {
        // As the entity's request leaves the record: keys set, value cleared.
        uei u = keys;
        memset(&u.value, 0, sizeof u.value);
        u.type = kUEITypeVoid;
        unsigned char taken = Link::ueiReplyFilter(p, &u);
        if (taken != (sMatches(p, keys) ? 1 : 0))
            abort();
        if (!taken) {
            if (u.type != kUEITypeVoid || u.specifier != keys.specifier)
                abort();
        } else if (p->data[2] & kUEISpecifierError) {
            if (!(u.specifier & kUEISpecifierError))
                abort();
            // The entity turns a code of 0 into "unknown"; the filter must never hand over
            // the code of a reply too short to hold one as anything but that.
            if (p->length < 4 && u.value.raw[0] != (u8)aErrUnknown)
                abort();
            if (p->length >= 4 && u.value.raw[0] != p->data[3])
                abort();
        } else {
            const u8* v = &p->data[3];
            switch (p->length) {
            case 4:
                if (u.type != kUEITypeByte || u.value.byteVal != v[0])
                    abort();
                break;
            case 5:
                if (u.type != kUEITypeShort || u.value.shortVal != (u16)((v[0] << 8) | v[1]))
                    abort();
                break;
            case 7:
                if (u.type != kUEITypeInt
                    || u.value.intVal != (((u32)v[0] << 24) | ((u32)v[1] << 16) | ((u32)v[2] << 8) | v[3]))
                    abort();
                break;
            default:
                // No value of any width: the GET must not pass for answered.
                if (u.type != kUEITypeVoid)
                    abort();
            }
        }
        aPacket_Destroy(&p);
    }
}

void sByteString(Input& in, const uei& keys, unsigned long capacity)
{
    std::unique_ptr<u8[]> buffer(new u8[capacity]);
    unsigned long received = 0;
    uei u = keys;
    u.value.bytes = buffer.get();
    u.count = capacity;
    u.received = (u64*)&received;
    u.sequence = 0;
    u.more = 0;
    std::vector<u8> expected;
    for (int chunk = 0; chunk < 128;) {
        aPacket* p = in.next();
        if (!p)
            return;
        u8 sequence = u.sequence;
        unsigned char taken = EntityClass::sUEIBytesFilter(p, &u);
        if (taken && !sMatches(p, keys))
            abort();
        if (taken && !(u.specifier & kUEISpecifierError)) {
            if (p->length < 4 || (p->data[p->length - 1] & 0x7F) != sequence)
                abort();
            expected.insert(expected.end(), &p->data[3], &p->data[p->length - 1]);
        }
        aPacket_Destroy(&p);
        if (received != expected.size() || received > capacity
            || (received && memcmp(buffer.get(), expected.data(), expected.size()) != 0))
            abort();
        if (!taken)
            continue;
        if ((u.specifier & kUEISpecifierError) || !u.more)
            return;
        u.sequence = (u8)((u.sequence + 1) & 0x7F);
        chunk++;
    }
}

void sStreamSamples(Input& in)
{
    static const int sampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};
    while (aPacket* p = in.next()) {
        Link::STREAM_PACKET kind = Link::STREAM_PACKET_NONE;
        bool typed = Link::getStreamPacketType(p, &kind);
        if (typed != (kind != Link::STREAM_PACKET_NONE) || (typed && !Link::isStreamPacket(p)))
            abort();
        u64 stamp = 0;
        u32 value = 0;
        u8 subindex = 0;
        aErr err = Link::getStreamSample(p, &stamp, &value, &subindex);
        if (err == aErrNone) {
            if (!typed || kind == Link::STREAM_PACKET_BYTES || !Link::isStreamSample(p))
                abort();
            // Every byte read lies inside the packet's data, before its closing 0.
            if (p->length != sampleLength[kind] || p->data[p->length - 1] != 0)
                abort();
            bool sub = Link::isSubindexType(kind);
            int width = kind == Link::STREAM_PACKET_BYTE || kind == Link::STREAM_PACKET_SUBINDEX_BYTE ? 1
                        : kind == Link::STREAM_PACKET_SHORT || kind == Link::STREAM_PACKET_SUBINDEX_SHORT ? 2 : 4;
            if ((sub ? 13 : 12) + width > p->length - 1 || (width < 4 && value >> (8 * width)))
                abort();
            if (!sub && subindex != 0)
                abort();
        }
        aPacket_Destroy(&p);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 5)
        return 0;
    uei keys;
    memset(&keys, 0, sizeof keys);
    keys.module = (u8)((data[1] & 0xFE) ? data[1] & 0xFE : 2);
    keys.command = data[2];
    keys.option = data[3];
    keys.specifier = data[4] & kUEIIndexMask;
    Input in = {data, size, 5};
    switch (data[0] % 3) {
    case 0:
        sValueReplies(in, keys);
        break;
    case 1:
        sByteString(in, keys, 1 + (unsigned long)(data[0] >> 2) * 3);
        break;
    case 2:
        sStreamSamples(in);
        break;
    }
    return 0;
}
