// Fuzz target: whatever a chip sends back, the ISP client's line reading, reply parsing and
// transfers stay inside their buffers and end. The first byte picks the operation and the
// echo state; the rest is the chip's answer, arriving after each thing the host writes.
#include "NXPSerial.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Chip {
    const uint8_t* data;
    size_t size;
    size_t at;
    bool fresh;  // the host just wrote: the answer is not there yet on the first look
};

aErr sGet(char* byte, void* ref)
{
    Chip* c = static_cast<Chip*>(ref);
    if (c->fresh) {
        c->fresh = false;
        return aErrNotReady;
    }
    if (c->at >= c->size)
        return aErrEOF;
    *byte = char(c->data[c->at++]);
    return aErrNone;
}

aErr sWrite(const char*, size_t, void* ref)
{
    static_cast<Chip*>(ref)->fresh = true;
    return aErrNone;
}

aErr sPut(const char* b, void* ref) { return sWrite(b, 1, ref); }

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    Chip chip = {data + 1, size - 1, 0, false};
    NXPSerialClass nxp;
    nxp.stream = aStream_Create(sGet, sPut, sWrite, nullptr, &chip);
    if (!nxp.stream)
        return 0;
    nxp.echo = data[0] & 0x80;
    std::vector<unsigned char> buffer(4096, 0x5A);
    switch (data[0] & 0x07) {
    case 0:
        nxp.Sync();
        break;
    case 1:
        nxp.GetDeviceID();
        break;
    case 2:
        nxp.Write(NXPSerialClass::WRITE_ADDRESS, 4096, buffer.data());
        break;
    case 3:
        nxp.Read(0, 1024, buffer.data());
        break;
    case 4: {
        unsigned char major, minor;
        nxp.GetBootLoaderVersion(&major, &minor);
        long part;
        nxp.GetPartNumber(&part);
        break;
    }
    case 5:
        nxp.Unlock();
        nxp.Prepare(0, 29);
        nxp.Erase(0, 29);
        nxp.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 4096);
        break;
    case 6: {
        char line[1024];
        unsigned long length;
        nxp.GetLine(line, sizeof line, &length, 100);
        nxp.Response(line, sizeof line, &length, nullptr, 0, 100);
        break;
    }
    default: {
        std::vector<char> text(chip.data, chip.data + chip.size);
        text.push_back(0);
        unsigned char out[64];
        NXPSerialClass::uudecode(out, sizeof out, text.data());
        NXPSerialClass::GetErrorText(text.data());
        break;
    }
    }
    return 0;
}
