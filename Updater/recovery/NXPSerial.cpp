#include "NXPSerial.h"

#include "Log.h"
#include "aTime.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

const NXPSector NXP_LPC17XX_sectors[31] = {
    {0x00000, 0x1000, 0},   {0x01000, 0x1000, 1},   {0x02000, 0x1000, 2},   {0x03000, 0x1000, 3},
    {0x04000, 0x1000, 4},   {0x05000, 0x1000, 5},   {0x06000, 0x1000, 6},   {0x07000, 0x1000, 7},
    {0x08000, 0x1000, 8},   {0x09000, 0x1000, 9},   {0x0A000, 0x1000, 10},  {0x0B000, 0x1000, 11},
    {0x0C000, 0x1000, 12},  {0x0D000, 0x1000, 13},  {0x0E000, 0x1000, 14},  {0x0F000, 0x1000, 15},
    {0x10000, 0x8000, 16},  {0x18000, 0x8000, 17},  {0x20000, 0x8000, 18},  {0x28000, 0x8000, 19},
    {0x30000, 0x8000, 20},  {0x38000, 0x8000, 21},  {0x40000, 0x8000, 22},  {0x48000, 0x8000, 23},
    {0x50000, 0x8000, 24},  {0x58000, 0x8000, 25},  {0x60000, 0x8000, 26},  {0x68000, 0x8000, 27},
    {0x70000, 0x8000, 28},  {0x78000, 0x8000, 29},  {0xFFFFFFFF, 0, 30},
};

const char* const NXPSerialClass::ERROR_TEXT[21] = {
    "CMD_SUCCESS", "INVALID_COMMAND", "SRC_ADDR_ERROR", "DST_ADDR_ERROR", "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED", "COUNT_ERROR", "INVALID_SECTOR", "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION", "COMPARE_ERROR", "BUSY", "PARAM_ERROR",
    "ADDR_ERROR", "ADDR_NOT_MAPPED", "CMD_LOCKED", "INVALID_CODE", "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT", "CODE_READ_PROTECTION_ENABLED", "Unknown error",
};

static const unsigned int sRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 0};
static const unsigned int TERMINATION_SIZE = 2;
static const size_t REPLY_SIZE = 1024;

using sClock = std::chrono::steady_clock;

static sClock::time_point sDeadline(unsigned int ms)
{
    return sClock::now() + std::chrono::milliseconds(ms);
}

static unsigned int sMsLeft(sClock::time_point deadline)
{
    sClock::time_point now = sClock::now();
    if (now >= deadline)
        return 0;
    return unsigned(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
}

// One byte, waiting until the deadline. The serial stream never blocks and offers no way to
// wait for readiness, so an empty line is polled in short naps: 0.2 ms is a few byte times
// at 115200 baud, small against any reply, and keeps an idle wait off the CPU. The wait shows
// under DEBUG_NXPSerial_E as one "." per millisecond without a byte.
static aErr sReadByte(aStream* stream, char* byte, sClock::time_point deadline)
{
    sClock::time_point nextDot = sClock::time_point::min();
    for (;;) {
        aErr r = aStream_Read(stream, byte, 1);
        if (r == aErrNone)
            return aErrNone;
        if (r != aErrNotReady && r != aErrIO)
            return r;
        sClock::time_point now = sClock::now();
        if ((Log::package_bitmask & DEBUG_NXPSerial_E) && now >= nextDot) {
            Log::log(DEBUG_NXPSerial_E, ".");
            nextDot = now + std::chrono::milliseconds(1);
        }
        if (now >= deadline)
            return aErrTimeout;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Byte dump under DEBUG_NXPSerial_SR; only built when that package is on.
static void sDump(const char* title, const char* data, size_t n, bool escapeLineEnds, const char* closing)
{
    if (!(Log::package_bitmask & DEBUG_NXPSerial_SR))
        return;
    std::string text = title;
    char hex[8];
    for (size_t i = 0; i < n; ++i) {
        snprintf(hex, sizeof hex, "%s%02X", i ? " " : "", (unsigned char)data[i]);
        text += hex;
    }
    text += "] [";
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)data[i];
        if (escapeLineEnds && c == '\r')
            text += "\\r";
        else if (escapeLineEnds && c == '\n')
            text += "\\n";
        else
            text += (c >= 0x20 && c < 0x7F) ? char(c) : ' ';
    }
    text += closing;
    // Log cuts a text at 2047 characters; a long dump goes out in pieces.
    for (size_t at = 0; at < text.size(); at += 2000)
        Log::log(DEBUG_NXPSerial_SR, "%s", text.substr(at, 2000).c_str());
}

// The text of a reply line without its "\r\n" is a decimal number of at most 10 digits.
static bool sDecimalLine(const char* line, unsigned long length, unsigned long* value)
{
    while (length && (line[length - 1] == '\n' || line[length - 1] == '\r'))
        --length;
    if (length == 0 || length > 10)
        return false;
    unsigned long long v = 0;
    for (unsigned long i = 0; i < length; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        v = v * 10 + unsigned(line[i] - '0');
    }
    if (v > 0xFFFFFFFFull)
        return false;
    *value = (unsigned long)v;
    return true;
}

static bool sBlankLine(const char* line, unsigned long length)
{
    for (unsigned long i = 0; i < length; ++i)
        if (line[i] != '\r' && line[i] != '\n')
            return false;
    return true;
}

NXPSerialClass::NXPSerialClass()
    : stream(nullptr), echo(true), baud(115200), status(0), echoShort(false), echoMatched(0)
{
    port[0] = 0;
    memset(deviceId, 0, sizeof deviceId);
}

NXPSerialClass::~NXPSerialClass()
{
    if (stream)
        aStream_Destroy(&stream);
}

unsigned int NXPSerialClass::_lineMs(unsigned long bytes) const
{
    unsigned int rate = baud ? baud : 2400;
    // Ten bit times per byte (start, eight data, stop), two bytes of slack, rounded up.
    return unsigned((bytes * 10000ul + 20000ul) / rate + 1);
}

aErr NXPSerialClass::Connect(const char* portName, unsigned int rate)
{
    if (stream)
        aStream_Destroy(&stream);
    if (!portName)
        return aErrParam;
    u32 index = 0;
    while (sRates[index] && sRates[index] < rate)
        ++index;
    if (!sRates[index])
        index = 2;
    baud = sRates[index];
    Log::log(DEBUG_NXPSerial, "Creating serial connection: [%s] stream baud:%d(%d)\n", portName, int(index), int(baud));
    aErr r = aStream_CreateSerial(portName, index, 0, 0, 0, &stream);
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Creating Serial [%s] ==> %s", portName, aError_GetErrorText(r));
        stream = nullptr;
        return r;
    }
    snprintf(port, sizeof port, "%s", portName);
    return aErrNone;
}

aErr NXPSerialClass::Disconnect()
{
    if (stream)
        aStream_Destroy(&stream);
    return aErrNone;
}

aErr NXPSerialClass::Send(const char* text, bool readEcho)
{
    if (!stream)
        return aErrConnection;
    size_t n = strlen(text);
    sDump("Sending:[", text, n, true, "]\n");
    aErr r = aStream_Write(stream, text, n);
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(r));
        return r;
    }
    if (readEcho && n > 1) {
        unsigned long matched = 0;
        GetEcho(text, n - 1, &matched);
    }
    return r;
}

aErr NXPSerialClass::SendCommand(const char* text, int waitMs)
{
    if (!stream)
        return aErrConnection;
    size_t n = strlen(text);
    // Whatever still waits on the line is the tail of an earlier reply that was given up on;
    // left there it would be taken for this command's echo or return code.
    char stale;
    for (int i = 0; i < 4096 && aStream_Read(stream, &stale, 1) == aErrNone; ++i) {
    }
    sDump("Sending:[", text, n, false, "]\n");
    aErr r = aStream_Write(stream, text, n);
    if (waitMs > 0) {
        Log::log(DEBUG_NXPSerial_E, "SendCommand() wait for command completion [%d ms]\n", waitMs);
        aTime_MSSleep(u64(waitMs));
    }
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(r));
        Log::log(DEBUG_NXPSerial, "Error Write Serial [%s]\n", aError_GetErrorText(r));
        return r;
    }
    echoShort = false;
    if (echo && n > 1) {
        unsigned long matched = 0;
        GetEcho(text, n - 1, &matched);
        echoShort = matched != n - 1;
        echoMatched = matched;
        if (matched != n - 1)
            Log::log(DEBUG_NXPSerial_E, "Error SendCommand() bad echo [%lu!=%lu]\n", matched, (unsigned long)(n - 1));
    }
    return r;
}

aErr NXPSerialClass::GetEcho(const char* sent, unsigned long count, unsigned long* matched)
{
    *matched = 0;
    if (!stream)
        return aErrConnection;
    if (Log::package_bitmask & DEBUG_NXPSerial_E) {
        std::string hex;
        char one[4];
        for (size_t i = 0; sent[i]; ++i) {
            snprintf(one, sizeof one, "%s%02X", i ? " " : "", (unsigned char)sent[i]);
            hex += one;
        }
        Log::log(DEBUG_NXPSerial_E, "GetEcho([%s] %lu, ...)\n", hex.c_str(), count);
        Log::log(DEBUG_NXPSerial_E, "recv Echo:[");
    }
    sClock::time_point deadline = sDeadline(ECHO_MS + _lineMs(count));
    aErr r = aErrNone;
    // Bytes that do not match (a line end left from the last reply) are dropped.
    unsigned long dropped = 0;
    while (*matched < count && dropped <= count + 16) {
        char c;
        r = sReadByte(stream, &c, deadline);
        if (r != aErrNone)
            break;
        if (c == sent[*matched]) {
            ++*matched;
            Log::log(DEBUG_NXPSerial_E, " %02X", (unsigned char)c);
        } else {
            ++dropped;
            Log::log(DEBUG_NXPSerial_E, " %02X!=%02X", (unsigned char)c, (unsigned char)sent[*matched]);
        }
    }
    Log::log(DEBUG_NXPSerial_E, "]\n");
    if (*matched < count && r == aErrNone)
        r = aErrIO;
    return r;
}

aErr NXPSerialClass::GetLine(char* buffer, unsigned long size, unsigned long* length, unsigned int timeoutMs)
{
    *length = 0;
    if (size == 0)
        return aErrParam;
    buffer[0] = 0;
    if (!stream)
        return aErrConnection;
    sClock::time_point deadline = sDeadline(timeoutMs);
    unsigned int match = 0;
    aErr r = aErrNone;
    while (*length < size - 1 && match < TERMINATION_SIZE) {
        char c;
        r = sReadByte(stream, &c, deadline);
        if (r != aErrNone)
            break;
        if (c == '\n' && *length == 0) {
            Log::log(DEBUG_NXPSerial_E, ",");
            // Dropped bytes still count against the deadline: a line that sends nothing but
            // line feeds must not hold the wait.
            if (sClock::now() >= deadline) {
                r = aErrTimeout;
                break;
            }
            continue;
        }
        if (c == "\r\n"[match])
            ++match;
        else
            match = c == '\r' ? 1 : 0;
        buffer[(*length)++] = c;
    }
    buffer[*length] = 0;
    if (Log::package_bitmask & DEBUG_NXPSerial_SR) {
        char closing[96];
        snprintf(closing, sizeof closing, "] %lu %s [%s]\n", *length, match == TERMINATION_SIZE ? "term" : "non-term",
                 aError_GetErrorText(r));
        sDump("GetLine() Received: [", buffer, *length, false, closing);
    }
    return r;
}

aErr NXPSerialClass::Response(char* buffer, unsigned long size, unsigned long* length, const char* expected,
                              unsigned long expectedLength, unsigned int timeoutMs)
{
    *length = 0;
    if (size == 0)
        return aErrParam;
    if (!stream)
        return aErrConnection;
    unsigned long limit = expected ? expectedLength : size - 1;
    if (limit > size - 1)
        limit = size - 1;
    unsigned int waitMs = timeoutMs + _lineMs(expectedLength);
    Log::log(DEBUG_NXPSerial_E, "Response() wait for serial [%lu bytes, %u, %u ms]\n", expectedLength, baud, waitMs);
    sClock::time_point deadline = sDeadline(waitMs);
    unsigned int match = 0;
    aErr r = aErrNone;
    while (*length < limit && match < TERMINATION_SIZE) {
        char c;
        r = sReadByte(stream, &c, deadline);
        if (r != aErrNone)
            break;
        bool lineEnd = *length == 0 && (c == '\n' || c == '\r');
        if (lineEnd || (*length <= 2 && c == 0)) {
            if (lineEnd)
                Log::log(DEBUG_NXPSerial_E, c == '\n' ? "Response ignoring leading \\n\n" : "Response ignoring leading \\r\n");
            else
                Log::log(DEBUG_NXPSerial_E, "Response ignoring leading 0 byte\n");
            if (sClock::now() >= deadline) {
                r = aErrTimeout;
                break;
            }
            continue;
        }
        if (expected && expected[*length] != c)
            Log::log(DEBUG_NXPSerial_E, "Error Test_Serial_Response() Expected byte %lu does not match [[%02X] %c != %c [%02X]]\n",
                     *length, (unsigned char)c, (c >= 0x20 && c < 0x7F) ? c : ' ',
                     (expected[*length] >= 0x20 && expected[*length] < 0x7F) ? expected[*length] : ' ',
                     (unsigned char)expected[*length]);
        if (c == "\r\n"[match])
            ++match;
        else
            match = c == '\r' ? 1 : 0;
        buffer[(*length)++] = c;
    }
    sDump("Response: [", buffer, *length, true, "]\n");
    return r;
}

unsigned char NXPSerialClass::GetErrorIndex(unsigned long length)
{
    if (echo && length > TERMINATION_SIZE)
        return (unsigned char)((length - 3) % 256);
    return 0;
}

const char* NXPSerialClass::GetErrorText(const char* reply)
{
    if (!reply)
        return ERROR_TEXT[MAX_ERROR];
    long code = strtol(reply, nullptr, 0);
    if (code < 0 || code > MAX_ERROR)
        return ERROR_TEXT[MAX_ERROR];
    return ERROR_TEXT[code];
}

// The return code that answers a command: the whole decimal number of the first line that is
// neither empty nor the command's own echo (late or cut short by the echo deadline). Codes 10
// to 19 count as what they are.
aErr NXPSerialClass::_returnCode(int* code, unsigned int timeoutMs, const char* sent)
{
    sClock::time_point deadline = sDeadline(timeoutMs);
    char reply[REPLY_SIZE];
    for (;;) {
        unsigned long length = 0;
        aErr r = GetLine(reply, sizeof reply, &length, sMsLeft(deadline));
        if (r != aErrNone) {
            Log::log(DEBUG_NXPSerial_E, "No return code [%s]\n", reply);
            return aErrTimeout;
        }
        // Lines passed over still count against the deadline, so a line that keeps sending
        // line ends cannot hold the wait.
        bool late = sClock::now() >= deadline;
        if (sBlankLine(reply, length)) {
            if (late)
                return aErrTimeout;
            continue;
        }
        // What the echo wait missed of the command arrives as a line of its own.
        if (sent && echoShort && echoMatched < strlen(sent) && strcmp(sent + echoMatched, reply) == 0) {
            echoShort = false;
            if (late)
                return aErrTimeout;
            continue;
        }
        unsigned long value = 0;
        if (!sDecimalLine(reply, length, &value)) {
            Log::log(DEBUG_NXPSerial, "Error response is no return code [%s]\n", reply);
            return aErrParam;  // judged like a code other than 0
        }
        *code = int(value > 1000 ? 1000 : value);
        return aErrNone;
    }
}

aErr NXPSerialClass::_numberLine(unsigned long* value, unsigned int timeoutMs)
{
    sClock::time_point deadline = sDeadline(timeoutMs);
    char line[32];
    for (;;) {
        unsigned long length = 0;
        aErr r = GetLine(line, sizeof line, &length, sMsLeft(deadline));
        if (r != aErrNone)
            return aErrTimeout;
        if (sBlankLine(line, length)) {
            if (sClock::now() >= deadline)
                return aErrTimeout;
            continue;
        }
        if (length < 2 || line[length - 1] != '\n' || !sDecimalLine(line, length, value)) {
            Log::log(DEBUG_NXPSerial, "Error malformed number line [%s]\n", line);
            return aErrIO;
        }
        return aErrNone;
    }
}

aErr NXPSerialClass::_command(const char* text, unsigned int timeoutMs, const char* name)
{
    aErr r = SendCommand(text, 0);
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(r));
        return r;
    }
    int code = 0;
    r = _returnCode(&code, timeoutMs + _lineMs(strlen(text) + 3), text);
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Error %s: no return code [%s]\n", name, aError_GetErrorText(r));
        return r;
    }
    if (code != 0) {
        Log::log(DEBUG_NXPSerial, "Error response ==>[%s]\n", code <= MAX_ERROR ? ERROR_TEXT[code] : ERROR_TEXT[MAX_ERROR]);
        status = code;
        return aErrParam;
    }
    return aErrNone;
}

aErr NXPSerialClass::SetEcho(bool on)
{
    Log::log(DEBUG_NXPSerial, "Setting device echo %d\n", on ? 1 : 0);
    char text[16];
    snprintf(text, sizeof text, "A %d\r\n", on ? 1 : 0);
    aErr r = _command(text, REPLY_MS, "SetEcho");
    if (r == aErrNone)
        echo = on;
    return r;
}

aErr NXPSerialClass::Unlock()
{
    char text[32];
    snprintf(text, sizeof text, "U %u\r\n", UNLOCK_CODE);
    return _command(text, REPLY_MS, "Unlock");
}

aErr NXPSerialClass::Prepare(unsigned int start, unsigned int end)
{
    if (end < start)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "P %u %u\r\n", start, end);
    return _command(text, REPLY_MS, "Prepare");
}

aErr NXPSerialClass::Erase(unsigned int start, unsigned int end)
{
    if (end < start)
        return aErrParam;
    char text[48];
    snprintf(text, sizeof text, "E %u %u\r\n", start, end);
    unsigned int sectors = end - start + 1 > 64 ? 64 : end - start + 1;
    return _command(text, ERASE_MS + ERASE_SECTOR_MS * sectors, "Erase");
}

aErr NXPSerialClass::CopyToFlash(unsigned int flash, unsigned int ram, unsigned int count)
{
    if (flash % 256 || (count != 256 && count != 512 && count != 1024 && count != 4096))
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "C %u %u %u\r\n", flash, ram, count);
    return _command(text, COPY_MS, "CopyToFlash");
}

aErr NXPSerialClass::ExecuteFrom(unsigned int address)
{
    char text[32];
    snprintf(text, sizeof text, "G %u T\r\n", address);
    aErr r = SendCommand(text, 0);
    if (r != aErrNone)
        Log::log(DEBUG_NXPSerial, "Error Sending command [%s] [%s]\n", text, aError_GetErrorText(r));
    return r;
}

aErr NXPSerialClass::SetBaudRate(unsigned int rate)
{
    char text[48];
    snprintf(text, sizeof text, "B %u %d\r\n", rate, 1);
    return _command(text, REPLY_MS, "SetBaudRate");
}

aErr NXPSerialClass::GetDeviceID()
{
    aErr r = _command("N\r\n", REPLY_MS, "GetDeviceID");
    if (r != aErrNone)
        return r;
    for (int k = 0; k < 4; ++k) {
        unsigned long v = 0;
        r = _numberLine(&v, REPLY_MS + _lineMs(12));
        if (r != aErrNone) {
            Log::log(DEBUG_NXPSerial, "Error GetDeviceID() word %d [%s]\n", k, aError_GetErrorText(r));
            return r;
        }
        deviceId[k] = u32(v);
    }
    return aErrNone;
}

aErr NXPSerialClass::GetBootLoaderVersion(unsigned char* major, unsigned char* minor)
{
    aErr r = _command("K\r\n", REPLY_MS, "GetBootLoaderVersion");
    unsigned long a = 0, b = 0;
    if (r == aErrNone)
        r = _numberLine(&a, REPLY_MS + _lineMs(5));
    if (r == aErrNone)
        r = _numberLine(&b, REPLY_MS + _lineMs(5));
    if (r != aErrNone)
        return r;
    if (major)
        *major = (unsigned char)a;
    if (minor)
        *minor = (unsigned char)b;
    Log::log(DEBUG_NXPSerial, "Device responded with version: %d.%d\n", int(a), int(b));
    return aErrNone;
}

aErr NXPSerialClass::GetPartNumber(long* part)
{
    aErr r = _command("J\r\n", REPLY_MS, "GetPartNumber");
    unsigned long v = 0;
    if (r == aErrNone)
        r = _numberLine(&v, REPLY_MS + _lineMs(12));
    if (r != aErrNone)
        return r;
    if (part)
        *part = long(v);
    Log::log(DEBUG_NXPSerial, "Device responded with part number: %lld\n", (long long)v);
    return aErrNone;
}

// A chip left synchronised by an earlier host takes "?" as the start of a command line: it
// echoes it (echo on) or stays quiet (echo off). Ending that line draws a return code, and
// "J" answered with a part number confirms an LPC in ISP mode, in the echo state it is in.
aErr NXPSerialClass::_probeSynchronised(bool echoOn)
{
    Log::log(DEBUG_NXPSerial, "No sync answer; probing for a chip already synchronised (echo %d)\n", echoOn ? 1 : 0);
    echo = echoOn;
    aErr r = Send("\r\n", false);
    if (r != aErrNone)
        return r;
    int code = 0;
    r = _returnCode(&code, REPLY_MS);
    if (r != aErrNone)
        return r;
    long part = 0;
    r = GetPartNumber(&part);
    if (r == aErrNone)
        Log::log(DEBUG_NXPSerial, "Chip already synchronised, part %ld, echo %d\n", part, echo ? 1 : 0);
    return r;
}

// Reads lines until "OK"; the chip's echo of what was sent may come first.
static aErr sAwaitOK(NXPSerialClass& c, const char* sent, unsigned int timeoutMs)
{
    sClock::time_point deadline = sDeadline(timeoutMs);
    char reply[REPLY_SIZE];
    for (int lines = 0; lines < 3; ++lines) {
        unsigned long length = 0;
        aErr r = c.GetLine(reply, sizeof reply, &length, sMsLeft(deadline));
        if (r != aErrNone)
            return aErrTimeout;
        if (strcmp(reply, "OK\r\n") == 0)
            return aErrNone;
        if (sBlankLine(reply, length) || strcmp(reply, sent) == 0)
            continue;
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s] != [%s]\n", reply, "OK\r\n");
        return aErrIO;
    }
    return aErrIO;
}

aErr NXPSerialClass::Sync()
{
    if (!stream)
        return aErrConnection;
    static const char SYNC[] = "Synchronized\r\n";
    aErr r = Send("?", false);
    if (r != aErrNone)
        return r;
    char reply[REPLY_SIZE];
    memset(reply, 0, sizeof reply);
    unsigned long length = 0;
    r = Response(reply, sizeof reply, &length, SYNC, 14, SYNC_MS);
    if (r != aErrNone)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response to opening sync command: [%s]. Response: [%s]\n",
                 SYNC, reply);
    if (length == 0)
        return _probeSynchronised(false);
    if (reply[0] == '?')
        return _probeSynchronised(true);
    if (length < 14 || memcmp(reply, SYNC, 14) != 0)
        Log::log(DEBUG_NXPSerial, "Did not receive correct response [%s]\n", SYNC);

    r = Send(SYNC, false);
    if (r != aErrNone)
        return r;
    aErr handshake = sAwaitOK(*this, SYNC, REPLY_MS + _lineMs(2 * 14 + 4));

    char crystal[16];
    snprintf(crystal, sizeof crystal, "%d\r\n", int(CRYSTAL_DEFAULT * 1000 + 0.5));
    r = Send(crystal, false);
    if (r != aErrNone)
        return r;
    r = sAwaitOK(*this, crystal, REPLY_MS + _lineMs(2 * strlen(crystal) + 4));
    if (handshake != aErrNone)
        return handshake == aErrTimeout ? aErrTimeout : aErrIO;
    if (r != aErrNone)
        return r;
    echo = true;  // the boot ROM echoes after synchronising
    return aErrNone;
}

char NXPSerialClass::uuchar(unsigned int v)
{
    v &= 0x3F;
    return v ? char(v + 0x20) : '`';
}

unsigned int NXPSerialClass::uuencode(char* out, const unsigned char* data, unsigned int n)
{
    if (n > MAX_BYTES_PER_LINE)
        n = MAX_BYTES_PER_LINE;
    char* p = out;
    *p++ = uuchar(n);
    for (unsigned int i = 0; i < n; i += 3) {
        unsigned int g = unsigned(data[i]) << 16;
        if (i + 1 < n)
            g |= unsigned(data[i + 1]) << 8;
        if (i + 2 < n)
            g |= data[i + 2];
        *p++ = uuchar(g >> 18);
        *p++ = uuchar(g >> 12);
        *p++ = uuchar(g >> 6);
        *p++ = uuchar(g);
    }
    *p = 0;
    return n;
}

int NXPSerialClass::uudecode(unsigned char* out, unsigned int room, const char* line)
{
    if (!line || !line[0])
        return 0;
    unsigned int n = unsigned((line[0] - 0x20) & 0x3F);
    if (room < n)
        return 0;
    size_t textLength = strcspn(line, "\r\n");
    size_t pos = 1;
    for (unsigned int got = 0; got < n; got += 3, pos += 4) {
        if (pos + 4 > textLength) {
            Log::log(DEBUG_NXPSerial, "Error buffer overrun\n");
            break;
        }
        unsigned int c[4];
        for (int k = 0; k < 4; ++k)
            c[k] = unsigned((line[pos + k] - 0x20) & 0x3F);
        unsigned char b[3] = {(unsigned char)(c[0] << 2 | c[1] >> 4), (unsigned char)(c[1] << 4 | c[2] >> 2),
                              (unsigned char)(c[2] << 6 | c[3])};
        for (unsigned int k = 0; k < 3 && got + k < n; ++k)
            out[got + k] = b[k];
    }
    return int(n);
}

int NXPSerialClass::sum(const unsigned char* data, unsigned int n)
{
    u32 s = 0;
    for (unsigned int i = 0; i < n; ++i)
        s += data[i];
    return int(s);
}

unsigned int NXPSerialClass::CopyLength(unsigned int length)
{
    if (length <= 256)
        return 256;
    if (length <= 512)
        return 512;
    if (length <= 1024)
        return 1024;
    if (length <= 4096)
        return 4096;
    Log::log(DEBUG_NXPSerial, "Copy length is too large. %u > 4096.\n", length);
    return length;
}

int NXPSerialClass::SectorFromAddress(unsigned int address)
{
    const NXPSector* s = NXP_LPC17XX_sectors;
    while (s->start != 0xFFFFFFFF && !(address >= s->start && address < s->start + s->size))
        ++s;
    return s->sector;
}

aErr NXPSerialClass::_writeCommand(unsigned int address, unsigned int count)
{
    char text[64];
    snprintf(text, sizeof text, "W %u %u\r\n", address, count);
    aErr r = SendCommand(text, 0);
    if (r != aErrNone) {
        Log::log(DEBUG_NXPSerial, "Write() Error Sending command [%s] [%s]\n", text, aError_GetErrorText(r));
        return r;
    }
    int code = 0;
    r = _returnCode(&code, REPLY_MS + _lineMs(strlen(text) + 3), text);
    if (r != aErrNone || code != 0) {
        Log::log(DEBUG_NXPSerial_SR, "Write() Error response ==>[%s]\n",
                 r != aErrNone ? aError_GetErrorText(r) : code <= MAX_ERROR ? ERROR_TEXT[code] : ERROR_TEXT[MAX_ERROR]);
        if (r != aErrNone)
            return r;
        status = code;  // as every other refused command leaves it
        return aErrParam;
    }
    return aErrNone;
}

unsigned long NXPSerialClass::_writeLines(const unsigned char* data, unsigned int acked,
                                          unsigned int& position, unsigned int count, std::string& block)
{
    char line[MAX_BYTES_PER_LINE * 4 / 3 + 8];
    block.clear();
    for (unsigned int lines = 0; lines < LINES_PER_CHECKSUM && position < count; ++lines) {
        unsigned int n = count - position < MAX_BYTES_PER_LINE ? count - position : MAX_BYTES_PER_LINE;
        uuencode(line, data + position, n);
        position += n;
        if (echo) {
            std::string withEnd = std::string(line) + "\r\n";
            Send(withEnd.c_str(), true);
        } else {
            block += line;
            block += "\r\n";
        }
    }
    int s = sum(data + acked, position - acked);
    Log::log(DEBUG_NXPSerial_SR, "Write() Checksum: %08X (%d)\n", s, s);
    char text[64];
    snprintf(text, sizeof text, "%u\r\n", unsigned(s));
    unsigned long onLine = block.size() + strlen(text);
    if (echo) {
        Send(text, true);
    } else {
        block += text;
        sDump("Sending:[", block.data(), block.size(), true, "]\n");
        aErr w = aStream_Write(stream, block.data(), block.size());
        if (w != aErrNone)
            Log::log(DEBUG_NXPSerial, "Error Test_Serial_Send() [%s]\n", aError_GetErrorText(w));
    }
    return onLine;
}

aErr NXPSerialClass::Write(unsigned int address, unsigned int count, unsigned char* data)
{
    if (count == 0 || count % 4 || !data)
        return aErrParam;
    aErr r = _writeCommand(address, count);
    if (r != aErrNone)
        return r;

    unsigned int position = 0, acked = 0, retries = MAX_READ_RETRY;
    // One block of up to 20 lines and its checksum, sent as one write when the chip does not
    // echo: the line stays busy and no byte waits on a system call.
    std::string block;
    block.reserve(LINES_PER_CHECKSUM * (MAX_BYTES_PER_LINE * 4 / 3 + 4) + 16);
    while (position < count) {
        unsigned long onLine = _writeLines(data, acked, position, count, block);
        u64 started = aTime_GetMSTicks();
        char answer[REPLY_SIZE];
        unsigned long length = 0;
        GetLine(answer, sizeof answer, &length, CHECKSUM_MS + _lineMs(onLine));
        Log::log(DEBUG_NXPSerial_SR, "Write() waited for checksum %d ms\n", int(aTime_GetMSTicks() - started + 1));
        if (strcmp(answer, "OK\r\n") == 0) {
            acked = position;
            Log::log(DEBUG_NXPSerial_SR, "Write() valid transfer of %u of %u (%.0f%%) bytes\n", position, count,
                     position * 100.0 / count);
        } else if (strcmp(answer, "RESEND\r\n") == 0) {
            if (--retries == 0) {
                Log::log(DEBUG_NXPSerial, "Write() exceeded retries\n");
                return aErrTimeout;
            }
            position = acked;
        } else {
            Log::log(DEBUG_NXPSerial, "Write() unexpected response [%s]\n", answer);
            return aErrIO;
        }
    }
    return aErrNone;
}

aErr NXPSerialClass::Read(unsigned int address, unsigned int count, unsigned char* data)
{
    if (count == 0 || count % 4 || !data)
        return aErrParam;
    char text[64];
    snprintf(text, sizeof text, "R %u %u\r\n", address, count);
    aErr r = _command(text, REPLY_MS, "Read");
    if (r != aErrNone)
        return r;
    unsigned int position = 0, acked = 0, retries = MAX_READ_RETRY;
    char line[REPLY_SIZE];
    while (position < count) {
        for (unsigned int lines = 0; lines < LINES_PER_CHECKSUM && position < count;) {
            unsigned long length = 0;
            // One deadline per data line, blank lines before it included.
            sClock::time_point deadline = sDeadline(REPLY_MS + _lineMs(64));
            do {
                if (GetLine(line, sizeof line, &length, sMsLeft(deadline)) != aErrNone
                    || (sBlankLine(line, length) && sClock::now() >= deadline)) {
                    Log::log(DEBUG_NXPSerial, "Read() no data line\n");
                    return aErrTimeout;
                }
            } while (sBlankLine(line, length));  // the tail of an echo
            ++lines;
            int n = uudecode(data + position, count - position, line);
            if (n <= 0) {
                Log::log(DEBUG_NXPSerial, "Read() bad data line [%s]\n", line);
                return aErrIO;
            }
            position += unsigned(n);
        }
        unsigned long expected = 0;
        r = _numberLine(&expected, REPLY_MS + _lineMs(16));
        if (r != aErrNone)
            return r;
        if (expected == (unsigned long)u32(sum(data + acked, position - acked))) {
            Send("OK\r\n", echo);
            acked = position;
            Log::log(DEBUG_NXPSerial, "valid receipt of %u of %u (%.0f%%) bytes\n", position, count, position * 100.0 / count);
        } else {
            if (--retries == 0)
                return aErrTimeout;
            Send("RESEND\r\n", echo);
            position = acked;
        }
    }
    return aErrNone;
}
