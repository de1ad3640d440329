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
        const linkSpec& linkSpecifier = device.specifier;
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

// -b (checked to fit 32 bits by the parse) or -G's build as a number; 0 (no build given) when
// empty.
static unsigned int _build_number(const std::string& text)
{
    try {
        return (unsigned int)std::stoul(text, nullptr, 10);
    } catch (const std::logic_error&) {
        return 0;
    }
}

namespace {

// What every command's handler works with.
struct Run {
    Parameters& parameters;
    CLI_Display& display;
    Updater& updater;
    bool getFailed;  // -G ran and stored nothing
};

// A handler sets status to 1 when its command fails and leaves it alone otherwise, so a run
// exits 1 when any of its commands failed. It returns true when the run ends with that status,
// false when the next command set follows.
typedef bool (*Handler)(Run& run, int& status);

bool runFingerprint(Run& run, int& status)
{
    Parameters& parameters = run.parameters;
    if (parameters.serialPort.empty()) {
        run.display.message(ERROR, "Must specify the serial port used for connecting");
        status = 1;
        return true;
    }
    Fingerprint fingerprint{};
    if (run.updater.Get_Fingerprint(fingerprint, parameters.serialPort, 0xDEADDEAD,
                                    parameters.birdFile, parameters.baudRate, true)) {
        _display_fingerprint(run.display, fingerprint);
    } else {
        run.display.message(ERROR, "Got no response from chip");
        _display_reason(run.display, run.updater.probeFailure);
        status = 1;
    }
    return false;
}

bool runGetBuild(Run& run, int& status)
{
    Parameters& parameters = run.parameters;
    CLI_Display& display = run.display;
    if (parameters.serialNumber == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        status = 1;
        return true;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    parameters.serialNumber);
    if (parameters.build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", parameters.build.c_str());
    }
    unsigned int stored = run.updater.Download_Firmware(parameters.serialNumber, parameters.build,
                                                        parameters.override, false);
    // A following update installs exactly the build just stored, and none when nothing was.
    if (stored != 0) {
        parameters.build = std::to_string(stored);
    } else {
        run.getFailed = true;
        status = 1;
    }
    return false;
}

// A search that finds nothing is no failure: the status stays what -N and -G left.
bool runDiscover(Run& run, int&)
{
    Parameters& parameters = run.parameters;
    linkType type = _discover_transport(parameters.transportGiven, parameters.transport,
                                        parameters.routerSerialNumber);
    if (parameters.routerSerialNumber != 0) {
        run.display.message(INFO, "Searching for Quillcore Network devices connected to %08X",
                            parameters.routerSerialNumber);
        std::vector<DeviceInfo> devices =
            run.updater.Discover_QCNetwork_Devices(parameters.routerSerialNumber, type);
        _display_device_list(run.display, devices, type);
    } else {
        run.display.message(INFO, "Searching for Quillcore devices");
        std::vector<DeviceInfo> devices = run.updater.Discover_Devices(type);
        _display_device_list(run.display, devices, type);
    }
    return true;
}

bool runUpdate(Run& run, int& status)
{
    Parameters& parameters = run.parameters;
    // The download's error lines say why: an update now would install an older stored build
    // in place of the one asked for.
    if (run.getFailed)
        return true;
    // The build both operations take; 0 lets them choose one.
    unsigned int build = _build_number(parameters.build);
    bool ok;
    if (parameters.transport == TRANSPORT_RECOVER) {
        ok = run.updater.Recover_Firmware(parameters.serialPort, build, parameters.baudRate,
                                          parameters.serialNumber, parameters.birdFile,
                                          parameters.override);
    } else if (parameters.serialNumber == 0) {
        run.display.message(ERROR, "Must specify the specific device to be updated");
        ok = false;
    } else {
        ok = run.updater.Update_Firmware(parameters.serialNumber, build, parameters.birdFile,
                                         parameters.moduleAddress, parameters.routerSerialNumber,
                                         parameters.override);
    }
    if (!ok)
        status = 1;
    return true;
}

// The server's list, or the store's, for one device; command names the list in the error line.
bool runListBuilds(Run& run, int& status, bool local, const char* command)
{
    unsigned int serial = run.parameters.serialNumber;
    if (serial == 0) {
        run.display.message(ERROR, "Error must supply a serial number for the %s command",
                            command);
        _display_usage(false, false);
        status = 1;
        return true;
    }
    bool failed = false;
    std::map<std::string, std::string> builds =
        local ? run.updater.Get_BuildListLocal(serial) : run.updater.Get_BuildList(serial, &failed);
    // A query that failed has printed its error lines; "No builds found" would claim the
    // server answered an empty list.
    if (failed) {
        status = 1;
        return true;
    }
    _display_builds(run.display, builds, serial);
    return true;
}

bool runServerBuilds(Run& run, int& status)
{
    return runListBuilds(run, status, false, "List Builds");
}

bool runLocalBuilds(Run& run, int& status)
{
    return runListBuilds(run, status, true, "List Local Builds");
}

// The commands in the order they run; the first handler that ends the run ends it.
const struct {
    uint32_t command;
    Handler handler;
} sCommands[] = {
    {CMD_FINGERPRINT, runFingerprint}, {CMD_GET_BUILD, runGetBuild},
    {CMD_DISCOVER, runDiscover},       {CMD_UPDATE, runUpdate},
    {CMD_LIST_BUILDS, runServerBuilds}, {CMD_LIST_LOCAL_BUILDS, runLocalBuilds},
};

}  // namespace

linkType _discover_transport(bool transportGiven, uint32_t transport, unsigned int router)
{
    // -t RECOVER names no transport to search.
    linkType type = (linkType)0;
    if (transportGiven && transport != TRANSPORT_RECOVER)
        type = (linkType)transport;
    // Directly, with no transport named, the search is on USB; behind a router 0 lets the
    // router be looked for on USB, then TCP/IP.
    if (router == 0 && type == 0)
        type = USB;
    return type;
}

int run_commands(Parameters& parameters, CLI_Display& display)
{
    int status = 0;
    Updater updater(parameters.serverUrl.c_str(), parameters.storeRoot.c_str(), display);
    Run run{parameters, display, updater, false};
    for (const auto& command : sCommands)
        if (parameters.commands.IsSet(command.command) && command.handler(run, status))
            return status;
    return status;
}
