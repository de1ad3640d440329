#include "module_emu/EntityHost.h"

#include <algorithm>

namespace module_emu {

static std::vector<uint8_t> sWire(const EmuPacket& p)
{
    std::vector<uint8_t> bytes(p.data.size() + 2);
    bytes[0] = p.address;
    bytes[1] = uint8_t(p.data.size());
    std::copy(p.data.begin(), p.data.end(), bytes.begin() + 2);
    return bytes;
}

EntityHost::EntityHost(ModuleCore& core, ModuleNetwork& network) : core_(core), network_(network)
{
    thread_ = std::thread(&EntityHost::delayLoop, this);
    refresh();
}

EntityHost::~EntityHost()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void EntityHost::refresh()
{
    for (size_t i = 0; i < network_.size(); i++) {
        EntityModule* module = network_.at(i);
        core_.setHandler(module->identity().address, [this, module](const Packet& request) {
            std::vector<Packet> now;
            if (!network_.reaches(module))
                return now;
            EmuPacket in;
            in.address = request.address;
            in.data = request.data;
            for (EmuPacket& reply : module->handle(in)) {
                if (reply.delayMs <= 0) {
                    Packet p;
                    p.address = reply.address;
                    p.data = reply.data;
                    now.push_back(p);
                    continue;
                }
                std::lock_guard<std::mutex> lock(mutex_);
                pending_.push_back(
                    {Clock::now() + std::chrono::milliseconds(reply.delayMs), reply});
                changed_.notify_all();
            }
            return now;
        });
    }
}

bool EntityHost::send(const EmuPacket& packet) { return core_.sendRaw(sWire(packet)); }

void EntityHost::delayLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto first = std::min_element(pending_.begin(), pending_.end(),
                                      [](const Pending& a, const Pending& b) { return a.due < b.due; });
        Clock::time_point due = first->due; // the vector may grow while we wait
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        EmuPacket packet = first->packet;
        pending_.erase(first);
        lock.unlock();
        send(packet);
        lock.lock();
    }
}

} // namespace module_emu
