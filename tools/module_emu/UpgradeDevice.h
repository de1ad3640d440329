// The device side of the UPGRADE protocol (entity command 0x5F): a running firmware that takes
// a loader (INIT, PREPARE, DATA, SUM, LOAD), then the loader that takes firmware blocks
// (PREPARE, DATA, SUM, WRITE) and reboots into them (REBOOT). Transport-free: request data in,
// reply packets and a link action out. It records what each load address received, counts the
// exchanges, and has knobs for the faults a host must survive.
#ifndef MODULE_EMU_UPGRADE_DEVICE_H
#define MODULE_EMU_UPGRADE_DEVICE_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "module_emu/EntityModule.h"

namespace module_emu {

enum : uint8_t {
    kCmdUpgrade = 0x5F,
    kUpgradeInit = 0,
    kUpgradeData = 1,
    kUpgradeLoad = 2,
    kUpgradePrepare = 3,
    kUpgradeSum = 4,
    kUpgradeWrite = 5,
    kUpgradeReboot = 6,
    kUpgradeStatus = 7,
};

// Status bytes of the device's STATUS replies (0 is success).
enum : uint8_t {
    kUpgradeRefused = 1,      // PREPARE refused by the fault knob or before INIT
    kUpgradeMalformed = 2,    // request too short for its sub-command
    kUpgradeBadCount = 3,     // WRITE count differs from the bytes taken
    kUpgradeNotLoader = 4,    // WRITE while a loader is being taken (not the loader's firmware)
};

enum class UpgradeMode {
    Running,    // the old firmware: takes a loader
    Loader,     // the loader: takes and writes firmware blocks
    Rebooting,  // REBOOT taken: the link is down until finishReboot()
};

// What the transport must do after a request.
enum class LinkAction {
    Keep,
    Drop,    // drop the link now (the host sees it fall); the device stays as it was
    Reboot,  // drop the link and stop answering until finishReboot()
};

struct UpgradeConfig {
    uint32_t loadBase = 0x20000000;  // sent in the INIT reply
    uint16_t blockSize = 4096;       // sent in PREPARE replies (0 is what a broken loader says)
    int loaderBlockSize = -1;        // sent instead while a loader is taken; -1: blockSize
    uint8_t prepareStatus = 0;       // non-zero: every PREPARE is refused with it
    uint32_t newBuild = 0;           // what the module reports after rebooting into new firmware
    uint32_t newVersion = 0;         // (0 keeps the old value)
};

// Fault knobs. Counts are 1-based and counted from the last setFaults(); each fault that fires
// once is spent.
struct UpgradeFaults {
    int dropLinkAtData = 0;      // the Nth DATA packet is not answered and the link drops
    int wrongSumAt = 0;          // the Nth SUM finds a damaged byte (once): its sum is wrong
    bool wrongSumAlways = false; // and a WRITE would write the damaged byte; or every SUM
    int shortDataAt = 0;         // the Nth DATA packet is answered with one byte fewer taken...
    int shortDataTimes = 1;      // ...and so are that many DATA packets in a row; -1: all after
    int withholdCommand = -1;    // sub-command whose reply is held back once...
    int withholdAt = 1;          // ...at its Nth request...
    int withholdDelayMs = 0;     // ...for good (0) or sent that late (ms)
    bool withholdBusy = false;   // ...and the device, busy till then, answers nothing before it
    int truncateCommand = -1;    // sub-command whose reply is cut short once...
    int truncateAt = 1;          // ...at its Nth request...
    size_t truncateTo = 2;       // ...to that many data bytes
    bool loadReplyOnReconnect = false; // LOAD answered only once the host has connected again
    bool ignoreReboot = false;   // REBOOT is taken and nothing happens (the link stays up)
    bool dropOnLoad = false;     // LOAD starts the loader without a reply and the link drops
};

struct UpgradeCounts {
    int init = 0, prepare = 0, data = 0, sum = 0, write = 0, load = 0, reboot = 0;
    int dataResent = 0;  // DATA packets answered short (the host must send them again)
};

struct UpgradeResult {
    std::vector<Packet> replies;
    LinkAction link = LinkAction::Keep;
};

class UpgradeDevice {
public:
    UpgradeDevice(uint8_t address, uint32_t build, uint32_t version,
                  const UpgradeConfig& config = UpgradeConfig());

    // One request whose data begins with 0x5F; anything else gets no reply.
    UpgradeResult handle(const std::vector<uint8_t>& request);

    // The host's link fell (or was closed): a half-sent block is forgotten, INIT is needed
    // again; a loader stays a loader. Returns what the device sends once the host is back.
    std::vector<Packet> linkDropped();
    // The reboot is over: the module runs again, with the new build when the loader wrote any
    // firmware block since it started.
    void finishReboot();

    void setConfig(const UpgradeConfig& config);
    void setFaults(const UpgradeFaults& faults);
    UpgradeConfig config() const;

    UpgradeMode mode() const;
    uint32_t build() const;
    uint32_t version() const;
    UpgradeCounts counts() const;
    void clearCounts();
    // Firmware bytes written (WRITE-confirmed) at each load address since the last PREPARE
    // of that address; loader bytes taken at each load address.
    std::map<uint32_t, std::vector<uint8_t>> firmware() const;
    std::map<uint32_t, std::vector<uint8_t>> loader() const;
    // The flags of the last accepted PREPARE of each load address (loader and firmware).
    std::map<uint32_t, uint8_t> flags() const;
    // Clears the records (a new update starts from nothing).
    void clearRecords();

private:
    Packet reply(std::vector<uint8_t> data) const;
    void status(UpgradeResult& r, uint8_t status, const std::vector<uint8_t>& extra = {}) const;
    void prepare(const std::vector<uint8_t>& d, UpgradeResult& r);
    void data(const std::vector<uint8_t>& d, UpgradeResult& r);
    void sum(UpgradeResult& r);
    void write(const std::vector<uint8_t>& d, UpgradeResult& r);
    void withhold(uint8_t sub, int count, UpgradeResult& r);
    void behindLateReply(UpgradeResult& r);
    void resetSession();
    bool takingLoader() const;

    mutable std::mutex mutex_;
    uint8_t address_;
    uint32_t build_, version_;
    UpgradeConfig config_;
    UpgradeFaults faults_;
    UpgradeMode mode_ = UpgradeMode::Running;
    bool initialised_ = false;
    bool prepared_ = false;
    uint32_t blockAddress_ = 0;
    uint16_t blockSize_ = 0;         // announced by the last PREPARE: bytes one WRITE can take
    std::vector<uint8_t> pending_;   // bytes taken since the last PREPARE or WRITE
    bool wroteFirmware_ = false;     // since the loader started
    UpgradeCounts counts_;
    // Fault counters since setFaults().
    int faultData_ = 0, faultSum_ = 0;
    int faultRequests_[8] = {};      // requests of each sub-command
    std::map<uint32_t, std::vector<uint8_t>> firmware_;
    std::map<uint32_t, std::vector<uint8_t>> loader_;
    std::map<uint32_t, uint8_t> flags_;
    std::vector<Packet> onReconnect_;  // held for the host's next connection
    // A busy device's replies go out in order: none before this moment (withholdBusy).
    std::chrono::steady_clock::time_point busyUntil_{};
};

}  // namespace module_emu

#endif
