// The ISP boot ROM of an NXP LPC17xx chip as a host sees it over its UART: auto-baud
// synchronisation, ASCII commands with their return codes, echo, UU-encoded RAM writes and
// reads with checksums, and 512 KiB of flash in 30 sectors (16 of 4 KiB, 14 of 32 KiB).
// The flash only ever clears bits; every programmed byte is counted, so a cell programmed
// twice since its sector was erased (or never erased) shows. The RAM starts out holding a
// pseudo-random pattern, so stale bytes that a host copies into flash show too.
#ifndef _LpcIspRom_H_
#define _LpcIspRom_H_

#include <cstdint>
#include <string>
#include <vector>

class LpcIspRom {
public:
    static constexpr uint32_t FLASH_SIZE = 0x80000;
    static constexpr int SECTORS = 30;
    static constexpr uint32_t LOCAL_RAM = 0x10000000;   // 32 KiB; ISP itself uses the first 512 B
    static constexpr uint32_t AHB_RAM = 0x2007C000;     // 32 KiB
    static constexpr uint32_t RAM_SIZE = 0x8000;
    static constexpr uint32_t UNLOCK_CODE = 23130;

    LpcIspRom();

    // One byte from the host; appends the chip's answer to `out`. `delayMs` asks the caller to
    // hold the answer back that long (a slow erase).
    void byte(uint8_t b, std::string& out, unsigned& delayMs);

    // A rule that answers `code` instead of running the command: the command letter, how
    // many matching commands pass first, and how many then fail (0: all of them).
    struct ForcedCode {
        char command;
        int code;
        unsigned skip;
        unsigned times;
    };

    // Knobs.
    bool silent = false;               // a chip that answers nothing (no ISP mode)
    unsigned eraseDelayMs = 0;         // time an erase takes before its return code
    std::vector<ForcedCode> forced;
    std::vector<unsigned> resendAt;    // checksum numbers (1 = the first) answered "RESEND"
    std::string checksumAnswer;        // when set, sent in place of the first checksum's "OK"
    unsigned lateEchoMs = 0;           // the echo of each command line starts this late
    bool refuseCrystal = false;        // answers the crystal line with "ERROR" instead of "OK"
    std::string answerN;               // when set, the raw answer to "N" (return code included)
    uint32_t deviceId[4] = {0x11223344u, 305419896u, 2882400001u, 42u};
    uint32_t partId = 0x26013F37;      // LPC1768
    unsigned bootMajor = 4, bootMinor = 1;

    // Puts the chip in the state a previous host left it in: synchronised, echo as given.
    void presetSynchronised(bool echoOn);

    // Record.
    std::vector<std::string> lines;    // every command line received: the auto-baud "?" and
                                       // the sync lines included, the data and checksum
                                       // lines of W and R not
    unsigned dataLines = 0;            // UU lines received during W
    unsigned checksums = 0;            // checksum lines received during W
    unsigned resends = 0;              // "RESEND" answers sent
    bool synchronised = false;
    bool echo = true;
    bool unlocked = false;
    bool started = false;
    uint32_t startAddress = 0;
    char startMode = 0;

    std::vector<uint8_t> flash;        // FLASH_SIZE bytes
    std::vector<uint8_t> programCount; // per flash byte since its sector's last erase
    bool erased[SECTORS] = {};
    bool prepared[SECTORS] = {};
    unsigned erases = 0;               // successful E commands
    uint64_t doubleProgrammed = 0;     // byte programmings of a cell already programmed
    uint64_t unerasedProgrammed = 0;   // byte programmings in a sector not erased yet

    static int sectorOf(uint32_t address);   // -1 outside the flash
    static uint32_t sectorStart(int sector);
    static uint32_t sectorSize(int sector);

    // RAM bytes (local or AHB); false outside them.
    bool ramRead(uint32_t address, uint32_t count, std::vector<uint8_t>& out) const;
    std::vector<uint8_t> ramLocal;
    std::vector<uint8_t> ramAhb;

private:
    enum State { AutoBaud, SyncWord, Crystal, Command, WriteData, ReadData };

    void line(const std::string& text, std::string& out, unsigned& delayMs);
    void command(const std::string& text, std::string& out, unsigned& delayMs);
    // The commands, one handler each (P, E and I share the sector-range check).
    struct Args;
    void unlock(const Args& args, std::string& out, unsigned& delayMs);
    void setEcho(const Args& args, std::string& out, unsigned& delayMs);
    void setBaudRate(const Args& args, std::string& out, unsigned& delayMs);
    void readPartId(const Args& args, std::string& out, unsigned& delayMs);
    void readBootVersion(const Args& args, std::string& out, unsigned& delayMs);
    void readDeviceId(const Args& args, std::string& out, unsigned& delayMs);
    void sectors(const Args& args, std::string& out, unsigned& delayMs);
    void blankCheck(int s0, int s1, std::string& out);
    void erase(int s0, int s1, std::string& out, unsigned& delayMs);
    void copyToFlash(const Args& args, std::string& out, unsigned& delayMs);
    void program(uint32_t dst, const uint8_t* ram, uint32_t n, std::string& out);
    void go(const Args& args, std::string& out, unsigned& delayMs);
    void startTransfer(const Args& args, std::string& out, unsigned& delayMs);
    void writeDataLine(const std::string& text, std::string& out);
    void readAnswer(const std::string& text, std::string& out);
    void sendReadBlock(std::string& out);
    int forcedCode(char c);
    uint8_t* ramAt(uint32_t address, uint32_t count);

    State state = AutoBaud;
    std::string current;
    std::vector<unsigned> forcedSeen;

    // W and R in progress.
    uint32_t xferAddress = 0, xferCount = 0, xferDone = 0, xferAcked = 0;
    unsigned blockLines = 0;
    bool expectChecksum = false;
    std::vector<uint8_t> block;
};

#endif
