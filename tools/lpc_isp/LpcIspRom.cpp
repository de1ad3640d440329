#include "lpc_isp/LpcIspRom.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Return codes of the ISP protocol.
enum {
    CMD_SUCCESS = 0, INVALID_COMMAND = 1, SRC_ADDR_ERROR = 2, DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4, DST_ADDR_NOT_MAPPED = 5, COUNT_ERROR = 6, INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8, SECTOR_NOT_PREPARED = 9, COMPARE_ERROR = 10, PARAM_ERROR = 12,
    ADDR_ERROR = 13, ADDR_NOT_MAPPED = 14, CMD_LOCKED = 15, INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17, INVALID_STOP_BIT = 18
};

static const unsigned LINES_PER_BLOCK = 20;
static const unsigned BYTES_PER_LINE = 45;

LpcIspRom::LpcIspRom()
    : flash(FLASH_SIZE), programCount(FLASH_SIZE, 0), ramLocal(RAM_SIZE), ramAhb(RAM_SIZE)
{
    // Old firmware in the flash and noise in the RAM: a host that skips the erase, or copies
    // bytes it never wrote, leaves a mark that differs from both 0xFF and its image.
    uint32_t x = 0x2545F491;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return uint8_t(x >> 11);
    };
    for (auto& b : flash)
        b = next();
    for (auto& b : ramLocal)
        b = next();
    for (auto& b : ramAhb)
        b = next();
}

void LpcIspRom::presetSynchronised(bool echoOn)
{
    state = Command;
    synchronised = true;
    echo = echoOn;
}

int LpcIspRom::sectorOf(uint32_t a)
{
    if (a >= FLASH_SIZE)
        return -1;
    if (a < 0x10000)
        return int(a / 0x1000);
    return 16 + int((a - 0x10000) / 0x8000);
}

uint32_t LpcIspRom::sectorStart(int s)
{
    return s < 16 ? uint32_t(s) * 0x1000 : 0x10000 + uint32_t(s - 16) * 0x8000;
}

uint32_t LpcIspRom::sectorSize(int s) { return s < 16 ? 0x1000 : 0x8000; }

uint8_t* LpcIspRom::ramAt(uint32_t a, uint32_t n)
{
    if (a >= LOCAL_RAM && uint64_t(a) + n <= uint64_t(LOCAL_RAM) + RAM_SIZE)
        return &ramLocal[a - LOCAL_RAM];
    if (a >= AHB_RAM && uint64_t(a) + n <= uint64_t(AHB_RAM) + RAM_SIZE)
        return &ramAhb[a - AHB_RAM];
    return nullptr;
}

bool LpcIspRom::ramRead(uint32_t a, uint32_t n, std::vector<uint8_t>& out) const
{
    const uint8_t* p = const_cast<LpcIspRom*>(this)->ramAt(a, n);
    if (!p)
        return false;
    out.assign(p, p + n);
    return true;
}

static std::string sCode(int code)
{
    return std::to_string(code) + "\r\n";
}

int LpcIspRom::forcedCode(char c)
{
    forcedSeen.resize(forced.size(), 0);
    for (size_t i = 0; i < forced.size(); ++i) {
        const ForcedCode& f = forced[i];
        if (f.command != c)
            continue;
        unsigned seen = forcedSeen[i]++;
        if (seen >= f.skip && (f.times == 0 || seen < f.skip + f.times))
            return f.code;
    }
    return -1;
}

void LpcIspRom::byte(uint8_t b, std::string& out, unsigned& delayMs)
{
    if (silent || started)
        return;
    if (state == AutoBaud) {
        if (b == '?') {
            lines.push_back("?");
            out += "Synchronized\r\n";
            state = SyncWord;
            current.clear();
        }
        return;
    }
    if (echo && state == Command && current.empty() && b != '\r' && b != '\n')
        delayMs = lateEchoMs;
    if (echo)
        out.push_back(char(b));
    if (b == '\r')
        return;
    if (b != '\n') {
        // A line longer than any the protocol has is noise; keep the buffer bounded.
        if (current.size() < 256)
            current.push_back(char(b));
        return;
    }
    std::string text;
    text.swap(current);
    if (text.empty())
        return;  // extra line ends are ignored
    line(text, out, delayMs);
}

void LpcIspRom::line(const std::string& text, std::string& out, unsigned& delayMs)
{
    switch (state) {
    case SyncWord:
        lines.push_back(text);
        if (text == "Synchronized") {
            out += "OK\r\n";
            state = Crystal;
        } else {
            state = AutoBaud;
        }
        break;
    case Crystal:
        lines.push_back(text);
        if (refuseCrystal) {
            out += "ERROR\r\n";
            state = AutoBaud;
            break;
        }
        out += "OK\r\n";
        state = Command;
        synchronised = true;
        break;
    case Command:
        lines.push_back(text);
        command(text, out, delayMs);
        break;
    case WriteData:
        writeDataLine(text, out);
        break;
    case ReadData:
        readAnswer(text, out);
        break;
    case AutoBaud:
        break;
    }
}

// A command line split into its fields after the command letter, as words and as decimal
// numbers (-1 for a word that is no number).
struct LpcIspRom::Args {
    char letter = 0;
    std::vector<long long> a;
    std::vector<std::string> w;

    explicit Args(const std::string& text) : letter(text[0])
    {
        const char* p = text.c_str() + 1;
        while (*p) {
            while (*p == ' ')
                ++p;
            if (!*p)
                break;
            const char* start = p;
            while (*p && *p != ' ')
                ++p;
            std::string word(start, p);
            w.push_back(word);
            char* end = nullptr;
            long long v = strtoll(word.c_str(), &end, 10);
            a.push_back(end && *end == 0 ? v : -1);
        }
    }

    // The first n fields are there and numbers (the mode letter of "G" excepted).
    bool need(size_t n) const
    {
        if (a.size() < n)
            return false;
        for (size_t i = 0; i < n; ++i)
            if (a[i] < 0 && !(letter == 'G' && i == 1))
                return false;
        return true;
    }
};

void LpcIspRom::command(const std::string& text, std::string& out, unsigned& delayMs)
{
    using Handler = void (LpcIspRom::*)(const Args&, std::string&, unsigned&);
    static const struct {
        char letter;
        Handler run;
    } kCommands[] = {
        {'U', &LpcIspRom::unlock},     {'A', &LpcIspRom::setEcho},
        {'B', &LpcIspRom::setBaudRate}, {'J', &LpcIspRom::readPartId},
        {'K', &LpcIspRom::readBootVersion}, {'N', &LpcIspRom::readDeviceId},
        {'P', &LpcIspRom::sectors},    {'E', &LpcIspRom::sectors},
        {'I', &LpcIspRom::sectors},    {'C', &LpcIspRom::copyToFlash},
        {'G', &LpcIspRom::go},         {'W', &LpcIspRom::startTransfer},
        {'R', &LpcIspRom::startTransfer},
    };
    Args args(text);
    int f = forcedCode(args.letter);
    if (f >= 0) {
        out += sCode(f);
        return;
    }
    for (const auto& c : kCommands)
        if (c.letter == args.letter) {
            (this->*c.run)(args, out, delayMs);
            return;
        }
    out += sCode(INVALID_COMMAND);
}

void LpcIspRom::unlock(const Args& args, std::string& out, unsigned&)
{
    if (!args.need(1))
        out += sCode(PARAM_ERROR);
    else if (args.a[0] != UNLOCK_CODE)
        out += sCode(INVALID_CODE);
    else {
        unlocked = true;
        out += sCode(CMD_SUCCESS);
    }
}

void LpcIspRom::setEcho(const Args& args, std::string& out, unsigned&)
{
    if (!args.need(1) || args.a[0] > 1)
        out += sCode(PARAM_ERROR);
    else {
        out += sCode(CMD_SUCCESS);
        echo = args.a[0] == 1;
    }
}

void LpcIspRom::setBaudRate(const Args& args, std::string& out, unsigned&)
{
    const std::vector<long long>& a = args.a;
    if (!args.need(2))
        out += sCode(PARAM_ERROR);
    else if (a[0] != 9600 && a[0] != 19200 && a[0] != 38400 && a[0] != 57600 &&
             a[0] != 115200 && a[0] != 230400)
        out += sCode(INVALID_BAUD_RATE);
    else if (a[1] != 1 && a[1] != 2)
        out += sCode(INVALID_STOP_BIT);
    else
        out += sCode(CMD_SUCCESS);
}

void LpcIspRom::readPartId(const Args&, std::string& out, unsigned&)
{
    out += sCode(CMD_SUCCESS) + std::to_string(partId) + "\r\n";
}

void LpcIspRom::readBootVersion(const Args&, std::string& out, unsigned&)
{
    out += sCode(CMD_SUCCESS) + std::to_string(bootMajor) + "\r\n" + std::to_string(bootMinor) + "\r\n";
}

void LpcIspRom::readDeviceId(const Args&, std::string& out, unsigned&)
{
    if (!answerN.empty()) {
        out += answerN;
        return;
    }
    out += sCode(CMD_SUCCESS);
    for (uint32_t v : deviceId)
        out += std::to_string(v) + "\r\n";
}

// P, E and I take a sector range; each checks it the same way first.
void LpcIspRom::sectors(const Args& args, std::string& out, unsigned& delayMs)
{
    if (!args.need(2)) {
        out += sCode(PARAM_ERROR);
        return;
    }
    if (args.a[1] < args.a[0] || args.a[1] >= SECTORS) {
        out += sCode(INVALID_SECTOR);
        return;
    }
    int s0 = int(args.a[0]), s1 = int(args.a[1]);
    if (args.letter == 'P') {
        for (int s = s0; s <= s1; ++s)
            prepared[s] = true;
        out += sCode(CMD_SUCCESS);
    } else if (args.letter == 'I') {
        blankCheck(s0, s1, out);
    } else {
        erase(s0, s1, out, delayMs);
    }
}

void LpcIspRom::blankCheck(int s0, int s1, std::string& out)
{
    for (int s = s0; s <= s1; ++s)
        for (uint32_t i = sectorStart(s); i < sectorStart(s) + sectorSize(s); ++i)
            if (flash[i] != 0xFF) {
                out += sCode(SECTOR_NOT_BLANK) + std::to_string(i) + "\r\n" + std::to_string(flash[i]) + "\r\n";
                return;
            }
    out += sCode(CMD_SUCCESS);
}

void LpcIspRom::erase(int s0, int s1, std::string& out, unsigned& delayMs)
{
    if (!unlocked) {
        out += sCode(CMD_LOCKED);
        return;
    }
    for (int s = s0; s <= s1; ++s)
        if (!prepared[s]) {
            out += sCode(SECTOR_NOT_PREPARED);
            return;
        }
    for (int s = s0; s <= s1; ++s) {
        uint32_t st = sectorStart(s);
        memset(&flash[st], 0xFF, sectorSize(s));
        memset(&programCount[st], 0, sectorSize(s));
        erased[s] = true;
    }
    // A successful erase protects every sector again, as on the chip.
    memset(prepared, 0, sizeof prepared);
    ++erases;
    delayMs = eraseDelayMs;
    out += sCode(CMD_SUCCESS);
}

void LpcIspRom::copyToFlash(const Args& args, std::string& out, unsigned&)
{
    if (!args.need(3)) {
        out += sCode(PARAM_ERROR);
        return;
    }
    uint32_t dst = uint32_t(args.a[0]), src = uint32_t(args.a[1]), n = uint32_t(args.a[2]);
    if (!unlocked)
        out += sCode(CMD_LOCKED);
    else if (dst % 256)
        out += sCode(DST_ADDR_ERROR);
    else if (uint64_t(dst) + (n ? n : 1) > FLASH_SIZE)
        out += sCode(DST_ADDR_NOT_MAPPED);
    else if (src % 4)
        out += sCode(SRC_ADDR_ERROR);
    else if (n != 256 && n != 512 && n != 1024 && n != 4096)
        out += sCode(COUNT_ERROR);
    else if (!ramAt(src, n))
        out += sCode(SRC_ADDR_NOT_MAPPED);
    else
        program(dst, ramAt(src, n), n, out);
}

void LpcIspRom::program(uint32_t dst, const uint8_t* r, uint32_t n, std::string& out)
{
    for (int s = sectorOf(dst); s <= sectorOf(dst + n - 1); ++s)
        if (!prepared[s]) {
            out += sCode(SECTOR_NOT_PREPARED);
            return;
        }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t at = dst + i;
        flash[at] &= r[i];  // programming can only clear bits
        if (programCount[at] != 0)
            ++doubleProgrammed;
        if (!erased[sectorOf(at)])
            ++unerasedProgrammed;
        if (programCount[at] < 255)
            ++programCount[at];
    }
    memset(prepared, 0, sizeof prepared);
    out += sCode(CMD_SUCCESS);
}

void LpcIspRom::go(const Args& args, std::string& out, unsigned&)
{
    if (!args.need(2) || (args.w[1] != "T" && args.w[1] != "A"))
        out += sCode(PARAM_ERROR);
    else if (!unlocked)
        out += sCode(CMD_LOCKED);
    else {
        out += sCode(CMD_SUCCESS);
        started = true;
        startAddress = uint32_t(args.a[0]);
        startMode = args.w[1][0];
    }
}

// W (RAM from the host) and R (RAM or flash to the host) start a UU-encoded transfer.
void LpcIspRom::startTransfer(const Args& args, std::string& out, unsigned&)
{
    if (!args.need(2)) {
        out += sCode(PARAM_ERROR);
        return;
    }
    bool write = args.letter == 'W';
    uint32_t addr = uint32_t(args.a[0]), n = uint32_t(args.a[1]);
    bool mapped = write ? (ramAt(addr, n) && addr >= LOCAL_RAM + 0x200) || (addr >= AHB_RAM && ramAt(addr, n))
                        : ramAt(addr, n) || uint64_t(addr) + n <= FLASH_SIZE;
    if (addr % 4)
        out += sCode(ADDR_ERROR);
    else if (n == 0 || n % 4)
        out += sCode(COUNT_ERROR);
    else if (!mapped)
        out += sCode(ADDR_NOT_MAPPED);
    else {
        out += sCode(CMD_SUCCESS);
        xferAddress = addr;
        xferCount = n;
        xferDone = xferAcked = 0;
        blockLines = 0;
        expectChecksum = false;
        block.clear();
        if (write) {
            state = WriteData;
        } else {
            state = ReadData;
            sendReadBlock(out);
        }
    }
}

static int sUUValue(char ch) { return (ch - 0x20) & 0x3F; }

static char sUUChar(unsigned v)
{
    v &= 0x3F;
    return v ? char(v + 0x20) : '`';
}

void LpcIspRom::writeDataLine(const std::string& text, std::string& out)
{
    if (expectChecksum) {
        ++checksums;
        uint32_t sum = 0;
        for (uint8_t b : block)
            sum += b;
        char* end = nullptr;
        unsigned long got = strtoul(text.c_str(), &end, 10);
        bool forcedResend = false;
        for (unsigned n : resendAt)
            forcedResend |= n == checksums;
        if (end && *end == 0 && got == sum && !forcedResend) {
            memcpy(ramAt(xferAddress + xferAcked, uint32_t(block.size())), block.data(), block.size());
            xferAcked = xferDone;
            out += checksumAnswer.empty() || checksums != 1 ? "OK\r\n" : checksumAnswer;
            if (xferDone == xferCount)
                state = Command;
        } else {
            ++resends;
            xferDone = xferAcked;
            out += "RESEND\r\n";
        }
        block.clear();
        blockLines = 0;
        expectChecksum = false;
        return;
    }
    ++dataLines;
    size_t n = size_t(sUUValue(text[0]));
    size_t pos = 1;
    for (size_t got = 0; got < n; got += 3, pos += 4) {
        int v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = pos + k < text.size() ? sUUValue(text[pos + k]) : 0;
        uint8_t bytes[3] = {uint8_t(v[0] << 2 | v[1] >> 4), uint8_t(v[1] << 4 | v[2] >> 2), uint8_t(v[2] << 6 | v[3])};
        for (size_t k = 0; k < 3 && got + k < n; ++k)
            if (xferDone < xferCount) {
                block.push_back(bytes[k]);
                ++xferDone;
            }
    }
    if (++blockLines == LINES_PER_BLOCK || xferDone == xferCount)
        expectChecksum = true;
}

void LpcIspRom::sendReadBlock(std::string& out)
{
    uint32_t sum = 0;
    unsigned linesOut = 0;
    while (xferDone < xferCount && linesOut < LINES_PER_BLOCK) {
        uint32_t n = xferCount - xferDone < BYTES_PER_LINE ? xferCount - xferDone : BYTES_PER_LINE;
        uint32_t a = xferAddress + xferDone;
        const uint8_t* src = ramAt(a, n) ? ramAt(a, n) : &flash[a];
        out.push_back(sUUChar(n));
        for (uint32_t i = 0; i < n; i += 3) {
            uint32_t g = uint32_t(src[i]) << 16 | (i + 1 < n ? uint32_t(src[i + 1]) << 8 : 0) | (i + 2 < n ? src[i + 2] : 0);
            out.push_back(sUUChar(g >> 18));
            out.push_back(sUUChar(g >> 12));
            out.push_back(sUUChar(g >> 6));
            out.push_back(sUUChar(g));
        }
        out += "\r\n";
        for (uint32_t i = 0; i < n; ++i)
            sum += src[i];
        xferDone += n;
        ++linesOut;
    }
    out += std::to_string(sum) + "\r\n";
}

void LpcIspRom::readAnswer(const std::string& text, std::string& out)
{
    if (text == "OK") {
        xferAcked = xferDone;
        if (xferDone == xferCount)
            state = Command;
        else
            sendReadBlock(out);
    } else if (text == "RESEND") {
        xferDone = xferAcked;
        sendReadBlock(out);
    } else {
        state = Command;
    }
}
