// The USB driver under the USB stream: finds a module by the maker's vendor id and its
// serial-number string, claims its vendor interface, writes in short bulk chunks with retries,
// reads in blocks served one byte at a time, and hides short runs of I/O errors. A module
// with a kernel driver node ("/dev/quillcore.%08X") is reached through the node instead.
//
// One thread may read while another writes the same device (the link engine's pipe threads);
// the read buffer belongs to the reading side.
#ifndef _qcusb_driver_H_
#define _qcusb_driver_H_

#include <libusb.h>

#include <atomic>

#include "aDefs.h"
#include "aError.h"
#include "discover.h"

// The maker's USB vendor id; discovery compares the same value.
#define QCUSB_VENDOR_ID 0x3A6E
// A module's product id is below this (bit 15 clear); its low byte is the model number.
#define QCUSB_PRODUCT_LIMIT 0x8000
#define QCUSB_INTERFACE_CLASS 0xFF
#define QCUSB_INTERFACE_SUBCLASS 0x88
#define QCUSB_INTERFACE_PROTOCOL 0x10

#define QCUSB_MODE_KERNEL 0
#define QCUSB_MODE_LIBUSB 1

#define QCUSB_READ_BUFFER 800        // one IN transfer fills at most this much
#define QCUSB_READ_TIMEOUT_MS 1000
#define QCUSB_WRITE_CHUNK 50
#define QCUSB_WRITE_TIMEOUT_MS 50
#define QCUSB_WRITE_PASSES 100
#define QCUSB_TOLERATED_ERRORS 4     // the fifth consecutive aErrIO fails the device
#define QCUSB_SERIAL_STRING_MAX 50
#define QCUSB_KERNEL_WRITES 1000

enum {
    kUSBStateCreated = 1,   // record made
    kUSBStateClosed = 2,    // closed, or never opened successfully
    kUSBStateOpened = 3,    // device open, interface not yet claimed
    kUSBStateReady = 4,     // interface claimed: transfers allowed
    kUSBStateFailed = 5,    // five consecutive I/O errors
};

typedef struct qcusbDevice {
    int mode;                              // QCUSB_MODE_LIBUSB or QCUSB_MODE_KERNEL
    char serial[9];                        // as opened, eight hex digits
    int descriptor;                        // open kernel node; -1 when none
    libusb_device_handle* handle;          // NULL when not open
    std::atomic<int> state;
    u8 interface;
    u8 outEndpoint, inEndpoint;
    u8 outType, inType;                    // LIBUSB_TRANSFER_TYPE_BULK or _INTERRUPT
    u16 inMaxPacket;
    u8 readBuffer[1024];                   // room for one packet of any valid endpoint size
    u32 available;                         // received bytes not yet served
    u8* next;                              // next byte to serve
    std::atomic<u8> errorCount;            // consecutive aErrIO, reads and writes together
} qcusbDevice;

// A zeroed record in that mode and kUSBStateCreated; NULL without memory. In libusb mode the
// process context is made first when there is none.
qcusbDevice* qcusb_create_usb(int mode);
// Closes an open libusb handle (its interface is not released), frees the record and sets
// *device to NULL; aErrParam for none. A kernel node is not closed here.
aErr qcusb_destroy(qcusbDevice** device);
// True when the kernel driver node of the serial exists and is not a directory.
bool qcusb_is_kernel_driver_installed(u32 serial);
// The node path of a serial ("/dev/quillcore.%08X" unless the directory was changed).
void qcusb_kernel_node_path(u32 serial, char* path, size_t size);
// Tests only: the directory of kernel driver nodes (NULL restores "/dev").
void qcusb_set_kernel_node_directory(const char* directory);

// True for a device of the family: readable descriptor, the maker's vendor id and a product
// id below 0x8000.
bool is_quillcore_device(libusb_device* device);

// The port path of a device as libusb gives it (bus number, port numbers); count 0 when none
// can be read.
void qcusb_port_path(libusb_device* device, aUSBPortPath* path);
// True when a and b are both read port paths and name the same place.
bool qcusb_same_port_path(const aUSBPortPath* a, const aUSBPortPath* b);

// Opens the device whose serial-number string is serial (compared without regard to case).
// libusb: aErrMode, aErrResource (state 0), aErrNotFound (no such device, or no context),
// aErrConfiguration (no vendor interface with IN and OUT endpoints), aErrBusy, aErrPermission
// or aErrUnknown (claim failed). Kernel node: aErrMode, aErrBusy, aErrIO.
aErr qcusb_open_quillcore_device(qcusbDevice* device, const char* serial);
// Why the last libusb open of this process failed, as libusb says it, with the call that
// failed ("libusb_claim_interface: Resource busy"); empty after an open that succeeded or
// found no such device. Copied into text (size bytes, NUL-terminated).
void qcusb_last_open_failure(char* text, size_t size);
// As qcusb_open_quillcore_device, but only the device at that port path is taken: another one
// with the same serial-number string elsewhere is never opened (aErrNotFound; aErrParam for a
// path with no port). The kernel node cannot say where its device is: it is opened only when
// libusb sees one device with the serial on the bus, at that path.
aErr qcusb_open_quillcore_device_at(qcusbDevice* device, const char* serial,
                                    const aUSBPortPath* path);
// Writes n bytes. libusb: chunks of at most 50 bytes, 50 ms each, up to 100 passes; a retried
// chunk resumes at the first byte the device did not take. aErrWrite when bytes are left.
aErr qcusb_write_to_device(qcusbDevice* device, const char* data, size_t n);
// One byte: aErrNone, aErrNotReady (nothing within the read's wait), aErrConnection
// (closed), aErrIO (failed).
aErr qcusb_get_from_device(qcusbDevice* device, char* byte);
aErr qcusb_close_quillcore_device(qcusbDevice* device);

#endif
