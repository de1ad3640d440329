// Standalone update-server emulator: serves until SIGINT or SIGTERM, printing its URL first
// and then every raw query string, one a line.
//
//   update_server [-p PORT] [-b SERIAL,BUILD,VERSION[,IMAGE]]... [-c SERIAL,BUILD]...
//                 [-r W0,W1,W2,W3,SERIAL,BUILD]... [-f OP,FAULT[,MS]]... [-e crlf]
// SERIAL and fingerprint words in hexadecimal; OP "" or "*" for every op; FAULT one of
// 500, empty, notok, badbase64, delay, close, trickle.
#include "update_server/UpdateServerEmulator.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

static std::vector<std::string> sSplit(std::string const& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

static int sUsage()
{
    fprintf(stderr, "usage: update_server [-p PORT] [-b SERIAL,BUILD,VERSION[,IMAGE]]... "
                    "[-c SERIAL,BUILD]... [-r W0,W1,W2,W3,SERIAL,BUILD]... "
                    "[-f OP,FAULT[,MS]]... [-e crlf]\n");
    return 2;
}

int main(int argc, char** argv)
{
    using Fault = UpdateServerEmulator::Fault;
    static std::map<std::string, Fault> const faultNames = {
        {"500", Fault::Status500},      {"empty", Fault::EmptyBody}, {"notok", Fault::NotOk},
        {"badbase64", Fault::BadBase64}, {"delay", Fault::Delay},     {"close", Fault::CloseMidBody},
        {"trickle", Fault::Trickle},
    };
    UpdateServerEmulator server;
    std::map<uint32_t, std::vector<UpdateServerEmulator::Build>> builds;
    unsigned long port = 0;

    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        if (i + 1 >= argc)
            return sUsage();
        std::vector<std::string> v = sSplit(argv[++i]);
        if (opt == "-p" && v.size() == 1) {
            port = strtoul(v[0].c_str(), nullptr, 10);
            if (port > 65535)
                return sUsage();
        } else if (opt == "-b" && (v.size() == 3 || v.size() == 4)) {
            builds[(uint32_t)strtoul(v[0].c_str(), nullptr, 16)].push_back(
                {v[1], v[2], v.size() == 4 ? v[3] : ""});
        } else if (opt == "-c" && v.size() == 2) {
            server.setCurrentBuild((uint32_t)strtoul(v[0].c_str(), nullptr, 16), v[1]);
        } else if (opt == "-r" && v.size() == 6) {
            uint32_t w[4];
            for (int k = 0; k < 4; k++)
                w[k] = (uint32_t)strtoul(v[k].c_str(), nullptr, 16);
            server.setRecovery(w, (uint32_t)strtoul(v[4].c_str(), nullptr, 16), v[5]);
        } else if (opt == "-f" && (v.size() == 2 || v.size() == 3) && faultNames.count(v[1])) {
            server.setFault(v[0] == "*" ? "" : v[0], faultNames.at(v[1]),
                            v.size() == 3 ? (unsigned)strtoul(v[2].c_str(), nullptr, 10) : 0);
        } else if (opt == "-e" && v.size() == 1 && v[0] == "crlf") {
            server.setLineEnd("\r\n");
        } else {
            return sUsage();
        }
    }
    for (auto& device : builds)
        server.setBuilds(device.first, device.second);

    // Block the signals before the server thread starts so only sigwait below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    server.onQuery([](std::string const& query) {
        printf("query: %s\n", query.c_str());
        fflush(stdout);
    });
    if (!server.start((uint16_t)port)) {
        fprintf(stderr, "update_server: cannot listen on 127.0.0.1:%lu: %s\n", port,
                strerror(errno));
        return 1;
    }
    printf("listening on %s\n", server.url().c_str());
    fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.stop();
    return 0;
}
