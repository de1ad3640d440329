// Link specifiers and the transport-independent half of discovery.
#include "discover.h"

#include <stdlib.h>
#include <string.h>

#include "aMulticast.h"
#include "unix_discovery.h"

linkSpec* aLinkSpec_Create(u32 type)
{
    linkSpec* spec = (linkSpec*)calloc(1, sizeof(linkSpec));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec)
{
    if (!spec)
        return NULL;
    linkSpec* copy = (linkSpec*)malloc(sizeof(linkSpec));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = NULL;
    return aErrNone;
}

// The spec whose serial number equals that of the reference is copied whole into it.
static bool cbSNCallback(const linkSpec* spec, bool* found, void* ref)
{
    linkSpec* wanted = (linkSpec*)ref;
    if (spec->serialNumber != wanted->serialNumber)
        return true;
    memcpy(wanted, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

static bool cbFirstCallback(const linkSpec* spec, bool* found, void* ref)
{
    if (spec->serialNumber == 0)
        return true;
    memcpy(ref, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

u8 aDiscovery_EnumerateModules(u32 type, aDiscoveryProc callback, void* ref, u32 networkInterface)
{
    if (!callback)
        return 0;
    switch (type) {
    case TCPIP:
        return aDiscovery_EnumerateTCPIP(callback, ref);
    case AETHER:
        return aDiscovery_Enumerate_aEtherModules(callback, ref, networkInterface);
    default:
        // USB enumeration comes with the USB driver.
        return 0;
    }
}

static linkSpec* sFind(u32 type, u32 networkInterface, aDiscoveryProc callback, u32 serial)
{
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec)
        return NULL;
    spec->serialNumber = serial;
    if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

linkSpec* aDiscovery_FindModule(u32 type, u32 serialNumber, u32 networkInterface)
{
    return sFind(type, networkInterface, cbSNCallback, serialNumber);
}

linkSpec* aDiscovery_FindFirstModule(u32 type, u32 networkInterface)
{
    return sFind(type, networkInterface, cbFirstCallback, 0);
}
