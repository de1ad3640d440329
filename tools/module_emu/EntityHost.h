// Puts a ModuleNetwork behind the protocol core: every module of the network answers the
// packets that carry its address, replies held back by their delay go out later, and device
// stream samples can be sent unasked.
#ifndef MODULE_EMU_ENTITY_HOST_H
#define MODULE_EMU_ENTITY_HOST_H

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"

namespace module_emu {

class EntityHost {
public:
    // Installs a handler on core for every module now in network (call refresh() after adding).
    EntityHost(ModuleCore& core, ModuleNetwork& network);
    ~EntityHost();
    EntityHost(const EntityHost&) = delete;
    EntityHost& operator=(const EntityHost&) = delete;

    void refresh();
    // Sends one packet to the host now (a stream sample, an unasked reply).
    bool send(const Packet& packet);

private:
    void delayLoop();

    ModuleCore& core_;
    ModuleNetwork& network_;
    std::mutex mutex_;
    std::condition_variable changed_;
    struct Pending {
        Clock::time_point due;
        Packet packet;
    };
    std::vector<Pending> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace module_emu

#endif
