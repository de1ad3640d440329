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
