#include "imx_sdp/SdpRom.h"

#include <cstdio>

static uint32_t sBE32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

static void sPutLE32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(char((v >> (8 * i)) & 0xFF));
}

// The command types the ROM knows; anything else cannot start a command.
static bool sKnownType(uint8_t t)
{
    return t == 0x01 || t == 0x02 || t == 0x04 || t == 0x05 || t == 0x0A || t == 0x0B;
}

void SdpRom::command(const uint8_t* c, std::vector<Reply>& replies)
{
    uint32_t address = sBE32(c + 2);
    uint32_t count = sBE32(c + 7);
    char line[96];
    switch (c[0]) {
    case 0x05:
        ++statusRequests;
        commandLog += "ERROR_STATUS\n";
        replies.push_back({hab, true, STATUS_OK});
        break;
    case 0x04:
        snprintf(line, sizeof line, "WRITE_FILE 0x%08X %u\n", address, count);
        commandLog += line;
        writes.push_back({address, {}, count == 0});
        dataLeft = count;
        if (chatterDuringData)
            replies.push_back({hab, false, 0});
        if (count == 0)
            replies.push_back({hab, true, finalStatus});
        break;
    case 0x0B:
        snprintf(line, sizeof line, "JUMP_ADDRESS 0x%08X\n", address);
        commandLog += line;
        jumps.push_back(address);
        replies.push_back({hab, false, 0});
        if (onJump)
            onJump(address);
        break;
    case 0x01: {
        snprintf(line, sizeof line, "READ_REGISTER 0x%08X %u\n", address, count);
        commandLog += line;
        auto it = registers.find(address);
        replies.push_back({hab, true, it == registers.end() ? 0 : it->second});
        break;
    }
    default:
        snprintf(line, sizeof line, "COMMAND 0x%02X 0x%08X\n", c[0], address);
        commandLog += line;
        replies.push_back({hab, true, WRITE_COMPLETE});
        break;
    }
}

void SdpRom::data(const uint8_t* d, size_t n, std::vector<Reply>& replies)
{
    FileWrite& w = writes.back();
    size_t take = n < dataLeft ? n : dataLeft;
    w.data.insert(w.data.end(), d, d + take);
    dataLeft -= uint32_t(take);
    if (dataLeft == 0) {
        w.complete = true;
        replies.push_back({hab, true, finalStatus});
    }
}

void SdpRom::serialByte(uint8_t byte, std::string& out)
{
    if (started())
        return;  // the loader runs now; the ROM no longer listens
    std::vector<Reply> replies;
    if (dataLeft) {
        data(&byte, 1, replies);
    } else {
        // Resynchronise on a command start: bytes that cannot begin one (a stray "?" from an
        // earlier probe of another chip family, say) are skipped.
        if ((cmdLength == 0 && !sKnownType(byte)) || (cmdLength == 1 && byte != cmd[0])) {
            ++droppedBytes;
            cmdLength = 0;
            if (sKnownType(byte))
                cmd[cmdLength++] = byte;
            return;
        }
        cmd[cmdLength++] = byte;
        if (cmdLength < 16)
            return;
        cmdLength = 0;
        command(cmd, replies);
    }
    if (silent)
        return;
    for (const Reply& r : replies) {
        sPutLE32(out, r.hab);
        if (r.hasWord)
            sPutLE32(out, r.word);
    }
}

void SdpRom::hidReport(const uint8_t* d, size_t n, std::vector<std::vector<uint8_t>>& reports)
{
    if (started() || n == 0)
        return;
    std::vector<Reply> replies;
    // The ROM's reports have fixed sizes (a 16-byte command, up to 1024 data bytes, each
    // after its id): a report of another size is refused whole, so a host that frames its
    // reports wrongly fails instead of passing.
    if (d[0] == 1 && n == 17 && !dataLeft)
        command(d + 1, replies);
    else if (d[0] == 2 && n >= 2 && n <= 1025 && dataLeft)
        data(d + 1, n - 1, replies);
    else
        ++droppedBytes;
    if (silent)
        return;
    for (const Reply& r : replies) {
        std::vector<uint8_t> r3 = {3};
        for (int i = 0; i < 4; ++i)
            r3.push_back(uint8_t(r.hab >> (8 * i)));
        reports.push_back(r3);
        if (r.hasWord) {
            std::vector<uint8_t> r4(65, 0);
            r4[0] = 4;
            for (int i = 0; i < 4; ++i)
                r4[1 + i] = uint8_t(r.word >> (8 * i));
            reports.push_back(r4);
        }
    }
}

std::vector<uint8_t> SdpRom::memory(uint32_t address, size_t length) const
{
    std::vector<uint8_t> m(length, 0);
    for (const FileWrite& w : writes) {
        for (size_t i = 0; i < w.data.size(); ++i) {
            uint64_t a = uint64_t(w.address) + i;
            if (a >= address && a < uint64_t(address) + length)
                m[size_t(a - address)] = w.data[i];
        }
    }
    return m;
}
