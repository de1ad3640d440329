#include "module_emu/UpgradeImage.h"
#include "module_emu/BigEndian.h"

#include <zlib.h>

#include <cstdio>

namespace module_emu {

bool WriteUpgradeImage(const std::string& path, const UpgradeImage& image)
{
    std::vector<uint8_t> stream;
    uint32_t blocks = 1 + (uint32_t)image.firmwareBlocks.size() + (image.serialInfo ? 1 : 0) + 1;
    putBE(stream, blocks, 4);
    uint32_t seed = image.seed;
    auto header = [&](uint8_t type, uint32_t length) {
        stream.push_back(type);
        putBE(stream, length, 4);
    };
    auto code = [&](uint8_t type, uint32_t address, size_t n) {
        header(type, uint32_t(n + 4));
        putBE(stream, address, 4);
        // Pseudo-random, so the image does not compress far beyond what a real one does.
        for (size_t i = 0; i < n; i++) {
            seed = seed * 1103515245u + 12345u;
            stream.push_back(uint8_t(seed >> 16));
        }
    };
    code(0, image.loaderAddress, image.loaderBytes);
    uint32_t at = image.firmwareAddress;
    for (size_t n : image.firmwareBlocks) {
        code(1, at, n);
        at += uint32_t(n);
    }
    if (image.serialInfo) {
        header(2, 8);
        putBE(stream, image.firmwareAddress + 0x10, 4);
        putBE(stream, image.firmwareAddress + 0x20, 4);
    }
    header(4, 64);
    for (const std::string* field : {&image.build, &image.version, &image.serial, &image.model}) {
        std::string f = field->substr(0, 16);
        f.resize(16, ' ');
        stream.insert(stream.end(), f.begin(), f.end());
    }
    putBE(stream, 0x5EED5EED, 4);

    uLongf packed = compressBound(stream.size());
    std::vector<uint8_t> z(packed);
    if (compress(z.data(), &packed, stream.data(), stream.size()) != Z_OK)
        return false;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    static const uint8_t head[6] = {'b', 'i', 'r', 'd', 0x01, 0x01};
    bool ok = fwrite(head, 1, 6, f) == 6 && fwrite(z.data(), 1, packed, f) == packed;
    return fclose(f) == 0 && ok;
}

}  // namespace module_emu
