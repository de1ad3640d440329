#include "module_emu/StoreFactory.h"

namespace module_emu {

namespace {
const uint8_t kStore = 4;
const uint8_t kFactory = 0x5E;
const uint8_t kErrNotFound = 3;
const uint8_t kErrRange = 13;
const uint8_t kErrParam = 2;
} // namespace

void StoreFactory::attach(EntityModule& module)
{
    module.setCommandHandler(kStore, [this](const EmuPacket& p) { return store(p); });
    module.setCommandHandler(kFactory, [this](const EmuPacket& p) { return factory(p); });
}

void StoreFactory::setSlot(uint8_t store, uint8_t slot, std::vector<uint8_t> contents,
                           uint16_t capacity)
{
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[{store, slot}] = Slot{std::move(contents), capacity};
}

std::vector<uint8_t> StoreFactory::slot(uint8_t store, uint8_t slot) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = slots_.find({store, slot});
    return it == slots_.end() ? std::vector<uint8_t>() : it->second.contents;
}

void StoreFactory::setFactory(uint8_t index, std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    factory_[index] = std::move(bytes);
}

std::vector<uint8_t> StoreFactory::factoryData(uint8_t index) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = factory_.find(index);
    return it == factory_.end() ? std::vector<uint8_t>() : it->second;
}

std::vector<size_t> StoreFactory::writeChunks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return writeChunks_;
}

std::vector<std::vector<uint8_t>> StoreFactory::factoryRequests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return factoryRequests_;
}

int StoreFactory::closes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closes_;
}

std::vector<EmuPacket> StoreFactory::store(const EmuPacket& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t>& d = request.data;
    if (d.size() < 3)
        return {};
    uint8_t op = d[1];
    if (op >= 1 && op <= 4) {
        if (d.size() < 4)
            return {};
        auto key = std::make_pair(d[2], d[3]);
        auto it = slots_.find(key);
        if (it == slots_.end())
            return {reply({kStore, (uint8_t)(op | 0x80), d[2], d[3], kErrNotFound})};
        if (op == 1 || op == 2) {
            uint16_t v = op == 1 ? it->second.capacity : (uint16_t)it->second.contents.size();
            return {reply({kStore, op, d[2], d[3], (uint8_t)(v >> 8), (uint8_t)v})};
        }
        if (silentOpen)
            return {};
        uint8_t handle = nextHandle_++;
        handles_[handle] = Handle{key, 0, op == 4};
        if (op == 4)
            it->second.contents.clear();
        return {reply({kStore, op, d[2], d[3], handle})};
    }
    uint8_t handle = d[2];
    auto h = handles_.find(handle);
    if (h == handles_.end())
        return {reply({kStore, (uint8_t)(op | 0x80), handle, kErrParam})};
    Slot& slot = slots_[h->second.slot];
    if (op == 6) {
        if (silentRead)
            return {};
        std::vector<uint8_t> data = {kStore, 6, handle};
        for (int i = 0; i < 25 && h->second.position < slot.contents.size(); i++)
            data.push_back(slot.contents[h->second.position++]);
        return {reply(data)};
    }
    if (op == 7) {
        size_t n = d.size() - 3;
        writeChunks_.push_back(n);
        if (slot.contents.size() + n > slot.capacity)
            return {reply({kStore, 0x87, handle, kErrRange})};
        uint8_t sum = 0;
        for (size_t i = 3; i < d.size(); i++) {
            slot.contents.push_back(d[i]);
            sum = (uint8_t)(sum + d[i]);
        }
        return {reply({kStore, 7, handle, (uint8_t)(wrongSum ? sum + 1 : sum)})};
    }
    if (op == 8) {
        handles_.erase(h);
        closes_++;
        return {reply({kStore, 8, handle, 0})};
    }
    return {};
}

std::vector<EmuPacket> StoreFactory::factory(const EmuPacket& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<uint8_t>& d = request.data;
    factoryRequests_.push_back(d);
    if (d.size() < 2)
        return {};
    uint8_t flags = d[1];
    uint8_t index = flags & 0x0F;
    if (flags == 0x20) { // closing exchange
        if (d.size() < 4)
            return {reply({kFactory, 0xA0, kErrParam})};
        pending_.clear();
        factoryPosition_ = 0;
        return {reply({kFactory, 0x00})};
    }
    if (flags & 0x40) {
        pending_.clear();
        factoryPosition_ = 0;
    }
    if (flags & 0x10) { // write chunk
        if (factoryWriteError)
            return {reply({kFactory, (uint8_t)(index | 0x80), factoryWriteError})};
        if (flags & 0x40)
            factory_[index].clear();
        factory_[index].insert(factory_[index].end(), d.begin() + 2, d.end());
        return {reply({kFactory, index})};
    }
    auto it = factory_.find(index);
    if (it == factory_.end())
        return {reply({kFactory, (uint8_t)(index | 0x80), kErrNotFound})};
    std::vector<uint8_t> data = {kFactory, index};
    for (int i = 0; i < 26 && factoryPosition_ < it->second.size(); i++)
        data.push_back(it->second[factoryPosition_++]);
    return {reply(data)};
}

} // namespace module_emu
