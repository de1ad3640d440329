// The module emulator's protocol core: what a device module does with the bytes a host sends,
// whatever the transport. A transport feeds every byte it reads into onBytes() and gives the
// core a sender that writes one buffer to the host; the core frames host packets from the
// byte stream ([address][length][data], never from read boundaries), records each with a time
// stamp, answers sync requests and address queries, records routing on/off, sends heartbeats
// on cue and plays a script of replies. Packets to a module address go to the handler
// installed for that address (entity protocol, UPGRADE, ...); without one they get no reply.
//
// Plain C++ and POSIX only: the emulator must not share code with the library it tests.
#ifndef MODULE_EMU_MODULECORE_H
#define MODULE_EMU_MODULECORE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "module_emu/Packet.h"
#include "module_emu/Transport.h"

namespace module_emu {

using Clock = std::chrono::steady_clock;

// A packet the host sent, as framed from the byte stream.
struct HostPacket {
    Packet packet;
    Clock::time_point when;
};

// How the next reply of a handler goes out.
enum class ReplyFate {
    Normal,
    Delayed,    // sent after delayMs
    Dropped,    // never sent
    OddAddress, // sent with bit 0 of the address set, which a host must treat as a framing error
};

struct ScriptStep {
    ReplyFate fate = ReplyFate::Normal;
    unsigned delayMs = 0;
};

class ModuleCore {
public:
    // Writes one buffer to the host; false when the host is gone.
    using Sender = std::function<bool(const uint8_t* data, size_t n)>;
    // Builds the replies to one host packet for a module address (zero or more packets).
    using Handler = std::function<std::vector<Packet>(const Packet& request)>;

    explicit ModuleCore(uint8_t moduleAddress = 2);
    ~ModuleCore();
    ModuleCore(const ModuleCore&) = delete;
    ModuleCore& operator=(const ModuleCore&) = delete;

    // Plugs the core onto a transport: its bytes come here, replies go out through it.
    // detach() waits for a delivery in progress; destroy the transport (which joins its
    // reader) before the core, so no late delivery can reach a core that is gone.
    void attach(Transport& transport);
    void detach(Transport& transport);
    // Or, for a transport of one's own:
    void setSender(Sender sender);
    void onBytes(const uint8_t* data, size_t n);
    // The host connection ended: a half-framed packet is forgotten, and the core is silent
    // again until the host speaks.
    void onDisconnect();

    uint8_t address() const { return mAddress; }
    void setHandler(uint8_t address, Handler handler);
    // Off: sync requests and address queries go unanswered (a device that never syncs).
    void setAnswerSync(bool on);
    // Applies to the next handler replies, one step per reply, in order.
    void pushScript(ScriptStep step);

    // Sends [address][2][0][s]; false before the host has spoken or without a sender.
    bool sendHeartbeat(uint8_t s);
    // Host answers that matched a heartbeat sent ([address][2][0][s + 2]), and answers that
    // did not (wrong value, or none outstanding).
    int heartbeatAnswersOk() const;
    int heartbeatAnswersWrong() const;
    // Raw bytes to the host, as they are (tests of framing errors); false before the host
    // has spoken.
    bool sendRaw(const std::vector<uint8_t>& bytes);

    // Records.
    std::vector<HostPacket> hostPackets() const;
    size_t hostPacketCount() const;
    // Route records in arrival order: the data byte of each [0xAF][1][x].
    std::vector<uint8_t> routeRecords() const;
    // Sync requests / address queries received ([0xAD][0]).
    int syncRequests() const;
    // Host bytes that framed no packet (length above 28).
    int framingErrors() const;
    // Writes to the host and their sizes, in order.
    std::vector<size_t> writeSizes() const;
    void clearRecords();

    // Waits until pred(hostPackets) holds or ms pass; true when it held.
    bool waitFor(const std::function<bool(const std::vector<HostPacket>&)>& pred, unsigned ms);

private:
    bool handleLinkLevel(const Packet& p, std::vector<uint8_t>& out);
    void handlePacket(const Packet& p, std::vector<uint8_t>& out);
    bool sendNow(const std::vector<uint8_t>& bytes);
    void delayLoop();

    const uint8_t mAddress;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::mutex mSendMutex;
    Sender mSender;
    bool mHostSpoke = false;
    bool mDetached = false;
    int mActive = 0; // onBytes calls in progress
    bool mAnswerSync = true;

    // Framing state of the host byte stream.
    std::vector<uint8_t> mFrame;

    std::vector<HostPacket> mPackets;
    std::vector<uint8_t> mRoutes;
    int mSyncRequests = 0;
    int mFramingErrors = 0;
    std::vector<size_t> mWrites;
    std::deque<uint8_t> mHeartbeatsOut; // expected answer values
    int mHeartbeatOk = 0;
    int mHeartbeatWrong = 0;
    std::vector<std::pair<uint8_t, Handler>> mHandlers;
    std::deque<ScriptStep> mScript;

    struct Delayed {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    std::vector<Delayed> mDelayed;
    bool mStopping = false;
    std::thread mDelayThread;
};

} // namespace module_emu

#endif
