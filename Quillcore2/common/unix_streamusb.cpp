// USB stream over the USB driver.
#include "unix_streamusb.h"

#include <stdio.h>
#include <stdlib.h>

static bool aVALIDUSBS(const aUSBStream* s)
{
    return s != NULL && s->check == aUSBSTREAMCHECK;
}

static aErr sUSBStreamGet(char* byte, void* ref)
{
    aUSBStream* s = (aUSBStream*)ref;
    if (!aVALIDUSBS(s))
        return aErrParam;
    return qcusb_get_from_device(s->device, byte);
}

static aErr sUSBStreamWrite(const char* data, size_t n, void* ref)
{
    aUSBStream* s = (aUSBStream*)ref;
    if (!aVALIDUSBS(s))
        return aErrParam;
    return qcusb_write_to_device(s->device, data, n);
}

static aErr sUSBStreamPut(const char* byte, void* ref)
{
    return sUSBStreamWrite(byte, 1, ref);
}

static aErr sUSBStreamDelete(void* ref)
{
    aUSBStream* s = (aUSBStream*)ref;
    if (!aVALIDUSBS(s))
        return aErrParam;
    aErr err = qcusb_close_quillcore_device(s->device);
    if (err != aErrNone)
        return err;
    qcusb_destroy(&s->device);
    s->check = 0;
    free(s);
    return aErrNone;
}

// path NULL: any device with the serial.
static aErr sCreateUSB(u32 serial, const aUSBPortPath* path, aStream** stream)
{
    if (!stream)
        return aErrParam;
    *stream = NULL;
    // Decided before anything else, so that a module behind its kernel driver never makes
    // the libusb context.
    const bool kernel = qcusb_is_kernel_driver_installed(serial);
    if (serial == 0)
        return aErrParam;
    aUSBStream* s = (aUSBStream*)calloc(1, sizeof(aUSBStream));
    if (!s)
        return aErrMemory;
    s->serial = serial;
    s->check = aUSBSTREAMCHECK;
    s->device = qcusb_create_usb(kernel ? QCUSB_MODE_KERNEL : QCUSB_MODE_LIBUSB);
    if (!s->device) {
        free(s);
        return aErrResource;
    }
    char text[9];
    snprintf(text, sizeof(text), "%08X", serial);
    aErr err = path ? qcusb_open_quillcore_device_at(s->device, text, path)
                    : qcusb_open_quillcore_device(s->device, text);
    if (err != aErrNone) {
        qcusb_destroy(&s->device);
        free(s);
        return err;
    }
    aStream* st = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, s);
    if (!st) {
        qcusb_close_quillcore_device(s->device);
        qcusb_destroy(&s->device);
        free(s);
        return aErrMemory;
    }
    *stream = st;
    return aErrNone;
}

aErr aStream_CreateUSB(u32 serial, aStream** stream)
{
    return sCreateUSB(serial, NULL, stream);
}

aErr aStream_CreateUSBAt(u32 serial, const aUSBPortPath* path, aStream** stream)
{
    if (!path) {
        if (stream)
            *stream = NULL;
        return aErrParam;
    }
    return sCreateUSB(serial, path, stream);
}
