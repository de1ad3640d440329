// What a module must hold after an update from a BIRD file, for the tests that update one.
#ifndef QCTEST_EXPECTEDFIRMWARE_H
#define QCTEST_EXPECTEDFIRMWARE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"

namespace qctest {

// The firmware blocks of the image at path by load address, as the module must hold them:
// the image's bytes, with serial written in when the image has a serial block.
inline std::map<uint32_t, std::vector<uint8_t>> ExpectedFirmware(const std::string& path,
                                                                 uint32_t serial)
{
    std::map<uint32_t, std::vector<uint8_t>> blocks;
    BirdFile image(path.c_str());
    if (image.hasSerialBlock)
        image.ReplaceSerialNumber(serial);
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE))
        blocks[b.address] = std::vector<uint8_t>(b.data + 4, b.data + b.length);
    return blocks;
}

}  // namespace qctest

#endif
