// BIRD firmware images: loading, block parsing, descriptor queries and in-memory patches.
#include "BirdFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include <sys/stat.h>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

static uint32_t GetInt(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Only a regular file (links followed) is opened: opening a FIFO waits for a writer, and a
// device can stream for ever, so an image path naming one would hang the updater.
static bool sRegularFile(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

static uint16_t GetShort(const unsigned char* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

// A fixed-width descriptor field as a C string: the field may hold no NUL at all.
static void sField(const BirdBlock* block, unsigned int offset, unsigned int width, char* out)
{
    memcpy(out, block->data + offset, width);
    out[width] = '\0';
}

BirdFile::BirdFile()
    : signature(0), version(0), checksum(0), blockCount(0), truncated(false), hasSerialBlock(false),
      serialOffset(0), descriptorOffset(0), dataSize(0)
{
}

BirdFile::BirdFile(const char* p) : BirdFile()
{
    path = p ? p : "";
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

BirdFile::~BirdFile() = default;
BirdFile::BirdFile(BirdFile&&) noexcept = default;
BirdFile& BirdFile::operator=(BirdFile&&) noexcept = default;

void BirdFile::_reset()
{
    signature = version = checksum = blockCount = 0;
    truncated = false;
    blocks.clear();
    hasSerialBlock = false;
    serialOffset = descriptorOffset = 0;
    data.reset();
    dataSize = 0;
}

// The whole file of size bytes into buffer (one byte more, for a terminator); false after a
// log line when memory runs out or the read fails or ends short.
static bool sReadWhole(aFile* file, const std::string& path, u64 size,
                       std::unique_ptr<unsigned char[]>& buffer)
{
    buffer.reset(new (std::nothrow) unsigned char[size + 1]);
    u64 got = 0;
    aErr err = aErrNone;
    while (buffer && got < size) {
        u64 count = 0;
        err = aFile_Read(file, buffer.get() + got, size_t(size - got), &count);
        if (err != aErrNone || count == 0)
            break;
        got += count;
    }
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(aErrMemory),
                 path.c_str());
        return false;
    }
    if (err != aErrNone && err != aErrEOF) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
        return false;
    }
    if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path.c_str(), size_t(got), size_t(size));
        return false;
    }
    return true;
}

bool BirdFile::Load()
{
    _reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFile* file = sRegularFile(path.c_str()) ? aFile_Open(path.c_str(), aFILE_MODE_READ) : nullptr;
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    u64 size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err,
                 path.c_str());
        aFile_Close(&file);
        return false;
    }
    bool result = false;
    // The decompression room is 8 times the file and kept in 32 bits: larger files cannot
    // be images, and refusing them keeps a huge file from a huge allocation.
    if (size > UINT32_MAX / 8) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file too large: %s (%llu bytes)\n",
                 path.c_str(), (unsigned long long)size);
    } else {
        std::unique_ptr<unsigned char[]> buffer;
        if (sReadWhole(file, path, size, buffer) && size > 6) {
            signature = GetInt(buffer.get());
            version = GetShort(buffer.get() + 4);
            if (DecompressData(buffer.get() + 6, (unsigned long)(size - 6))) {
                ScanBlocks(data.get(), dataSize);
                result = true;
            }
        }
    }
    for (const BirdBlock& b : blocks) {
        if (b.type == BIRD_BLOCK_SERIAL_INFO && b.length >= SERIAL_INFO_SIZE) {
            hasSerialBlock = true;
            FindSerialNumberOffsets();
            break;
        }
    }
    aFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const unsigned char* source, unsigned long length)
{
    u64 room = u64(length) * 8;
    if (room > UINT32_MAX)
        room = UINT32_MAX;
    data.reset(new (std::nothrow) unsigned char[room ? room : 1]);
    dataSize = 0;
    if (!data) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        return false;
    }
    uLongf produced = uLongf(room);
    int z = uncompress(data.get(), &produced, source, uLong(length));
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        return false;
    }
    dataSize = uint32_t(produced);
    return true;
}

// Whether a scan ended as the stream says it should: on its 4 checksum bytes, with the number
// of blocks it states. Each mismatch gets its log line.
static bool sScanAgrees(bool truncated, u64 remaining, uint32_t found, uint32_t stated)
{
    bool ok = true;
    if (truncated || remaining != 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(s64(remaining) - 4));
        ok = false;
    }
    if (found != stated) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(found), int(stated));
        ok = false;
    }
    return ok;
}

bool BirdFile::ScanBlocks(const unsigned char* stream, unsigned int length)
{
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    truncated = false;
    if (length < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(length) - 4);
        return false;
    }
    uint32_t stated = GetInt(stream);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(stated));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // 64-bit positions: a stated length near 4 GB must not wrap past the buffer's end.
    const u64 end = length;
    u64 pos = 4;
    while (end - pos > 4) {
        unsigned char header = stream[pos];
        u64 blockLength = GetInt(stream + pos + 1);
        if (blockLength > end - pos - 5) {
            // Its data would run past the stream: the parse ends and the block is dropped.
            truncated = true;
            break;
        }
        BirdBlock block;
        block.type = header & BIRD_FILE_TYPE_MASK;
        block.flags = (header & BIRD_FILE_FLAG_MASK) >> 5;
        block.length = uint32_t(blockLength);
        block.data = const_cast<unsigned char*>(stream + pos + 5);
        block.address = 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(block.length));
        pos += blockLength + 5;
        if (block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) {
            // Every user takes length - 4 image bytes after the address.
            if (block.length < 4)
                continue;
            block.address = GetInt(block.data);
        }
        if (block.type == BIRD_BLOCK_DESCRIPTOR && block.length >= DESCRIPTOR_SIZE) {
            for (unsigned int f = 0; f < 4; f++)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + 16 * f));
        }
        blocks.push_back(block);
        blockCount++;
    }
    u64 remaining = end - pos;
    if (remaining >= 4)
        checksum = GetInt(stream + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);

    return sScanAgrees(truncated, remaining, blockCount, stated);
}

bool BirdFile::FindSerialNumberOffsets()
{
    if (!hasSerialBlock)
        return false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_SERIAL_INFO || b.length < SERIAL_INFO_SIZE)
            continue;
        serialOffset = GetInt(b.data);
        descriptorOffset = GetInt(b.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialOffset), int(descriptorOffset));
        return true;
    }
    return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks)
        if (b.type == type)
            found.push_back(b);
    return found;
}

// Data offset of image address `at` in a loader or firmware block, or -1 when `width` bytes
// from there do not lie inside the block's image (the 4 address bytes are not image).
static s64 sImageOffset(const BirdBlock& b, uint32_t at, uint32_t width)
{
    s64 offset = s64(at) - s64(b.address) + 4;
    if (offset < 4 || offset + s64(width) > s64(b.length))
        return -1;
    return offset;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE)
            continue;
        if (serialOffset != 0) {
            s64 at = sImageOffset(b, serialOffset, 4);
            if (at >= 0) {
                unsigned char* w = b.data + at;
                uint32_t old = uint32_t(w[0]) | (uint32_t(w[1]) << 8) | (uint32_t(w[2]) << 16) |
                               (uint32_t(w[3]) << 24);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         old, serial);
                w[0] = serial & 0xFF;
                w[1] = (serial >> 8) & 0xFF;
                w[2] = (serial >> 16) & 0xFF;
                w[3] = (serial >> 24) & 0xFF;
                result = true;
            }
        }
        if (descriptorOffset != 0) {
            s64 at = sImageOffset(b, descriptorOffset, 16);
            if (at >= 0) {
                for (int i = 0; i < 8; i++)
                    b.data[at + 2 * i] = (unsigned char)text[i];
                result = true;
            }
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key)
{
    if (!key)
        return false;
    unsigned char k[16];
    for (int w = 0; w < 4; w++) {
        k[4 * w] = (key[w] >> 24) & 0xFF;
        k[4 * w + 1] = (key[w] >> 16) & 0xFF;
        k[4 * w + 2] = (key[w] >> 8) & 0xFF;
        k[4 * w + 3] = key[w] & 0xFF;
    }
    for (BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE)
            continue;
        unsigned char previous = 0;
        unsigned int kp = 0;
        for (uint32_t i = 4; i < b.length; i++) {
            unsigned char v = b.data[i] ^ k[kp] ^ previous;
            b.data[i] = v;
            previous = v;
            kp = (kp + 1) % 16;
        }
    }
    return true;
}

const BirdBlock* BirdFile::_descriptor() const
{
    for (const BirdBlock& b : blocks)
        if (b.type == BIRD_BLOCK_DESCRIPTOR && b.length >= DESCRIPTOR_SIZE)
            return &b;
    return nullptr;
}

unsigned int BirdFile::GetSerialNumber() const
{
    const BirdBlock* d = _descriptor();
    if (!d)
        return 0;
    char field[9];
    sField(d, 32, 8, field);
    return (unsigned int)strtoul(field, nullptr, 16);
}

bool BirdFile::ValidateSerialNumber(unsigned int serial) const
{
    return serial == GetSerialNumber();
}

std::string BirdFile::GetVersion() const
{
    const BirdBlock* d = _descriptor();
    if (!d)
        return "";
    char field[16];
    sField(d, 16, 15, field);
    field[strcspn(field, " ")] = '\0';
    return field;
}

unsigned int BirdFile::GetBuild() const
{
    const BirdBlock* d = _descriptor();
    if (!d)
        return 0;
    char field[16];
    sField(d, 0, 15, field);
    return (unsigned int)strtoul(field, nullptr, 10);
}

bool BirdFile::ValidateModel(const char* name) const
{
    const BirdBlock* d = _descriptor();
    if (!d || !name)
        return false;
    char field[17];
    sField(d, 48, 16, field);
    size_t n = strlen(field);
    while (n > 0 && field[n - 1] == ' ')
        field[--n] = '\0';
    size_t want = strlen(name);
    if (want > n || strncmp(field, name, want) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, name);
    return true;
}

bool BirdFile::VerifyFile(const char* p)
{
    aFile* file = sRegularFile(p) ? aFile_Open(p, aFILE_MODE_READ) : nullptr;
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", p ? p : "");
        return false;
    }
    unsigned char head[6];
    u64 got = 0;
    while (got < sizeof head) {
        u64 count = 0;
        if (aFile_Read(file, head + got, sizeof head - got, &count) != aErrNone || count == 0)
            break;
        got += count;
    }
    aFile_Close(&file);
    return got == sizeof head && GetInt(head) == BIRD_FILE_SIGNATURE && head[4] != 0 &&
           head[5] != 0;
}

static uint32_t sLE32(const unsigned char* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool BirdFile::ReplaceVectorChecksum()
{
    // The LPC boot ROM takes an image as valid when vectors 0 to 7 sum to zero.
    for (BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE || b.address != 0 || b.length < 4 + 32)
            continue;
        unsigned char* image = b.data + 4;
        uint32_t sum = 0;
        for (int v = 0; v < 7; v++)
            sum += sLE32(image + 4 * v);
        uint32_t old = sLE32(image + 28);
        uint32_t now = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old,
                 now);
        for (int i = 0; i < 4; i++)
            image[28 + i] = (now >> (8 * i)) & 0xFF;
    }
    return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned int length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && length > 0) {
        for (const BirdBlock& b : blocks) {
            if (b.type != BIRD_BLOCK_FIRMWARE || b.length < length)
                continue;
            for (uint32_t at = 0; at + length <= b.length; at++) {
                if (memcmp(b.data + at, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(at));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& b : blocks) {
        if (b.type != type)
            continue;
        char text[51];
        memset(text, 0, sizeof text);
        for (uint32_t i = 0; i < b.length; i++) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text, int(i));
                memset(text, 0, sizeof text);
            }
            unsigned char c = b.data[i];
            printf("%02X ", c);
            text[i % 50] = (c >= 0x20 && c < 0x7F) ? char(c) : ' ';
        }
        printf(" %s\n", text);
    }
    printf("\n");
    return true;
}
