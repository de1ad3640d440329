// libFuzzer target: the UPGRADE replies of a loader, fed to the host side of the protocol by
// a stand-in for the device in place of the link. Each wait takes the next input byte: 0xFF
// is no reply, anything else a reply of 2 + byte % 27 data bytes ([0x5F sub] then input
// bytes), as the link would deliver one matching the wait. Whatever the replies, every
// operation ends within its bounds, and a success must be one the replies bear out: every
// image byte taken once and in order, every sum the device reports equal to the bytes'
// sum, every write confirmed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct Exchange {
    Bytes request;           // [sub-command][payload...] as sent
    aErr wait;               // result of the wait for its reply
    Bytes reply;             // the reply's data bytes, command first
};

class StandIn : public UpdaterEntity {
public:
    StandIn(const uint8_t* d, size_t n) : data(d), size(n) {}
    std::vector<Exchange> log;

protected:
    aErr _request(unsigned char, unsigned char length, const unsigned char* payload) override
    {
        log.push_back({Bytes(payload, payload + length), aErrTimeout, Bytes()});
        return aErrNone;
    }
    aErr _await(unsigned char sub, unsigned char* reply, unsigned char* length) override
    {
        memset(reply, 0, aPACKETMAXDATA);
        *length = 0;
        if (log.empty() || log.back().wait != aErrTimeout || !log.back().reply.empty())
            abort();  // every wait follows its own request
        if (at >= size || data[at] == 0xFF) {
            at++;
            return aErrTimeout;
        }
        unsigned char n = (unsigned char)(2 + data[at++] % 27);
        reply[0] = cmdUPGRADE;
        reply[1] = sub;
        for (unsigned char i = 2; i < n && at < size; i++)
            reply[i] = data[at++];
        *length = n;
        log.back().wait = aErrNone;
        log.back().reply.assign(reply, reply + n);
        return aErrNone;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

struct QuietDisplay : public UpdaterDisplayInterface {
    void display_progress(bool) override {}
    void update_progress(double fraction, char const*) override
    {
        if (!(fraction >= 0.0 && fraction <= 1.0))
            abort();
    }
    void update_spinner(bool, char const*) override {}
    void info_message(char const*) override {}
    void error_message(char const*) override {}
};

unsigned int sBE32(const Bytes& b, size_t at)
{
    return ((unsigned int)b[at] << 24) | ((unsigned int)b[at + 1] << 16)
           | ((unsigned int)b[at + 2] << 8) | b[at + 3];
}

// Replays a successful transfer from the log: DATA pieces the device confirmed make up the
// image; each SUM (when asked for) covers the bytes since the last one and was confirmed
// with the right sum; each WRITE counts the bytes since the last WRITE and was confirmed.
void sCheckTransfer(const std::vector<Exchange>& log, const Bytes& image, bool sums,
                    bool writes, unsigned int blockSize)
{
    Bytes taken;
    unsigned int sum = 0, sinceWrite = 0;
    bool summedLast = false;
    for (const Exchange& e : log) {
        if (e.wait != aErrNone)
            abort();
        switch (e.request[0]) {
        case val_UPGRADE_DATA: {
            size_t n = e.request.size() - 1;
            if (n == 0 || n > UpdaterEntity::DATA_BYTES || e.reply.size() < 3)
                abort();
            if (e.reply[2] == n) {
                taken.insert(taken.end(), e.request.begin() + 1, e.request.end());
                for (size_t i = 1; i < e.request.size(); i++)
                    sum += e.request[i];
                sinceWrite += (unsigned int)n;
            }
            summedLast = false;
            break;
        }
        case val_UPGRADE_SUM:
            if (!sums || e.reply.size() < 7 || e.reply[2] != 0 || sBE32(e.reply, 3) != sum)
                abort();
            sum = 0;
            summedLast = true;
            break;
        case val_UPGRADE_WRITE:
            if (!writes || e.reply.size() < 3 || e.reply[2] != 0 || (sums && !summedLast))
                abort();
            if (((unsigned int)e.request[1] << 8 | e.request[2]) != sinceWrite || sinceWrite > blockSize)
                abort();
            sinceWrite = 0;
            break;
        default:
            abort();
        }
    }
    if (taken != image || (sums && !summedLast && !image.empty()) || (writes && sinceWrite != 0))
        abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const unsigned int operation = (data[0] & 0x7F) % 5;
    const bool sums = data[0] & 0x80;
    StandIn entity(data + 3, size - 3);
    entity.init(nullptr, 0, sums, true);
    // An image of up to a few pieces: 4 address bytes, then bytes telling their position.
    Bytes block(4 + (size_t)data[1] % 120);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (unsigned char)(i * 13 + 1);
    const Bytes image(block.begin() + 4, block.end());
    QuietDisplay display;

    switch (operation) {
    case 0: {
        aErr err = entity.LoaderInit();
        if (err == aErrNone && (entity.log.size() != 1 || entity.log[0].reply.size() < 6))
            abort();
        break;
    }
    case 1: {
        unsigned short blockSize = 0xBEEF;
        aErr err = entity.TransferPrepare(block.data(), (unsigned int)block.size(), data[2], blockSize);
        const Exchange& e = entity.log.at(0);
        if (e.request.size() != 6 || e.request[0] != val_UPGRADE_PREPARE || e.request[1] != data[2]
            || memcmp(&e.request[2], block.data(), 4) != 0)
            abort();
        // A success hands back the size as the module gave it, 0 included: only the firmware
        // phase needs one.
        if (err != aErrNone) {
            if (blockSize != 0xBEEF)
                abort();
        } else if (e.reply.size() < 5 || e.reply[2] != 0
                   || blockSize != ((e.reply[3] << 8) | e.reply[4])) {
            abort();
        }
        break;
    }
    case 2: {
        aErr err = entity.LoaderTransfer(block.data(), (unsigned int)block.size());
        // A piece that is never confirmed is resent a bounded number of times.
        size_t pieces = (image.size() + UpdaterEntity::DATA_BYTES - 1) / UpdaterEntity::DATA_BYTES;
        if (entity.log.size() > pieces * (UpdaterEntity::MAX_DATA_RESENDS + 1) + 1)
            abort();
        if (err == aErrNone)
            sCheckTransfer(entity.log, image, sums, false, 0xFFFF);
        break;
    }
    case 3: {
        unsigned short blockSize = (unsigned short)(data[2] % 64);
        aErr err = entity.FirmwareTransfer(block.data(), (unsigned int)block.size(), blockSize, display);
        if (blockSize == 0 && (err == aErrNone || !entity.log.empty()))
            abort();
        if (err == aErrNone)
            sCheckTransfer(entity.log, image, sums, true, blockSize);
        break;
    }
    case 4: {
        unsigned int count = data[2];
        aErr err = entity.FirmwareWrite(count);
        const Exchange& e = entity.log.at(0);
        if (e.request.size() != 3 || e.request[0] != val_UPGRADE_WRITE || e.request[2] != count)
            abort();
        if (err == aErrNone && (e.reply.size() < 3 || e.reply[2] != 0))
            abort();
        break;
    }
    }
    return 0;
}
