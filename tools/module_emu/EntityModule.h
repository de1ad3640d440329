// The application side of an emulated module: entity-protocol GET/SET/call replies, byte strings
// in chunks, error replies, the echo (23) and entity-information (73) commands, stream control
// (93), and an I2C bus (8). Several modules sit behind one link in a ModuleNetwork, told apart by
// the address their packets carry. Transport-free: packets in, reply packets out.
#ifndef MODULE_EMU_ENTITY_MODULE_H
#define MODULE_EMU_ENTITY_MODULE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "module_emu/Packet.h"

namespace module_emu {

enum class OptionKind { Byte, Short, Int, Bytes, Call };

// What one option of one entity holds and how the module answers for it.
struct OptionValue {
    OptionKind kind = OptionKind::Byte;
    uint32_t value = 0;
    std::vector<uint8_t> bytes;          // Bytes kind
    std::vector<uint32_t> subValues;     // answers to a GET with a subindex byte
    bool settable = true;
    bool gettable = true;
    uint8_t errorCode = 0;               // non-zero: every request gets this error reply
    bool replyWithoutValue = false;      // a GET reply of three bytes: no value
    int replyValueBytes = -1;            // GET reply carries this many value bytes (-1: by kind)
    bool errorWithoutCode = false;       // an error reply that lacks its code byte
    int chunkDelayMs = 0;                // byte-string GET: delay of every chunk after the first
    uint8_t firstChunkSequence = 0;      // byte-string GET: sequence number of the first chunk
    int calls = 0;                       // SETs and calls received
};

// Error codes the module answers with (the library's own numbering of results).
enum : uint8_t {
    kEmuErrMemory = 1,
    kEmuErrNotFound = 3,
    kEmuErrPermission = 12,
    kEmuErrPacket = 24,
    kEmuErrInvalidEntity = 28,
    kEmuErrInvalidOption = 29,
};

struct ModuleIdentity {
    uint8_t address = 2;
    uint32_t serialNumber = 0x12345678;
    uint8_t model = 4;
    uint32_t version = 0x02030004;       // packed firmware version
    uint32_t build = 1000;
    uint8_t router = 0;                  // address of this module's router (0: none)
    uint32_t fingerprint[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
    std::string name = "Emu";
};

class EntityModule {
public:
    explicit EntityModule(const ModuleIdentity& identity);

    // Replies to one request addressed to this module (none for commands it does not know).
    std::vector<Packet> handle(const Packet& request);

    // The option table; system values (command 3, index 0) are filled from the identity.
    void setOption(uint8_t command, uint8_t index, uint8_t option, const OptionValue& value);
    OptionValue option(uint8_t command, uint8_t index, uint8_t option) const;
    bool hasOption(uint8_t command, uint8_t index, uint8_t option) const;
    // The group answered for entity-information group queries.
    void setEntityGroup(uint8_t command, uint8_t index, uint8_t group);

    // I2C devices on bus 0, by their 8-bit (even) bus address.
    void addI2CDevice(uint8_t busAddress, const std::vector<uint8_t>& contents);
    std::vector<uint8_t> i2cContents(uint8_t busAddress) const;
    // Overrides the count byte of read replies (-1: the real count).
    void setI2CReadCount(int count);
    // Bytes of data a read reply carries regardless of the length asked (-1: as asked).
    void setI2CReadBytes(int bytes);
    uint8_t lastI2CSpeed() const;
    bool pullup() const;

    // Stream control (93): a non-zero code refuses enables; the enabled keys.
    void setStreamRefusal(uint8_t code);
    std::vector<uint32_t> streamKeys() const;

    // Takes over one command byte (the UPGRADE protocol, store slots, ...): its packets go to
    // the handler, whose replies are sent; called with the module's lock not held.
    using CommandHandler = std::function<std::vector<Packet>(const Packet& request)>;
    void setCommandHandler(uint8_t command, CommandHandler handler);

    // Options 11 (reset) and 37: called after the reply is made.
    void onReset(std::function<void()> callback);
    int resets() const;
    uint8_t routeToMe() const;

    const ModuleIdentity& identity() const { return identity_; }
    std::vector<Packet> requests() const;

    // A device-stream sample as a module sends it unasked (kind 1-3, or 5-7 with a subindex).
    static Packet streamSample(uint8_t address, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t kind, uint32_t value, uint64_t timestamp,
                                  uint8_t subindex = 0);

private:
    using Key = std::tuple<uint8_t, uint8_t, uint8_t>;
    std::vector<Packet> entity(const Packet& request);
    // The steps of one entity request, by what it asks of which kind of option.
    struct Request;
    Packet errorReply(const Request& q, uint8_t code, bool withCode = true) const;
    std::vector<Packet> getBytes(const Request& q, const OptionValue& v) const;
    std::vector<Packet> getValue(const Request& q, const OptionValue& v) const;
    std::vector<Packet> call(const Request& q);
    std::vector<Packet> setBytes(const Request& q, OptionValue& v);
    std::vector<Packet> setValue(const Request& q, OptionValue& v);
    std::vector<Packet> entityInfo(const Packet& request);
    std::vector<Packet> stream(const Packet& request);
    std::vector<Packet> i2c(const Packet& request);
    Packet reply(std::vector<uint8_t> data) const;

    mutable std::mutex mutex_;
    ModuleIdentity identity_;
    std::map<Key, OptionValue> options_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> groups_;
    std::map<uint8_t, std::vector<uint8_t>> i2c_;
    int i2cReadCount_ = -1;
    int i2cReadBytes_ = -1;
    uint8_t i2cSpeed_ = 0xFF;
    bool pullup_ = false;
    uint8_t streamRefusal_ = 0;
    std::vector<uint32_t> streamKeys_;
    std::function<void()> onReset_;
    std::map<uint8_t, CommandHandler> commandHandlers_;
    int resets_ = 0;
    uint8_t routeToMe_ = 0;
    // A byte string being received: its key, the bytes so far, the sequence expected next.
    Key pendingKey_{};
    std::vector<uint8_t> pendingBytes_;
    int pendingSequence_ = -1;
    std::vector<Packet> requests_;
};

// Modules behind one link: the first is the link's own (the router), the others reachable
// through it on its I2C network. Requests go to the module whose address they carry.
class ModuleNetwork {
public:
    // The first module added is the one the link reaches directly.
    EntityModule& add(const ModuleIdentity& identity);
    EntityModule* find(uint8_t address);
    EntityModule& front();
    EntityModule* at(size_t i) { return i < modules_.size() ? modules_[i].get() : nullptr; }
    size_t size() const { return modules_.size(); }
    std::vector<Packet> handle(const Packet& request);
    // On: the modules behind the router are reached only while the router routes to the host
    // (system option 20 set), as a search of the module network relies on. Off by default.
    void requireRouting(bool on) { requireRouting_ = on; }
    // Whether a request for this module of the network gets to it now.
    bool reaches(const EntityModule* module) const;

private:
    std::vector<std::unique_ptr<EntityModule>> modules_;
    bool requireRouting_ = false;
};

} // namespace module_emu

#endif
