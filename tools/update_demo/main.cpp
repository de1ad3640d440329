// update_demo: the peers of the updater's main job, for a private network namespace. An
// emulated module on TCP/IP (answering the network search, build 1200) that can be updated,
// and the update-server emulator offering build 1300 of it. Prints "serial SN" and "url URL",
// then serves until interrupted.
//
//   update_demo [--dir DIR]      DIR holds the image served (default: a fresh /tmp directory)
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "module_emu/UpgradeImage.h"
#include "module_emu/UpgradeModule.h"
#include "update_server/UpdateServerEmulator.h"

static volatile sig_atomic_t sStop = 0;

static void sOnSignal(int)
{
    sStop = 1;
}

int main(int argc, char** argv)
{
    std::string dir;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            dir = argv[++i];
        } else {
            fprintf(stderr, "usage: update_demo [--dir DIR]\n");
            return 2;
        }
    }
    if (dir.empty()) {
        char pattern[] = "/tmp/update_demo_XXXXXX";
        if (!mkdtemp(pattern)) {
            perror("update_demo: mkdtemp");
            return 1;
        }
        dir = pattern;
    }
    const uint32_t serial = 0x40F5849A;
    module_emu::UpgradeImage image;
    image.firmwareBlocks = {96 * 1024, 32 * 1024};
    std::string path = dir + "/1300.bird";
    if (!module_emu::WriteUpgradeImage(path, image)) {
        fprintf(stderr, "update_demo: cannot write %s\n", path.c_str());
        return 1;
    }

    UpdateServerEmulator server;
    if (!server.start()) {
        perror("update_demo: update server");
        return 1;
    }
    server.setBuilds(serial, {{"1200", "1.2.0", ""}, {"1300", "1.3.0", path}});
    server.setCurrentBuild(serial, "1300");

    module_emu::UpgradeModuleConfig cfg;
    cfg.identity.serialNumber = serial;
    cfg.identity.model = 4;                 // "Dorvel", as the image says
    cfg.identity.build = 1200;
    cfg.identity.version = 0x12000000;      // 1.2.0
    cfg.upgrade.blockSize = 4096;
    cfg.upgrade.newBuild = 1300;
    cfg.upgrade.newVersion = 0x13000000;    // 1.3.0
    cfg.rebootDownMs = 500;
    module_emu::UpgradeModule module(cfg);
    std::string why;
    if (!module.start(&why)) {
        fprintf(stderr, "update_demo: module: %s\n", why.c_str());
        return 1;
    }
    printf("serial %08X\nurl %s\n", serial, server.url().c_str());
    fflush(stdout);

    signal(SIGINT, sOnSignal);
    signal(SIGTERM, sOnSignal);
    while (!sStop)
        pause();
    module.stop();
    server.stop();
    unlink(path.c_str());
    return 0;
}
