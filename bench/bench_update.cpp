// Update benchmark: a 256 KiB firmware image (block size 4096) through the UPGRADE protocol
// over loopback TCP against the emulated module, against the engine's own round trip with the
// same module measured in the same run. Prints one "name: value" line per figure.
//
// update_ratio = update time / (exchanges x engine round trip): near 1 when the update spends
// its time on round trips and not on waits of its own. The baseline is taken inside each update:
// after every firmware piece (the progress call) a few echo round trips go over the same link,
// so baseline and update alternate at the scale of a piece and see the same moments of the
// machine; their time is left out of the update's. Every update gives its own ratio. The update
// time runs from INIT to the end of the reboot wait, as in the updater; the reboot wait is
// also reported apart.
//
// bench_update [updates] runs that many updates (7 without an argument).
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BenchStats.h"
#include "BirdFile.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "module_emu/UpgradeImage.h"
#include "module_emu/UpgradeModule.h"

namespace {

using bench::Clock;

const size_t kImageBytes = 256 * 1024;
const size_t kBlocks = 4;
const uint16_t kBlockSize = 4096;
const int kUpdates = 7; // without an argument
const int kEchoesPerPiece = 16;

// Mean microseconds of an echo of a full DATA-sized packet; 0 when a reply went missing.
double sEchoes(Velmoran::Quillcore::Module& module, int n)
{
    unsigned char echo[27];
    for (unsigned i = 0; i < sizeof echo; i++)
        echo[i] = (unsigned char)i;
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < n; i++)
        if (module.debug(echo, sizeof echo) != aErrNone)
            return 0;
    return bench::micros(Clock::now() - t0) / n;
}

// Runs the baseline's echoes after every firmware piece, and notes when the reboot wait begins
// (the first spinner turn comes right after REBOOT is sent).
struct BaselineDisplay : public UpdaterDisplayInterface {
    explicit BaselineDisplay(Velmoran::Quillcore::Module& m) : module(m) {}
    Velmoran::Quillcore::Module& module;
    double echoMicros = 0;  // spent in the echoes, left out of the update's time
    int echoes = 0;
    bool echoFailed = false;
    Clock::time_point firstSpin;
    bool spun = false;
    void display_progress(bool) override {}
    void update_progress(double, char const*) override
    {
        Clock::time_point t0 = Clock::now();
        double mean = sEchoes(module, kEchoesPerPiece);
        echoMicros += bench::micros(Clock::now() - t0);
        echoFailed = echoFailed || mean <= 0;
        echoes += kEchoesPerPiece;
    }
    void update_spinner(bool on, char const*) override
    {
        if (on && !spun) {
            firstSpin = Clock::now();
            spun = true;
        }
    }
    void info_message(char const*) override {}
    void error_message(char const*) override {}
};

struct Update {
    double seconds = 0;           // without the echoes
    double rebootWaitSeconds = 0;
    double echoMicros = 0;        // mean echo round trip during the update
    int exchanges = 0;
    int data = 0;
};

bool sConnect(Velmoran::Quillcore::Module& module, const linkSpec& linkSpecifier)
{
    return module.connectFromSpec(linkSpecifier) == aErrNone;
}

// One whole update as the updater runs it: loader phase, LOAD, firmware blocks, REBOOT.
bool sUpdate(Velmoran::Quillcore::Module& module, BirdFile& image,
             module_emu::UpgradeModule& emu, Update* out)
{
    BaselineDisplay display(module);
    emu.device().clearCounts();
    Clock::time_point t0 = Clock::now();
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    for (const BirdBlock& b : image.FindBlocks(BirdFile::BIRD_BLOCK_LOADER)) {
        unsigned short size = 0;
        if (err == aErrNone)
            err = entity.TransferPrepare(b.data, b.length, b.flags, size);
        if (err == aErrNone)
            err = entity.LoaderTransfer(b.data, b.length);
    }
    if (err == aErrNone)
        err = entity.LoaderStart();
    if (err == aErrNone)
        err = _transfer_firmware(display, module, image, false);
    Clock::time_point t1 = Clock::now();
    if (err != aErrNone || display.echoFailed || display.echoes == 0) {
        fprintf(stderr, "update failed: %d%s\n", err, err == aErrNone ? " (an echo)" : "");
        return false;
    }
    module_emu::UpgradeCounts c = emu.device().counts();
    out->seconds = (bench::micros(t1 - t0) - display.echoMicros) / 1e6;
    out->echoMicros = display.echoMicros / display.echoes;
    out->rebootWaitSeconds = display.spun ? bench::micros(t1 - display.firstSpin) / 1e6 : 0;
    out->exchanges = c.init + c.prepare + c.data + c.sum + c.write + c.load + c.reboot;
    out->data = c.data;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    const int updates = argc > 1 ? atoi(argv[1]) : kUpdates;
    if (updates < 1) {
        fprintf(stderr, "usage: bench_update [updates]\n");
        return 1;
    }
    bench::printLoad("start");
    char dir[] = "/tmp/bench_update_XXXXXX";
    if (!mkdtemp(dir)) {
        fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    std::string path = std::string(dir) + "/image.bird";
    module_emu::UpgradeImage shape;
    shape.serialInfo = false;
    shape.firmwareBlocks.assign(kBlocks, kImageBytes / kBlocks);
    if (!module_emu::WriteUpgradeImage(path, shape)) {
        fprintf(stderr, "cannot write the image\n");
        return 1;
    }

    module_emu::UpgradeModuleConfig cfg;
    cfg.ip = "127.0.0.31";
    cfg.discovery = false;
    cfg.upgrade.blockSize = kBlockSize;
    cfg.upgrade.newBuild = 2;
    cfg.rebootDownMs = 50; // the module is back soon: the rounds wait for it
    module_emu::UpgradeModule emu(cfg);
    std::string why;
    if (!emu.start(&why)) {
        fprintf(stderr, "emulator: %s\n", why.c_str());
        return 1;
    }
    Velmoran::Quillcore::Module module(cfg.identity.address, 0);
    Velmoran::Quillcore::aEtherConfig ether;
    ether.enabled = false;
    ether.fallback = false;
    module.setConfig(ether);
    linkSpec linkSpecifier{};
    linkSpecifier.type = TCPIP;
    linkSpecifier.serialNumber = cfg.identity.serialNumber;
    linkSpecifier.module = cfg.identity.address;
    inet_pton(AF_INET, cfg.ip.c_str(), &linkSpecifier.t.ip.ipAddress);
    linkSpecifier.t.ip.ipPort = emu.port();
    if (!sConnect(module, linkSpecifier)) {
        fprintf(stderr, "no TCP link to the emulator\n");
        return 1;
    }

    BirdFile image(path.c_str());
    std::vector<double> echoMeans, ratios, perExchange, seconds, rebootWaits;
    Update last;
    for (int u = 0; u < updates; u++) {
        Update up;
        if (!sUpdate(module, image, emu, &up))
            return 1;
        // The module rebooted: the next update once it is back.
        module.disconnect();
        if (!emu.waitForReboots(u + 1, 5000) || !emu.waitUntilListening(5000)
            || !sConnect(module, linkSpecifier)) {
            fprintf(stderr, "the module did not come back after update %d\n", u + 1);
            return 1;
        }
        echoMeans.push_back(up.echoMicros);
        ratios.push_back(up.seconds / (up.exchanges * up.echoMicros / 1e6));
        perExchange.push_back(up.seconds * 1e6 / up.exchanges);
        seconds.push_back(up.seconds);
        rebootWaits.push_back(up.rebootWaitSeconds * 1e3);
        last = up;
    }

    printf("update_bytes: %zu\n", kImageBytes);
    printf("updates: %zu\n", ratios.size());
    printf("echoes_per_piece: %d\n", kEchoesPerPiece);
    printf("exchanges: %d\n", last.exchanges);
    printf("exchanges_data: %d\n", last.data);
    bench::printSpread("update_seconds", bench::spreadOf(seconds), "updates");
    bench::printSpread("reboot_wait_ms", bench::spreadOf(rebootWaits), "updates");
    bench::printSpread("update_us_per_exchange", bench::spreadOf(perExchange), "updates");
    bench::printSpread("engine_rtt_us", bench::spreadOf(echoMeans), "updates");
    bench::printSpread("update_ratio", bench::spreadOf(ratios), "updates");
    unlink(path.c_str());
    rmdir(dir);
    bench::printLoad("end");
    return 0;
}
