// lpc_isp: an NXP LPC17xx ISP boot ROM on a pseudo-terminal, for driving the updater's
// recovery end to end. Prints "PTY <path>" once the port is ready; on SIGTERM or SIGINT it
// stops and writes what the options ask for.
//   --link PATH            also reach the port through this symlink
//   --throttle BPS         host-to-chip bytes per second (11520 models 115200 baud)
//   --silent               a chip that never answers
//   --synced[=0|1]         already synchronised by an earlier host, echo on (1) or off (0)
//   --force C:CODE[:SKIP[:TIMES]]  answer CODE to command letter C (after SKIP, TIMES times)
//   --resend N             answer RESEND to the N-th checksum (repeatable)
//   --erase-ms MS          an erase takes MS milliseconds
//   --device-id A,B,C,D    the four numbers of "N"
//   --report FILE          key=value state and every command line ("line=...")
//   --flash-out FILE       the 512 KiB flash image
//   --counts-out FILE      per flash byte, how often it was programmed since its erase
#include "lpc_isp/LpcIspEmulator.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static bool sWriteFile(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

int main(int argc, char** argv)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the pty thread starts

    LpcIspEmulator emu;
    std::string link, report, flashOut, countsOut;
    unsigned throttle = 0;
    LpcIspRom cfg;
    bool synced = false, syncedEcho = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "lpc_isp: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--link")
            link = value();
        else if (a == "--throttle")
            throttle = unsigned(strtoul(value().c_str(), nullptr, 10));
        else if (a == "--silent")
            cfg.silent = true;
        else if (a == "--synced" || a == "--synced=1")
            synced = true;
        else if (a == "--synced=0")
            synced = true, syncedEcho = false;
        else if (a == "--force") {
            std::string v = value();
            LpcIspRom::ForcedCode f = {0, 0, 0, 0};
            unsigned code = 0, skip = 0, times = 0;
            char c = 0;
            if (sscanf(v.c_str(), "%c:%u:%u:%u", &c, &code, &skip, &times) < 2) {
                fprintf(stderr, "lpc_isp: bad --force %s\n", v.c_str());
                return 2;
            }
            f.command = c, f.code = int(code), f.skip = skip, f.times = times;
            cfg.forced.push_back(f);
        } else if (a == "--resend")
            cfg.resendAt.push_back(unsigned(strtoul(value().c_str(), nullptr, 10)));
        else if (a == "--erase-ms")
            cfg.eraseDelayMs = unsigned(strtoul(value().c_str(), nullptr, 10));
        else if (a == "--device-id") {
            std::string v = value();
            if (sscanf(v.c_str(), "%u,%u,%u,%u", &cfg.deviceId[0], &cfg.deviceId[1], &cfg.deviceId[2], &cfg.deviceId[3]) != 4) {
                fprintf(stderr, "lpc_isp: bad --device-id %s\n", v.c_str());
                return 2;
            }
        } else if (a == "--report")
            report = value();
        else if (a == "--flash-out")
            flashOut = value();
        else if (a == "--counts-out")
            countsOut = value();
        else {
            fprintf(stderr, "lpc_isp: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (!emu.start()) {
        perror("lpc_isp: openpty");
        return 1;
    }
    emu.setThrottle(throttle);
    emu.locked([&](LpcIspRom& r) {
        r.silent = cfg.silent;
        r.forced = cfg.forced;
        r.resendAt = cfg.resendAt;
        r.eraseDelayMs = cfg.eraseDelayMs;
        memcpy(r.deviceId, cfg.deviceId, sizeof r.deviceId);
        if (synced)
            r.presetSynchronised(syncedEcho);
    });
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(emu.path().c_str(), link.c_str()) != 0) {
            perror("lpc_isp: symlink");
            return 1;
        }
    }
    printf("PTY %s\n", emu.path().c_str());
    fflush(stdout);

    int sig = 0;
    sigwait(&set, &sig);
    emu.stop();
    int rc = 0;
    emu.locked([&](LpcIspRom& r) {
        if (!report.empty()) {
            FILE* f = fopen(report.c_str(), "w");
            if (!f) {
                rc = 1;
                return;
            }
            fprintf(f, "synchronised=%d\necho=%d\nunlocked=%d\nstarted=%d\nstart_address=%u\n"
                       "start_mode=%c\nerases=%u\ndouble_programmed=%llu\nunerased_programmed=%llu\n"
                       "data_lines=%u\nchecksums=%u\nresends=%u\n",
                    r.synchronised, r.echo, r.unlocked, r.started, r.startAddress,
                    r.startMode ? r.startMode : '-', r.erases, (unsigned long long)r.doubleProgrammed,
                    (unsigned long long)r.unerasedProgrammed, r.dataLines, r.checksums, r.resends);
            for (const std::string& l : r.lines)
                fprintf(f, "line=%s\n", l.c_str());
            if (fclose(f) != 0)
                rc = 1;
        }
        if (!flashOut.empty() && !sWriteFile(flashOut, r.flash))
            rc = 1;
        if (!countsOut.empty() && !sWriteFile(countsOut, r.programCount))
            rc = 1;
    });
    if (!link.empty())
        unlink(link.c_str());
    return rc;
}
