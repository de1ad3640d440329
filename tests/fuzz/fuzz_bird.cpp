// libFuzzer target: the BIRD loader and every query and patch on what it loaded.
// The first input byte chooses the form: odd, the rest is a block stream that is compressed
// and wrapped here (so the block parser sees structured input); even, the rest is the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>
#include <zlib.h>

#include "BirdFile.h"

static std::string gPath;

static void sRemove()
{
    unlink(gPath.c_str());
}

static const std::string& sPath()
{
    if (gPath.empty()) {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        gPath = std::string(dir) + "/fuzz_bird." + std::to_string(getpid()) + ".bird";
        atexit(sRemove);
    }
    return gPath;
}

static void sWrite(const std::string& path, const unsigned char* data, size_t n)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    if (n && fwrite(data, 1, n, f) != n)
        abort();
    fclose(f);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = sPath();
    if (size == 0)
        return 0;
    std::vector<unsigned char> file;
    if (data[0] & 1) {
        uLongf room = compressBound(uLong(size - 1));
        std::vector<unsigned char> z(room);
        if (compress(z.data(), &room, data + 1, uLong(size - 1)) != Z_OK)
            return 0;
        file = {'b', 'i', 'r', 'd', 1, 1};
        file.insert(file.end(), z.begin(), z.begin() + room);
    } else {
        file.assign(data + 1, data + size);
    }
    sWrite(path, file.data(), file.size());

    BirdFile::VerifyFile(path.c_str());
    BirdFile image;
    image.path = path;
    image.Load();
    if (image.blockCount != image.blocks.size())
        abort();
    // Every block must lie inside the buffer: touch each byte so ASan sees any overrun.
    unsigned sum = 0;
    for (const BirdBlock& b : image.blocks) {
        if (b.data < image.data.get() || b.data + b.length > image.data.get() + image.dataSize)
            abort();
        if ((b.type == 0 || b.type == 1) && b.length < 4)
            abort();
        for (uint32_t i = 0; i < b.length; i++)
            sum += b.data[i];
    }
    for (int t = 0; t < 8; t++)
        image.FindBlocks(BirdFile::BLOCK_TYPE(t));
    image.GetSerialNumber();
    image.GetVersion();
    image.GetBuild();
    image.ValidateModel("");
    image.ValidateModel("USBHub3p");
    image.ReplaceSerialNumber(0x40F5849A ^ sum);
    const unsigned int key[4] = {sum, 0x01234567, 0x89ABCDEF, 0xDEADBEEF};
    image.DecodeFirmwareBlocks(key);
    image.ReplaceVectorChecksum();
    unsigned char pattern[4] = {0, 0, 0, 0};
    image.ValidateData(pattern, sizeof pattern);
    BirdFile moved(std::move(image));
    moved.GetVersion();
    return 0;
}
