// module_emu: the module emulator as a standalone program. It opens one transport and logs
// what the host sends as hex lines on standard output until it is interrupted.
//
//   module_emu --tcp ADDRESS[:PORT] [--mode record|never-read|reset-and-relisten|orderly-close|closed-port]
//   module_emu --pty                       serial-port peer; prints the slave path
//   module_emu --node PATH                 kernel driver node: a pty behind a symlink at PATH
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "module_emu/PtyTransport.h"
#include "module_emu/TcpTransport.h"

using namespace module_emu;

static volatile sig_atomic_t sStop = 0;

static void sOnSignal(int)
{
    sStop = 1;
}

static int sUsage()
{
    fprintf(stderr,
            "usage: module_emu --tcp ADDRESS[:PORT] [--mode record|never-read|"
            "reset-and-relisten|orderly-close|closed-port]\n"
            "       module_emu --pty\n"
            "       module_emu --node PATH\n");
    return 2;
}

static bool sParseMode(const char* text, TcpMode* mode)
{
    static const struct { const char* name; TcpMode mode; } modes[] = {
        {"record", TcpMode::Record}, {"never-read", TcpMode::NeverRead},
        {"reset-and-relisten", TcpMode::ResetAndRelisten},
        {"orderly-close", TcpMode::OrderlyClose}, {"closed-port", TcpMode::ClosedPort},
    };
    for (const auto& m : modes)
        if (strcmp(text, m.name) == 0) {
            *mode = m.mode;
            return true;
        }
    return false;
}

int main(int argc, char** argv)
{
    std::string tcp, node;
    bool pty = false;
    TcpMode mode = TcpMode::Record;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--tcp") == 0 && i + 1 < argc)
            tcp = argv[++i];
        else if (strcmp(argv[i], "--mode") == 0 && i + 1 < argc) {
            if (!sParseMode(argv[++i], &mode))
                return sUsage();
        } else if (strcmp(argv[i], "--pty") == 0)
            pty = true;
        else if (strcmp(argv[i], "--node") == 0 && i + 1 < argc)
            node = argv[++i];
        else
            return sUsage();
    }
    if ((!tcp.empty()) + pty + (!node.empty()) != 1)
        return sUsage();

    std::unique_ptr<Transport> transport;
    if (!tcp.empty()) {
        TcpConfig config;
        config.mode = mode;
        size_t colon = tcp.find(':');
        config.address = tcp.substr(0, colon);
        if (colon != std::string::npos)
            config.port = (uint16_t)atoi(tcp.c_str() + colon + 1);
        auto t = std::make_unique<TcpTransport>(config);
        if (!t->ok()) {
            fprintf(stderr, "module_emu: %s\n", t->error().c_str());
            return 1;
        }
        printf("tcp %s:%u\n", config.address.c_str(), t->port());
        transport = std::move(t);
    } else {
        auto t = pty ? std::make_unique<PtyTransport>() : std::make_unique<PtyTransport>(node);
        if (!t->ok()) {
            fprintf(stderr, "module_emu: %s\n", t->error().c_str());
            return 1;
        }
        printf(pty ? "pty %s\n" : "node %s -> %s\n", pty ? t->slavePath().c_str() : node.c_str(),
               t->slavePath().c_str());
        transport = std::move(t);
    }
    fflush(stdout);
    transport->setHandler([](const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n; i++)
            printf("%02X%c", data[i], i + 1 == n ? '\n' : ' ');
        fflush(stdout);
    });
    signal(SIGINT, sOnSignal);
    signal(SIGTERM, sOnSignal);
    while (!sStop)
        pause();
    return 0;
}
