// The i.MX boot ROM in serial download mode behind an emulated USB HID device (hidraw under
// umockdev): the host's output reports go to the ROM, its input reports come back. The program
// must run under umockdev-wrapper. Tests reach the ROM's knobs and record through locked().
#ifndef _ImxHidEmulator_H_
#define _ImxHidEmulator_H_

#include "imx_sdp/SdpRom.h"
#include "module_emu/HidDevice.h"

#include <functional>
#include <mutex>
#include <string>

class ImxHidEmulator {
public:
    static constexpr uint16_t VID = 0x1FC9, PID = 0x0130;

    // The process's ROM device with these ids (the testbed keeps one device per id pair and
    // process: a second call gives the same one). nullptr when there is no testbed; why in
    // error().
    static ImxHidEmulator* instance(uint16_t vid = VID, uint16_t pid = PID);
    static const std::string& error();

    // A fresh ROM and device record, for the next case.
    void reset();
    void locked(const std::function<void(SdpRom&)>& fn);
    module_emu::HidDevice& device() { return *device_; }

private:
    explicit ImxHidEmulator(module_emu::HidDevice* device);
    module_emu::HidDevice* device_;
    std::mutex m_;
    SdpRom rom_;
};

#endif
