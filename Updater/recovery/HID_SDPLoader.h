// Serial-download transport over the i.MX boot ROM's USB HID device (hidapi).
#ifndef _HID_SDPLoader_H_
#define _HID_SDPLoader_H_

#include "SDPLoader.h"

#include <hidapi/hidapi.h>

class HID_SDPLoader : public SDPLoader_Interface {
public:
    // The ids of the device to open (the ROM: 0x1FC9, 0x0130); nothing is opened yet.
    HID_SDPLoader(unsigned short vid, unsigned short pid);
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    // hid_init and hid_open of the ids; false when no device opens.
    bool init() override;
    // hid_write of the whole report, id first; its result.
    long writeData(const std::vector<unsigned char>& report) override;
    // Appends input reports, id bytes kept (report 3 as its 5 bytes), until a read of
    // timeoutMs brings nothing or the status report 4 has come; the bytes appended.
    long readData(std::vector<unsigned char>& reply, unsigned int timeoutMs) override;
    // A complete reply is [3][HAB x4][4][word x4][60 bytes]: 70 bytes; word index at 6 + index.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                           unsigned int& value) override;
    // hid_error of the last open, write or read that failed, with the call's name.
    std::string failure() const override;

private:
    // Keeps hidapi's reason for a failed call (of dev, or of the library for a null dev).
    void noteFailure(const char* call, hid_device* device);

    hid_device* dev;
    unsigned short vid;
    unsigned short pid;
    std::string failed;
};

#endif
