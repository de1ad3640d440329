#include "hidapi_standin.h"

#include <hidapi/hidapi.h>

#include <cstring>
#include <deque>

struct hid_device_ {
    std::deque<std::vector<unsigned char>> input;  // reports the ROM has sent
};

namespace {
SdpRom* sRom = nullptr;
unsigned short sVid = 0, sPid = 0;
int sFailFrom = 0;
HidStandin::Record sRecord;
}

#ifdef QC_HID_PRELOAD
// Preloaded into a program (LD_PRELOAD) instead of linked into a test, the stand-in sets
// itself up from the environment on the first hid_init:
//   QC_HID_ABSENT=1      no device at all
//   QC_HID_SILENT=1      a ROM that never answers
//   QC_HID_STATUS=HEX    status after a complete WRITE_FILE
//   QC_HID_REPORT=FILE   written on every hid_close: "cmd=...", "write=ADDRESS SIZE CRC32
//                        complete|partial", "jumps=N"
//   QC_HID_ON_JUMP=CMD   a shell command run when the ROM is told to jump (say, to bring up
//                        the emulated module that plays the started loader)
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <zlib.h>

static SdpRom sPreloadRom;
static bool sPreloadReady = false;

static void sPreloadSetUp()
{
    if (sPreloadReady)
        return;
    sPreloadReady = true;
    const char* v;
    if ((v = getenv("QC_HID_SILENT")) && *v == '1')
        sPreloadRom.silent = true;
    if ((v = getenv("QC_HID_STATUS")))
        sPreloadRom.finalStatus = uint32_t(strtoul(v, nullptr, 16));
    if (getenv("QC_HID_ON_JUMP"))
        sPreloadRom.onJump = [](uint32_t) {
            if (system(getenv("QC_HID_ON_JUMP")) != 0)
                fprintf(stderr, "hid stand-in: QC_HID_ON_JUMP command failed\n");
        };
    bool absent = (v = getenv("QC_HID_ABSENT")) && *v == '1';
    HidStandin::attach(absent ? nullptr : &sPreloadRom, 0x1FC9, 0x0130);
}

static void sPreloadReport()
{
    const char* path = getenv("QC_HID_REPORT");
    if (!path)
        return;
    FILE* f = fopen(path, "w");
    if (!f)
        return;
    std::istringstream log(sPreloadRom.commandLog);
    std::string l;
    while (std::getline(log, l))
        fprintf(f, "cmd=%s\n", l.c_str());
    for (const SdpRom::FileWrite& w : sPreloadRom.writes)
        fprintf(f, "write=0x%08X %zu %08lX %s\n", w.address, w.data.size(),
                crc32(0, w.data.data(), uInt(w.data.size())), w.complete ? "complete" : "partial");
    fprintf(f, "jumps=%zu\n", sPreloadRom.jumps.size());
    fclose(f);
}
#endif

namespace HidStandin {

void attach(SdpRom* rom, unsigned short vid, unsigned short pid)
{
    sRom = rom;
    sVid = vid;
    sPid = pid;
    sFailFrom = 0;
    sRecord = Record();
}

void failWritesFrom(int n) { sFailFrom = n; }

const Record& record() { return sRecord; }

}

extern "C" {

int hid_init(void)
{
#ifdef QC_HID_PRELOAD
    sPreloadSetUp();
#endif
    ++sRecord.inits;
    return 0;
}

int hid_exit(void)
{
    ++sRecord.exits;
    return 0;
}

hid_device* hid_open(unsigned short vid, unsigned short pid, const wchar_t*)
{
    if (!sRom || vid != sVid || pid != sPid)
        return nullptr;
    ++sRecord.opens;
    sRecord.openedVid = vid;
    sRecord.openedPid = pid;
    return new hid_device_;
}

void hid_close(hid_device* dev)
{
    ++sRecord.closes;
    delete dev;
#ifdef QC_HID_PRELOAD
    sPreloadReport();
#endif
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length)
{
    if (!dev || !data)
        return -1;
    sRecord.writes.emplace_back(data, data + length);
    if (sFailFrom && int(sRecord.writes.size()) >= sFailFrom)
        return -1;
    std::vector<std::vector<unsigned char>> reports;
    sRom->hidReport(data, length, reports);
    for (auto& r : reports)
        dev->input.push_back(r);
    return int(length);
}

// Everything the ROM answers is queued by the time hid_write returns, so an empty queue
// means nothing will come: the time-out is recorded instead of slept.
int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds)
{
    sRecord.readTimeouts.push_back(milliseconds);
    if (!dev || !data)
        return -1;
    if (dev->input.empty())
        return 0;
    std::vector<unsigned char> r = dev->input.front();
    dev->input.pop_front();
    size_t n = r.size() < length ? r.size() : length;
    memcpy(data, r.data(), n);
    return int(n);
}

}
