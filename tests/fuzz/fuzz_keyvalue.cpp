// libFuzzer target: the attribute-file reader. Whatever it reads must save and read back
// to the same entries, and no entry may break the line format.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "KeyValueStore.h"

static std::string gIn, gOut;

static void sRemove()
{
    unlink(gIn.c_str());
    unlink(gOut.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (gIn.empty()) {
        std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        gIn = dir + "/fuzz_kv_in." + std::to_string(getpid());
        gOut = dir + "/fuzz_kv_out." + std::to_string(getpid());
        atexit(sRemove);
    }
    const std::string& in = gIn;
    const std::string& out = gOut;
    FILE* f = fopen(in.c_str(), "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    KeyValueStore kv;
    if (kv.Load(in.c_str()) != aErrNone)
        abort();
    for (const auto& e : kv.values) {
        if (e.first.empty() || e.first.find_first_of("=\n") != std::string::npos)
            abort();
        if (e.second.find('\n') != std::string::npos)
            abort();
    }
    kv.GetInt("LATEST_DOWNLOAD", 0);
    kv.GetHex("LATEST_TRANSFER", 0);
    kv.GetBOOL("B", false);
    kv.GetDouble("D", 0.0);
    kv.GetString("CREATED_TIME", nullptr);
    if (kv.Save(out.c_str()) != aErrNone)
        abort();
    KeyValueStore back;
    if (back.Load(out.c_str()) != aErrNone || back.values != kv.values)
        abort();
    return 0;
}
