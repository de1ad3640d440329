#include "dispatch.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "CLI_Display.h"
#include "UpdateServerRequest.h"
#include "Usage.h"
#include "aDefs.h"

static const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
static const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint)
{
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.word[0], fingerprint.word[1],
                    fingerprint.word[2], fingerprint.word[3]);
}

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& devices, linkType type)
{
    const char* name = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
    display.message(INFO, "Discovered Devices: (%s)", name);
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version (Build)");
    else
        display.message(INFO, "    Device    Module   Router  Model          "
                              "Firmware Version (Build)   [IP address]");
    for (const DeviceInfo& device : devices) {
        const linkSpec& linkSpecifier = device.spec;
        const char* model = aDefs_GetModelName(linkSpecifier.model);
        if (!model)
            model = "";
        if (linkSpecifier.type == TCPIP) {
            const unsigned char* ip = (const unsigned char*)&linkSpecifier.t.ip.ipAddress;
            char address[32];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s",
                            linkSpecifier.serialNumber, linkSpecifier.module, linkSpecifier.router, model, device.major,
                            device.minor, device.patch, device.build, address);
        } else if (device.error != 0) {
            display.message(INFO, "    %08X  [Error (%d): Is someone else connected to this device?]",
                            linkSpecifier.serialNumber, device.error);
        } else {
            display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)",
                            linkSpecifier.serialNumber, linkSpecifier.module, linkSpecifier.router, model, device.major,
                            device.minor, device.patch, device.build);
        }
    }
}

void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned int serialNumber)
{
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(INFO, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

// -b as the update takes it: its low 32 bits, 0 (no build given) when it holds no number.
static unsigned int _build_number(const std::string& text)
{
    try {
        return (unsigned int)std::stoul(text, nullptr, 10);
    } catch (const std::logic_error&) {
        return 0;
    }
}

int run_commands(Parameters& parameters, CLI_Display& display)
{
    int status = 0;
    Updater updater(parameters.serverUrl.c_str(), parameters.storeRoot.c_str(), display);

    if (parameters.commands.IsSet(CMD_FINGERPRINT)) {
        if (parameters.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        memset(&fingerprint, 0, sizeof fingerprint);
        if (updater.Get_Fingerprint(fingerprint, parameters.serialPort, 0xDEADDEAD,
                                    parameters.birdFile, parameters.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(ERROR, "Got no response from chip");
            status = 1;
        }
    }

    if (parameters.commands.IsSet(CMD_GET_BUILD)) {
        if (parameters.serialNumber == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X",
                        parameters.serialNumber);
        if (parameters.build.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", parameters.build.c_str());
        }
        unsigned int stored = updater.Download_Firmware(parameters.serialNumber, parameters.build,
                                                        parameters.override, false);
        if (stored != 0) {
            // A following update installs exactly the build just stored.
            parameters.build = std::to_string(stored);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (parameters.commands.IsSet(CMD_DISCOVER)) {
        // -t RECOVER names no transport to search.
        linkType type = (linkType)0;
        if (parameters.transportGiven && parameters.transport != TRANSPORT_RECOVER)
            type = (linkType)parameters.transport;
        if (parameters.routerSerialNumber != 0) {
            display.message(INFO, "Searching for Quillcore Network devices connected to %08X",
                            parameters.routerSerialNumber);
            std::vector<DeviceInfo> devices =
                updater.Discover_QCNetwork_Devices(parameters.routerSerialNumber, type);
            _display_device_list(display, devices, type);
        } else {
            display.message(INFO, "Searching for Quillcore devices");
            if (type == 0)
                type = USB;
            std::vector<DeviceInfo> devices = updater.Discover_Devices(type);
            _display_device_list(display, devices, type);
        }
        return 0;
    }

    if (parameters.commands.IsSet(CMD_UPDATE)) {
        // The build both operations take; 0 lets them choose one.
        unsigned int build = _build_number(parameters.build);
        if (parameters.transport == TRANSPORT_RECOVER)
            return updater.Recover_Firmware(parameters.serialPort, build, parameters.baudRate,
                                            parameters.serialNumber, parameters.birdFile,
                                            parameters.override)
                       ? 0
                       : 1;
        if (parameters.serialNumber == 0) {
            display.message(ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        return updater.Update_Firmware(parameters.serialNumber, build, parameters.birdFile,
                                       parameters.moduleAddress, parameters.routerSerialNumber,
                                       parameters.override)
                   ? 0
                   : 1;
    }

    if (parameters.commands.IsSet(CMD_LIST_BUILDS)) {
        if (parameters.serialNumber == 0) {
            display.message(ERROR, "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        std::map<std::string, std::string> builds = updater.Get_BuildList(parameters.serialNumber);
        _display_builds(display, builds, parameters.serialNumber);
        return 0;
    }

    if (parameters.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (parameters.serialNumber == 0) {
            display.message(ERROR,
                            "Error must supply a serial number for the List Local Builds command");
            _display_usage(false, false);
            return 1;
        }
        std::map<std::string, std::string> builds =
            updater.Get_BuildListLocal(parameters.serialNumber);
        _display_builds(display, builds, parameters.serialNumber);
        return 0;
    }

    return status;
}
