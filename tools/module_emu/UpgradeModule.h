// An emulated module on TCP/IP that can be updated: it answers the network search, the
// entity protocol (system entity, I2C, entity information) and the UPGRADE protocol, and on
// REBOOT resets its connection, stops listening for a while and comes back running the new
// build. Further modules can sit behind it on its module network (it is then their router);
// they reboot by going silent while the router's link stays up.
#ifndef MODULE_EMU_UPGRADE_MODULE_H
#define MODULE_EMU_UPGRADE_MODULE_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module_emu/DiscoveryResponder.h"
#include "module_emu/EntityModule.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/TcpTransport.h"
#include "module_emu/UpgradeDevice.h"

namespace module_emu {

struct UpgradeModuleConfig {
    ModuleIdentity identity;          // the module the link reaches
    std::vector<ModuleIdentity> behind; // modules on its module network (router set for them)
    std::string ip = "127.0.0.11";    // where it listens and what its search replies come from
    uint16_t port = 0;                // 0 picks a free port, kept across reboots
    bool discovery = true;            // answer the network search
    std::string joinOn = "127.0.0.2"; // interface the search group is joined on
    UpgradeConfig upgrade;            // for the link's module (new build, block size, ...)
    int rebootDownMs = 300;           // time without a listener after REBOOT
    int dropDownMs = 1500;            // time without a listener after a dropped link
    bool listening = true;            // false: the port is held, connects are refused
    int acceptLimit = 0;              // connections taken before later ones are refused; 0 = all
};

class UpgradeModule {
public:
    explicit UpgradeModule(const UpgradeModuleConfig& config);
    ~UpgradeModule();
    UpgradeModule(const UpgradeModule&) = delete;
    UpgradeModule& operator=(const UpgradeModule&) = delete;

    // Listens and joins the search group; false with the reason.
    bool start(std::string* why);
    void stop();

    uint16_t port() const { return port_; }
    // 0: the link's module, then the ones behind it in order.
    UpgradeDevice& device(size_t i = 0) { return *slots_.at(i)->device; }
    size_t modules() const { return slots_.size(); }
    // Connections the listener accepted, over every reboot.
    int connections() const;
    // Reboots finished (the module back and listening).
    int reboots() const;
    bool waitForReboots(int count, int timeoutMs) const;
    // Links dropped by the fault knob so far; waits until a listener is up again.
    int drops() const;
    bool waitUntilListening(int timeoutMs) const;
    // REBOOT of the link's module resets the connection (RST); false: an orderly close.
    void setRebootReset(bool reset);
    // Off: address queries and sync requests go unanswered.
    void setAnswerAddress(bool on);
    // How long a dropped link stays down (ms), from the next drop on.
    void setDropDown(int milliseconds);

private:
    struct Slot {
        ModuleIdentity identity;
        std::unique_ptr<EntityModule> entity;
        std::unique_ptr<UpgradeDevice> device;
    };
    std::vector<Packet> handle(Slot& slot, const Packet& request);
    std::vector<Packet> upgrade(size_t index, const Packet& request);
    void makeEntity(size_t index);
    void onBytes(const uint8_t* data, size_t n);
    bool listen(std::string* why);
    void rebootLoop();

    UpgradeModuleConfig config_;
    uint16_t port_ = 0;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::unique_ptr<ModuleCore> core_;
    std::unique_ptr<TcpTransport> tcp_;
    std::unique_ptr<DiscoveryResponder> discovery_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::mutex entityMutex_;           // guards the entity objects, rebuilt on reboot
    int pastConnections_ = 0;          // accepted by listeners before the current one
    int reboots_ = 0;
    bool rebootReset_ = true;
    int drops_ = 0;
    struct Down {
        size_t index;
        bool reboot;   // else a dropped link: back as it was
    };
    std::vector<Down> pendingDowns_;
    bool stopping_ = false;
    std::thread rebootThread_;
};

}  // namespace module_emu

#endif
