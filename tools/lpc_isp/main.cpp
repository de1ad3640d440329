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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// An output file that cannot be written says so on standard error; false then.
static bool sCannotWrite(const std::string& path)
{
    fprintf(stderr, "lpc_isp: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
}

static bool sWriteFile(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return sCannotWrite(path);
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    if (fclose(f) != 0 || !ok)
        return sCannotWrite(path);
    return true;
}

// What the command line asks for: the chip's knobs (in a scratch ROM) and the files to write.
struct Options {
    LpcIspRom cfg;
    bool synced = false, syncedEcho = true;
    std::string report, flashOut, countsOut;
};

// Reads the options; 0, or the exit status of a bad command line.
static int sParse(PtyProgram& program, Options& o)
{
    LpcIspRom& cfg = o.cfg;
    std::string a;
    while (program.next(a)) {
        if (program.common(a))
            continue;
        if (a == "--silent")
            cfg.silent = true;
        else if (a == "--synced" || a == "--synced=1")
            o.synced = true;
        else if (a == "--synced=0")
            o.synced = true, o.syncedEcho = false;
        else if (a == "--force") {
            std::string v = program.value();
            LpcIspRom::ForcedCode f = {0, 0, 0, 0};
            unsigned code = 0, skip = 0, times = 0;
            char c = 0;
            if (sscanf(v.c_str(), "%c:%u:%u:%u", &c, &code, &skip, &times) < 2)
                return program.refuse("bad --force", v);
            f.command = c, f.code = int(code), f.skip = skip, f.times = times;
            cfg.forced.push_back(f);
        } else if (a == "--resend")
            cfg.resendAt.push_back(program.numberValue());
        else if (a == "--erase-ms")
            cfg.eraseDelayMs = program.numberValue();
        else if (a == "--device-id") {
            std::string v = program.value();
            if (sscanf(v.c_str(), "%u,%u,%u,%u", &cfg.deviceId[0], &cfg.deviceId[1], &cfg.deviceId[2], &cfg.deviceId[3]) != 4)
                return program.refuse("bad --device-id", v);
        } else if (a == "--report")
            o.report = program.value();
        else if (a == "--flash-out")
            o.flashOut = program.value();
        else if (a == "--counts-out")
            o.countsOut = program.value();
        else
            return program.refuse("unknown option", a);
    }
    return 0;
}

// Writes the report to path; false when it cannot be written.
static bool sWriteReport(const std::string& path, const LpcIspRom& r)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f)
        return sCannotWrite(path);
    fprintf(f, "synchronised=%d\necho=%d\nunlocked=%d\nstarted=%d\nstart_address=%u\n"
               "start_mode=%c\nerases=%u\ndouble_programmed=%llu\nunerased_programmed=%llu\n"
               "data_lines=%u\nchecksums=%u\nresends=%u\n",
            r.synchronised, r.echo, r.unlocked, r.started, r.startAddress,
            r.startMode ? r.startMode : '-', r.erases, (unsigned long long)r.doubleProgrammed,
            (unsigned long long)r.unerasedProgrammed, r.dataLines, r.checksums, r.resends);
    for (const std::string& l : r.lines)
        fprintf(f, "line=%s\n", l.c_str());
    if (fclose(f) != 0)
        return sCannotWrite(path);
    return true;
}

int main(int argc, char** argv)
{
    PtyProgram program("lpc_isp", argc, argv);  // before the pty thread starts
    LpcIspEmulator emu;
    Options o;
    if (int rc = sParse(program, o))
        return rc;
    if (int rc = program.start(emu))
        return rc;
    emu.locked([&](LpcIspRom& r) {
        r.silent = o.cfg.silent;
        r.forced = o.cfg.forced;
        r.resendAt = o.cfg.resendAt;
        r.eraseDelayMs = o.cfg.eraseDelayMs;
        memcpy(r.deviceId, o.cfg.deviceId, sizeof r.deviceId);
        if (o.synced)
            r.presetSynchronised(o.syncedEcho);
    });
    if (int rc = program.publish(emu.path()))
        return rc;

    program.wait();
    emu.stop();
    int rc = 0;
    // Each file on its own: one that cannot be written does not keep the others back.
    emu.locked([&](LpcIspRom& r) {
        if (!o.report.empty() && !sWriteReport(o.report, r))
            rc = 1;
        if (!o.flashOut.empty() && !sWriteFile(o.flashOut, r.flash))
            rc = 1;
        if (!o.countsOut.empty() && !sWriteFile(o.countsOut, r.programCount))
            rc = 1;
    });
    return rc;
}
