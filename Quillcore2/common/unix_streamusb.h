// USB stream: an aStream over a module's USB interface (libusb) or its kernel driver node
// (aStream_CreateUSB is declared in aStream.h).
#ifndef _unix_streamusb_H_
#define _unix_streamusb_H_

#include "aStream.h"
#include "qcusb_driver.h"

#define aUSBSTREAMCHECK 0xDEAD

typedef struct aUSBStream {
    u32 serial;
    qcusbDevice* device;
    u16 check;
} aUSBStream;

#endif
