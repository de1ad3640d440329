#include "SDPLoader.h"

#include "Log.h"

#include <string>

static const unsigned int STATUS_TRIES = 5;
static const unsigned int REPLY_TIMEOUT_MS = 100;

static void sAppendBE32(std::vector<unsigned char>& r, unsigned int v)
{
    r.push_back((unsigned char)(v >> 24));
    r.push_back((unsigned char)(v >> 16));
    r.push_back((unsigned char)(v >> 8));
    r.push_back((unsigned char)v);
}

SDPLoader::SDPLoader() : loader(nullptr) {}

SDPLoader::~SDPLoader() { delete loader; }

bool SDPLoader::setLoader(SDPLoader_Interface* transport)
{
    if (!transport || loader)
        return false;
    loader = transport;
    return true;
}

unsigned char SDPLoader::init()
{
    if (!loader)
        return SDP_NO_TRANSPORT;
    if (!loader->init())
        return SDP_OPEN_FAILED;
    return SDP_OK;
}

void SDPLoader::_fillCommand(std::vector<unsigned char>& report)
{
    while (report.size() <= 16)
        report.push_back(0);
}

std::vector<unsigned char> SDPLoader::_createStatusPacket()
{
    std::vector<unsigned char> r = {0x01, 0x05, 0x05};
    _fillCommand(r);
    return r;
}

std::vector<unsigned char> SDPLoader::_createWriteFilePacket(unsigned int address, unsigned int count)
{
    std::vector<unsigned char> r = {0x01, 0x04, 0x04};
    sAppendBE32(r, address);
    r.push_back(0x20);
    sAppendBE32(r, count);
    _fillCommand(r);
    return r;
}

std::vector<unsigned char> SDPLoader::_createJumpPacket(unsigned int address)
{
    std::vector<unsigned char> r = {0x01, 0x0B, 0x0B};
    sAppendBE32(r, address);
    _fillCommand(r);
    return r;
}

std::vector<unsigned char> SDPLoader::_create4ByteReadRegisterPacket(unsigned int address)
{
    std::vector<unsigned char> r = {0x01, 0x01, 0x01};
    sAppendBE32(r, address);
    r.push_back(0x20);
    sAppendBE32(r, 4);
    _fillCommand(r);
    return r;
}

// Hex dump of a report; only built when the package is on, since data reports are 1 KiB.
void SDPLoader::_printBuffer(const std::vector<unsigned char>& bytes)
{
    if (!(Log::package_bitmask & DEBUG_iMXSerial))
        return;
    std::string text;
    char hex[8];
    for (unsigned char b : bytes) {
        snprintf(hex, sizeof hex, "%X ", b);
        text += hex;
        if (text.size() > 2000) {
            Log::log(DEBUG_iMXSerial, "%s", text.c_str());
            text.clear();
        }
    }
    Log::log(DEBUG_iMXSerial, "%s\n", text.c_str());
}

bool SDPLoader::_expectResponse(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word);
}

bool SDPLoader::_expectSuccess(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word) && word == STATUS_FILE_COMPLETE;
}

bool SDPLoader::_expectAck(const std::vector<unsigned char>& reply)
{
    unsigned int word = 0;
    return loader->getDataFromBuffer(reply, 0, word) && word == STATUS_ACK;
}

bool SDPLoader::_isConnectionAlive()
{
    std::vector<unsigned char> status = _createStatusPacket();
    for (unsigned int attempt = 0; attempt < STATUS_TRIES; ++attempt) {
        long written = loader->writeData(status);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)written);
        _printBuffer(status);
        std::vector<unsigned char> reply;
        long got = loader->readData(reply, REPLY_TIMEOUT_MS);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)got);
        _printBuffer(reply);
        if (_expectResponse(reply))
            return true;
    }
    Log::log(DEBUG_iMXSerial, "Error: No ack from iMX device\n");
    return false;
}

unsigned char SDPLoader::writeLoader(std::vector<unsigned char> file, unsigned int address)
{
    if (!loader)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    std::vector<unsigned char> command = _createWriteFilePacket(address, (unsigned int)file.size());
    long res = loader->writeData(command);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", (ssize_t)res);
    _printBuffer(command);
    if (res < 0)
        return SDP_WRITE_FAILED;

    size_t position = 0;
    long total = 0;
    int loop = 0;
    std::vector<unsigned char> report;
    report.reserve(MAX_DATA_REPORT + 1);
    while (position < file.size()) {
        std::vector<unsigned char> early;
        long got = loader->readData(early, 0);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)got);
        _printBuffer(early);
        if (!early.empty()) {
            Log::log(DEBUG_iMXSerial, "Error while transfering loader. Aborting\n");
            return SDP_UNEXPECTED_REPLY;
        }
        size_t n = file.size() - position;
        if (n > MAX_DATA_REPORT)
            n = MAX_DATA_REPORT;
        report.assign(1, 0x02);
        report.insert(report.end(), file.begin() + position, file.begin() + position + n);
        res = loader->writeData(report);
        position += n;
        Log::log(DEBUG_iMXSerial, "Write Res: %zd , Total: %d, Loop: %d, tell: %ld, size: %zd\n",
                 (ssize_t)res, (int)(total + (res > 0 ? res : 0)), loop, (long)position, (ssize_t)report.size());
        // A report that cannot be sent leaves the ROM waiting for bytes that never come;
        // waiting for its final status would only end in a misleading "bad status".
        if (res < 0)
            return SDP_WRITE_FAILED;
        total += res;
        ++loop;
    }
    Log::log(DEBUG_iMXSerial, "Written Bytes: %d\n", (int)total);
    std::vector<unsigned char> reply;
    loader->readData(reply, REPLY_TIMEOUT_MS);
    Log::log(DEBUG_iMXSerial, "Data Read: \n");
    _printBuffer(reply);
    if (_expectSuccess(reply)) {
        Log::log(DEBUG_iMXSerial, "Loader Transfer Successful\n");
        return SDP_OK;
    }
    Log::log(DEBUG_iMXSerial, "Loader Transfer Unsuccessful\n");
    return SDP_BAD_STATUS;
}

unsigned char SDPLoader::startLoader(unsigned int address)
{
    if (!loader)
        return SDP_NO_TRANSPORT;
    std::vector<unsigned char> jump = _createJumpPacket(address);
    long res = loader->writeData(jump);
    Log::log(DEBUG_iMXSerial, "Write Res: %zd\n", (ssize_t)res);
    _printBuffer(jump);
    // A jump that did not go out started nothing: no loader is coming to be waited for.
    if (res < 0)
        return SDP_WRITE_FAILED;
    std::vector<unsigned char> reply;
    loader->readData(reply, REPLY_TIMEOUT_MS);
    return SDP_OK;
}

unsigned char SDPLoader::getFingerprint(unsigned long& id)
{
    if (!loader)
        return SDP_NO_TRANSPORT;
    if (!_isConnectionAlive())
        return SDP_NO_ANSWER;
    static const unsigned int registers[2] = {0x401F4410, 0x401F4420};
    for (int half = 0; half < 2; ++half) {
        std::vector<unsigned char> command = _create4ByteReadRegisterPacket(registers[half]);
        long written = loader->writeData(command);
        Log::log(DEBUG_iMXSerial, "bytesWritten: %zu\n", (size_t)written);
        _printBuffer(command);
        std::vector<unsigned char> reply;
        long got = loader->readData(reply, REPLY_TIMEOUT_MS);
        Log::log(DEBUG_iMXSerial, "Read Data: %zd\n", (ssize_t)got);
        _printBuffer(reply);
        unsigned int value = 0;
        if (!loader->getDataFromBuffer(reply, 0, value))
            return SDP_NO_VALUE;
        id |= (unsigned long)value << (32 * half);
    }
    return SDP_OK;
}
