#include "module_emu/StoreSlots.h"

#include <map>
#include <mutex>
#include <utility>

namespace module_emu {

namespace {

// Command bytes, the error bit of a reply's second byte, and the factory index byte's flags.
enum : uint8_t { kCmdStore = 4, kCmdFactory = 94, kError = 0x80 };
enum : uint8_t { kFactoryWrite = 0x10, kFactoryFinish = 0x20, kFactoryFirst = 0x40 };
const uint8_t kNoHandle = 0xFF;
// Most bytes a slot read or a factory-data read reply carries.
const size_t kSlotReadChunk = 25, kFactoryChunk = 26;

} // namespace

struct StoreSlots::State {
    struct Slot {
        uint16_t capacity = 0;
        std::vector<uint8_t> contents;
    };
    struct Handle {
        std::pair<uint8_t, uint8_t> slot;
        bool writing = false;
        size_t position = 0;
    };
    explicit State(uint8_t moduleAddress) : address(moduleAddress) {}
    // One slot request: its data, sub-operation, whether it names a slot or a handle, and
    // the fault it meets.
    struct SlotRequest {
        const std::vector<uint8_t>* d = nullptr;
        uint8_t op = 0;
        bool bySlot = false;
        const StoreFault* f = nullptr;
    };
    std::vector<Packet> slots(const Packet& request);
    std::vector<Packet> slotError(const SlotRequest& q, uint8_t code) const;
    std::vector<Packet> slotOp(const SlotRequest& q);
    std::vector<Packet> handleOp(const SlotRequest& q);
    std::vector<Packet> factory(const Packet& request);
    // The fault for this request of a kind, or NULL.
    const StoreFault* fault(std::map<int, StoreFault>& faults, std::map<int, int>& counts,
                            int kind);
    Packet reply(std::vector<uint8_t> data, const StoreFault* f) const;

    const uint8_t address;
    std::mutex mutex;
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
    uint8_t nextHandle_ = 0;
    std::map<int, StoreFault> slotFaults_;
    std::map<int, int> slotCounts_;
    std::map<int, StoreFault> factoryFaults_;
    std::map<int, int> factoryCounts_;
    std::vector<uint8_t> factory_[16];
    // The transfer in progress: its index, read position or bytes written so far.
    int factoryIndex_ = -1;
    bool factoryWriting_ = false;
    size_t factoryPosition_ = 0;
    std::vector<uint8_t> factoryPending_;
    std::vector<uint16_t> finishTotals_;
};

StoreSlots::StoreSlots(EntityModule& module)
    : module_(module), state_(std::make_shared<State>(module.identity().address))
{
    std::shared_ptr<State> state = state_;
    module_.setCommandHandler(kCmdStore, [state](const Packet& r) { return state->slots(r); });
    module_.setCommandHandler(kCmdFactory,
                              [state](const Packet& r) { return state->factory(r); });
}

StoreSlots::~StoreSlots()
{
    module_.setCommandHandler(kCmdStore, nullptr);
    module_.setCommandHandler(kCmdFactory, nullptr);
}

void StoreSlots::addSlot(uint8_t store, uint8_t slot, uint16_t capacity,
                         const std::vector<uint8_t>& contents)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    State::Slot& s = state_->slots_[{store, slot}];
    s.capacity = capacity;
    s.contents = contents;
}

std::vector<uint8_t> StoreSlots::contents(uint8_t store, uint8_t slot) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->slots_.find({store, slot});
    return it == state_->slots_.end() ? std::vector<uint8_t>() : it->second.contents;
}

size_t StoreSlots::openHandles() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->handles_.size();
}

void StoreSlots::setFactoryData(uint8_t index, const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->factory_[index & 0x0F] = data;
}

std::vector<uint8_t> StoreSlots::factoryData(uint8_t index) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->factory_[index & 0x0F];
}

std::vector<uint16_t> StoreSlots::finishTotals() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finishTotals_;
}

void StoreSlots::setSlotFault(uint8_t op, const StoreFault& fault)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->slotFaults_[op] = fault;
}

void StoreSlots::setFactoryFault(FactoryExchange kind, const StoreFault& fault)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->factoryFaults_[(int)kind] = fault;
}

const StoreFault* StoreSlots::State::fault(std::map<int, StoreFault>& faults, std::map<int, int>& counts,
                                    int kind)
{
    int seen = counts[kind]++;
    auto it = faults.find(kind);
    if (it == faults.end() || seen < it->second.after)
        return nullptr;
    return &it->second;
}

Packet StoreSlots::State::reply(std::vector<uint8_t> data, const StoreFault* f) const
{
    if (f && f->shortReply && !data.empty())
        data.pop_back();
    if (f && f->extraByte)
        data.push_back(0);
    Packet p;
    p.address = address;
    p.data = std::move(data);
    return p;
}

std::vector<Packet> StoreSlots::State::slots(const Packet& request)
{
    std::lock_guard<std::mutex> lock(mutex);
    SlotRequest q;
    q.d = &request.data;
    const std::vector<uint8_t>& d = request.data;
    // Sub-operations 1 to 4 name a store and a slot, the others a handle.
    q.bySlot = d.size() > 1 && d[1] >= 1 && d[1] <= 4;
    if (d.size() < (q.bySlot ? 4u : 3u))
        return {};
    q.op = d[1];
    q.f = fault(slotFaults_, slotCounts_, q.op);
    if (q.f && q.f->silent)
        return {};
    if (q.f && q.f->errorCode)
        return slotError(q, q.f->errorCode);
    return q.bySlot ? slotOp(q) : handleOp(q);
}

// Error replies: the code after store and slot, or after the handle.
std::vector<Packet> StoreSlots::State::slotError(const SlotRequest& q, uint8_t code) const
{
    const std::vector<uint8_t>& d = *q.d;
    std::vector<uint8_t> out = {kCmdStore, (uint8_t)(q.op | kError), d[2]};
    if (q.bySlot)
        out.push_back(d[3]);
    out.push_back(code);
    return std::vector<Packet>{reply(out, q.f)};
}

// 1 capacity, 2 size, 3 open for reading, 4 open for writing (the slot emptied).
std::vector<Packet> StoreSlots::State::slotOp(const SlotRequest& q)
{
    const std::vector<uint8_t>& d = *q.d;
    uint8_t op = q.op;
    auto it = slots_.find({d[2], d[3]});
    if (it == slots_.end())
        return slotError(q, kEmuErrNotFound);
    Slot& s = it->second;
    if (op == 1 || op == 2) {
        uint16_t v = op == 1 ? s.capacity : (uint16_t)s.contents.size();
        return {reply({kCmdStore, op, d[2], d[3], (uint8_t)(v >> 8), (uint8_t)v}, q.f)};
    }
    for (const auto& h : handles_)
        if (h.second.slot == it->first)
            return slotError(q, kEmuErrStoreBusy);
    uint8_t handle = kNoHandle;
    for (int tries = 0; tries < 255 && handle == kNoHandle; tries++) {
        uint8_t candidate = nextHandle_;
        nextHandle_ = (uint8_t)((nextHandle_ + 1) % kNoHandle);
        if (!handles_.count(candidate))
            handle = candidate;
    }
    if (handle == kNoHandle)
        return slotError(q, kEmuErrMemory);
    Handle h;
    h.slot = it->first;
    h.writing = op == 4;
    if (h.writing)
        s.contents.clear();
    handles_[handle] = h;
    return {reply({kCmdStore, op, d[2], d[3], handle}, q.f)};
}

// 6 read, 7 write, 8 close, on an open handle.
std::vector<Packet> StoreSlots::State::handleOp(const SlotRequest& q)
{
    const std::vector<uint8_t>& d = *q.d;
    uint8_t op = q.op;
    auto hit = handles_.find(d[2]);
    if (op != 6 && op != 7 && op != 8)
        return slotError(q, kEmuErrInvalidOption);
    if (hit == handles_.end())
        return slotError(q, kEmuErrNotFound);
    Handle& h = hit->second;
    Slot& s = slots_[h.slot];
    if (op == 8) {
        handles_.erase(hit);
        return {reply({kCmdStore, op, d[2], 0}, q.f)};
    }
    if (op == 6) {
        if (h.writing)
            return slotError(q, kEmuErrPermission);
        std::vector<uint8_t> out = {kCmdStore, op, d[2]};
        for (size_t i = 0; i < kSlotReadChunk && h.position < s.contents.size(); i++)
            out.push_back(s.contents[h.position++]);
        return {reply(out, q.f)};
    }
    if (!h.writing)
        return slotError(q, kEmuErrPermission);
    if (s.contents.size() + (d.size() - 3) > s.capacity)
        return slotError(q, kEmuErrStoreOverrun);
    uint8_t sum = 0;
    for (size_t i = 3; i < d.size(); i++) {
        s.contents.push_back(d[i]);
        sum = (uint8_t)(sum + d[i]);
    }
    if (q.f && q.f->wrongSum)
        sum = (uint8_t)(sum + 1);
    return {reply({kCmdStore, op, d[2], sum}, q.f)};
}

std::vector<Packet> StoreSlots::State::factory(const Packet& request)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::vector<uint8_t>& d = request.data;
    if (d.size() < 2)
        return {};
    uint8_t flags = d[1];
    uint8_t index = flags & 0x0F;
    FactoryExchange kind = (flags & kFactoryFinish)  ? FactoryExchange::Finish
                           : (flags & kFactoryWrite) ? FactoryExchange::Write
                                                     : FactoryExchange::Read;
    const StoreFault* f = fault(factoryFaults_, factoryCounts_, (int)kind);
    if (f && f->silent)
        return {};
    // The reply's second byte is the index (0 for the closing exchange); an error sets bit 7.
    uint8_t second = kind == FactoryExchange::Finish ? 0 : index;
    auto error = [&](uint8_t code) {
        return std::vector<Packet>{reply({kCmdFactory, (uint8_t)(second | kError), code}, f)};
    };
    if (f && f->errorCode)
        return error(f->errorCode);

    if (kind == FactoryExchange::Finish) {
        if (d.size() < 4)
            return error(kEmuErrPacket);
        uint16_t total = (uint16_t)((d[2] << 8) | d[3]);
        finishTotals_.push_back(total);
        bool writing = factoryWriting_;
        int target = factoryIndex_;
        factoryIndex_ = -1;
        factoryWriting_ = false;
        if (writing) {
            if (total != factoryPending_.size())
                return error(kEmuErrStoreSize);
            factory_[target] = factoryPending_;
        }
        return {reply({kCmdFactory, 0}, f)};
    }
    if (flags & kFactoryFirst) {
        factoryIndex_ = index;
        factoryWriting_ = kind == FactoryExchange::Write;
        factoryPosition_ = 0;
        factoryPending_.clear();
    } else if (factoryIndex_ != index
               || factoryWriting_ != (kind == FactoryExchange::Write)) {
        return error(kEmuErrPacket); // a continuation without its first request
    }
    if (kind == FactoryExchange::Write) {
        factoryPending_.insert(factoryPending_.end(), d.begin() + 2, d.end());
        return {reply({kCmdFactory, index}, f)};
    }
    std::vector<uint8_t> out = {kCmdFactory, index};
    const std::vector<uint8_t>& data = factory_[index];
    for (size_t i = 0; i < kFactoryChunk && factoryPosition_ < data.size(); i++)
        out.push_back(data[factoryPosition_++]);
    return {reply(out, f)};
}

} // namespace module_emu
