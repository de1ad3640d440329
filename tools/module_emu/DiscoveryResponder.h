// The emulated module's answer to the network search: a UDP listener on the discovery group
// that replies with the module's address, TCP port, serial number and model.
#ifndef MODULE_EMU_DISCOVERY_RESPONDER_H
#define MODULE_EMU_DISCOVERY_RESPONDER_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace module_emu {

struct DiscoveryIdentity {
    uint8_t address = 2;         // module address, byte 1 of the reply
    uint16_t tcpPort = 0;        // port of the packet service, bytes 2-3 little-endian
    uint32_t serialNumber = 0;   // bytes 4-7 little-endian
    uint8_t model = 0;           // byte 12
    std::string replyFrom;       // source address of replies (the module's own IPv4 address)
    std::string joinOn;          // local interface address the group is joined on
    size_t replyLength = 16;     // bytes sent per reply (a short reply omits the model)
    int repliesPerRequest = 1;   // >1 answers the same request several times
    bool silent = false;         // receive requests but never answer
};

class DiscoveryResponder {
public:
    explicit DiscoveryResponder(const DiscoveryIdentity& identity);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Binds and joins the group; false with a message in error() when that fails.
    bool start();
    void stop();
    const std::string& error() const { return error_; }

    // Requests received so far, each as it came (any length, any content).
    std::vector<std::vector<uint8_t>> requests() const;
    // The 16-byte reply this identity sends (before cutting to replyLength).
    static std::vector<uint8_t> replyFor(const DiscoveryIdentity& identity);

private:
    void run();

    DiscoveryIdentity identity_;
    int listen_ = -1;
    int reply_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::string error_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
};

} // namespace module_emu

#endif
