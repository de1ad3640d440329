// Host side of the in-system-programming protocol of an NXP LPC17xx boot ROM over a serial
// line: synchronisation, ASCII commands with decimal return codes, and UU-encoded RAM
// transfers with checksums. One object serves one job (fingerprint or programming); every
// operation returns an aErr and nothing throws.
//
// Reply deadlines are in milliseconds per command, counted from when the command has been
// written plus the time its bytes take on the line at the connected rate.
#ifndef _NXPSerial_H_
#define _NXPSerial_H_

#include <string>

#include "aDefs.h"
#include "aError.h"
#include "aStream.h"

struct NXPSector {
    u32 start;
    u32 size;
    s32 sector;
};

// Flash sectors of the LPC17xx: 16 of 4 KiB from 0, 14 of 32 KiB from 0x10000, then the
// terminator {0xFFFFFFFF, 0, 30}.
extern const NXPSector NXP_LPC17XX_sectors[31];

class NXPSerialClass {
public:
    static constexpr u8 MAX_ERROR = 20;
    static const char* const ERROR_TEXT[21];
    static constexpr float CRYSTAL_DEFAULT = 14.7456f;  // MHz, announced as 14746 kHz
    static constexpr const char* CRYSTAL_KEY = "Crystal";
    static constexpr unsigned int MAX_BYTES_PER_LINE = 45;
    static constexpr unsigned int LINES_PER_CHECKSUM = 20;
    static constexpr unsigned int MAX_READ_RETRY = 3;
    static constexpr unsigned int WRITE_ADDRESS = 0x10001000;  // RAM staging area
    static constexpr unsigned int UNLOCK_CODE = 23130;
    static constexpr unsigned int LAST_SECTOR = 29;

    // Reply deadlines (ms) once a command is on the line.
    static constexpr unsigned int REPLY_MS = 200;
    static constexpr unsigned int ECHO_MS = 200;
    static constexpr unsigned int ERASE_MS = 1000;        // plus ERASE_SECTOR_MS per sector
    static constexpr unsigned int ERASE_SECTOR_MS = 100;
    static constexpr unsigned int COPY_MS = 500;
    static constexpr unsigned int CHECKSUM_MS = 500;
    static constexpr unsigned int SYNC_MS = 100;

    NXPSerialClass();
    ~NXPSerialClass();
    NXPSerialClass(const NXPSerialClass&) = delete;
    NXPSerialClass& operator=(const NXPSerialClass&) = delete;

    // Opens port at the first rate of 2400..230400 not below baud (9600 above 230400).
    // The serial stream's code when the port cannot be opened.
    aErr Connect(const char* port, unsigned int baud);
    aErr Disconnect();
    // Auto-baud handshake. 0 once the crystal line is answered "OK"; a chip that an earlier
    // host left synchronised is recognised by its answer to "J" and kept in its echo state.
    // aErrTimeout when nothing answers, aErrIO for a wrong answer.
    aErr Sync();

    // Commands: 0 when the chip answers return code 0; aErrParam for another code, an answer
    // that is no number or an argument refused before sending; aErrTimeout when no line comes
    // in time; the stream's code when the command cannot be written.
    aErr SetEcho(bool on);
    aErr Unlock();
    aErr Prepare(unsigned int start, unsigned int end);
    aErr Erase(unsigned int start, unsigned int end);
    // flash a multiple of 256, count 256, 512, 1024 or 4096.
    aErr CopyToFlash(unsigned int flash, unsigned int ram, unsigned int count);
    // "G address T"; no reply is awaited.
    aErr ExecuteFrom(unsigned int address);
    // "N": return code 0 and four decimal numbers into deviceId; aErrTimeout for a missing
    // line, aErrIO for one that is not a decimal number.
    aErr GetDeviceID();
    aErr GetBootLoaderVersion(unsigned char* major, unsigned char* minor);
    aErr GetPartNumber(long* part);
    aErr SetBaudRate(unsigned int baud);

    // RAM transfers: count a non-zero multiple of 4 (aErrParam otherwise, nothing sent).
    // aErrTimeout when the retries are used up, aErrIO for an unexpected checksum answer.
    aErr Write(unsigned int address, unsigned int count, unsigned char* data);
    aErr Read(unsigned int address, unsigned int count, unsigned char* data);

    // One UU line of n (<= 45) bytes into out (at least 62 bytes); the bytes consumed.
    static unsigned int uuencode(char* out, const unsigned char* data, unsigned int n);
    // The line's bytes into out; its byte count, or 0 when room is smaller.
    static int uudecode(unsigned char* out, unsigned int room, const char* line);
    static char uuchar(unsigned int v);
    static int sum(const unsigned char* data, unsigned int n);
    // The copy count "C" takes for length: 256, 512, 1024 or 4096; above 4096 the length.
    static unsigned int CopyLength(unsigned int length);
    // Flash sector of address; 30 outside the flash.
    static int SectorFromAddress(unsigned int address);
    // Name of the return code a reply begins with; "Unknown error" for any other number.
    static const char* GetErrorText(const char* reply);

    // Line I/O.
    aErr Send(const char* text, bool readEcho);
    aErr SendCommand(const char* text, int waitMs);
    aErr GetEcho(const char* sent, unsigned long count, unsigned long* matched);
    // One line ending in "\r\n" (kept in buffer, terminated; a leading line feed dropped),
    // waiting at most timeoutMs; aErrTimeout when the line did not end in time.
    aErr GetLine(char* buffer, unsigned long size, unsigned long* length, unsigned int timeoutMs);
    // Up to expectedLength bytes (size - 1 without expected) or a "\r\n", waiting at most
    // timeoutMs; leading line ends and early 0 bytes are dropped. Not terminated.
    aErr Response(char* buffer, unsigned long size, unsigned long* length, const char* expected,
                  unsigned long expectedLength, unsigned int timeoutMs);
    unsigned char GetErrorIndex(unsigned long length);

    aStream* stream;
    bool echo;
    u32 baud;
    s32 status;
    char port[2048];
    u32 deviceId[4];

private:
    bool echoShort;              // the last command's echo did not all come back in time
    unsigned long echoMatched;   // how much of it did
    aErr _returnCode(int* code, unsigned int timeoutMs, const char* sent = nullptr);
    // Write's "W address count" command and its return code.
    aErr _writeCommand(unsigned int address, unsigned int count);
    // Up to LINES_PER_CHECKSUM uuencoded lines from position on (position advanced past them)
    // and the checksum of the bytes since acked, using block as the buffer when the chip does
    // not echo. The bytes that went on the line.
    unsigned long _writeLines(const unsigned char* data, unsigned int acked,
                              unsigned int& position, unsigned int count, std::string& block);
    aErr _command(const char* text, unsigned int timeoutMs, const char* name);
    aErr _numberLine(unsigned long* value, unsigned int timeoutMs);
    aErr _probeSynchronised(bool echoOn);
    unsigned int _lineMs(unsigned long bytes) const;
};

#endif
