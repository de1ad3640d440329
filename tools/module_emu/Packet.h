// The one device packet of the module emulator, from the byte framing in ModuleCore up to the
// entity protocol and the UPGRADE device.
#ifndef MODULE_EMU_PACKET_H
#define MODULE_EMU_PACKET_H

#include <cstdint>
#include <vector>

namespace module_emu {

// [address][length][data] (length = data.size(), 0 to 28). delayMs holds a reply back that
// long; the byte framing itself never looks at it.
struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;
    int delayMs = 0;

    std::vector<uint8_t> wire() const
    {
        std::vector<uint8_t> bytes;
        bytes.reserve(data.size() + 2);
        bytes.push_back(address);
        bytes.push_back(uint8_t(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }
};

} // namespace module_emu

#endif
