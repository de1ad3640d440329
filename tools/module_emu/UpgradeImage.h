// A firmware image as the module family's maker ships it (a BIRD file), for the emulated
// peers of demos and benchmarks: loader and firmware blocks of pseudo-random bytes, the
// places of the serial number, and the descriptor. Plain zlib; no updater code.
#ifndef MODULE_EMU_UPGRADE_IMAGE_H
#define MODULE_EMU_UPGRADE_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace module_emu {

struct UpgradeImage {
    uint32_t loaderAddress = 0x20000000;
    size_t loaderBytes = 512;
    uint32_t firmwareAddress = 0x10000;
    std::vector<size_t> firmwareBlocks = {4096};  // bytes of each, placed one after another
    bool serialInfo = true;                       // serial word and text inside the first block
    std::string build = "1300", version = "1.3.0", serial = "00000000", model = "Dorvel";
    uint32_t seed = 7;
};

// Writes the image to path; false when that fails.
bool WriteUpgradeImage(const std::string& path, const UpgradeImage& image);

}  // namespace module_emu

#endif
