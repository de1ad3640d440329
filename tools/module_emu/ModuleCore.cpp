// The module emulator's protocol core.
#include "module_emu/ModuleCore.h"

#include <algorithm>

namespace module_emu {

namespace {

const uint8_t kSyncAddress = 0xAD;
const uint8_t kRouteAddress = 0xAF;
const size_t kMaxData = 28;

} // namespace

ModuleCore::ModuleCore(uint8_t moduleAddress) : mAddress(moduleAddress)
{
    mDelayThread = std::thread([this] { delayLoop(); });
}

ModuleCore::~ModuleCore()
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    mChanged.notify_all();
    mDelayThread.join();
}

void ModuleCore::setSender(Sender sender)
{
    std::lock_guard<std::mutex> lock(mSendMutex);
    mSender = std::move(sender);
}

void ModuleCore::attach(Transport& transport)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mDetached = false;
    }
    setSender([&transport](const uint8_t* data, size_t n) { return transport.send(data, n); });
    transport.setHandler([this](const uint8_t* data, size_t n) { onBytes(data, n); });
}

void ModuleCore::detach(Transport& transport)
{
    transport.setHandler(nullptr);
    {
        // A delivery already under way may still arrive: wait for it, ignore later ones.
        std::unique_lock<std::mutex> lock(mMutex);
        mDetached = true;
        mChanged.wait(lock, [this] { return mActive == 0; });
    }
    setSender(nullptr);
}

void ModuleCore::onDisconnect()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mFrame.clear();
    mHostSpoke = false;
    mHeartbeatsOut.clear();
    mDelayed.clear();
}

void ModuleCore::setHandler(uint8_t address, Handler handler)
{
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& h : mHandlers) {
        if (h.first == address) {
            h.second = std::move(handler);
            return;
        }
    }
    mHandlers.emplace_back(address, std::move(handler));
}

void ModuleCore::setAnswerSync(bool on)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mAnswerSync = on;
}

void ModuleCore::pushScript(ScriptStep step)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.push_back(step);
}

void ModuleCore::onBytes(const uint8_t* data, size_t n)
{
    // Link-level packets are recorded and answered in the same critical section that frames
    // them, so a reader of the records never sees a packet without its effect. Packets for a
    // handler are kept, in order, and handled after the lock is released.
    struct Step {
        Packet packet;
        bool handle;
        std::vector<uint8_t> immediate;
    };
    std::vector<Step> steps;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mDetached)
            return;
        mActive++;
        if (n > 0)
            mHostSpoke = true;
        for (size_t i = 0; i < n; i++) {
            mFrame.push_back(data[i]);
            if (mFrame.size() == 2 && mFrame[1] > kMaxData) {
                // No such packet: drop the address byte and frame again from the next one.
                mFramingErrors++;
                mFrame.erase(mFrame.begin());
                continue;
            }
            if (mFrame.size() >= 2 && mFrame.size() == (size_t)mFrame[1] + 2) {
                Step step;
                step.packet.address = mFrame[0];
                step.packet.data.assign(mFrame.begin() + 2, mFrame.end());
                mFrame.clear();
                mPackets.push_back({step.packet, Clock::now()});
                step.handle = !handleLinkLevel(step.packet, step.immediate);
                steps.push_back(std::move(step));
            }
        }
    }
    mChanged.notify_all();
    // Replies to everything in one read go out in one write, as a device answers a burst
    // of sync requests with one transfer.
    std::vector<uint8_t> out;
    for (const Step& step : steps) {
        out.insert(out.end(), step.immediate.begin(), step.immediate.end());
        if (step.handle)
            handlePacket(step.packet, out);
    }
    if (!out.empty())
        sendNow(out);
    // Notified under the lock: once detach() sees no delivery, the core may be destroyed at
    // once, and a notify after the unlock would touch it.
    std::lock_guard<std::mutex> lock(mMutex);
    mActive--;
    mChanged.notify_all();
}

// Called with mMutex held: sync requests, routing and heartbeat answers. True when the
// packet was one of them (its reply, if any, appended to out).
bool ModuleCore::handleLinkLevel(const Packet& p, std::vector<uint8_t>& out)
{
    if (p.address == kSyncAddress && p.data.empty()) {
        mSyncRequests++;
        if (mAnswerSync) {
            out.push_back(mAddress);
            out.push_back(0);
        }
        return true;
    }
    if (p.address == kRouteAddress && p.data.size() == 1) {
        mRoutes.push_back(p.data[0]);
        return true;
    }
    if (p.data.size() == 2 && p.data[0] == 0) {
        // A heartbeat answer from the host.
        if (!mHeartbeatsOut.empty() && mHeartbeatsOut.front() == p.data[1]) {
            mHeartbeatsOut.pop_front();
            mHeartbeatOk++;
        } else {
            mHeartbeatWrong++;
        }
        return true;
    }
    return false;
}

// Runs the address's handler without the core's lock, so it may call back into the core
// (heartbeats, raw bytes); its replies go through the script and are appended to out.
void ModuleCore::handlePacket(const Packet& p, std::vector<uint8_t>& out)
{
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (auto& h : mHandlers)
            if (h.first == p.address)
                handler = h.second;
    }
    if (!handler)
        return;
    std::vector<Packet> replies = handler(p);
    bool delayed = false;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        for (Packet& reply : replies) {
            ScriptStep step;
            if (!mScript.empty()) {
                step = mScript.front();
                mScript.pop_front();
            }
            std::vector<uint8_t> bytes = reply.wire();
            switch (step.fate) {
            case ReplyFate::Normal:
                out.insert(out.end(), bytes.begin(), bytes.end());
                break;
            case ReplyFate::Delayed:
                mDelayed.push_back({Clock::now() + std::chrono::milliseconds(step.delayMs), bytes});
                delayed = true;
                break;
            case ReplyFate::Dropped:
                break;
            case ReplyFate::OddAddress:
                bytes[0] |= 1;
                out.insert(out.end(), bytes.begin(), bytes.end());
                break;
            }
        }
    }
    if (delayed)
        mChanged.notify_all();
}

bool ModuleCore::sendNow(const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(mSendMutex);
    if (!mSender)
        return false;
    bool ok = mSender(bytes.data(), bytes.size());
    {
        std::lock_guard<std::mutex> records(mMutex);
        mWrites.push_back(bytes.size());
    }
    return ok;
}

void ModuleCore::delayLoop()
{
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mStopping) {
        if (mDelayed.empty()) {
            mChanged.wait(lock);
            continue;
        }
        auto next = std::min_element(mDelayed.begin(), mDelayed.end(),
                                     [](const Delayed& a, const Delayed& b) { return a.due < b.due; });
        if (Clock::now() < next->due) {
            mChanged.wait_until(lock, next->due);
            continue;
        }
        std::vector<uint8_t> bytes = std::move(next->bytes);
        mDelayed.erase(next);
        lock.unlock();
        sendNow(bytes);
        lock.lock();
    }
}

bool ModuleCore::sendHeartbeat(uint8_t s)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mHostSpoke)
            return false;
        mHeartbeatsOut.push_back((uint8_t)(s + 2));
    }
    return sendNow(Packet{mAddress, {0, s}}.wire());
}

bool ModuleCore::sendRaw(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard<std::mutex> lock(mMutex);
        if (!mHostSpoke)
            return false;
    }
    return sendNow(bytes);
}

int ModuleCore::heartbeatAnswersOk() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mHeartbeatOk;
}

int ModuleCore::heartbeatAnswersWrong() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mHeartbeatWrong;
}

std::vector<HostPacket> ModuleCore::hostPackets() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mPackets;
}

size_t ModuleCore::hostPacketCount() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mPackets.size();
}

std::vector<uint8_t> ModuleCore::routeRecords() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mRoutes;
}

int ModuleCore::syncRequests() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mSyncRequests;
}

int ModuleCore::framingErrors() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mFramingErrors;
}

std::vector<size_t> ModuleCore::writeSizes() const
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mWrites;
}

void ModuleCore::clearRecords()
{
    std::lock_guard<std::mutex> lock(mMutex);
    mPackets.clear();
    mRoutes.clear();
    mSyncRequests = 0;
    mFramingErrors = 0;
    mWrites.clear();
    mHeartbeatOk = 0;
    mHeartbeatWrong = 0;
}

bool ModuleCore::waitFor(const std::function<bool(const std::vector<HostPacket>&)>& pred,
                         unsigned ms)
{
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::milliseconds(ms), [&] { return pred(mPackets); });
}

} // namespace module_emu
