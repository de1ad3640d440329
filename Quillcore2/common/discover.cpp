// Link specifiers and the transport-independent half of discovery.
#include "discover.h"

#include <stdlib.h>
#include <string.h>

#include "Quillcore-C.h"
#include "aDebug.h"
#include "aMulticast.h"
#include "qcusb_driver.h"
#include "unix_discovery.h"

#define sSERIAL_TEXT 32

linkSpec* aLinkSpec_Create(u32 type)
{
    linkSpec* linkSpecifier = (linkSpec*)calloc(1, sizeof(linkSpec));
    if (linkSpecifier)
        linkSpecifier->type = type;
    return linkSpecifier;
}

linkSpec* aLinkSpec_Copy(const linkSpec* linkSpecifier)
{
    if (!linkSpecifier)
        return NULL;
    linkSpec* copy = (linkSpec*)malloc(sizeof(linkSpec));
    if (copy)
        memcpy(copy, linkSpecifier, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** linkSpecifier)
{
    if (!linkSpecifier || !*linkSpecifier)
        return aErrParam;
    free(*linkSpecifier);
    *linkSpecifier = NULL;
    return aErrNone;
}

// The linkSpecifier whose serial number equals that of the reference is copied whole into it.
static bool cbSNCallback(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    linkSpec* wanted = (linkSpec*)ref;
    if (linkSpecifier->serialNumber != wanted->serialNumber)
        return true;
    memcpy(wanted, linkSpecifier, sizeof(linkSpec));
    *found = true;
    return false;
}

static bool cbFirstCallback(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    if (linkSpecifier->serialNumber == 0)
        return true;
    memcpy(ref, linkSpecifier, sizeof(linkSpec));
    *found = true;
    return false;
}

// The serial number of an open device: its serial-number string must be exactly eight hex
// digits (either case); an unreadable or other string names no device of ours.
static bool sReadSerial(libusb_device_handle* handle, u8 index, u32* serial)
{
    unsigned char text[sSERIAL_TEXT];
    memset(text, 0, sizeof(text));
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text) - 1);
    if (n != 8)
        return false;
    u32 value = 0;
    for (int i = 0; i < 8; i++) {
        int c = text[i], digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = (value << 4) | (u32)digit;
    }
    *serial = value;
    return true;
}

static u8 sEnumerateUSB(aDiscoveryProc callback, void* ref)
{
    if (!Quillcore_libusb_context())
        Quillcore_libusb_init();
    libusb_context* context = Quillcore_libusb_context();
    if (!context)
        return 0; // libusb could not start: nothing to enumerate, and no call on a NULL context
    libusb_device** list = NULL;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0 || !list)
        return 0;
    u8 taken = 0;
    bool more = true;
    for (ssize_t i = 0; i < count && more; i++) {
        libusb_device* device = list[i];
        if (!is_quillcore_device(device))
            continue;
        libusb_device_handle* handle = NULL;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS || !handle)
            continue;
        struct libusb_device_descriptor desc;
        memset(&desc, 0, sizeof(desc));
        u32 serial = 0;
        if (libusb_get_device_descriptor(device, &desc) == LIBUSB_SUCCESS
            && sReadSerial(handle, desc.iSerialNumber, &serial)) {
            linkSpec* linkSpecifier = aLinkSpec_Create(USB);
            if (linkSpecifier) {
                linkSpecifier->serialNumber = serial;
                linkSpecifier->t.usb.usbId = serial;
                qcusb_port_path(device, &linkSpecifier->t.usb.path);
                linkSpecifier->model = desc.idProduct & 0xFF;
                aTRACE(aDEBUG_DISCOVERY, "Got NEW linkSpec(usb): SN: 0x%08X - Model: %d\n",
                       serial, (int)linkSpecifier->model);
                bool found = false;
                more = callback(linkSpecifier, &found, ref);
                if (found)
                    taken++;
                aLinkSpec_Destroy(&linkSpecifier);
            }
        }
        libusb_close(handle);
    }
    libusb_free_device_list(list, 1);
    return taken;
}

u8 aDiscovery_EnumerateModules(u32 type, aDiscoveryProc callback, void* ref, u32 networkInterface)
{
    if (!callback)
        return 0;
    switch (type) {
    case USB:
        return sEnumerateUSB(callback, ref);
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, ref);
    case AETHER:
        return aDiscovery_Enumerate_aEtherModules(callback, ref, networkInterface);
    default:
        // SERIAL ports are named, not searched.
        return 0;
    }
}

static linkSpec* sFind(u32 type, u32 networkInterface, aDiscoveryProc callback, u32 serial)
{
    linkSpec* linkSpecifier = aLinkSpec_Create(type);
    if (!linkSpecifier)
        return NULL;
    linkSpecifier->serialNumber = serial;
    if (aDiscovery_EnumerateModules(type, callback, linkSpecifier, networkInterface) == 0)
        aLinkSpec_Destroy(&linkSpecifier);
    return linkSpecifier;
}

linkSpec* aDiscovery_FindModule(u32 type, u32 serialNumber, u32 networkInterface)
{
    return sFind(type, networkInterface, cbSNCallback, serialNumber);
}

linkSpec* aDiscovery_FindFirstModule(u32 type, u32 networkInterface)
{
    return sFind(type, networkInterface, cbFirstCallback, 0);
}
