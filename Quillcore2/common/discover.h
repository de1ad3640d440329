// Link specifiers (how to reach one device) and discovery of devices over USB and TCP/IP.
#ifndef _discover_H_
#define _discover_H_

#include "aDefs.h"
#include "aError.h"

// Transport of a linkSpec; travels as a u32 in the record.
typedef enum {
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AETHER = 4
} linkType;

// Where a device sits on the USB: its bus and the port numbers from the root hub down, as
// libusb gives them. count 0: no port path could be read.
#define aUSB_PORT_PATH_MAX 7
typedef struct aUSBPortPath {
    u8 bus;
    u8 count;
    u8 ports[aUSB_PORT_PATH_MAX];
} aUSBPortPath;

// 128 bytes, always allocated and copied whole. It also travels byte for byte (host order) in
// the replies of link-sharing servers, so offsets and size are a wire format: see the asserts.
typedef struct linkSpec {
    u32 type;               // linkType
    u32 serialNumber;
    u32 module;             // module address, 0 when unknown
    u32 router;             // address of the router module, 0 when unknown
    u32 routerSerialNumber; // 0 when unknown
    u32 model;
    union {
        struct {
            u32 usbId;      // equal to serialNumber
            aUSBPortPath path;  // filled by discovery; zero from older peers
            // Non-zero: connect only to the device with this serial number at this port path
            // (two devices may answer under one serial number). Zero: any device with it.
            u8 atPath;
        } usb;
        struct {
            u32 ipAddress;  // IPv4, bytes in network order
            u32 ipPort;     // TCP port in the low 16 bits
        } ip;
        struct {
            u32 baudRate;
            char portName[100]; // NUL-terminated device path
        } serial;
    } t;
} linkSpec;

#define aLINKSPEC_SIZE 128

#ifdef __cplusplus
static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, t) == 24, "transport fields start at byte 24");
static_assert(offsetof(linkSpec, t.ip.ipPort) == 28, "ipPort at byte 28");
static_assert(offsetof(linkSpec, t.serial.portName) == 28, "portName at byte 28");
static_assert(offsetof(linkSpec, t.usb.path) == 28 && offsetof(linkSpec, t.usb.atPath) == 37,
              "USB port path at bytes 28 to 37");
#endif

// Discovery callback: linkSpecifier is valid during the call only (copy the 128 bytes to keep it);
// *found is false on entry, set it when the linkSpecifier was taken; return false to stop.
typedef bool (*aDiscoveryProc)(const linkSpec* linkSpecifier, bool* found, void* ref);

#define aDISCOVERY_UDP_GROUP "232.2.2.2"
#define aDISCOVERY_UDP_REQUEST_PORT 9888
#define aDISCOVERY_UDP_REPLY_PORT 9889
#define aDISCOVERY_UDP_DATAGRAM 16
#define aDISCOVERY_UDP_WAIT_MS 2000

// New zeroed linkSpecifier with type set; NULL when memory runs out. Free with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(u32 type);
// New 128-byte copy; NULL for a NULL source or when memory runs out.
linkSpec* aLinkSpec_Copy(const linkSpec* linkSpecifier);
// Frees *linkSpecifier and sets it to NULL; aErrParam when linkSpecifier or *linkSpecifier is NULL.
aErr aLinkSpec_Destroy(linkSpec** linkSpecifier);

// Offers every device reachable over the transport to callback; returns the number of calls
// that set *found (8 bits, wraps past 255). SERIAL and unknown types: 0, no call.
// networkInterface (IPv4, network order) matters only to the AETHER search.
u8 aDiscovery_EnumerateModules(u32 type, aDiscoveryProc callback, void* ref, u32 networkInterface);
// New linkSpecifier of the device with that serial number (caller destroys), or NULL.
linkSpec* aDiscovery_FindModule(u32 type, u32 serialNumber, u32 networkInterface);
// New linkSpecifier of the first device with a non-zero serial number (caller destroys), or NULL.
linkSpec* aDiscovery_FindFirstModule(u32 type, u32 networkInterface);

// Writes up to maximum local IPv4 interface addresses (network order); returns how many.
int aDiscovery_GetIPv4Interfaces(u32* list, int maximum);
// Writes address (network order) as dotted text; returns its length, 0 on failure or when
// length is below 16 (the buffer is then untouched).
int aDiscovery_ConvertIPv4Interface(u32 address, char* buffer, int length);

#endif
