// Recovers a 64 KiB image through Updater::Recover_Firmware (fingerprint probe, then the ISP
// programming) into the ISP emulator throttled to 11520 B/s (115200 baud) and compares the
// time with the floor: the bytes the host must send (commands, UU-encoded lines and checksums)
// at that rate.
//   recovery_seconds: X   floor_seconds: X   floor_ratio: X.XX (floor over recovery)
#include "BenchStats.h"
#include "NXPSerial.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "lpc_isp/LpcIspEmulator.h"

#include <chrono>
#include <cstdarg>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

static const unsigned RATE = 11520;
static const unsigned IMAGE = 64 * 1024;
static const unsigned CHUNK = 4096;

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, char const*) override {}
    void update_spinner(bool, char const*) override {}
    void info_message(char const*) override {}
    void error_message(char const* text) override { fprintf(stderr, "bench_recovery: %s\n", text); }
};

static void sBE32(std::vector<unsigned char>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((unsigned char)(v >> shift));
}

// A BIRD file holding one firmware block at address 0, scrambled for the chip's key the way
// the server scrambles it (each byte XOR key byte XOR the previous plain byte).
static bool sWriteImage(const std::string& path, const std::vector<unsigned char>& plain, const uint32_t key[4])
{
    std::vector<unsigned char> stream;
    sBE32(stream, 1);
    stream.push_back(1);  // firmware block, no flags
    sBE32(stream, uint32_t(plain.size() + 4));
    sBE32(stream, 0);
    unsigned char previous = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        unsigned char k = (unsigned char)(key[(i % 16) / 4] >> (24 - 8 * (i % 4)));
        stream.push_back(plain[i] ^ k ^ previous);
        previous = plain[i];
    }
    sBE32(stream, 0);  // checksum
    uLongf size = compressBound(uLong(stream.size()));
    std::vector<unsigned char> packed(size);
    if (compress(packed.data(), &size, stream.data(), uLong(stream.size())) != Z_OK)
        return false;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite("bird\x01\x01", 1, 6, f) == 6 && fwrite(packed.data(), 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

__attribute__((format(printf, 1, 2))) static unsigned long sTextBytes(const char* fmt, ...)
{
    char t[96];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(t, sizeof t, fmt, args);
    va_end(args);
    return (unsigned long)n;
}

// What the host must put on the line for one RAM write of count bytes from data.
static unsigned long sWriteBytes(const unsigned char* data, unsigned count)
{
    unsigned long n = sTextBytes("W %u %u\r\n", NXPSerialClass::WRITE_ADDRESS, count);
    unsigned done = 0;
    while (done < count) {
        unsigned blockStart = done;
        for (unsigned l = 0; l < NXPSerialClass::LINES_PER_CHECKSUM && done < count; ++l) {
            unsigned k = count - done < 45 ? count - done : 45;
            n += 1 + 4 * ((k + 2) / 3) + 2;
            done += k;
        }
        n += sTextBytes("%u\r\n", unsigned(NXPSerialClass::sum(data + blockStart, done - blockStart)));
    }
    return n;
}

int main()
{
    setvbuf(stdout, NULL, _IONBF, 0);
    bench::printLoad("start");
    LpcIspEmulator emu;
    if (!emu.start()) {
        perror("bench_recovery: pty");
        return 1;
    }
    emu.setThrottle(RATE);
    uint32_t key[4];
    emu.locked([&](LpcIspRom& rom) { memcpy(key, rom.deviceId, sizeof key); });
    std::vector<unsigned char> image(IMAGE);
    uint32_t x = 12345;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = (unsigned char)(x >> 16);
    }
    char dir[] = "/tmp/bench_recovery_XXXXXX";
    if (!mkdtemp(dir)) {
        perror("bench_recovery: mkdtemp");
        return 1;
    }
    std::string file = std::string(dir) + "/image.bird";
    if (!sWriteImage(file, image, key)) {
        fprintf(stderr, "bench_recovery: cannot write %s\n", file.c_str());
        return 1;
    }

    // "?", "Synchronized\r\n", "14746\r\n", "N\r\n", then the programming's commands.
    unsigned long floorBytes = 1 + 14 + 7 + 3;
    floorBytes += sTextBytes("U %u\r\n", NXPSerialClass::UNLOCK_CODE) + sTextBytes("P %u %u\r\n", 0, 29) +
                  sTextBytes("E %u %u\r\n", 0, 29) + sTextBytes("A %u\r\n", 0) +
                  sTextBytes("A %u\r\n", 1) + sTextBytes("G %u T\r\n", 0);
    for (unsigned offset = 0; offset < IMAGE; offset += CHUNK) {
        int first = NXPSerialClass::SectorFromAddress(offset);
        int last = NXPSerialClass::SectorFromAddress(offset + CHUNK - 1);
        floorBytes += sWriteBytes(&image[offset], CHUNK) +
                      sTextBytes("P %u %u\r\n", unsigned(first), unsigned(last)) +
                      sTextBytes("C %u %u %u\r\n", offset, NXPSerialClass::WRITE_ADDRESS, CHUNK);
    }

    QuietDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", dir, display);
    auto start = std::chrono::steady_clock::now();
    bool recovered = updater.Recover_Firmware(emu.path(), 0, 115200, 0, file, false);
    // The start command has gone out once the chip has taken all of it.
    for (int i = 0; recovered && i < 2000 && emu.bytesReceived() < floorBytes; ++i)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string cleanup = std::string("rm -rf '") + dir + "'";
    if (system(cleanup.c_str()) != 0)
        fprintf(stderr, "bench_recovery: could not remove %s\n", dir);
    if (!recovered) {
        fprintf(stderr, "bench_recovery: the recovery failed\n");
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
    bench::printLoad("end");
    return 0;
}
