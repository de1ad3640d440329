#include "module_emu/UpgradeDevice.h"
#include "module_emu/BigEndian.h"

namespace module_emu {

namespace {

// Image bytes one DATA packet can carry: 28 data bytes less the command and sub-command.
const size_t kDataMax = 26;

} // namespace

UpgradeDevice::UpgradeDevice(uint8_t address, uint32_t build, uint32_t version,
                             const UpgradeConfig& config)
    : address_(address), build_(build), version_(version), config_(config)
{
}

Packet UpgradeDevice::reply(std::vector<uint8_t> data) const
{
    Packet p;
    p.address = address_;
    p.data = std::move(data);
    return p;
}

void UpgradeDevice::status(UpgradeResult& r, uint8_t code, const std::vector<uint8_t>& extra) const
{
    std::vector<uint8_t> d = {kCmdUpgrade, kUpgradeStatus, code};
    d.insert(d.end(), extra.begin(), extra.end());
    r.replies.push_back(reply(std::move(d)));
}

// After INIT a loader goes in, whichever firmware runs; the loader itself takes firmware.
bool UpgradeDevice::takingLoader() const
{
    return mode_ == UpgradeMode::Running || initialised_;
}

void UpgradeDevice::resetSession()
{
    initialised_ = false;
    prepared_ = false;
    pending_.clear();
}

// Holds back or cuts the reply just made when a knob names this request.
void UpgradeDevice::withhold(uint8_t sub, int count, UpgradeResult& r)
{
    if (r.replies.empty())
        return;
    if (faults_.truncateCommand == sub && count == faults_.truncateAt) {
        faults_.truncateCommand = -1;
        if (r.replies[0].data.size() > faults_.truncateTo)
            r.replies[0].data.resize(faults_.truncateTo);
    }
    if (sub == kUpgradeLoad && faults_.loadReplyOnReconnect) {
        faults_.loadReplyOnReconnect = false;
        onReconnect_ = std::move(r.replies);
        r.replies.clear();
        return;
    }
    if (faults_.withholdCommand != sub || count != faults_.withholdAt)
        return;
    faults_.withholdCommand = -1;
    if (faults_.withholdDelayMs > 0) {
        for (Packet& p : r.replies)
            p.delayMs = faults_.withholdDelayMs;
        if (faults_.withholdBusy)
            busyUntil_ = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(faults_.withholdDelayMs);
    } else {
        r.replies.clear();
    }
}

// While a busy device's late reply is still to go, what it answers next goes after it.
void UpgradeDevice::behindLateReply(UpgradeResult& r)
{
    auto now = std::chrono::steady_clock::now();
    if (now >= busyUntil_)
        return;
    int wait =
        (int)std::chrono::duration_cast<std::chrono::milliseconds>(busyUntil_ - now).count() + 5;
    for (Packet& p : r.replies)
        if (p.delayMs == 0)
            p.delayMs = wait;
}

UpgradeResult UpgradeDevice::handle(const std::vector<uint8_t>& d)
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpgradeResult r;
    if (d.size() < 2 || d[0] != kCmdUpgrade || mode_ == UpgradeMode::Rebooting)
        return r;
    uint8_t sub = d[1];
    int count = sub < 8 ? ++faultRequests_[sub] : 0;
    switch (sub) {
    case kUpgradeInit: {
        counts_.init++;
        resetSession();
        initialised_ = true;
        std::vector<uint8_t> out = {kCmdUpgrade, kUpgradeInit};
        putBE(out, config_.loadBase, 4);
        r.replies.push_back(reply(std::move(out)));
        break;
    }
    case kUpgradePrepare:
        counts_.prepare++;
        prepare(d, r);
        break;
    case kUpgradeData:
        counts_.data++;
        data(d, r);
        break;
    case kUpgradeSum:
        counts_.sum++;
        sum(r);
        break;
    case kUpgradeWrite:
        counts_.write++;
        write(d, r);
        break;
    case kUpgradeLoad:
        counts_.load++;
        // The running firmware starts the loader only after INIT; the loader answers again.
        if (mode_ == UpgradeMode::Running && !initialised_)
            break;
        // The loader (re)starts: it takes firmware blocks from now on.
        r.replies.push_back(reply({kCmdUpgrade, kUpgradeLoad}));
        mode_ = UpgradeMode::Loader;
        wroteFirmware_ = false;
        resetSession();
        if (faults_.dropOnLoad) {
            faults_.dropOnLoad = false;
            r.replies.clear();
            r.link = LinkAction::Drop;
            return r;
        }
        break;
    case kUpgradeReboot:
        counts_.reboot++;
        if (faults_.ignoreReboot)
            return r;
        mode_ = UpgradeMode::Rebooting;
        resetSession();
        r.link = LinkAction::Reboot;
        return r;
    default:
        return r;
    }
    withhold(sub, count, r);
    behindLateReply(r);
    return r;
}

void UpgradeDevice::prepare(const std::vector<uint8_t>& d, UpgradeResult& r)
{
    prepared_ = false;
    pending_.clear();
    if (d.size() < 7) {
        status(r, kUpgradeMalformed, {0, 0});
        return;
    }
    if (config_.prepareStatus != 0) {
        status(r, config_.prepareStatus, {0, 0});
        return;
    }
    // The running firmware takes a loader only after INIT; the loader is ready from its start.
    if (mode_ == UpgradeMode::Running && !initialised_) {
        status(r, kUpgradeRefused, {0, 0});
        return;
    }
    blockAddress_ = getBE(&d[3], 4);
    // A loader goes in one piece without WRITE: what the firmware says here has no use.
    blockSize_ = takingLoader() && config_.loaderBlockSize >= 0 ? uint16_t(config_.loaderBlockSize)
                                                                : config_.blockSize;
    prepared_ = true;
    flags_[blockAddress_] = d[2];
    // A new block replaces whatever the address held (the region is erased first).
    if (takingLoader())
        loader_[blockAddress_].clear();
    else
        firmware_[blockAddress_].clear();
    std::vector<uint8_t> size;
    putBE(size, blockSize_, 2);
    status(r, 0, size);
}

void UpgradeDevice::data(const std::vector<uint8_t>& d, UpgradeResult& r)
{
    int n = faultData_ + 1;
    faultData_ = n;
    if (faults_.dropLinkAtData > 0 && n == faults_.dropLinkAtData) {
        faults_.dropLinkAtData = 0;
        resetSession();
        r.link = LinkAction::Drop;
        return;
    }
    size_t bytes = d.size() - 2;
    if (bytes > kDataMax)
        bytes = kDataMax;
    uint8_t taken = prepared_ ? uint8_t(bytes) : 0;
    // The loader's buffer holds one piece of the announced block size until it is written.
    if (!takingLoader() && pending_.size() + taken > blockSize_)
        taken = 0;
    bool shortReply = faults_.shortDataAt > 0 && n >= faults_.shortDataAt &&
                      (faults_.shortDataTimes < 0 || n < faults_.shortDataAt + faults_.shortDataTimes);
    if (shortReply && taken > 0) {
        // The device says it took one byte fewer and keeps none of them: the host sends the
        // whole packet again.
        counts_.dataResent++;
        r.replies.push_back(reply({kCmdUpgrade, kUpgradeData, uint8_t(taken - 1)}));
        return;
    }
    if (taken) {
        pending_.insert(pending_.end(), d.begin() + 2, d.begin() + 2 + taken);
        if (takingLoader()) {
            std::vector<uint8_t>& l = loader_[blockAddress_];
            l.insert(l.end(), d.begin() + 2, d.begin() + 2 + taken);
        }
    }
    r.replies.push_back(reply({kCmdUpgrade, kUpgradeData, taken}));
}

void UpgradeDevice::sum(UpgradeResult& r)
{
    int n = ++faultSum_;
    bool wrong = faults_.wrongSumAlways || (faults_.wrongSumAt > 0 && n == faults_.wrongSumAt);
    if (wrong && !faults_.wrongSumAlways)
        faults_.wrongSumAt = 0;
    if (wrong && !pending_.empty()) {
        // A wrong sum means a byte came in damaged: the device holds (and would write) it so.
        if (takingLoader()) {
            std::vector<uint8_t>& l = loader_[blockAddress_];
            if (l.size() >= pending_.size())
                l[l.size() - pending_.size()]++;
        }
        pending_[0]++;
    }
    uint32_t s = 0;
    for (uint8_t b : pending_)
        s += b;
    if (wrong && pending_.empty())
        s += 1;
    std::vector<uint8_t> extra;
    putBE(extra, s, 4);
    status(r, 0, extra);
}

void UpgradeDevice::write(const std::vector<uint8_t>& d, UpgradeResult& r)
{
    if (d.size() < 4) {
        status(r, kUpgradeMalformed);
        return;
    }
    if (takingLoader()) {
        status(r, kUpgradeNotLoader);
        return;
    }
    uint32_t n = getBE(&d[2], 2);
    if (!prepared_ || n == 0 || n != pending_.size()) {
        pending_.clear();
        status(r, kUpgradeBadCount);
        return;
    }
    std::vector<uint8_t>& f = firmware_[blockAddress_];
    f.insert(f.end(), pending_.begin(), pending_.end());
    pending_.clear();
    wroteFirmware_ = true;
    status(r, 0);
}

std::vector<Packet> UpgradeDevice::linkDropped()
{
    std::lock_guard<std::mutex> lock(mutex_);
    resetSession();
    std::vector<Packet> held;
    held.swap(onReconnect_);
    return held;
}

void UpgradeDevice::finishReboot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (mode_ != UpgradeMode::Rebooting)
        return;
    if (wroteFirmware_) {
        if (config_.newBuild)
            build_ = config_.newBuild;
        if (config_.newVersion)
            version_ = config_.newVersion;
    }
    wroteFirmware_ = false;
    mode_ = UpgradeMode::Running;
    resetSession();
}

void UpgradeDevice::setConfig(const UpgradeConfig& config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = config;
}

void UpgradeDevice::setFaults(const UpgradeFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    busyUntil_ = {};
    faultData_ = faultSum_ = 0;
    for (int& c : faultRequests_)
        c = 0;
}

UpgradeConfig UpgradeDevice::config() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

UpgradeMode UpgradeDevice::mode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

uint32_t UpgradeDevice::build() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return build_;
}

uint32_t UpgradeDevice::version() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

UpgradeCounts UpgradeDevice::counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

void UpgradeDevice::clearCounts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    counts_ = UpgradeCounts();
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeDevice::firmware() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

std::map<uint32_t, std::vector<uint8_t>> UpgradeDevice::loader() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return loader_;
}

std::map<uint32_t, uint8_t> UpgradeDevice::flags() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return flags_;
}

void UpgradeDevice::clearRecords()
{
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_.clear();
    loader_.clear();
    flags_.clear();
}

}  // namespace module_emu
