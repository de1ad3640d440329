// Update benchmark: a 256 KiB firmware image (block size 4096) through the UPGRADE protocol
// over loopback TCP against the emulated module, against the engine's own round trip with the
// same module measured in the same run. Prints one "name: value" line per figure.
//
// update_ratio = update time / (exchanges x engine round trip): near 1 when the update spends
// its time on round trips and not on waits of its own.
#include <arpa/inet.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "module_emu/UpgradeImage.h"
#include "module_emu/UpgradeModule.h"

namespace {

using Clock = std::chrono::steady_clock;
typedef std::vector<unsigned char> Bytes;

const size_t kImageBytes = 256 * 1024;
const size_t kBlocks = 4;
const uint16_t kBlockSize = 4096;
const int kRoundTrips = 2000;

struct QuietDisplay : public UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool, char const*) override {}
    void info_message(char const*) override {}
    void error_message(char const*) override {}
};

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main()
{
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
    if (module.connectFromSpec(linkSpecifier) != aErrNone) {
        fprintf(stderr, "no TCP link to the emulator\n");
        return 1;
    }

    // The engine's round trip with this module: an echo of a full DATA-sized packet, half
    // before and half after the update, so a machine busy with something else weighs on both.
    std::vector<double> rtt;
    unsigned char echo[27];
    for (unsigned i = 0; i < sizeof echo; i++)
        echo[i] = (unsigned char)i;
    auto measure = [&](int n) {
        for (int i = 0; i < n; i++) {
            Clock::time_point t0 = Clock::now();
            if (module.debug(echo, sizeof echo) == aErrNone)
                rtt.push_back(seconds(Clock::now() - t0) * 1e6);
        }
    };
    measure(kRoundTrips / 2);

    BirdFile image(path.c_str());
    QuietDisplay display;
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
    double updateSeconds = seconds(Clock::now() - t0);
    if (err != aErrNone) {
        fprintf(stderr, "update failed: %d\n", err);
        return 1;
    }
    // The module rebooted: measure the rest once it is back.
    emu.waitForReboots(1, 5000);
    emu.waitUntilListening(5000);
    module.disconnect();
    if (module.connectFromSpec(linkSpecifier) == aErrNone)
        measure(kRoundTrips / 2);
    if (rtt.empty()) {
        fprintf(stderr, "no echo replies\n");
        return 1;
    }
    std::sort(rtt.begin(), rtt.end());
    double rttMedian = rtt[rtt.size() / 2];
    module_emu::UpgradeCounts c = emu.device().counts();
    int exchanges = c.init + c.prepare + c.data + c.sum + c.write + c.load + c.reboot;

    printf("update_bytes: %zu\n", kImageBytes);
    printf("update_seconds: %.3f\n", updateSeconds);
    printf("exchanges: %d\n", exchanges);
    printf("exchanges_data: %d\n", c.data);
    printf("engine_rtt_us: %.1f\n", rttMedian);
    printf("update_ratio: %.2f\n", updateSeconds / (exchanges * rttMedian / 1e6));
    unlink(path.c_str());
    rmdir(dir);
    return 0;
}
