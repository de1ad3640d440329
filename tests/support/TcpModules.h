// Emulated modules behind one TCP listener on their own loopback address, answering the
// network search with that address and port: the first identity is the module the link
// reaches, the others sit behind it. Use inside a private network namespace.
#ifndef QCTEST_TCPMODULES_H
#define QCTEST_TCPMODULES_H

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "DiscoveryFixture.h"
#include "module_emu/EntityHost.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/TcpTransport.h"

namespace qctest {

class TcpModules {
public:
    TcpModules(const std::vector<module_emu::ModuleIdentity>& ids, const char* address,
               uint8_t model, module_emu::TcpMode mode = module_emu::TcpMode::Record)
        : tcp(config(address, mode)), core(ids.at(0).address)
    {
        for (const auto& id : ids)
            network.add(id);
        host.reset(new module_emu::EntityHost(core, network));
        core.attach(tcp);
        responder.reset(new DiscoveryResponder(
            identity(ids[0].serialNumber, ids[0].address, tcp.port(), model, address)));
    }
    ~TcpModules()
    {
        responder.reset();
        core.detach(tcp);
    }
    // The listener and the search responder both up.
    bool start()
    {
        EXPECT_TRUE(tcp.ok()) << tcp.error();
        EXPECT_TRUE(responder->start()) << responder->error();
        return tcp.ok() && responder->error().empty();
    }

    module_emu::TcpTransport tcp;
    module_emu::ModuleCore core;
    module_emu::ModuleNetwork network;
    std::unique_ptr<module_emu::EntityHost> host;
    std::unique_ptr<DiscoveryResponder> responder;

private:
    static module_emu::TcpConfig config(const char* address, module_emu::TcpMode mode)
    {
        module_emu::TcpConfig c;
        c.address = address;
        c.mode = mode;
        return c;
    }
};

} // namespace qctest

#endif
