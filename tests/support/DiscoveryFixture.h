// Helpers of the discovery tests: emulated modules on the discovery group and a callback
// that collects what the search offers.
#ifndef QC_TEST_DISCOVERY_FIXTURE_H
#define QC_TEST_DISCOVERY_FIXTURE_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "Timing.h"
#include "NetNamespace.h"
#include "discover.h"
#include "module_emu/DiscoveryResponder.h"

namespace qctest {

using module_emu::DiscoveryIdentity;
using module_emu::DiscoveryResponder;


inline u32 ip(const char* text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct Collected {
    std::vector<linkSpec> specs;
    bool take = true;
    size_t stopAfter = 0; // 0: never stop
};

inline bool cbCollect(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    Collected* c = static_cast<Collected*>(ref);
    EXPECT_FALSE(*found) << "found must be false on entry";
    c->specs.push_back(*linkSpecifier);
    *found = c->take;
    return c->stopAfter == 0 || c->specs.size() < c->stopAfter;
}

inline bool cbNeverCalled(const linkSpec*, bool*, void* ref)
{
    ++*static_cast<int*>(ref);
    return true;
}

inline DiscoveryIdentity identity(u32 serial, u8 address, u16 port, u8 model, const char* from)
{
    DiscoveryIdentity id;
    id.serialNumber = serial;
    id.address = address;
    id.tcpPort = port;
    id.model = model;
    id.replyFrom = from;
    id.joinOn = "127.0.0.2";
    return id;
}

inline std::unique_ptr<DiscoveryResponder> startResponder(const DiscoveryIdentity& id)
{
    auto r = std::make_unique<DiscoveryResponder>(id);
    EXPECT_TRUE(r->start()) << r->error();
    return r;
}


} // namespace qctest

#endif
