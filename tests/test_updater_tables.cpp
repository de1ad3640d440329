// The device table and the fingerprint line exactly as the console shows them, for records the
// emulated devices cannot easily produce (a TCP/IP device whose queries failed, any transport
// title); standard output is captured while the table prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <unistd.h>

#include "CLI_Display.h"
#include "StdoutCapture.h"
#include "dispatch.h"

namespace {

DeviceInfo sDevice(u32 type, u32 serial, u32 module, u32 router, u32 model, u8 major, u8 minor,
                   u32 patch, u32 build, int error)
{
    DeviceInfo d;
    d.specifier.type = type;
    d.specifier.serialNumber = serial;
    d.specifier.module = module;
    d.specifier.router = router;
    d.specifier.model = model;
    d.major = major;
    d.minor = minor;
    d.patch = patch;
    d.build = build;
    d.error = error;
    return d;
}

DeviceInfo sTcp(u32 serial, const char* address, int error)
{
    DeviceInfo d = sDevice(TCPIP, serial, 6, 0, 5, 2, 11, 7, 4321, error);
    inet_pton(AF_INET, address, &d.specifier.t.ip.ipAddress);
    d.specifier.t.ip.ipPort = 9000;
    return d;
}

const std::string kUsbHeader = "    Device    Module   Router  Model          Firmware Version (Build)\n";
const std::string kIpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";

}  // namespace

TEST(DeviceTable, RowsByTransportAndError)
{
    struct Row {
        const char* what;
        std::vector<DeviceInfo> devices;
        linkType type;
        std::string text;
    };
    const Row rows[] = {
        {"none", {}, USB, "Discovered Devices: (USB)\n    No devices found.\n"},
        {"none, other type", {}, (linkType)0, "Discovered Devices: (Unknown)\n    No devices found.\n"},
        {"USB rows", {sDevice(USB, 0x40F5849A, 6, 0, 4, 1, 2, 3, 1300, 0),
                      sDevice(USB, 0x0BADF00D, 0, 0, 0, 0, 0, 0, 0, 25),
                      sDevice(USB, 0x00000001, 0x1A, 0xFE, 99, 255, 0, 70000, 4294967295u, 0)},
         USB,
         "Discovered Devices: (USB)\n" + kUsbHeader
             + "    40F5849A  06       00      Dorvel         1.2.3 (1300)\n"
               "    0BADF00D  [Error (25): Is someone else connected to this device?]\n"
               "    00000001  1A       FE      Unknown      255.0.70000 (4294967295)\n"},
        // A TCP/IP device is listed with its address even when its queries failed.
        {"TCP/IP rows", {sTcp(0x12345678, "192.168.7.20", 0), sTcp(0x87654321, "10.0.0.1", 18)},
         TCPIP,
         "Discovered Devices: (TCPIP)\n" + kIpHeader
             + "    12345678  06       00      Kaltrin        2.11.7 (4321) [192.168.7.20]\n"
               "    87654321  06       00      Kaltrin        2.11.7 (4321) [10.0.0.1]\n"},
        {"router search title", {sDevice(USB, 0x40F5849A, 8, 2, 4, 1, 2, 3, 1300, 0)}, (linkType)0,
         "Discovered Devices: (Unknown)\n" + kIpHeader
             + "    40F5849A  08       02      Dorvel         1.2.3 (1300)\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CLI_Display display;
        std::vector<DeviceInfo> devices = row.devices;
        qctest::StdoutCapture capture;
        _display_device_list(display, devices, row.type);
        EXPECT_EQ(capture.text(), row.text);
    }
}

TEST(DeviceTable, FingerprintLine)
{
    CLI_Display display;
    Fingerprint fp = {{0x0000001A, 0xDEADBEEF, 0x12345678, 0}};
    qctest::StdoutCapture capture;
    _display_fingerprint(display, fp);
    EXPECT_EQ(capture.text(), "[ 0000001A DEADBEEF 12345678 00000000 ]\n");
}
