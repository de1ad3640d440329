// The i.MX boot ROM's serial download protocol, host side: checks that the ROM answers,
// writes a file into its memory in data reports of up to 1024 bytes and jumps to it.
// The engine never knows its transport; it talks through SDPLoader_Interface.
#ifndef _SDPLoader_H_
#define _SDPLoader_H_

#include <string>
#include <vector>

// A transport for the engine's reports (HID report id first: 0x01 command, 0x02 data).
class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface() {}
    // Opens the device; true on success.
    virtual bool init() = 0;
    // Sends one report; the device call's result (bytes written, negative on failure).
    virtual long writeData(const std::vector<unsigned char>& report) = 0;
    // Appends what the device sends within timeoutMs to reply (0: only what is already
    // there); the number of bytes appended.
    virtual long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) = 0;
    // ORs the little-endian word at index of the reply's payload into value (the caller
    // starts it at 0); false when the reply holds no such word.
    virtual bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                   unsigned int& value) = 0;
    // Why the last device call failed, as the device library or the system said it; empty
    // when none failed or the transport cannot tell.
    virtual std::string failure() const { return std::string(); }
};

class SDPLoader {
public:
    // Results of init, writeLoader and getFingerprint.
    static constexpr unsigned char SDP_OK = 0;
    static constexpr unsigned char SDP_NO_TRANSPORT = 1;
    static constexpr unsigned char SDP_NO_ANSWER = 2;
    static constexpr unsigned char SDP_UNEXPECTED_REPLY = 3;
    static constexpr unsigned char SDP_BAD_STATUS = 4;
    static constexpr unsigned char SDP_WRITE_FAILED = 5;   // a report could not be sent
    static constexpr unsigned char SDP_OPEN_FAILED = 6;
    static constexpr unsigned char SDP_NO_VALUE = 7;

    static constexpr unsigned int STATUS_FILE_COMPLETE = 0x88888888;
    static constexpr unsigned int STATUS_ACK = 0xF0F0F0F0;
    static constexpr unsigned int MAX_DATA_REPORT = 1024;

    SDPLoader();
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of the transport; false (the caller keeps it) for null or when one
    // is already set.
    bool setLoader(SDPLoader_Interface* transport);
    // SDP_OK, SDP_NO_TRANSPORT or SDP_OPEN_FAILED.
    unsigned char init();
    // Writes file at address: SDP_OK, SDP_NO_ANSWER, SDP_UNEXPECTED_REPLY (the ROM spoke while
    // the file went in), SDP_WRITE_FAILED or SDP_BAD_STATUS (final status not "complete").
    unsigned char writeLoader(std::vector<unsigned char> file, unsigned int address);
    // Jumps to address: SDP_OK, SDP_NO_TRANSPORT or SDP_WRITE_FAILED (the jump was not sent).
    // The reply is read and not judged.
    unsigned char startLoader(unsigned int address);
    // Two identity registers into id (low word 0x401F4410, high 0x401F4420); the caller
    // zeroes id. SDP_OK, SDP_NO_ANSWER, SDP_NO_TRANSPORT or SDP_NO_VALUE.
    unsigned char getFingerprint(unsigned long& id);

private:
    bool _isConnectionAlive();
    void _fillCommand(std::vector<unsigned char>& report);
    bool _expectAck(const std::vector<unsigned char>& reply);
    bool _expectResponse(const std::vector<unsigned char>& reply);
    bool _expectSuccess(const std::vector<unsigned char>& reply);
    void _printBuffer(const std::vector<unsigned char>& bytes);
    std::vector<unsigned char> _createStatusPacket();
    std::vector<unsigned char> _createWriteFilePacket(unsigned int address, unsigned int count);
    std::vector<unsigned char> _createJumpPacket(unsigned int address);
    std::vector<unsigned char> _create4ByteReadRegisterPacket(unsigned int address);

    SDPLoader_Interface* loader;
};

#endif
