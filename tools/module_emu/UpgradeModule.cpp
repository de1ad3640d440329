#include "module_emu/UpgradeModule.h"

#include <chrono>

namespace module_emu {

UpgradeModule::UpgradeModule(const UpgradeModuleConfig& config) : config_(config)
{
    port_ = config_.port;
    auto add = [this](const ModuleIdentity& id, const UpgradeConfig& upgrade) {
        std::unique_ptr<Slot> slot(new Slot);
        slot->identity = id;
        slot->device.reset(new UpgradeDevice(id.address, id.build, id.version, upgrade));
        slots_.push_back(std::move(slot));
    };
    add(config_.identity, config_.upgrade);
    for (ModuleIdentity id : config_.behind) {
        id.router = config_.identity.address;
        add(id, UpgradeConfig());
    }
    for (size_t i = 0; i < slots_.size(); i++)
        makeEntity(i);
}

UpgradeModule::~UpgradeModule()
{
    stop();
}

// A module's entities as its firmware starts them: with the build and version it now runs.
void UpgradeModule::makeEntity(size_t index)
{
    Slot& slot = *slots_[index];
    ModuleIdentity id = slot.identity;
    id.build = slot.device->build();
    id.version = slot.device->version();
    std::unique_ptr<EntityModule> entity(new EntityModule(id));
    entity->setCommandHandler(kCmdUpgrade,
                              [this, index](const Packet& p) { return upgrade(index, p); });
    if (index == 0)
        for (size_t i = 1; i < slots_.size(); i++)
            entity->addI2CDevice(slots_[i]->identity.address, std::vector<uint8_t>(4, 0));
    std::lock_guard<std::mutex> lock(entityMutex_);
    slot.entity = std::move(entity);
}

bool UpgradeModule::listen(std::string* why)
{
    TcpConfig tcp;
    tcp.address = config_.ip;
    tcp.port = port_;
    tcp.mode = config_.listening ? TcpMode::Record : TcpMode::ClosedPort;
    tcp.acceptLimit = config_.acceptLimit;
    std::unique_ptr<TcpTransport> t(new TcpTransport(tcp));
    if (!t->ok()) {
        if (why)
            *why = t->error();
        return false;
    }
    port_ = t->port();
    TcpTransport* raw = t.get();
    auto seen = std::make_shared<int>(0);
    t->setHandler([this, raw, seen](const uint8_t* data, size_t n) {
        // A new host connection: what the last one left half-done is gone.
        int c = raw->connections();
        std::vector<Packet> held;
        if (c != *seen) {
            *seen = c;
            core_->onDisconnect();
            for (auto& slot : slots_) {
                std::vector<Packet> h = slot->device->linkDropped();
                held.insert(held.end(), h.begin(), h.end());
            }
        }
        onBytes(data, n);
        // What the module announces on a new connection follows the host's first request.
        for (const Packet& e : held)
            core_->sendRaw(e.wire());
    });
    std::lock_guard<std::mutex> lock(mutex_);
    tcp_ = std::move(t);
    changed_.notify_all();
    return true;
}

bool UpgradeModule::start(std::string* why)
{
    core_.reset(new ModuleCore(config_.identity.address));
    core_->setSender([this](const uint8_t* data, size_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        return tcp_ && tcp_->send(data, n);
    });
    for (size_t i = 0; i < slots_.size(); i++) {
        Slot* slot = slots_[i].get();
        core_->setHandler(slot->identity.address,
                          [this, slot](const Packet& p) { return handle(*slot, p); });
    }
    if (!listen(why))
        return false;
    if (config_.discovery) {
        DiscoveryIdentity d;
        d.address = config_.identity.address;
        d.tcpPort = port_;
        d.serialNumber = config_.identity.serialNumber;
        d.model = config_.identity.model;
        d.replyFrom = config_.ip;
        d.joinOn = config_.joinOn;
        discovery_.reset(new DiscoveryResponder(d));
        if (!discovery_->start()) {
            if (why)
                *why = discovery_->error();
            return false;
        }
    }
    rebootThread_ = std::thread([this] { rebootLoop(); });
    return true;
}

void UpgradeModule::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (rebootThread_.joinable())
        rebootThread_.join();
    std::unique_ptr<TcpTransport> t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        t = std::move(tcp_);
    }
    t.reset();  // joins its reader before the core goes
    if (discovery_)
        discovery_->stop();
    discovery_.reset();
    core_.reset();
}

void UpgradeModule::onBytes(const uint8_t* data, size_t n)
{
    core_->onBytes(data, n);
}

// The UPGRADE protocol of module index, as the handler of its command 0x5F.
std::vector<Packet> UpgradeModule::upgrade(size_t index, const Packet& request)
{
    UpgradeResult r = slots_[index]->device->handle(request.data);
    if (r.link != LinkAction::Keep) {
        // A dropped link goes down like a reboot, or the host's stream would simply connect
        // again and go on.
        std::lock_guard<std::mutex> lock(mutex_);
        bool reboot = r.link == LinkAction::Reboot;
        pendingDowns_.push_back(Down{reboot ? index : 0, reboot});
        changed_.notify_all();
    }
    return r.replies;
}

std::vector<Packet> UpgradeModule::handle(Slot& slot, const Packet& request)
{
    if (request.data.empty() || slot.device->mode() == UpgradeMode::Rebooting)
        return {};  // a rebooting module answers nothing
    std::vector<Packet> replies;
    {
        std::lock_guard<std::mutex> lock(entityMutex_);
        replies = slot.entity->handle(request);
    }
    bool delayed = false;
    for (const Packet& reply : replies)
        delayed = delayed || reply.delayMs > 0;
    if (delayed) {
        // The core's script holds each reply back; the packets themselves go out as they are.
        for (const Packet& reply : replies) {
            ScriptStep step;
            if (reply.delayMs > 0) {
                step.fate = ReplyFate::Delayed;
                step.delayMs = (unsigned)reply.delayMs;
            }
            core_->pushScript(step);
        }
    }
    return replies;
}

void UpgradeModule::rebootLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (pendingDowns_.empty()) {
            changed_.wait(lock);
            continue;
        }
        Down down = pendingDowns_.front();
        pendingDowns_.erase(pendingDowns_.begin());
        std::unique_ptr<TcpTransport> old;
        if (down.index == 0) {
            old = std::move(tcp_);
            if (old)
                pastConnections_ += old->connections();
        }
        bool reset = rebootReset_ || !down.reboot;
        lock.unlock();
        if (old) {
            // The host sees its link fall at once, and nothing listens until the module is up.
            if (reset)
                old->resetConnection();
            else
                old->closeConnection();
            old.reset();
            core_->onDisconnect();
        }
        lock.lock();
        int downMs = down.reboot ? config_.rebootDownMs : config_.dropDownMs;
        changed_.wait_for(lock, std::chrono::milliseconds(downMs), [this] { return stopping_; });
        if (stopping_)
            break;
        lock.unlock();
        if (down.reboot) {
            slots_[down.index]->device->finishReboot();
            makeEntity(down.index);
        }
        std::string why;
        if (down.index == 0)
            listen(&why);
        lock.lock();
        if (down.reboot)
            reboots_++;
        else
            drops_++;
        changed_.notify_all();
    }
}

int UpgradeModule::drops() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return drops_;
}

bool UpgradeModule::waitUntilListening(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return tcp_ && pendingDowns_.empty(); });
}

int UpgradeModule::connections() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pastConnections_ + (tcp_ ? tcp_->connections() : 0);
}

int UpgradeModule::reboots() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reboots_;
}

bool UpgradeModule::waitForReboots(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return reboots_ >= count; });
}

void UpgradeModule::setAnswerAddress(bool on)
{
    core_->setAnswerSync(on);
}

void UpgradeModule::setDropDown(int milliseconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.dropDownMs = milliseconds;
}

void UpgradeModule::setRebootReset(bool reset)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rebootReset_ = reset;
}

}  // namespace module_emu
