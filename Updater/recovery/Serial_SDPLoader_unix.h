// Serial-download transport over a UART (a POSIX terminal device at 115200 baud). The line
// carries the engine's reports without their HID report-id byte; a reply is 4 bytes of HAB
// mode followed by a 4-byte status word.
#ifndef _Serial_SDPLoader_unix_H_
#define _Serial_SDPLoader_unix_H_

#include "SDPLoader.h"

class PrivateSerial_SDPLoader;

class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // path must outlive the transport (it is not copied). settleMs is the pause after the
    // port is set up, for adapters that need it before the first byte.
    explicit Serial_SDPLoader(const char* path, unsigned int settleMs = 1000);
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens the terminal raw at 115200 8N1; false when it cannot be opened or is no terminal.
    bool init() override;
    // Sends the report without its id byte, a command report (id 0x01) after discarding the
    // input that waits; the bytes sent, or -1 when the device takes nothing for about 1 s or
    // fails.
    long writeData(const std::vector<unsigned char>& report) override;
    // With timeoutMs 0 takes only what is waiting. Otherwise waits for the output to drain
    // and for a complete 8-byte reply, at most timeoutMs after the line would have sent
    // everything written so far; appends at most 4096 bytes.
    long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) override;
    // The word index sits at bytes 4 + index to 7 + index.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                           unsigned int& value) override;

private:
    PrivateSerial_SDPLoader* p;
};

#endif
