// A scripted device on the far end of a socket-pair link, for tests that play the device's part
// packet by packet and count what the link sent.
#ifndef QCTEST_SCRIPTEDDEVICE_H
#define QCTEST_SCRIPTEDDEVICE_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SocketPairLink.h"
#include "aLink.h"
#include "module_emu/ModuleCore.h"

namespace qctest {

// The device end of a socket-pair link: the emulator's core, silent on sync requests (the
// host's sync goes unanswered unless a test answers it), hands each module packet (even
// address) to a script, which answers through send(). Link-level packets are recorded but
// not scripted.
class ScriptedDevice {
public:
    using Script = std::function<void(ScriptedDevice&, const std::vector<uint8_t>& packet)>;

    explicit ScriptedDevice(int fd)
    {
        core_.setAnswerSync(false);
        for (unsigned address = 0; address < 0x100; address += 2)
            core_.setHandler((uint8_t)address, [this](const module_emu::Packet& p) {
                Script script;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    script = script_;
                }
                if (script)
                    script(*this, p.wire());
                return std::vector<module_emu::Packet>();
            });
        pump_.reset(new qctest::CorePump(core_, fd));
    }

    void setScript(Script script)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }

    // Raw bytes to the host; false before the host has spoken or once it is gone.
    bool send(const std::vector<uint8_t>& bytes) { return core_.sendRaw(bytes); }

    // Every packet the device received whose address is even (module packets).
    std::vector<std::vector<uint8_t>> modulePackets()
    {
        std::vector<std::vector<uint8_t>> out;
        for (const module_emu::HostPacket& p : core_.hostPackets())
            if (p.packet.address % 2 == 0)
                out.push_back(p.packet.wire());
        return out;
    }

    size_t countAddress(uint8_t address) { return sPacketsTo(core_.hostPackets(), address); }

    // Waits until n packets to that address have arrived in all; false after ms.
    bool waitAddress(uint8_t address, size_t n, int ms)
    {
        return core_.waitFor(
            [&](const std::vector<module_emu::HostPacket>& all) {
                return sPacketsTo(all, address) >= n;
            },
            (unsigned)ms);
    }

    // Waits until n module packets have arrived in all; false after ms.
    bool waitModulePackets(size_t n, int ms)
    {
        return core_.waitFor([&](const std::vector<module_emu::HostPacket>& all) {
            size_t count = 0;
            for (const module_emu::HostPacket& p : all)
                count += p.packet.address % 2 == 0;
            return count >= n;
        }, (unsigned)ms);
    }

private:
    static size_t sPacketsTo(const std::vector<module_emu::HostPacket>& all, uint8_t address)
    {
        size_t n = 0;
        for (const module_emu::HostPacket& p : all)
            n += p.packet.address == address;
        return n;
    }

    std::mutex mutex_;
    Script script_;
    module_emu::ModuleCore core_;
    std::unique_ptr<qctest::CorePump> pump_;
};

// A link on a new socket pair whose device end is a new ScriptedDevice: running, and with its
// own route-on through, so later counts start after it. Waits up to 2 s for each.
inline ::testing::AssertionResult openScriptedLink(std::unique_ptr<ScriptedDevice>& device,
                                                   aLinkId& link)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return ::testing::AssertionFailure() << "no socket pair";
    device.reset(new ScriptedDevice(fds[1]));
    aStream* stream = socketPairStream(fds[0]);
    if (!stream)
        return ::testing::AssertionFailure() << "no stream";
    link = aLink_Create(stream);
    if (!link)
        return ::testing::AssertionFailure() << "no link";
    for (int i = 0; i < 200 && aLink_GetStatus(link) != kLinkStatusRunning; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (aLink_GetStatus(link) != kLinkStatusRunning)
        return ::testing::AssertionFailure() << "the link is not running";
    if (!device->waitAddress(cmdFORCEROUTE, 1, 2000))
        return ::testing::AssertionFailure() << "the link's route-on never came";
    return ::testing::AssertionSuccess();
}

} // namespace qctest

#endif
