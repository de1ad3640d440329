// Engine test helpers: the socket-pair link with the emulator's core as its device, an echo
// handler for the core, and waits.
#ifndef TEST_LINK_SUPPORT_H
#define TEST_LINK_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "SocketPairLink.h"
#include "Timing.h"
#include "aLink.h"
#include "module_emu/ModuleCore.h"

namespace linktest {

using qctest::EmulatedLink;

inline std::vector<module_emu::Packet> echo(const module_emu::Packet& request)
{
    return {request};
}

inline bool waitUntil(const std::function<bool()>& pred, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

using qctest::cpuSeconds;
using qctest::cpuSecondsWhileSleeping;
using qctest::msSince;

} // namespace linktest

#endif
