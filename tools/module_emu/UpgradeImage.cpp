#include "module_emu/UpgradeImage.h"

#include <zlib.h>

#include <cstdio>

namespace module_emu {

namespace {

void be32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 3; i >= 0; i--)
        out.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

bool WriteUpgradeImage(const std::string& path, const UpgradeImage& image)
{
    std::vector<uint8_t> stream;
    uint32_t blocks = 1 + (uint32_t)image.firmwareBlocks.size() + (image.serialInfo ? 1 : 0) + 1;
    be32(stream, blocks);
    uint32_t seed = image.seed;
    auto header = [&](uint8_t type, uint32_t length) {
        stream.push_back(type);
        be32(stream, length);
    };
    auto code = [&](uint8_t type, uint32_t address, size_t n) {
        header(type, uint32_t(n + 4));
        be32(stream, address);
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
        be32(stream, image.firmwareAddress + 0x10);
        be32(stream, image.firmwareAddress + 0x20);
    }
    header(4, 64);
    for (const std::string* field : {&image.build, &image.version, &image.serial, &image.model}) {
        std::string f = field->substr(0, 16);
        f.resize(16, ' ');
        stream.insert(stream.end(), f.begin(), f.end());
    }
    be32(stream, 0x5EED5EED);

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
