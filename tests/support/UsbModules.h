// Modules of the family on the emulated USB bus, for tests that need one before libusb first
// looks (it learns the device list once per program).
#ifndef QCTEST_USBMODULES_H
#define QCTEST_USBMODULES_H

#include <cstdint>
#include <cstdio>

#include "module_emu/UsbTransport.h"
#include "qcusb_driver.h"

namespace qctest {

// A family module on the testbed whose serial string is the eight hex digits the driver
// parses; NULL when there is no testbed.
inline module_emu::UsbDevice* addFamilyModule(uint32_t serial)
{
    module_emu::UsbTestbed& tb = module_emu::UsbTestbed::instance();
    if (!tb.ok())
        return nullptr;
    module_emu::UsbDeviceConfig c;
    c.vendorId = QCUSB_VENDOR_ID;
    c.productId = 0x0105;
    char text[16];
    snprintf(text, sizeof text, "%08X", (unsigned)serial);
    c.serial = text;
    return tb.addDevice(c);
}

} // namespace qctest

#endif
