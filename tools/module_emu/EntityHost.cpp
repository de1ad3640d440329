#include "module_emu/EntityHost.h"

#include <algorithm>

namespace module_emu {

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
            for (Packet& reply : module->handle(request)) {
                if (reply.delayMs <= 0) {
                    now.push_back(std::move(reply));
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

bool EntityHost::send(const Packet& packet) { return core_.sendRaw(packet.wire()); }

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
        Packet packet = first->packet;
        pending_.erase(first);
        lock.unlock();
        send(packet);
        lock.lock();
    }
}

} // namespace module_emu
