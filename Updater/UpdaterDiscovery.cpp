// Discovery for the console: the modules reached directly over USB or TCP/IP, and those on
// the module network behind a routing module, each with the version and build it runs.
#include <cstring>
#include <utility>

#include <arpa/inet.h>

#include "I2CClass.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aDefs.h"
#include "aVersion.h"

using Velmoran::Quillcore::I2CClass;
using Velmoran::Quillcore::Module;
using Velmoran::Quillcore::SystemClass;

// Only the search for link-sharing servers reads the interface; the updater never starts one.
static u32 sLoopback() { return htonl(INADDR_LOOPBACK); }

static const char* sModelName(u32 model)
{
    const char* name = aDefs_GetModelName(model);
    return name ? name : "";
}

static bool _discovered_device(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    std::vector<DeviceInfo>* devices = static_cast<std::vector<DeviceInfo>*>(ref);
    DeviceInfo info;
    memcpy(&info.specifier, linkSpecifier, sizeof info.specifier);
    devices->push_back(std::move(info));
    *found = true;
    return true;
}

// The firmware build number from the module's entity information; 0 when it does not answer
// or its reply is not the 6 bytes [0x49 0xFF B3 B2 B1 B0].
static unsigned int _get_build_number(Module& module)
{
    Velmoran::Quillcore::Link* link = module.getLink();
    if (!link)
        return 0;
    u8 address = module.getModuleAddress();
    const u8 match[2] = {cmdENTITYINFO, val_ENTITY_BUILD_NUMBER};
    // Behind a router every module answers on one link, and the reply is matched by its bytes
    // alone: a late answer to an earlier module's query would pass for this module's build.
    link->dropPackets(match, sizeof match);
    const u8 request = val_ENTITY_BUILD_NUMBER;
    if (link->sendPacket(address, cmdENTITYINFO, 1, &request) != aErrNone)
        return 0;
    u8 length = sizeof match;
    u8 reply[28];
    if (link->receivePacket(address, match, &length, reply) != aErrNone)
        return 0;
    if (length != 6)
        return 0;
    return ((unsigned int)reply[2] << 24) | ((unsigned int)reply[3] << 16)
        | ((unsigned int)reply[4] << 8) | (unsigned int)reply[5];
}

// Version, module address and router address through the system entity; the first error ends
// the queries and is returned, the fields read before it stay.
static aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    unsigned int packed = 0;
    aErr err = system.getVersion(&packed);
    if (err != aErrNone)
        return err;
    info.major = aVersion_ParseMajor(packed);
    info.minor = aVersion_ParseMinor(packed);
    info.patch = aVersion_ParsePatch(packed);
    unsigned char value = 0;
    err = system.getModule(&value);
    if (err != aErrNone)
        return err;
    info.specifier.module = value;
    err = system.getRouter(&value);
    if (err != aErrNone)
        return err;
    info.specifier.router = value;
    return aErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType transport)
{
    std::vector<DeviceInfo> devices;
    const linkType both[] = {USB, TCPIP};
    const linkType* types = transport == 0 ? both : &transport;
    size_t count = transport == 0 ? 2 : 1;
    for (size_t i = 0; i < count; ++i)
        aDiscovery_EnumerateModules(types[i], _discovered_device, &devices, sLoopback());

    for (DeviceInfo& device : devices) {
        device.modelName = sModelName(device.specifier.model);
        // Auto-networking on: the module's real address is adopted once connected.
        Module module(2, 0);
        if (_disableEther(module, *display) != aErrNone)
            continue;
        aErr err = module.connectFromSpec(device.specifier);
        if (err != aErrNone) {
            device.error = err;
        } else {
            device.build = _get_build_number(module);
            device.error = _get_version(module, device);
        }
        module.disconnect();
    }
    return devices;
}

static bool _discovered_link(const linkSpec* linkSpecifier, bool* found, void* ref)
{
    std::pair<unsigned int, linkType>* sought = static_cast<std::pair<unsigned int, linkType>*>(ref);
    *found = true;
    if (linkSpecifier->serialNumber != sought->first)
        return true;
    Log::log(DEBUG_Network2, "NETWORK: Found device [%08X] via link type [%d]\n",
             linkSpecifier->serialNumber, (int)linkSpecifier->type);
    sought->second = (linkType)linkSpecifier->type;
    return false;
}

static linkType _discover_link_type(unsigned int serial)
{
    std::pair<unsigned int, linkType> sought(serial, (linkType)0);
    aDiscovery_EnumerateModules(USB, _discovered_link, &sought, sLoopback());
    if (sought.second == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &sought, sLoopback());
    return sought.second;
}

// Connects the router module and has it route the module network's traffic to this host
// (through linkSystem, bound here); false, with the router let go again, when either fails.
static bool _route_to_me(UpdaterDisplayInterface& display, Module& linkModule,
                         const linkSpec& routerSpec, SystemClass& linkSystem)
{
    aErr err = _disableEther(linkModule, display);
    if (err == aErrNone) {
        err = linkModule.connectFromSpec(routerSpec);
        if (err != aErrNone)
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec",
                            err);
    }
    if (err != aErrNone)
        return false;
    linkSystem.init(&linkModule, 0);
    err = linkSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", err);
        linkModule.disconnect();
        return false;
    }
    return true;
}

// The module at one address of the module network, as base (the router's part of the
// specifier) completed by the module's own answers; false when no module answers there.
static bool _network_device(UpdaterDisplayInterface& display, Module& linkModule,
                            I2CClass& bus, unsigned int address, const DeviceInfo& base,
                            DeviceInfo& info)
{
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    // An empty address costs one I2C exchange, not a connect and its time-outs.
    const unsigned char probe[2] = {0, 0};
    if (bus.write((unsigned char)address, 2, probe) != aErrNone)
        return false;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module((unsigned char)address, false, 0);
    _disableEther(module, display);
    if (module.connectThroughLinkModule(&linkModule) != aErrNone)
        return false;
    SystemClass system;
    system.init(&module, 0);
    unsigned int serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    info = base;
    info.specifier.serialNumber = serial;
    info.moduleAddress = (unsigned short)address;
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    unsigned char model = 0;
    aErr err = system.getModel(&model);
    if (err != aErrNone) {
        info.error = err;
    } else {
        info.specifier.model = model;
        info.modelName = sModelName(model);
    }
    module.disconnect();
    return true;
}

std::vector<DeviceInfo> Updater::Discover_QCNetwork_Devices(unsigned int router,
                                                            linkType transport)
{
    std::vector<DeviceInfo> devices;
    if (transport == 0)
        transport = _discover_link_type(router);
    if (transport == 0)
        return devices;
    linkSpec* routerSpec = aDiscovery_FindModule(transport, router, sLoopback());
    if (!routerSpec)
        return devices;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module linkModule(2, 0);
    SystemClass linkSystem;
    if (!_route_to_me(*display, linkModule, *routerSpec, linkSystem)) {
        aLinkSpec_Destroy(&routerSpec);
        return devices;
    }

    I2CClass bus;
    bus.init(&linkModule, 0);
    bus.setSpeed(3);
    const unsigned char own = linkModule.getModuleAddress();
    DeviceInfo base;
    memcpy(&base.specifier.t, &routerSpec->t, sizeof base.specifier.t);
    base.specifier.type = transport;
    base.specifier.router = own;
    base.specifier.routerSerialNumber = router;
    // Every even address up to 252; above it the module network reserves the addresses.
    for (unsigned int address = 2; address <= 252; address += 2) {
        DeviceInfo info;
        if (address != own && _network_device(*display, linkModule, bus, address, base, info))
            devices.push_back(std::move(info));
    }

    // The router passes the module network's traffic to this host only while it is probed.
    linkSystem.routeToMe(0);
    linkModule.disconnect();
    aLinkSpec_Destroy(&routerSpec);
    return devices;
}
