// libFuzzer target: the i.MX boot ROM's replies to the serial-download engine, read by the
// real HID and UART transports' word readers. The fake transport below replaces only their
// device calls: every read hands out the next chunk of the input. The engine may report
// success only when the replies the transport read say so, the data reports must carry the
// file exactly, and a fingerprint must be the two words the ROM sent.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HID_SDPLoader.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader_unix.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Event {
    bool write;
    Bytes bytes;
    unsigned int timeoutMs;
};

struct Rom {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    unsigned int failWrite = 0;  // 1-based index of the write that fails, 0 for none
    unsigned int writes = 0;
    std::vector<Event> log;

    long write(const Bytes& report)
    {
        log.push_back({true, report, 0});
        return ++writes == failWrite ? -1 : (long)report.size();
    }
    // One chunk per read: a length byte, then that many bytes (cut at the input's end).
    long read(Bytes& reply, unsigned int timeoutMs)
    {
        size_t before = reply.size();
        if (at < size) {
            size_t n = data[at++];
            if (n > size - at)
                n = size - at;
            reply.insert(reply.end(), data + at, data + at + n);
            at += n;
        }
        log.push_back({false, Bytes(reply.begin() + (long)before, reply.end()), timeoutMs});
        return (long)(reply.size() - before);
    }
};

// The transports as they are, with the device calls going to the fake ROM.
class FakeHid : public HID_SDPLoader {
public:
    explicit FakeHid(Rom& r) : HID_SDPLoader(0x1FC9, 0x0130), rom(r) {}
    bool init() override { return true; }
    long writeData(const Bytes& report) override { return rom.write(report); }
    long readData(Bytes& reply, unsigned int timeoutMs) override { return rom.read(reply, timeoutMs); }
    Rom& rom;
};

class FakeSerial : public Serial_SDPLoader {
public:
    explicit FakeSerial(Rom& r) : Serial_SDPLoader("/nonexistent", 0), rom(r) {}
    bool init() override { return true; }
    long writeData(const Bytes& report) override { return rom.write(report); }
    long readData(Bytes& reply, unsigned int timeoutMs) override { return rom.read(reply, timeoutMs); }
    Rom& rom;
};

// The status word as each ROM link frames it: HID [3][HAB x4][4][word]..., 70 bytes;
// UART [HAB x4][word], at least 8 bytes.
bool sWord(bool hid, const Bytes& reply, unsigned int* word)
{
    size_t at = hid ? 6 : 4;
    if (hid ? reply.size() != 70 : reply.size() < 8)
        return false;
    *word = (unsigned int)reply[at] | ((unsigned int)reply[at + 1] << 8)
            | ((unsigned int)reply[at + 2] << 16) | ((unsigned int)reply[at + 3] << 24);
    return true;
}

unsigned int sBE32(const Bytes& b, size_t at)
{
    return ((unsigned int)b[at] << 24) | ((unsigned int)b[at + 1] << 16)
           | ((unsigned int)b[at + 2] << 8) | b[at + 3];
}

// The status checks that open every operation: success needs one readable reply among at
// most five, failure five unreadable ones. Returns the index of the first event after them.
size_t sCheckStatus(bool hid, const Rom& rom, bool alive)
{
    size_t i = 0;
    for (unsigned int attempt = 0; attempt < 5; attempt++) {
        if (i + 1 >= rom.log.size() || !rom.log[i].write || rom.log[i + 1].write)
            abort();
        if (rom.log[i].bytes.size() != 17 || rom.log[i].bytes[1] != 0x05 || rom.log[i].bytes[2] != 0x05)
            abort();
        unsigned int word = 0;
        bool readable = sWord(hid, rom.log[i + 1].bytes, &word);
        i += 2;
        if (readable) {
            if (!alive)
                abort();
            return i;
        }
    }
    if (alive)
        abort();
    return i;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const bool hid = data[0] & 1;
    const unsigned int operation = (data[0] >> 1) % 3;
    Rom rom;
    rom.failWrite = data[0] & 0x80 ? (data[1] & 0x0F) + 1 : 0;
    rom.data = data + 3;
    rom.size = size - 3;
    // A file of up to a few data reports, its bytes telling their position.
    Bytes file((size_t)data[2] * 23);
    for (size_t i = 0; i < file.size(); i++)
        file[i] = (unsigned char)(i * 7 + (i >> 8));

    SDPLoader sdp;
    if (!sdp.setLoader(hid ? (SDPLoader_Interface*)new FakeHid(rom) : new FakeSerial(rom)))
        abort();
    if (sdp.init() != SDPLoader::SDP_OK)
        abort();

    switch (operation) {
    case 0: {
        const unsigned int address = 0x20209000;
        unsigned char result = sdp.writeLoader(file, address);
        if (result == SDPLoader::SDP_NO_ANSWER) {
            sCheckStatus(hid, rom, false);
            break;
        }
        size_t i = sCheckStatus(hid, rom, true);
        if (i >= rom.log.size() || !rom.log[i].write)
            abort();
        const Bytes& command = rom.log[i].bytes;
        if (command.size() != 17 || command[1] != 0x04 || sBE32(command, 3) != address
            || sBE32(command, 8) != file.size())
            abort();
        if (result != SDPLoader::SDP_OK)
            break;
        // Success: the ROM stayed quiet during the data, the reports carry the file, and its
        // last reply reads as "file complete".
        Bytes sent;
        for (i++; i + 1 < rom.log.size(); i++) {
            const Event& e = rom.log[i];
            if (e.write) {
                if (e.bytes.empty() || e.bytes[0] != 0x02 || e.bytes.size() > 1 + SDPLoader::MAX_DATA_REPORT)
                    abort();
                sent.insert(sent.end(), e.bytes.begin() + 1, e.bytes.end());
            } else if (!e.bytes.empty() || e.timeoutMs != 0) {
                abort();
            }
        }
        unsigned int word = 0;
        if (sent != file || rom.log.empty() || rom.log.back().write
            || !sWord(hid, rom.log.back().bytes, &word) || word != SDPLoader::STATUS_FILE_COMPLETE)
            abort();
        break;
    }
    case 1: {
        unsigned long id = 0;
        unsigned char result = sdp.getFingerprint(id);
        if (result == SDPLoader::SDP_NO_ANSWER) {
            sCheckStatus(hid, rom, false);
            if (id != 0)
                abort();
            break;
        }
        size_t i = sCheckStatus(hid, rom, true);
        if (result != SDPLoader::SDP_OK)
            break;
        if (rom.log.size() != i + 4)
            abort();
        unsigned int low = 0, high = 0;
        if (!sWord(hid, rom.log[i + 1].bytes, &low) || !sWord(hid, rom.log[i + 3].bytes, &high))
            abort();
        if (sBE32(rom.log[i].bytes, 3) != 0x401F4410 || sBE32(rom.log[i + 2].bytes, 3) != 0x401F4420)
            abort();
        if (id != ((unsigned long)high << 32 | low))
            abort();
        break;
    }
    case 2: {
        // A jump that was not sent is a failure, and no reply is waited for after it.
        unsigned char result = sdp.startLoader(0x20209000);
        bool sent = rom.failWrite != 1;
        if (result != (sent ? SDPLoader::SDP_OK : SDPLoader::SDP_WRITE_FAILED))
            abort();
        if (rom.log.size() != (sent ? 2u : 1u) || !rom.log[0].write || rom.log[0].bytes[1] != 0x0B)
            abort();
        break;
    }
    }
    return 0;
}
