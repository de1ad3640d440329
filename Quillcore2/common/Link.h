// The object layer's handle on one link of the link engine: the device's link specifier, the
// link-sharing configuration, connecting and status, raw commands and entity-protocol (UEI)
// requests with matched replies, and the device-stream cache.
#ifndef _Link_H_
#define _Link_H_

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aLink.h"
#include "aPacket.h"
#include "discover.h"

// Type of the value a uei record carries.
typedef enum {
    kUEITypeVoid = 0,
    kUEITypeByte = 1,
    kUEITypeShort = 2,
    kUEITypeInt = 4,
    kUEITypeBytes = 5
} ueiType;

#define kUEIOptionGet 0x40
#define kUEIOptionSet 0x80
#define kUEIOptionSetReply 0xC0
#define kUEISpecifierHost 0x20
#define kUEISpecifierStream 0x40
#define kUEISpecifierError 0x80
#define kUEIIndexMask 0x1F
// Bytes of a byte string per chunk packet (the trailer byte follows them).
#define kUEIBytesChunk 24

// Request and reply record of the entity protocol.
typedef struct uei {
    u8 module;      // module address (even, not 0)
    u8 command;     // entity class
    u8 option;      // request: option with the operation bit; reply match: the reply's option
    u8 specifier;   // request: index | kUEISpecifierHost; match: the index; after an error
                    // reply: the reply's specifier byte (bit 7 set)
    union {
        u8 byteVal;
        u16 shortVal;
        u32 intVal;
        u8* bytes;  // kUEITypeBytes: the string (send) or the write position (receive)
        u8 raw[8];  // raw[0] holds the device's error code after an error reply
    } value;
    u8 sequence;    // byte-string receive: the sequence the next chunk must carry
    u8 more;        // byte-string receive: 1 while the last chunk said more follow
    u64 count;      // byte string: bytes to send, or capacity of the receive buffer
    u64* received;  // byte-string receive: bytes received so far
    int type;       // ueiType of value
} uei;

namespace Velmoran {

// Ring of one producer thread and one consumer thread; holds capacity - 1 elements.
template <typename T> class LocklessQueue_SPSC {
public:
    explicit LocklessQueue_SPSC(u16 size)
        : ring(new T[size ? size : 1]), capacity(size ? size : 1), writeIndex(0), readIndex(0)
    {
    }
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // False when full.
    bool push(T item)
    {
        u16 next = _increment(writeIndex.load());
        if (next == readIndex.load())
            return false;
        ring[next] = item;
        writeIndex.store(next);
        return true;
    }
    // False when empty.
    bool pop(T* out)
    {
        u16 read = readIndex.load();
        if (read == writeIndex.load())
            return false;
        u16 next = _increment(read);
        // Copy before publishing the index, so the producer never reuses the slot under us.
        *out = ring[next];
        ring[next] = T();
        readIndex.store(next);
        return true;
    }

private:
    u16 _increment(u16 i) const { return (u16)(i + 1 < capacity ? i + 1 : 0); }
    std::unique_ptr<T[]> ring;
    u16 capacity;
    std::atomic<u16> writeIndex;
    std::atomic<u16> readIndex;
};

namespace Quillcore {

// Link-sharing configuration, always passed and copied whole.
struct aEtherConfig {
    bool enabled;          // USB links through a local sharing server; AETHER links allowed
    bool fallback;         // a failed discovery is retried on the other transport
    bool localOnly;        // the local sharing server serves loopback only
    u16 assignedPort;      // port the local sharing server reports back
    u32 networkInterface;  // IPv4, network order; handed to every discovery call
    aEtherConfig();
};

class Link {
public:
    enum STREAM_KEY {
        STREAM_KEY_MODULE = 0,
        STREAM_KEY_COMMAND = 1,
        STREAM_KEY_OPTION = 2,
        STREAM_KEY_INDEX = 3,
        STREAM_KEY_SUBINDEX = 4
    };
    enum STREAM_PACKET {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_BYTE = 1,
        STREAM_PACKET_SHORT = 2,
        STREAM_PACKET_INT = 3,
        STREAM_PACKET_BYTES = 4,
        STREAM_PACKET_SUBINDEX_BYTE = 5,
        STREAM_PACKET_SUBINDEX_SHORT = 6,
        STREAM_PACKET_SUBINDEX_INT = 7
    };
    typedef std::function<aErr(const aPacket*, void*)> streamCallback;

    // The name is copied, at most 1024 characters. No engine call.
    explicit Link(const char* name);
    Link(linkSpec linkSpecifier, const char* name);
    // Removes the stream filter, stops the callback worker, releases the engine link.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // aErrParam for NULL.
    aErr getConfig(aEtherConfig* config);
    // aErrPermission while connected.
    aErr setConfig(aEtherConfig config);

    // Connects from the stored specifier and waits up to 200 x 10 ms for the link to run.
    // A link still held but not running is released first. aErrConnection when already
    // connected or when the link fails or does not run; aErrConfiguration without a
    // specifier (or an AETHER one with sharing off); aErrMode for an unknown type; aErrBusy
    // when it is stopping. With sharing on a USB specifier connects through a local sharing
    // server (port and interface written back into the configuration); one bound to a port
    // path (t.usb.atPath) needs sharing off, else aErrConfiguration.
    aErr connect();
    // Finds the device (serial 0: the first of that model, model 0: any), stores its
    // specifier and connects. aErrNotFound when discovery finds nothing.
    aErr discoverAndConnect(linkType type, u32 serialNumber, u8 model = 0);
    // Takes one more use of other's engine link (this Link's specifier should be other's).
    // aErrInitialization when other holds no link.
    aErr connectThroughLinkModule(Link& other);
    // True while the engine link runs.
    bool isConnected();
    // Status of the engine link; kLinkStatusError without one.
    aLinkStatus getStatus();
    // Releases this Link's use of the engine link (and its stream filter); aErrNone.
    aErr disconnect();
    // Resets the engine link; aErrNone.
    aErr reset();
    const char* getName();
    // aErrNotFound without a stored specifier.
    aErr getLinkSpecifier(linkSpec* linkSpecifier);
    // aErrBusy while connected.
    aErr setLinkSpecifier(linkSpec linkSpecifier);
    // Engine link in use, 0 for none.
    aLinkId getLinkId() const;

    // Entity protocol. Every request first needs a connected Link (aErrConnection) and an
    // even, non-zero module address (aErrPacket); nothing is queued otherwise.
    // Queues the request packet(s); the result of the last queueing (aErrResource when a
    // packet cannot be made, aErrParam for an unknown type or a string above 128 chunks).
    aErr sendUEI(uei request);
    // The subindex form: the subindex byte right after the specifier (no byte strings).
    aErr sendUEI(uei request, u8 subindex);
    // Waits 1000 ms for the reply matching the keys in *reply (module, command, option and
    // index in specifier) and decodes it there; aErrTimeout when none. An error reply is
    // aErrNone with bit 7 of specifier set and the code in value.raw[0].
    aErr receiveUEI(u8 module, u8 command, u8 option, u8 index, uei* reply);
    aErr receiveUEI(u8 module, u8 command, u8 option, u8 index, uei* reply,
                    aPacketFilterProc filter);
    // The reply filter of the first form: 1 when the packet matches the keys in *(uei*)ref,
    // which it then decodes there as receiveUEI describes; 0 otherwise.
    static unsigned char ueiReplyFilter(const aPacket* packet, const void* ref);
    // Throws away every queued reply that matches the keys.
    aErr dropMatchingUEIPackets(u8 module, u8 command, u8 option, u8 index);
    // Raw command [command][payload], payload at most 27 bytes (aErrParam otherwise);
    // the result of the queueing.
    aErr sendPacket(u8 address, u8 command, u8 length, const u8* payload);
    // Waits 1000 ms for the first packet whose leading *length data bytes equal match (at
    // most 28, aErrParam above), from any module; copies its data (command first) into
    // out[28] and sets *length to its data length. aErrTimeout when none.
    aErr receivePacket(u8 address, const u8* match, u8* length, u8* out);
    // Throws away every queued packet that receivePacket would take for match (length bytes,
    // at most 28): replies that came after their wait gave up.
    aErr dropPackets(const u8* match, u8 length);
    // Asks the device for its address; aErrNotReady when unconnected or no answer.
    aErr getModuleAddress(u8* address);

    // Store slots (command 4) of the module at address. Each first needs a connected Link
    // (aErrConnection); NULL pointers give aErrParam. Only replies from address count; a
    // device error reply gives its code (aErrUnknown for a code of 0), aErrTimeout when a reply
    // stays away. Writes n bytes in chunks of 25, each acknowledged with its 8-bit sum (aErrIO
    // on a wrong sum); aErrMedia when the slot cannot be opened. The slot is closed in every
    // case.
    aErr loadStoreSlot(u8 address, u8 store, u8 slot, const u8* data, size_t n);
    // Reads the slot into buffer and sets *count; aErrOverrun (buffer filled, *count =
    // capacity) when the slot holds more than capacity; aErrMedia when it cannot be opened.
    aErr unloadStoreSlot(u8 address, u8 store, u8 slot, u8* buffer, size_t capacity,
                         size_t* count);
    // Size of the slot's contents and the slot's capacity; *size untouched on failure
    // (aErrTimeout without a reply, aErrUnknown for a malformed one).
    aErr storeSlotSize(u8 address, u8 store, u8 slot, size_t* size);
    aErr storeSlotCapacity(u8 address, u8 store, u8 slot, size_t* capacity);

    // Factory data (command 94), index 0 to 15 (aErrParam above, nothing sent). A read needs
    // a buffer at least one byte larger than the data (aErrOverrun otherwise, no closing
    // exchange); sets *count. A write sends 26 bytes a packet, then the total (at most 65535
    // bytes, aErrParam above); aErrSize for a chunk acknowledged with extra bytes.
    aErr getFactoryData(u8 address, u8 index, u8* buffer, size_t capacity, size_t* count);
    aErr setFactoryData(u8 address, u8 index, const u8* data, size_t n);

    // Records the engine link's packets and turns them into text lines appended to path by a
    // writer thread, which stops with disablePacketLog or disconnect. A later enable on the
    // same engine link keeps the first path. aErrConfiguration without an engine link, aErrIO
    // when the file cannot be opened.
    aErr enablePacketLog(const char* path);
    // Stops the writer (kept for a later enable). aErrConfiguration without an engine link
    // (the writer is stopped all the same), aErrParam when no log was ever enabled.
    aErr disablePacketLog();

    // Device streams. Callbacks run on the Link's worker thread, never two at once; a
    // callback may turn streams on and off, disconnect or destroy its Link.
    aErr registerStreamCallback(u8 module, u8 command, u8 option, u8 index, bool enable,
                                streamCallback callback, void* ref);
    aErr enableStream(u8 module, u8 command, u8 option, u8 index, bool enable);
    // aErrNone for a value not read before, aErrStreamStale for one read already (the value
    // is written in both cases), aErrNotFound when none arrived.
    aErr getStreamValue(u8 module, u8 command, u8 option, u8 index, u8 subindex, u32* value);
    aErr getStreamStatus(u8 module, u8 command, u8 option, u8 index, u8 subindex,
                         std::map<u64, u32>* status);
    std::vector<u64> filterActiveStreamKeys(u8 module, u8 command, u8 option, u8 index,
                                            u8 subindex, bool lock);
    aErr isLinkStreaming(u8 module, u8* state);
    // The engine-side filter: consumes every stream packet of a known kind (1), else 0.
    static unsigned char linkStreamFilter(const aPacket* packet, void* ref);

    static u64 createStreamKey(u8 module, u8 command, u8 option, u8 index, u8 subindex);
    static u8 getStreamKeyElement(u64 key, STREAM_KEY element);
    static bool isStreamPacket(const aPacket* packet);
    static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* type);
    static bool isSubindexType(STREAM_PACKET type);
    static bool isStreamSample(const aPacket* packet);
    static aErr getStreamSample(const aPacket* packet, u64* timestamp, u32* value, u8* subindex);
    static void getTimestampParts(u64 timestamp, u32* high, u32* low);

    struct impl;

private:
    std::unique_ptr<impl> m_pImpl;
};

} // namespace Quillcore
} // namespace Velmoran

#endif
