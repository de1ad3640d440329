// Big-endian fields of the module's packets and files, as the emulators write and read them.
#ifndef _module_emu_BigEndian_H_
#define _module_emu_BigEndian_H_

#include <cstdint>
#include <vector>

namespace module_emu {

// Appends the low `width` bytes of v, most significant first.
inline void putBE(std::vector<uint8_t>& out, uint32_t v, int width)
{
    for (int i = width - 1; i >= 0; i--)
        out.push_back(uint8_t(v >> (8 * i)));
}

// The number in the `width` bytes at p, most significant first.
inline uint32_t getBE(const uint8_t* p, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width; i++)
        v = (v << 8) | p[i];
    return v;
}

} // namespace module_emu

#endif
