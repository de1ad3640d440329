#include "HID_SDPLoader.h"

#include "Log.h"

#include <cstring>
#include <cwchar>

static const size_t HID_REPORT_SIZE = 65;
static const size_t HID_REPLY_SIZE = 70;
// More input reports than any reply has: a device that keeps talking cannot hold a read.
static const int MAX_REPORTS_PER_READ = 16;

HID_SDPLoader::HID_SDPLoader(unsigned short v, unsigned short p) : dev(nullptr), vid(v), pid(p) {}

HID_SDPLoader::~HID_SDPLoader()
{
    if (dev)
        hid_close(dev);
    hid_exit();
    dev = nullptr;
}

void HID_SDPLoader::noteFailure(const char* call, hid_device* device)
{
    const wchar_t* text = hid_error(device);
    std::string reason;
    // hidapi's texts are the system's and its own, plain ASCII in practice; anything else
    // shows as '?'.
    for (const wchar_t* p = text; p && *p; ++p)
        reason += (*p >= 0x20 && *p < 0x7F) ? (char)*p : '?';
    failed = std::string(call) + ": " + (reason.empty() ? "failed" : reason);
    Log::log(DEBUG_iMXSerial, "%s\n", failed.c_str());
}

std::string HID_SDPLoader::failure() const
{
    return failed;
}

bool HID_SDPLoader::init()
{
    failed.clear();
    hid_init();
    dev = hid_open(vid, pid, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", (void*)dev);
    if (!dev)
        noteFailure("hid_open", nullptr);
    return dev != nullptr;
}

long HID_SDPLoader::writeData(const std::vector<unsigned char>& report)
{
    if (!dev)
        return -1;
    long written = hid_write(dev, report.data(), report.size());
    if (written < 0)
        noteFailure("hid_write", dev);
    return written;
}

long HID_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMs)
{
    if (!dev)
        return 0;
    long total = 0;
    unsigned char buffer[HID_REPORT_SIZE];
    int wait = int(timeoutMs);
    for (int reports = 0; reports < MAX_REPORTS_PER_READ; ++reports) {
        memset(buffer, 0, sizeof buffer);
        int n = hid_read_timeout(dev, buffer, sizeof buffer, wait);
        if (n < 0)
            noteFailure("hid_read_timeout", dev);
        if (n <= 0)
            break;
        if (buffer[0] == 3)
            n = 5;
        reply.insert(reply.end(), buffer, buffer + n);
        total += n;
        // The status report ends a reply: take only what else is already queued rather
        // than waiting out the time-out once more.
        if (buffer[0] == 4)
            wait = 0;
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                      unsigned int& value)
{
    if (reply.size() != HID_REPLY_SIZE || index > 15)
        return false;
    for (unsigned int k = 0; k < 4; ++k)
        value |= (unsigned int)reply[index + 6 + k] << (8 * k);
    return true;
}
