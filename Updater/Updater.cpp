#include "Updater.h"

#include <cstring>
#include <stdexcept>

#include "Module.h"
#include "UpdaterStore.h"
#include "qcusb_driver.h"

DeviceInfo::DeviceInfo()
    : moduleAddress(0), build(0), major(0), minor(0), patch(0), error(0)
{
    memset(&specifier, 0, sizeof specifier);
}

Updater::Updater(const char* url, const char* dir, UpdaterDisplayInterface& sink)
    : serverUrl(url ? url : ""), storeDir(dir ? dir : ""), display(&sink), chipType(0)
{
}

Updater::~Updater() = default;

void _display_reason(UpdaterDisplayInterface& display, const std::string& why)
{
    if (!why.empty())
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "  %s", why.c_str());
}

std::string _usb_open_failure()
{
    char text[256];
    qcusb_last_open_failure(text, sizeof text);
    return text;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDir,
                                                  const char* caller)
{
    try {
        return std::unique_ptr<UpdaterStore>(new UpdaterStore(storeDir.c_str()));
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
        return nullptr;
    }
}

aErr _disableEther(Velmoran::Quillcore::Module& module, UpdaterDisplayInterface& display)
{
    Velmoran::Quillcore::aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    return err;
}
