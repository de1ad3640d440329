// Fixture of the store-slot, factory-data and packet-log tests: one emulated module (address
// 2) with store slots and factory data on a serial link, and a connected Link to it.
#ifndef QC_TEST_STORE_BENCH_H
#define QC_TEST_STORE_BENCH_H

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "EmulatedModules.h"
#include "Link.h"
#include "module_emu/StoreSlots.h"

namespace qctest {

class StoreBench {
public:
    StoreBench() : store(new module_emu::StoreSlots(modules.module(2)))
    {
        link.setConfig(plainConfig());
        link.setLinkSpecifier(modules.linkSpecifier());
        connected = link.connect() == aErrNone && routed(modules);
        modules.core.clearRecords();
    }
    // The engine turns routing on right after connecting; waiting for it keeps that packet
    // out of what a test records afterwards.
    static bool routed(SerialModules& m)
    {
        for (int i = 0; i < 500 && m.core.routeRecords().empty(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return !m.core.routeRecords().empty();
    }
    ~StoreBench() { link.disconnect(); }

    // Data of the packets of one command sent to the module since connecting.
    std::vector<Bytes> sent(uint8_t command) const
    {
        std::vector<Bytes> out;
        for (const auto& d : modules.sentTo(2))
            if (!d.empty() && d[0] == command)
                out.push_back(d);
        return out;
    }
    // The second bytes (sub-operation or index byte) of those packets.
    std::vector<uint8_t> ops(uint8_t command) const
    {
        std::vector<uint8_t> out;
        for (const auto& d : sent(command))
            out.push_back(d.size() > 1 ? d[1] : 0xEE);
        return out;
    }

    SerialModules modules;
    std::unique_ptr<module_emu::StoreSlots> store;
    Velmoran::Quillcore::Link link{"store"};
    bool connected = false;
};

// Faults of the store emulator, from request number after of their kind on.
using module_emu::StoreFault;
inline StoreFault silentFault(int after = 0) { StoreFault f; f.silent = true; f.after = after; return f; }
inline StoreFault codeFault(uint8_t code, int after = 0) { StoreFault f; f.errorCode = code; f.after = after; return f; }
inline StoreFault wrongSumFault(int after = 0) { StoreFault f; f.wrongSum = true; f.after = after; return f; }
inline StoreFault shortReplyFault() { StoreFault f; f.shortReply = true; return f; }
inline StoreFault extraByteFault() { StoreFault f; f.extraByte = true; return f; }

// n bytes whose 8-bit sums wrap.
inline Bytes pattern(size_t n, uint8_t seed = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(seed + i * 37);
    return b;
}

} // namespace qctest

#endif
