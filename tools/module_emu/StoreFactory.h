// Store slots (command 4) and factory data (command 94) of an emulated module, as handlers an
// EntityModule takes over the two command bytes with. Transport-free: request in, replies out.
// Fault knobs let tests make the module slow, silent or wrong at chosen steps.
#ifndef MODULE_EMU_STORE_FACTORY_H
#define MODULE_EMU_STORE_FACTORY_H

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "module_emu/EntityModule.h"

namespace module_emu {

class StoreFactory {
public:
    explicit StoreFactory(uint8_t address) : address_(address) {}

    // Installs both handlers on the module.
    void attach(EntityModule& module);

    std::vector<EmuPacket> store(const EmuPacket& request);
    std::vector<EmuPacket> factory(const EmuPacket& request);

    // Slot contents and capacity (default 256) by store and slot.
    void setSlot(uint8_t store, uint8_t slot, std::vector<uint8_t> contents, uint16_t capacity = 256);
    std::vector<uint8_t> slot(uint8_t store, uint8_t slot) const;
    // Factory data by index (0-15).
    void setFactory(uint8_t index, std::vector<uint8_t> bytes);
    std::vector<uint8_t> factoryData(uint8_t index) const;

    // Faults, set from any thread.
    std::atomic<bool> silentOpen{false};        // opens get no reply
    std::atomic<bool> silentRead{false};        // slot reads get no reply
    std::atomic<bool> wrongSum{false};          // write acknowledgements carry a wrong sum
    std::atomic<uint8_t> factoryWriteError{0};  // non-zero: every factory write chunk gets it

    // What arrived, for checks: sizes of slot write chunks; factory requests' data.
    std::vector<size_t> writeChunks() const;
    std::vector<std::vector<uint8_t>> factoryRequests() const;
    int closes() const;

private:
    EmuPacket reply(std::vector<uint8_t> data) const { return EmuPacket{address_, std::move(data), 0}; }

    const uint8_t address_;
    mutable std::mutex mutex_;
    struct Slot {
        std::vector<uint8_t> contents;
        uint16_t capacity = 256;
    };
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    // Open handles: the slot, the read position, whether writing.
    struct Handle {
        std::pair<uint8_t, uint8_t> slot;
        size_t position = 0;
        bool writing = false;
    };
    std::map<uint8_t, Handle> handles_;
    uint8_t nextHandle_ = 1;
    std::map<uint8_t, std::vector<uint8_t>> factory_;
    // Factory transfer in progress: index, bytes so far, read position.
    std::vector<uint8_t> pending_;
    size_t factoryPosition_ = 0;
    std::vector<size_t> writeChunks_;
    std::vector<std::vector<uint8_t>> factoryRequests_;
    int closes_ = 0;
};

} // namespace module_emu

#endif
