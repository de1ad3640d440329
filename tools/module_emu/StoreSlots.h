// A module's store slots (command 4) and factory data (command 94) as the device answers
// them, plugged onto an EntityModule as two command handlers. Slots are opened for reading or
// writing and get a one-byte handle; an open for writing starts the slot empty; reads give up
// to 25 bytes each; writes append up to the slot's capacity and are acknowledged with their
// 8-bit sum. Factory data: sixteen indexes, read and written in chunks of 26 bytes and closed
// with an exchange that carries the total; a written block becomes the index's data only when
// the total matches. Faults can be injected per request kind.
#ifndef MODULE_EMU_STORE_SLOTS_H
#define MODULE_EMU_STORE_SLOTS_H

#include <cstdint>
#include <memory>
#include <vector>

#include "module_emu/EntityModule.h"

namespace module_emu {

// What the module does with one kind of request instead of answering it properly.
struct StoreFault {
    bool silent = false;      // no reply at all
    uint8_t errorCode = 0;    // non-zero: an error reply with this code
    bool wrongSum = false;    // slot write: acknowledge with a sum off by one
    bool shortReply = false;  // a reply missing its last byte
    bool extraByte = false;   // a reply with one byte more than it should carry
    int after = 0;            // applies from this request of the kind on (0: the first)
};

enum class FactoryExchange { Read, Write, Finish };

// Codes the module answers with.
enum : uint8_t {
    kEmuErrStoreBusy = 5,     // slot already open
    kEmuErrStoreOverrun = 15, // write past the capacity
    kEmuErrStoreSize = 13,    // closing total that does not match what was written
};

class StoreSlots {
public:
    // Installs the handlers of commands 4 and 94 on module (which must outlive this).
    explicit StoreSlots(EntityModule& module);
    ~StoreSlots();
    StoreSlots(const StoreSlots&) = delete;
    StoreSlots& operator=(const StoreSlots&) = delete;

    void addSlot(uint8_t store, uint8_t slot, uint16_t capacity,
                 const std::vector<uint8_t>& contents = {});
    std::vector<uint8_t> contents(uint8_t store, uint8_t slot) const;
    // Handles still open.
    size_t openHandles() const;

    void setFactoryData(uint8_t index, const std::vector<uint8_t>& data);
    std::vector<uint8_t> factoryData(uint8_t index) const;
    // Totals of the closing exchanges received, in order.
    std::vector<uint16_t> finishTotals() const;

    // Slot faults by sub-operation (1-4, 6-8); factory faults by exchange.
    void setSlotFault(uint8_t op, const StoreFault& fault);
    void setFactoryFault(FactoryExchange kind, const StoreFault& fault);

private:
    // Held by the installed handlers too, so a request being answered while this object goes
    // away still finds its state.
    struct State;
    EntityModule& module_;
    std::shared_ptr<State> state_;
};

} // namespace module_emu

#endif
