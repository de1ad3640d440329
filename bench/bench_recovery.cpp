// Programs a 64 KiB image through the LPC in-system-programming client into the ISP emulator
// throttled to 11520 B/s (115200 baud) and compares the time with the floor: the bytes the
// host must send (commands, UU-encoded lines and checksums) at that rate.
//   recovery_seconds: X   floor_seconds: X   floor_ratio: X.XX (floor over recovery)
#include "NXPSerial.h"
#include "lpc_isp/LpcIspEmulator.h"

#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static const unsigned RATE = 11520;
static const unsigned IMAGE = 64 * 1024;
static const unsigned CHUNK = 4096;

static unsigned long sTextBytes(const char* fmt, unsigned a, unsigned b, unsigned c)
{
    char t[96];
    return (unsigned long)snprintf(t, sizeof t, fmt, a, b, c);
}

// What the host must put on the line for one RAM write of count bytes from data.
static unsigned long sWriteBytes(const unsigned char* data, unsigned count)
{
    unsigned long n = sTextBytes("W %u %u\r\n", NXPSerialClass::WRITE_ADDRESS, count, 0);
    unsigned done = 0;
    while (done < count) {
        unsigned blockStart = done;
        for (unsigned l = 0; l < NXPSerialClass::LINES_PER_CHECKSUM && done < count; ++l) {
            unsigned k = count - done < 45 ? count - done : 45;
            n += 1 + 4 * ((k + 2) / 3) + 2;
            done += k;
        }
        n += sTextBytes("%u\r\n", unsigned(NXPSerialClass::sum(data + blockStart, done - blockStart)), 0, 0);
    }
    return n;
}

int main()
{
    LpcIspEmulator emu;
    if (!emu.start()) {
        perror("bench_recovery: pty");
        return 1;
    }
    emu.setThrottle(RATE);
    std::vector<unsigned char> image(IMAGE);
    uint32_t x = 12345;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = (unsigned char)(x >> 16);
    }

    unsigned long floorBytes = 1 + 14 + 7;  // "?", "Synchronized\r\n", "14746\r\n"
    floorBytes += sTextBytes("U %u\r\n", NXPSerialClass::UNLOCK_CODE, 0, 0) + sTextBytes("P %u %u\r\n", 0, 29, 0) +
                  sTextBytes("E %u %u\r\n", 0, 29, 0) + sTextBytes("A %u\r\n", 0, 0, 0) +
                  sTextBytes("A %u\r\n", 1, 0, 0) + sTextBytes("G %u T\r\n", 0, 0, 0);

    auto start = std::chrono::steady_clock::now();
    NXPSerialClass nxp;
    aErr r = nxp.Connect(emu.path().c_str(), 115200);
    if (!r)
        r = nxp.Sync();
    if (!r)
        r = nxp.Unlock();
    if (!r)
        r = nxp.Prepare(0, 29);
    if (!r)
        r = nxp.Erase(0, 29);
    if (!r)
        r = nxp.SetEcho(false);
    std::vector<unsigned char> staged(CHUNK);
    for (unsigned offset = 0; !r && offset < IMAGE; offset += CHUNK) {
        unsigned n = IMAGE - offset < CHUNK ? IMAGE - offset : CHUNK;
        unsigned copy = NXPSerialClass::CopyLength(n);
        memset(staged.data(), 0xFF, copy);
        memcpy(staged.data(), &image[offset], n);
        int first = NXPSerialClass::SectorFromAddress(offset);
        int last = NXPSerialClass::SectorFromAddress(offset + copy - 1);
        r = nxp.Write(NXPSerialClass::WRITE_ADDRESS, copy, staged.data());
        if (!r)
            r = nxp.Prepare(unsigned(first), unsigned(last));
        if (!r)
            r = nxp.CopyToFlash(offset, NXPSerialClass::WRITE_ADDRESS, copy);
        floorBytes += sWriteBytes(staged.data(), copy) + sTextBytes("P %u %u\r\n", unsigned(first), unsigned(last), 0) +
                      sTextBytes("C %u %u %u\r\n", offset, NXPSerialClass::WRITE_ADDRESS, copy);
    }
    if (!r)
        r = nxp.SetEcho(true);
    if (!r)
        r = nxp.ExecuteFrom(0);
    // The start command has gone out once the chip has taken all of it.
    for (int i = 0; !r && i < 2000 && emu.bytesReceived() < floorBytes; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (r) {
        fprintf(stderr, "bench_recovery: programming failed: %s\n", aError_GetErrorText(r));
        return 1;
    }
    bool good = true;
    emu.locked([&](LpcIspRom& rom) {
        good = rom.started && rom.doubleProgrammed == 0 && memcmp(rom.flash.data(), image.data(), IMAGE) == 0;
    });
    if (!good) {
        fprintf(stderr, "bench_recovery: the flash does not hold the image\n");
        return 1;
    }
    double floorSeconds = double(floorBytes) / RATE;
    printf("recovery_seconds: %.3f\n", seconds);
    printf("floor_seconds: %.3f\n", floorSeconds);
    printf("floor_ratio: %.2f\n", floorSeconds / seconds);
    printf("sent_bytes: %llu\n", (unsigned long long)emu.bytesReceived());
    printf("floor_bytes: %lu\n", floorBytes);
    return 0;
}
