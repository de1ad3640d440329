// The i.MX boot ROM's serial download protocol as the host sees it: 16-byte commands
// (ERROR_STATUS, WRITE_FILE, JUMP_ADDRESS, READ_REGISTER, WRITE_REGISTER), file data after
// WRITE_FILE, and replies of a 4-byte HAB mode followed by a 4-byte status or value.
// The same core serves the UART framing (raw bytes) and the HID framing (numbered reports).
#ifndef _SdpRom_H_
#define _SdpRom_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class SdpRom {
public:
    static constexpr uint32_t HAB_OPEN = 0x56787856;
    static constexpr uint32_t HAB_CLOSED = 0x12343412;
    static constexpr uint32_t STATUS_OK = 0xF0F0F0F0;
    static constexpr uint32_t FILE_COMPLETE = 0x88888888;
    static constexpr uint32_t WRITE_COMPLETE = 0x128A8A12;

    // One reply as the ROM produces it: HAB mode, then a status or value when it has one.
    struct Reply {
        uint32_t hab;
        bool hasWord;
        uint32_t word;
    };

    struct FileWrite {
        uint32_t address;
        std::vector<uint8_t> data;
        bool complete;
    };

    // UART framing: one received byte; appends the bytes the ROM sends back to `out`.
    void serialByte(uint8_t byte, std::string& out);
    // HID framing: one output report as hid_write gets it (report id first); the ROM's input
    // reports (id 3: HAB mode, 5 bytes; id 4: status, 65 bytes) are appended to `reports`.
    void hidReport(const uint8_t* data, size_t length, std::vector<std::vector<uint8_t>>& reports);

    // Knobs.
    bool silent = false;             // answers nothing at all
    uint32_t hab = HAB_OPEN;
    uint32_t finalStatus = FILE_COMPLETE;  // status after a complete WRITE_FILE
    bool chatterDuringData = false;  // sends a stray reply as soon as a WRITE_FILE starts
    std::map<uint32_t, uint32_t> registers;  // values READ_REGISTER returns (0 otherwise)
    std::function<void(uint32_t)> onJump;     // called with the address of each JUMP_ADDRESS

    // Record.
    std::vector<FileWrite> writes;
    std::vector<uint32_t> jumps;
    unsigned statusRequests = 0;
    unsigned droppedBytes = 0;       // bytes skipped while looking for a command (a stray "?")
    std::string commandLog;          // one line per command: "WRITE_FILE 0x20000400 2500"
    // Bytes now at `address`, from the writes in order (0 where nothing was written).
    std::vector<uint8_t> memory(uint32_t address, size_t length) const;
    bool started() const { return !jumps.empty(); }

private:
    void command(const uint8_t* c, std::vector<Reply>& replies);
    void data(const uint8_t* d, size_t n, std::vector<Reply>& replies);

    uint8_t cmd[16];
    size_t cmdLength = 0;
    uint32_t dataLeft = 0;   // file bytes still expected after WRITE_FILE
};

#endif
