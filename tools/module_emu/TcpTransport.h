// TCP transport of the module emulator: a listener on a chosen loopback address and port.
// Links are shared by IP address, so every emulator in a test takes its own 127.0.0.x.
#ifndef MODULE_EMU_TCPTRANSPORT_H
#define MODULE_EMU_TCPTRANSPORT_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module_emu/Transport.h"

namespace module_emu {

enum class TcpMode {
    Record,            // accept, read everything, deliver it
    NeverRead,         // accept and never read (small receive buffer), so the host's sends fill up
    ResetAndRelisten,  // the first connection is reset (SO_LINGER 0) right after its first bytes
                       // arrive and the listener is opened again; later ones are recorded
    OrderlyClose,      // every connection is closed in order (FIN) as soon as it is accepted
    ClosedPort,        // the port is held but nothing listens: connects are refused
};

struct TcpConfig {
    std::string address = "127.0.0.1";
    uint16_t port = 0;          // 0 picks a free port
    TcpMode mode = TcpMode::Record;
    int receiveBuffer = 0;      // SO_RCVBUF of accepted sockets; 0 = system default (NeverRead: 4096)
    int acceptLimit = 0;        // connections accepted before the listener closes and later
                                // connects are refused; 0 = no limit
};

class TcpTransport : public Transport {
public:
    explicit TcpTransport(const TcpConfig& config);
    ~TcpTransport() override;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    uint16_t port() const { return port_; }
    // The listening address in network byte order (what aStream_CreateSocket takes).
    uint32_t addressNetworkOrder() const { return address_; }

    // Connections accepted so far, and whether one is open now.
    int connections() const { return connections_.load(); }
    bool connected() const;
    // Waits until at least count connections have been accepted; false on time-out.
    bool waitForConnections(int count, int timeoutMs) const;
    // For each accepted connection, the received-record offset where its bytes begin.
    std::vector<size_t> connectionOffsets() const;
    // Times the first connection was reset in ResetAndRelisten mode (0 or 1).
    int resets() const { return resets_.load(); }

    // Resets the current connection (SO_LINGER 0, the peer sees ECONNRESET); listening goes on.
    void resetConnection();
    // Closes the current connection in order (FIN); listening goes on.
    void closeConnection();

    // Sends to the current connection; false without one.
    using Transport::send;
    bool send(const uint8_t* data, size_t n) override;

private:
    bool listenOn();
    void loop();
    void acceptOne();
    bool readFrom(int conn, bool& firstReset);
    void dropLocked(bool reset);
    void wake();

    TcpConfig config_;
    bool ok_ = false;
    std::string error_;
    uint16_t port_ = 0;
    uint32_t address_ = 0;
    int listener_ = -1;
    int conn_ = -1;                 // guarded by connMutex_
    int wake_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> resets_{0};
    mutable std::mutex connMutex_;
    mutable std::mutex waitMutex_;
    mutable std::condition_variable accepted_;
    std::vector<size_t> offsets_;   // guarded by waitMutex_
    std::thread thread_;
};

}  // namespace module_emu

#endif
