// Shared by the UPGRADE tests: an emulated module on loopback TCP with a connected Module, a
// display that records what it is asked to show, and the log captured to a file.
#ifndef _upgrade_support_H_
#define _upgrade_support_H_

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "discover.h"
#include "module_emu/UpgradeModule.h"

namespace upgradetest {

using module_emu::UpgradeModule;
using module_emu::UpgradeModuleConfig;

struct RecordingDisplay : public UpdaterDisplayInterface {
    std::vector<double> progress;
    std::vector<bool> progressShown;   // display_progress calls
    std::vector<bool> spinner;         // update_spinner calls
    std::vector<std::string> info, errors;
    void display_progress(bool started) override { progressShown.push_back(started); }
    void update_progress(double fraction, char const*) override { progress.push_back(fraction); }
    void update_spinner(bool active, char const*) override { spinner.push_back(active); }
    void info_message(char const* text) override { info.push_back(text); }
    void error_message(char const* text) override { errors.push_back(text); }
};

inline u32 ipOf(const std::string& text)
{
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a.s_addr;
}

// The emulated module's defaults, listening on that loopback address.
inline UpgradeModuleConfig configAt(const char* ip)
{
    UpgradeModuleConfig cfg;
    cfg.ip = ip;
    return cfg;
}

// An emulated module (no network search) and a Module connected to it over TCP.
struct Rig {
    std::unique_ptr<UpgradeModule> emu;
    std::unique_ptr<Velmoran::Quillcore::Module> module;
    UpgradeModuleConfig config;

    explicit Rig(UpgradeModuleConfig cfg = UpgradeModuleConfig()) : config(cfg)
    {
        config.discovery = false;
        emu.reset(new UpgradeModule(config));
        std::string why;
        started = emu->start(&why);
        EXPECT_TRUE(started) << why;
        module.reset(new Velmoran::Quillcore::Module(config.identity.address, 0));
        Velmoran::Quillcore::aEtherConfig ether;
        ether.enabled = false;
        ether.fallback = false;
        module->setConfig(ether);
        linkSpec linkSpecifier{};
        linkSpecifier.type = TCPIP;
        linkSpecifier.serialNumber = config.identity.serialNumber;
        linkSpecifier.module = config.identity.address;
        linkSpecifier.model = config.identity.model;
        linkSpecifier.t.ip.ipAddress = ipOf(config.ip);
        linkSpecifier.t.ip.ipPort = emu->port();
        if (started)
            connected = module->connectFromSpec(linkSpecifier) == aErrNone;
        EXPECT_TRUE(connected);
    }
    ~Rig()
    {
        module.reset();  // the host lets go first, then the device goes
        emu.reset();
    }
    module_emu::UpgradeDevice& device(size_t i = 0) { return emu->device(i); }
    bool started = false;
    bool connected = false;
};

// The host's UPGRADE entity bound to a connected Rig, with the log captured from the moment
// the connection stands and a display that records what the entity shows.
struct EntityRig {
    explicit EntityRig(const UpgradeModuleConfig& cfg, bool sumCheck = true,
                       bool noWaitForDrop = false)
        : rig(cfg)
    {
        e.init(rig.module.get(), 0, sumCheck, noWaitForDrop);
    }
    Rig rig;
    qctest::LogCapture log;
    RecordingDisplay display;
    UpdaterEntity e;
};

} // namespace upgradetest

#endif
