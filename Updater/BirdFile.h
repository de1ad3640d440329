// BIRD firmware images: "bird", a 2-byte version, then one zlib stream of typed blocks.
// A BirdFile holds the decompressed block stream and views of its blocks; it is patched
// only in memory (serial number, LPC descrambling), never written back.
#ifndef _BirdFile_H_
#define _BirdFile_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One typed block. `data` points into the owning BirdFile's buffer (its first data byte, that
// is the 4 address bytes for loader and firmware blocks) and is valid while that BirdFile, or
// the one it was moved into, lives.
struct BirdBlock {
    unsigned char type;     // 0..31
    unsigned char flags;    // 0..7, passed unchanged to the UPGRADE prepare request
    uint32_t length;        // bytes at data; at least 4 for loader and firmware blocks
    uint32_t address;       // load address (data bytes 0-3, big-endian) for types 0 and 1, else 0
    unsigned char* data;
};

class BirdFile {
public:
    enum BLOCK_TYPE {
        BIRD_BLOCK_LOADER = 0,
        BIRD_BLOCK_FIRMWARE = 1,
        BIRD_BLOCK_SERIAL_INFO = 2,
        BIRD_BLOCK_DESCRIPTOR = 4,
        BIRD_BLOCK_START_ADDRESS = 5,
    };

    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird", read big-endian
    static constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
    static constexpr unsigned char BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr unsigned char BIRD_FILE_FLAG_MASK = 0xE0;

    // Bytes a serial-info and a descriptor block need; shorter ones count as absent.
    static constexpr uint32_t SERIAL_INFO_SIZE = 8;
    static constexpr uint32_t DESCRIPTOR_SIZE = 64;

    // An empty image (blockCount 0): what the flows treat as nothing loaded.
    BirdFile();
    // Loads path; throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const char* path);
    ~BirdFile();
    BirdFile(BirdFile&&) noexcept;
    BirdFile& operator=(BirdFile&&) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, decompresses and parses `path`; false when the file is missing, unreadable, 6
    // bytes or shorter, or does not decompress (within 8 times its size). Size and count
    // mismatches in the block stream are only logged; the blocks that fit are kept.
    bool Load();

    // True when the file's first 6 bytes are "bird" and two non-zero version bytes.
    static bool VerifyFile(const char* path);

    // Copies of every block of `type`, in file order (empty when none).
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Takes serialOffset and descriptorOffset from the first full serial-info block; false
    // when there is none.
    bool FindSerialNumberOffsets();

    // Writes `serial` into the firmware blocks: the 32-bit word (little-endian) at
    // serialOffset and the 8 "%08X" characters (low bytes of UTF-16LE) at descriptorOffset.
    // True only when some block actually held one of them.
    bool ReplaceSerialNumber(unsigned int serial);

    // Descrambles every firmware image in memory with the chip's 4-word key (LPC recovery).
    // False, changing nothing, for a null key; else true.
    bool DecodeFirmwareBlocks(const unsigned int* key);

    // Descriptor queries; neutral values (0, "", false) without a full descriptor block.
    unsigned int GetSerialNumber() const;
    std::string GetVersion() const;
    unsigned int GetBuild() const;
    bool ValidateSerialNumber(unsigned int serial) const;
    // True when the model field (trailing blanks dropped) begins with the whole of name.
    bool ValidateModel(const char* name) const;

    // Not used by the updater's flows.
    bool ReplaceVectorChecksum();
    bool ValidateData(unsigned char* pattern, unsigned int length) const;
    bool DumpBlocks(BLOCK_TYPE type) const;

    std::string path;
    uint32_t signature;
    uint32_t version;
    uint32_t checksum;
    uint32_t blockCount;          // blocks parsed, not the count the stream states
    bool truncated;               // a block ran past the stream's end: it and any after it
                                  // are missing
    std::vector<BirdBlock> blocks;
    bool hasSerialBlock;          // a full serial-info block exists
    uint32_t serialOffset;        // image address of the serial-number word, 0 = none
    uint32_t descriptorOffset;    // image address of the serial string's characters, 0 = none
    std::unique_ptr<unsigned char[]> data;
    uint32_t dataSize;

private:
    bool ScanBlocks(const unsigned char* stream, unsigned int length);
    bool DecompressData(const unsigned char* source, unsigned long length);
    const BirdBlock* _descriptor() const;
    void _reset();
};

#endif
