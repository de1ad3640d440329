// Test fixture: builds BIRD firmware images from blocks, and broken variants of them.
//
//   BirdBuilder b;
//   b.loader(0x20000000, BirdBuilder::Random(256, 1))
//    .firmware(0x1000, BirdBuilder::Random(1024, 2), 3)     // flags 3
//    .serialInfo(0x1000, 0x1010)
//    .descriptor("1300", "1.2.3", "40F5849A", "USBHub3p");
//   b.writeTo(dir + "/1300.bird");
//
// A valid image: "bird", version 0x0101, then zlib of [block count][blocks][checksum], every
// integer big-endian. Payloads should be pseudo-random (Random): an image whose stream
// expands to more than 8 times its compressed size is rejected by the loader by design.
// Broken variants come from the public knobs below (stated count, magic, version, no
// checksum, raw bytes appended to the stream) or from Wrap/Compress on a hand-made stream.
#ifndef _BirdBuilder_H_
#define _BirdBuilder_H_

#include <cstdint>
#include <string>
#include <vector>

class BirdBuilder {
public:
    typedef std::vector<uint8_t> Bytes;

    // n pseudo-random bytes, the same for the same seed.
    static Bytes Random(size_t n, uint32_t seed);
    // zlib (RFC 1950) of the bytes at the default level.
    static Bytes Compress(const Bytes& raw);
    // A file: 4 magic bytes, the 2 version bytes (big-endian), then body as it is.
    static Bytes Wrap(const Bytes& body, const std::string& magic = "bird",
                      uint16_t version = 0x0101);
    // Bytes of a 32-bit value, big-endian.
    static Bytes BE32(uint32_t v);

    // A block of any type (0..31) and flags (0..7) with its data as given.
    BirdBuilder& block(uint8_t type, uint8_t flags, const Bytes& data);
    // Loader (type 0) and firmware (type 1) blocks: the 4-byte load address, then the image.
    BirdBuilder& loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdBuilder& firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // Serial info (type 2): the image addresses of the serial word and of the serial string.
    BirdBuilder& serialInfo(uint32_t serialAddress, uint32_t stringAddress);
    // Descriptor (type 4): four 16-byte fields, each cut to 16 and padded with blanks.
    BirdBuilder& descriptor(const std::string& build, const std::string& version,
                            const std::string& serial, const std::string& model);
    // Start address (type 5).
    BirdBuilder& startAddress(uint32_t address);

    // A typical image: a 256-byte loader at 0x20000000, firmware blocks of 1024 bytes at
    // 0x0 and 0x400 (flags 1), a serial-info block naming the serial word at 0x100 and the
    // serial string at 0x200 (both in the first firmware block), and the descriptor with
    // build, version, serial ("%08X") and model.
    static BirdBuilder Typical(unsigned build, const std::string& version, uint32_t serial,
                               const std::string& model);

    // The decompressed block stream.
    Bytes stream() const;
    // The whole file.
    Bytes image() const;
    // Writes image() to path; false when that fails.
    bool writeTo(const std::string& path) const;
    // Writes any bytes to path; false when that fails.
    static bool WriteBytes(const std::string& path, const Bytes& bytes);

    // Knobs for broken variants (defaults make a valid image).
    int64_t statedCount = -1;      // block count written in the stream; -1: the real count
    uint32_t checksum = 0x5EED5EED;
    bool withChecksum = true;      // false: the stream ends after the last block
    Bytes trailer;                 // raw bytes after the blocks, before the checksum
    std::string magic = "bird";
    uint16_t version = 0x0101;

    struct Block {
        uint8_t type;
        uint8_t flags;
        Bytes data;
    };
    std::vector<Block> blocks;
};

#endif
