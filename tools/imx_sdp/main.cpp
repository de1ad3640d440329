// imx_sdp: an i.MX boot ROM in serial download mode on a pseudo-terminal (UART framing).
// Prints "PTY <path>" once the port is ready; on SIGTERM or SIGINT it stops and writes the
// report.
//   --link PATH        also reach the port through this symlink
//   --throttle BPS     host-to-ROM bytes per second (11520 models 115200 baud)
//   --silent           a ROM that never answers
//   --bad-status HEX   status after a complete WRITE_FILE (default 88888888)
//   --on-jump CMD      a shell command run when the ROM is told to jump (say, to bring up
//                      the emulated module that plays the started loader; end it with "&"
//                      if it keeps running)
//   --report FILE      every command ("cmd=..."), every file written
//                      ("write=ADDRESS SIZE CRC32 complete|partial") and "jumps=N"
#include "imx_sdp/ImxSerialEmulator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <zlib.h>

int main(int argc, char** argv)
{
    PtyProgram program("imx_sdp", argc, argv);  // before the pty thread starts
    ImxSerialEmulator emu;
    std::string report, onJump;
    bool silent = false;
    uint32_t status = SdpRom::FILE_COMPLETE;
    std::string a;
    while (program.next(a)) {
        if (program.common(a))
            continue;
        if (a == "--silent")
            silent = true;
        else if (a == "--bad-status")
            status = program.numberValue(16);
        else if (a == "--on-jump")
            onJump = program.value();
        else if (a == "--report")
            report = program.value();
        else
            return program.refuse("unknown option", a);
    }
    if (int rc = program.start(emu))
        return rc;
    emu.locked([&](SdpRom& r) {
        r.silent = silent;
        r.finalStatus = status;
        if (!onJump.empty())
            r.onJump = [onJump](uint32_t) {
                if (system(onJump.c_str()) != 0)
                    fprintf(stderr, "imx_sdp: --on-jump command failed\n");
            };
    });
    if (int rc = program.publish(emu.path()))
        return rc;

    program.wait();
    emu.stop();
    int rc = 0;
    if (!report.empty()) {
        emu.locked([&](SdpRom& r) {
            FILE* f = fopen(report.c_str(), "w");
            if (!f) {
                fprintf(stderr, "imx_sdp: cannot write %s: %s\n", report.c_str(), strerror(errno));
                rc = 1;
                return;
            }
            std::istringstream log(r.commandLog);
            std::string l;
            while (std::getline(log, l))
                fprintf(f, "cmd=%s\n", l.c_str());
            for (const SdpRom::FileWrite& w : r.writes)
                fprintf(f, "write=0x%08X %zu %08lX %s\n", w.address, w.data.size(),
                        crc32(0, w.data.data(), uInt(w.data.size())), w.complete ? "complete" : "partial");
            fprintf(f, "jumps=%zu\ndropped=%u\n", r.jumps.size(), r.droppedBytes);
            if (fclose(f) != 0) {
                fprintf(stderr, "imx_sdp: cannot write %s: %s\n", report.c_str(), strerror(errno));
                rc = 1;
            }
        });
    }
    return rc;
}
