// Fixture of the object-layer tests: emulated modules behind one serial link (a pseudo
// terminal), the protocol core answering sync and address queries, the entity emulator
// answering the rest, and helpers to read back what the host sent.
#ifndef QC_TEST_EMULATED_MODULES_H
#define QC_TEST_EMULATED_MODULES_H

#include <gtest/gtest.h>

#include <memory>
#include <string.h>
#include <vector>

#include "Link.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/PtyTransport.h"

namespace qctest {

using Bytes = std::vector<uint8_t>;

// A module at `address` on its link, answering as `serial`.
inline module_emu::ModuleIdentity ident(uint8_t address, uint32_t serial)
{
    module_emu::ModuleIdentity id;
    id.address = address;
    id.serialNumber = serial;
    return id;
}

// Sharing off, as the updater connects.
inline Velmoran::Quillcore::aEtherConfig plainConfig()
{
    Velmoran::Quillcore::aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    return config;
}

class SerialModules {
public:
    // The first identity is the module the link reaches; the others sit behind it.
    explicit SerialModules(const std::vector<module_emu::ModuleIdentity>& ids)
        : core(ids.at(0).address)
    {
        for (const auto& id : ids)
            network.add(id);
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(pty);
    }
    SerialModules() : SerialModules({module_emu::ModuleIdentity()}) {}
    ~SerialModules() { core.detach(pty); }

    linkSpec linkSpecifier() const
    {
        linkSpec s;
        memset(&s, 0, sizeof(s));
        s.type = SERIAL;
        s.serialNumber = const_cast<module_emu::ModuleNetwork&>(network).front().identity().serialNumber;
        s.t.serial.baudRate = 115200;
        strncpy(s.t.serial.portName, pty.slavePath().c_str(), sizeof(s.t.serial.portName) - 1);
        return s;
    }
    module_emu::EntityModule& module(uint8_t address) { return *network.find(address); }

    // Data of the packets the host sent to one module address, in order.
    std::vector<Bytes> sentTo(uint8_t address) const
    {
        std::vector<Bytes> out;
        for (const auto& hp : core.hostPackets())
            if (hp.packet.address == address)
                out.push_back(hp.packet.data);
        return out;
    }
    // Waits until the host has sent n packets to the address (the out-pipe writes after
    // the call returns).
    bool waitSent(uint8_t address, size_t n, unsigned ms = 1000)
    {
        return core.waitFor(
            [&](const std::vector<module_emu::HostPacket>& all) {
                size_t k = 0;
                for (const auto& hp : all)
                    k += hp.packet.address == address;
                return k >= n;
            },
            ms);
    }

    module_emu::PtyTransport pty;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
};

} // namespace qctest

#endif
