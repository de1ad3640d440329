// USB driver: libusb and kernel-node variants of open, read, write and close.
#include "qcusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>

#include "Quillcore-C.h"
#include "aDebug.h"

static std::mutex sNodeDirMutex;
static std::string sNodeDir = "/dev";

// The reason of the last libusb open, kept for the error line of whoever asked for it.
static std::mutex sOpenFailureMutex;
static std::string sOpenFailure;

static void sNoteOpenFailure(const char* call, int code)
{
    std::lock_guard<std::mutex> lock(sOpenFailureMutex);
    sOpenFailure = call ? std::string(call) + ": " + libusb_strerror((libusb_error)code) : "";
}

void qcusb_last_open_failure(char* text, size_t size)
{
    if (!text || size == 0)
        return;
    std::lock_guard<std::mutex> lock(sOpenFailureMutex);
    snprintf(text, size, "%s", sOpenFailure.c_str());
}

void qcusb_set_kernel_node_directory(const char* directory)
{
    std::lock_guard<std::mutex> lock(sNodeDirMutex);
    sNodeDir = directory ? directory : "/dev";
}

void qcusb_kernel_node_path(u32 serial, char* path, size_t size)
{
    std::lock_guard<std::mutex> lock(sNodeDirMutex);
    snprintf(path, size, "%s/quillcore.%08X", sNodeDir.c_str(), serial);
}

static void sNodePathText(const char* serial, char* path, size_t size)
{
    std::lock_guard<std::mutex> lock(sNodeDirMutex);
    snprintf(path, size, "%s/quillcore.%s", sNodeDir.c_str(), serial);
}

bool qcusb_is_kernel_driver_installed(u32 serial)
{
    char path[4096];
    qcusb_kernel_node_path(serial, path, sizeof(path));
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

qcusbDevice* qcusb_create_usb(int mode)
{
    if (mode == QCUSB_MODE_LIBUSB && !Quillcore_libusb_context())
        Quillcore_libusb_init();
    qcusbDevice* d = new (std::nothrow) qcusbDevice();
    if (!d)
        return NULL;
    d->mode = mode;
    d->descriptor = -1;
    d->state = kUSBStateCreated;
    d->next = d->readBuffer;
    return d;
}

aErr qcusb_destroy(qcusbDevice** device)
{
    if (!device || !*device)
        return aErrParam;
    qcusbDevice* d = *device;
    if (d->mode == QCUSB_MODE_LIBUSB && d->handle)
        libusb_close(d->handle);
    delete d;
    *device = NULL;
    return aErrNone;
}

bool is_quillcore_device(libusb_device* device)
{
    struct libusb_device_descriptor desc;
    memset(&desc, 0, sizeof(desc));
    if (!device || libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS)
        return false;
    return desc.idVendor == QCUSB_VENDOR_ID && desc.idProduct < QCUSB_PRODUCT_LIMIT;
}

// The last vendor interface of the first configuration that has both an IN and an OUT
// endpoint of bulk or interrupt type.
static bool find_usb_endpoints(qcusbDevice* d, libusb_device* device)
{
    struct libusb_config_descriptor* config = NULL;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS || !config)
        return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const struct libusb_interface* itf = &config->interface[i];
        for (int a = 0; a < itf->num_altsetting; a++) {
            const struct libusb_interface_descriptor* alt = &itf->altsetting[a];
            if (alt->bInterfaceClass != QCUSB_INTERFACE_CLASS
                || alt->bInterfaceSubClass != QCUSB_INTERFACE_SUBCLASS
                || alt->bInterfaceProtocol != QCUSB_INTERFACE_PROTOCOL)
                continue;
            int in = -1, out = -1;
            for (int e = 0; e < alt->bNumEndpoints; e++) {
                const struct libusb_endpoint_descriptor* ep = &alt->endpoint[e];
                if (!(ep->bmAttributes & 0x2))
                    continue;   // control or isochronous
                if (ep->bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    in = e;
                else
                    out = e;
            }
            if (in < 0 || out < 0)
                continue;
            const struct libusb_endpoint_descriptor* ein = &alt->endpoint[in];
            const struct libusb_endpoint_descriptor* eout = &alt->endpoint[out];
            d->interface = alt->bInterfaceNumber;
            d->inEndpoint = ein->bEndpointAddress;
            d->outEndpoint = eout->bEndpointAddress;
            d->inType = ein->bmAttributes & 0x3;
            d->outType = eout->bmAttributes & 0x3;
            d->inMaxPacket = ein->wMaxPacketSize & 0x7FF;
            found = true;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

// True when the device's serial-number string names this serial. An unreadable string names
// nothing.
static bool sSerialMatches(libusb_device_handle* handle, u8 index, const char* serial)
{
    unsigned char text[QCUSB_SERIAL_STRING_MAX + 1];
    if (index == 0)
        return false;
    int n = libusb_get_string_descriptor_ascii(handle, index, text, QCUSB_SERIAL_STRING_MAX);
    if (n <= 0)
        return false;
    text[n] = '\0';
    return strcasecmp((const char*)text, serial) == 0;
}

void qcusb_port_path(libusb_device* device, aUSBPortPath* path)
{
    memset(path, 0, sizeof(*path));
    if (!device)
        return;
    int n = libusb_get_port_numbers(device, path->ports, aUSB_PORT_PATH_MAX);
    if (n <= 0) {
        memset(path, 0, sizeof(*path));
        return;
    }
    path->bus = libusb_get_bus_number(device);
    path->count = (u8)n;
}

bool qcusb_same_port_path(const aUSBPortPath* a, const aUSBPortPath* b)
{
    return a && b && a->count > 0 && a->count <= aUSB_PORT_PATH_MAX && a->count == b->count
        && a->bus == b->bus && memcmp(a->ports, b->ports, a->count) == 0;
}

static bool sAtPath(libusb_device* device, const aUSBPortPath* path)
{
    aUSBPortPath here;
    qcusb_port_path(device, &here);
    return qcusb_same_port_path(&here, path);
}

// path NULL: any device with the serial.
static aErr qcusb_open_quillcore_USBlib_device(qcusbDevice* d, const char* serial,
                                               const aUSBPortPath* path)
{
    if (d->mode != QCUSB_MODE_LIBUSB)
        return aErrMode;
    if (d->state == 0)
        return aErrResource;
    sNoteOpenFailure(NULL, 0);
    libusb_context* ctx = Quillcore_libusb_context();
    if (!ctx)
        return aErrNotFound;   // libusb did not start: no device can be reached
    libusb_device** list = NULL;
    ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) {
        sNoteOpenFailure("libusb_get_device_list", (int)count);
        return aErrNotFound;
    }
    // A device of the family that cannot be opened may be the one asked for: its serial
    // number cannot be read. Its reason stands when no device matches.
    int openFailure = LIBUSB_SUCCESS;
    aErr err = aErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* device = list[i];
        if (!is_quillcore_device(device) || (path && !sAtPath(device, path)))
            continue;
        struct libusb_device_descriptor desc;
        libusb_get_device_descriptor(device, &desc);
        libusb_device_handle* handle = NULL;
        int opened = libusb_open(device, &handle);
        if (opened != LIBUSB_SUCCESS) {
            openFailure = opened;
            continue;
        }
        if (!sSerialMatches(handle, desc.iSerialNumber, serial)) {
            libusb_close(handle);
            continue;
        }
        snprintf(d->serial, sizeof(d->serial), "%s", serial);
        d->handle = handle;
        d->state = kUSBStateOpened;
        if (!find_usb_endpoints(d, device)) {
            err = aErrConfiguration;
        } else {
            int r = libusb_claim_interface(handle, d->interface);
            if (r == LIBUSB_SUCCESS) {
                d->state = kUSBStateReady;
                d->errorCount = 0;
                d->available = 0;
                d->next = d->readBuffer;
                err = aErrNone;
            } else {
                err = (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_NO_DEVICE) ? aErrBusy
                    : r == LIBUSB_ERROR_ACCESS ? aErrPermission : aErrUnknown;
                sNoteOpenFailure("libusb_claim_interface", r);
            }
        }
        if (err != aErrNone) {
            libusb_close(handle);
            d->handle = NULL;
            d->state = kUSBStateClosed;
            d->interface = d->inEndpoint = d->outEndpoint = 0;
        }
        break;
    }
    if (err == aErrNotFound && openFailure != LIBUSB_SUCCESS)
        sNoteOpenFailure("libusb_open", openFailure);
    libusb_free_device_list(list, 1);
    return err;
}

static aErr qcusb_open_quillcore_kernel_device(qcusbDevice* d, const char* serial)
{
    if (d->mode != QCUSB_MODE_KERNEL)
        return aErrMode;
    snprintf(d->serial, sizeof(d->serial), "%s", serial);
    char path[4096];
    sNodePathText(d->serial, path, sizeof(path));
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    d->descriptor = fd;
    d->available = 0;
    d->next = d->readBuffer;
    return aErrNone;
}

aErr qcusb_open_quillcore_device(qcusbDevice* device, const char* serial)
{
    if (!device || !serial)
        return aErrParam;
    return device->mode == QCUSB_MODE_LIBUSB
        ? qcusb_open_quillcore_USBlib_device(device, serial, NULL)
        : qcusb_open_quillcore_kernel_device(device, serial);
}

// True when libusb sees exactly one device of the family with that serial-number string, and
// it is at path.
static bool sOnlyDeviceAt(const char* serial, const aUSBPortPath* path)
{
    if (!Quillcore_libusb_context())
        Quillcore_libusb_init();
    libusb_context* ctx = Quillcore_libusb_context();
    libusb_device** list = NULL;
    ssize_t count = ctx ? libusb_get_device_list(ctx, &list) : -1;
    if (count < 0)
        return false;
    int matches = 0;
    bool there = false;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* device = list[i];
        if (!is_quillcore_device(device))
            continue;
        struct libusb_device_descriptor desc;
        libusb_get_device_descriptor(device, &desc);
        libusb_device_handle* handle = NULL;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS)
            continue;
        if (sSerialMatches(handle, desc.iSerialNumber, serial)) {
            matches++;
            there = there || sAtPath(device, path);
        }
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return matches == 1 && there;
}

aErr qcusb_open_quillcore_device_at(qcusbDevice* device, const char* serial,
                                    const aUSBPortPath* path)
{
    if (!device || !serial || !path || path->count == 0 || path->count > aUSB_PORT_PATH_MAX)
        return aErrParam;
    if (device->mode == QCUSB_MODE_LIBUSB)
        return qcusb_open_quillcore_USBlib_device(device, serial, path);
    if (device->mode == QCUSB_MODE_KERNEL && !sOnlyDeviceAt(serial, path))
        return aErrNotFound;
    return qcusb_open_quillcore_kernel_device(device, serial);
}

// Short runs of I/O errors read as silence; the fifth in a row fails the device for good.
static aErr _handleErrorTolerance(qcusbDevice* d, aErr err)
{
    if (err != aErrIO) {
        // Every byte served passes here: store only when there is a count to clear, since a
        // sequentially consistent store is a full barrier.
        if (d->errorCount.load(std::memory_order_relaxed) != 0)
            d->errorCount = 0;
        return err;
    }
    u8 before = d->errorCount.load();
    u8 after;
    do {
        after = before == 0xFF ? 0xFF : (u8)(before + 1);   // saturates, never wraps to 0
    } while (!d->errorCount.compare_exchange_weak(before, after));
    if (before < QCUSB_TOLERATED_ERRORS)
        return aErrNone;
    d->state = kUSBStateFailed;
    return aErrIO;
}

static aErr sStateError(int state)
{
    switch (state) {
    case kUSBStateClosed:
        return aErrConnection;
    case kUSBStateCreated:
    case kUSBStateOpened:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

static int sTransfer(libusb_device_handle* h, u8 endpoint, u8 type, u8* data, int length,
                     int* transferred, unsigned timeout)
{
    *transferred = 0;
    return type == LIBUSB_TRANSFER_TYPE_INTERRUPT
        ? libusb_interrupt_transfer(h, endpoint, data, length, transferred, timeout)
        : libusb_bulk_transfer(h, endpoint, data, length, transferred, timeout);
}

static aErr qcusb_write_to_USBlib_device(qcusbDevice* d, const char* data, size_t n)
{
    if (d->mode != QCUSB_MODE_LIBUSB)
        return aErrMode;
    int state = d->state.load();
    if (state != kUSBStateReady) {
        aTRACE(aDEBUG_USB, "libusb WRITE error dev state: %d\n", state);
        return _handleErrorTolerance(d, sStateError(state));
    }

    aErr err = aErrNone;
    size_t sent = 0;
    for (int pass = 0; pass < QCUSB_WRITE_PASSES && sent < n; pass++) {
        u8 chunk[QCUSB_WRITE_CHUNK] = {0};
        int length = (int)(n - sent < QCUSB_WRITE_CHUNK ? n - sent : QCUSB_WRITE_CHUNK);
        memcpy(chunk, data + sent, (size_t)length);
        int done = 0;
        int r = sTransfer(d->handle, d->outEndpoint, d->outType, chunk, length, &done,
                          QCUSB_WRITE_TIMEOUT_MS);
        if (r == LIBUSB_SUCCESS) {
            sent += (size_t)length;
        } else if (r == LIBUSB_ERROR_PIPE) {
            int cleared = libusb_clear_halt(d->handle, d->outEndpoint);
            if (cleared != LIBUSB_SUCCESS) {
                aTRACE(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
                err = aErrIO;
            }
            // Packets before the stall were taken; the rest of the chunk goes on the next pass.
            if (done > 0 && done <= length)
                sent += (size_t)done;
        } else {
            // Bytes the device took stay taken: send only the rest once more.
            if (done < 0 || done > length)
                done = 0;
            if (done == length) {
                sent += (size_t)length;
                continue;
            }
            int more = 0;
            r = sTransfer(d->handle, d->outEndpoint, d->outType, chunk + done, length - done,
                          &more, QCUSB_WRITE_TIMEOUT_MS);
            if (r == LIBUSB_SUCCESS) {
                sent += (size_t)length;
            } else {
                aTRACE(aDEBUG_USB, "libusb WRITE error bulk transfer: %d\n", r);
                if (more < 0 || more > length - done)
                    more = 0;
                sent += (size_t)(done + more);
                err = aErrIO;
            }
        }
    }
    if (sent < n) {
        // Failed transfers count towards the device's failure (an unplugged device must fail
        // even while sync requests keep being written), but bytes that did not go are never
        // reported as sent.
        if (err == aErrIO && _handleErrorTolerance(d, aErrIO) == aErrIO)
            return aErrIO;
        if (err != aErrIO)
            d->errorCount = 0;
        return aErrWrite;
    }
    return _handleErrorTolerance(d, err);
}

static aErr qcusb_get_from_USBlib_device(qcusbDevice* d, char* byte)
{
    if (d->mode != QCUSB_MODE_LIBUSB)
        return aErrMode;
    aErr err = aErrNone;
    if (d->available == 0) {
        int state = d->state.load();
        if (state != kUSBStateReady) {
            aTRACE(aDEBUG_USB, "libusb READ error dev state: %d\n", state);
            err = sStateError(state);
        } else {
            // A whole number of packets: a burst can never bring a packet the buffer has no
            // room for (an overflow loses the transfer).
            int mps = d->inMaxPacket ? d->inMaxPacket : 64;
            int length = QCUSB_READ_BUFFER - QCUSB_READ_BUFFER % mps;
            if (length == 0)
                length = mps;   // one large packet
            // The packet size comes from the device's descriptor: never ask for more than
            // the buffer holds, whatever it claims.
            if (length > (int)sizeof(d->readBuffer))
                length = (int)sizeof(d->readBuffer);
            int got = 0;
            int r = sTransfer(d->handle, d->inEndpoint, d->inType, d->readBuffer, length, &got,
                              QCUSB_READ_TIMEOUT_MS);
            if (got < 0 || got > length)
                got = 0;
            if (r == LIBUSB_SUCCESS || (r == LIBUSB_ERROR_TIMEOUT && got > 0)) {
                d->available = (u32)got;
                d->next = d->readBuffer;
            } else if (r == LIBUSB_ERROR_PIPE) {
                libusb_clear_halt(d->handle, d->inEndpoint);
                err = aErrNotReady;
            } else if (r == LIBUSB_ERROR_TIMEOUT) {
                err = aErrNotReady;
            } else {
                aTRACE(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", r);
                err = aErrIO;
            }
        }
    }
    bool served = false;
    if (err == aErrNone && d->available > 0) {
        *byte = (char)*d->next++;
        d->available--;
        served = true;
    }
    err = _handleErrorTolerance(d, err);
    if (err == aErrNone && !served)
        err = aErrNotReady;
    return err;
}

static aErr qcusb_write_to_kernel_device(qcusbDevice* d, const char* data, size_t n)
{
    if (d->mode != QCUSB_MODE_KERNEL || d->descriptor < 0)
        return aErrMode;
    size_t done = 0;
    for (int i = 0; i < QCUSB_KERNEL_WRITES && done < n; i++) {
        ssize_t w = write(d->descriptor, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return aErrIO;
        }
        done += (size_t)w;
    }
    return done < n ? aErrIO : aErrNone;
}

static aErr qcusb_get_from_kernel_device(qcusbDevice* d, char* byte)
{
    if (d->mode != QCUSB_MODE_KERNEL || d->descriptor < 0)
        return aErrMode;
    // The node hands over what it has queued in one read, so bytes are taken in blocks and
    // served from the read buffer: one system call per block instead of per byte.
    if (d->available == 0) {
        ssize_t r = read(d->descriptor, d->readBuffer, sizeof(d->readBuffer));
        if (r == 0)
            return aErrNotReady;
        if (r < 0)
            return (errno == EFAULT || errno == EAGAIN || errno == EINTR) ? aErrNotReady : aErrIO;
        d->available = (u32)r;
        d->next = d->readBuffer;
    }
    *byte = (char)*d->next++;
    d->available--;
    return aErrNone;
}

aErr qcusb_write_to_device(qcusbDevice* device, const char* data, size_t n)
{
    if (!device || (!data && n))
        return aErrParam;
    return device->mode == QCUSB_MODE_LIBUSB ? qcusb_write_to_USBlib_device(device, data, n)
                                             : qcusb_write_to_kernel_device(device, data, n);
}

aErr qcusb_get_from_device(qcusbDevice* device, char* byte)
{
    if (!device || !byte)
        return aErrParam;
    return device->mode == QCUSB_MODE_LIBUSB ? qcusb_get_from_USBlib_device(device, byte)
                                             : qcusb_get_from_kernel_device(device, byte);
}

static aErr qcusb_close_quillcore_USBlib_device(qcusbDevice* d)
{
    if (d->mode != QCUSB_MODE_LIBUSB || !d->handle)
        return aErrMode;
    libusb_release_interface(d->handle, d->interface);
    libusb_close(d->handle);
    d->handle = NULL;
    d->state = kUSBStateClosed;
    d->interface = d->inEndpoint = d->outEndpoint = 0;
    return aErrNone;
}

static aErr qcusb_close_quillcore_kernel_device(qcusbDevice* d)
{
    if (d->mode != QCUSB_MODE_KERNEL)
        return aErrMode;
    if (d->descriptor < 0)
        return aErrNone;
    if (close(d->descriptor) != 0)
        return aErrCancel;
    d->descriptor = -1;
    d->state = kUSBStateClosed;
    return aErrNone;
}

aErr qcusb_close_quillcore_device(qcusbDevice* device)
{
    if (!device)
        return aErrParam;
    return device->mode == QCUSB_MODE_LIBUSB ? qcusb_close_quillcore_USBlib_device(device)
                                             : qcusb_close_quillcore_kernel_device(device);
}
