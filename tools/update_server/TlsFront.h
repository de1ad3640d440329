// An HTTPS front for the update-server emulator: accepts TLS on 127.0.0.1 with a given
// certificate and key, and relays each connection's plain bytes to the emulator's own port.
// A client that refuses the certificate ends the handshake, so the emulator never sees it.
#ifndef _TlsFront_H_
#define _TlsFront_H_

#include <cstdint>
#include <string>

#include "update_server/LoopbackServer.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

class TlsFront {
public:
    TlsFront();
    ~TlsFront();  // stops
    TlsFront(TlsFront const&) = delete;
    TlsFront& operator=(TlsFront const&) = delete;

    // Serves certFile (PEM, the chain) and keyFile (PEM) on 127.0.0.1:port (0 = an ephemeral
    // port) in front of 127.0.0.1:backendPort. False with the reason in why when the pair
    // does not load or nothing can listen.
    bool start(std::string const& certFile, std::string const& keyFile, uint16_t backendPort,
               std::string* why, uint16_t port = 0);
    void stop();
    uint16_t port() const;
    // "https://127.0.0.1:PORT/cgi/u", the base URL clients are given.
    std::string url() const;

private:
    void handle(int fd);
    void relay(SSL* ssl, int clientFd, int backendFd);

    SSL_CTX* context = nullptr;
    uint16_t backend = 0;
    LoopbackServer server;  // declared last: destroyed (its thread joined) first
};

#endif
