// libFuzzer target: one TCP/IP discovery reply, as the search takes it from the socket (at
// most 16 bytes; the rest of the input is the sender's address), turned into a link
// specifier and handed on the way the updater does: copied, stored in a Link and printed in
// the device table. A datagram too short to name a module is refused and leaves the record
// alone; an accepted one fills exactly the fields the reply carries and zeroes the rest.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "CLI_Display.h"
#include "Link.h"
#include "Updater.h"
#include "dispatch.h"
#include "unix_discovery.h"

using Velmoran::Quillcore::Link;

static CLI_Display* sDisplay()
{
    static CLI_Display* display = [] {
        // The table goes to standard output; the fuzzer's own report is on standard error.
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            close(null);
        }
        return new CLI_Display();
    }();
    return display;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    CLI_Display* display = sDisplay();
    size_t n = data[0] % (aDISCOVERY_UDP_DATAGRAM + 1);
    if (size - 1 < n)
        n = size - 1;
    const uint8_t* datagram = data + 1;
    u32 sender = 0x0100007F;
    if (size - 1 - n >= 4)
        memcpy(&sender, datagram + n, 4);
    // An exact-sized copy, so a read past the datagram is caught.
    std::unique_ptr<u8[]> reply(new u8[n ? n : 1]);
    memcpy(reply.get(), datagram, n);

    linkSpec linkSpecifier;
    memset(&linkSpecifier, 0xA5, sizeof linkSpecifier);
    bool got = aDiscovery_ParseTCPIPReply(reply.get(), n, sender, &linkSpecifier);
    if (n < 8) {
        linkSpec untouched;
        memset(&untouched, 0xA5, sizeof untouched);
        if (got || memcmp(&linkSpecifier, &untouched, sizeof linkSpecifier) != 0)
            abort();
        return 0;
    }
    if (!got)
        abort();
    u32 serial = (u32)reply[4] | ((u32)reply[5] << 8) | ((u32)reply[6] << 16) | ((u32)reply[7] << 24);
    if (linkSpecifier.type != TCPIP || linkSpecifier.module != reply[1] || linkSpecifier.router != reply[1]
        || linkSpecifier.serialNumber != serial || linkSpecifier.routerSerialNumber != serial
        || linkSpecifier.t.ip.ipPort != ((u32)reply[2] | ((u32)reply[3] << 8))
        || linkSpecifier.t.ip.ipAddress != sender || linkSpecifier.model != (n >= 13 ? reply[12] : 255u))
        abort();
    const u8* tail = (const u8*)&linkSpecifier + offsetof(linkSpec, t.ip.ipPort) + sizeof(u32);
    for (const u8* at = tail; at < (const u8*)&linkSpecifier + sizeof linkSpecifier; at++)
        if (*at != 0)
            abort();

    linkSpec* copy = aLinkSpec_Copy(&linkSpecifier);
    if (!copy || memcmp(copy, &linkSpecifier, sizeof linkSpecifier) != 0)
        abort();
    aLinkSpec_Destroy(&copy);
    if (copy)
        abort();

    {
        Link link(linkSpecifier, "discovered");
        linkSpec stored;
        memset(&stored, 0, sizeof stored);
        if (link.getLinkSpecifier(&stored) != aErrNone || memcmp(&stored, &linkSpecifier, sizeof linkSpecifier) != 0)
            abort();
    }

    std::vector<DeviceInfo> devices(1);
    memcpy(&devices[0].specifier, &linkSpecifier, sizeof linkSpecifier);
    _display_device_list(*display, devices, TCPIP);
    return 0;
}
