// Test fixture: BIRD images from blocks.
#include "BirdBuilder.h"

#include <cstdio>

#include <zlib.h>

BirdBuilder::Bytes BirdBuilder::Random(size_t n, uint32_t seed)
{
    // xorshift32: deterministic, incompressible enough for the 8x expansion limit.
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0)
        x = 1;
    Bytes out(n);
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = uint8_t(x >> 24);
    }
    return out;
}

BirdBuilder::Bytes BirdBuilder::Compress(const Bytes& raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    Bytes out(size);
    if (compress(out.data(), &size, raw.data(), uLong(raw.size())) != Z_OK)
        return Bytes();
    out.resize(size);
    return out;
}

BirdBuilder::Bytes BirdBuilder::Wrap(const Bytes& body, const std::string& magic,
                                     uint16_t version)
{
    Bytes out(magic.begin(), magic.end());
    out.push_back(uint8_t(version >> 8));
    out.push_back(uint8_t(version));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

BirdBuilder::Bytes BirdBuilder::BE32(uint32_t v)
{
    return Bytes{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

BirdBuilder& BirdBuilder::block(uint8_t type, uint8_t flags, const Bytes& data)
{
    blocks.push_back(Block{uint8_t(type & 0x1F), uint8_t(flags & 7), data});
    return *this;
}

BirdBuilder& BirdBuilder::loader(uint32_t address, const Bytes& image, uint8_t flags)
{
    Bytes data = BE32(address);
    data.insert(data.end(), image.begin(), image.end());
    return block(0, flags, data);
}

BirdBuilder& BirdBuilder::firmware(uint32_t address, const Bytes& image, uint8_t flags)
{
    Bytes data = BE32(address);
    data.insert(data.end(), image.begin(), image.end());
    return block(1, flags, data);
}

BirdBuilder& BirdBuilder::serialInfo(uint32_t serialAddress, uint32_t stringAddress)
{
    Bytes data = BE32(serialAddress);
    Bytes s = BE32(stringAddress);
    data.insert(data.end(), s.begin(), s.end());
    return block(2, 0, data);
}

BirdBuilder& BirdBuilder::descriptor(const std::string& build, const std::string& ver,
                                     const std::string& serial, const std::string& model)
{
    Bytes data;
    for (const std::string* field : {&build, &ver, &serial, &model}) {
        std::string f = field->substr(0, 16);
        f.resize(16, ' ');
        data.insert(data.end(), f.begin(), f.end());
    }
    return block(4, 0, data);
}

BirdBuilder& BirdBuilder::startAddress(uint32_t address)
{
    return block(5, 0, BE32(address));
}

BirdBuilder BirdBuilder::Typical(unsigned build, const std::string& ver, uint32_t serial,
                                 const std::string& model)
{
    char serialText[9];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    BirdBuilder b;
    b.loader(0x20000000, Random(256, build * 3 + 1))
        .firmware(0x0, Random(1024, build * 3 + 2), 1)
        .firmware(0x400, Random(1024, build * 3 + 3), 1)
        .serialInfo(0x100, 0x200)
        .descriptor(std::to_string(build), ver, serialText, model);
    return b;
}

BirdBuilder::Bytes BirdBuilder::stream() const
{
    Bytes out = BE32(statedCount < 0 ? uint32_t(blocks.size()) : uint32_t(statedCount));
    for (const Block& b : blocks) {
        out.push_back(uint8_t(b.type | (b.flags << 5)));
        Bytes len = BE32(uint32_t(b.data.size()));
        out.insert(out.end(), len.begin(), len.end());
        out.insert(out.end(), b.data.begin(), b.data.end());
    }
    out.insert(out.end(), trailer.begin(), trailer.end());
    if (withChecksum) {
        Bytes c = BE32(checksum);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

BirdBuilder::Bytes BirdBuilder::image() const
{
    return Wrap(Compress(stream()), magic, version);
}

bool BirdBuilder::WriteBytes(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

bool BirdBuilder::writeTo(const std::string& path) const
{
    return WriteBytes(path, image());
}
