#include "Serial_SDPLoader_unix.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

static const unsigned int LINE_BAUD = 115200;
static const int WRITE_STALL_MS = 1000;     // no progress this long: the device is gone
static const size_t MAX_READ_BYTES = 4096;  // per readData call
static const size_t SERIAL_REPLY_SIZE = 8;
static const unsigned char COMMAND_REPORT = 0x01;

using sClock = std::chrono::steady_clock;

class PrivateSerial_SDPLoader {
public:
    explicit PrivateSerial_SDPLoader(const char* p) : fd(-1), path(p) {}
    int fd;  // -1 while closed
    const char* path;
    struct termios settings;
    unsigned int settleMs = 1000;
    // When the UART will have shifted out everything written so far. A real port's drain
    // covers this; a pseudo-terminal's returns at once, so the estimate is what keeps a
    // reply wait from ending before a queued block has even reached the chip.
    sClock::time_point lineFree;
};

Serial_SDPLoader::Serial_SDPLoader(const char* path, unsigned int settleMs)
    : p(new PrivateSerial_SDPLoader(path))
{
    p->settleMs = settleMs;
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (p->fd >= 0) {
        tcflush(p->fd, TCIOFLUSH);
        close(p->fd);
        p->fd = -1;
    }
    delete p;
}

bool Serial_SDPLoader::init()
{
    if (!p->path)
        return false;
    p->fd = open(p->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->fd < 0 || !isatty(p->fd)) {
        if (p->fd >= 0)
            close(p->fd);
        p->fd = -1;
        return false;
    }
    struct termios& t = p->settings;
    if (tcgetattr(p->fd, &t) != 0)
        t = termios();
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(p->fd, TCSAFLUSH, &t) != 0) {
        close(p->fd);
        p->fd = -1;
        return false;
    }
    if (p->settleMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(p->settleMs));
    tcflush(p->fd, TCIOFLUSH);
    p->lineFree = sClock::now();
    return true;
}

long Serial_SDPLoader::writeData(const std::vector<unsigned char>& report)
{
    if (p->fd < 0 || report.empty())
        return -1;
    // A reply is read as soon as 8 bytes are in, so whatever waits before a command (an
    // earlier reply that came late, bytes of another chip family's probe) would be taken for
    // the start of its reply. Data reports keep the input: the ROM may have said why it
    // stopped taking a file.
    if (report[0] == COMMAND_REPORT)
        tcflush(p->fd, TCIFLUSH);
    const unsigned char* data = report.data() + 1;  // the report id does not go on the line
    size_t left = report.size() - 1;
    size_t sent = 0;
    sClock::time_point lastProgress = sClock::now();
    while (sent < left) {
        ssize_t n = write(p->fd, data + sent, left - sent);
        if (n > 0) {
            sent += size_t(n);
            lastProgress = sClock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        int waited = int(std::chrono::duration_cast<std::chrono::milliseconds>(sClock::now() - lastProgress).count());
        if (waited >= WRITE_STALL_MS)
            return -1;
        struct pollfd pfd = {p->fd, POLLOUT, 0};
        poll(&pfd, 1, WRITE_STALL_MS - waited);
    }
    sClock::time_point now = sClock::now();
    if (p->lineFree < now)
        p->lineFree = now;
    p->lineFree += std::chrono::microseconds(uint64_t(sent) * 10 * 1000000 / LINE_BAUD);
    return long(sent);
}

long Serial_SDPLoader::readData(std::vector<unsigned char>& reply, unsigned int timeoutMs)
{
    if (p->fd < 0)
        return 0;
    size_t got = 0;
    unsigned char buffer[256];
    auto takeWaiting = [&] {
        while (got < MAX_READ_BYTES) {
            size_t room = MAX_READ_BYTES - got < sizeof buffer ? MAX_READ_BYTES - got : sizeof buffer;
            ssize_t n = read(p->fd, buffer, room);
            if (n <= 0)
                return;
            reply.insert(reply.end(), buffer, buffer + n);
            got += size_t(n);
        }
    };
    if (timeoutMs == 0) {
        takeWaiting();
        return long(got);
    }
    tcdrain(p->fd);
    sClock::time_point start = sClock::now() > p->lineFree ? sClock::now() : p->lineFree;
    sClock::time_point deadline = start + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        takeWaiting();
        if (got >= SERIAL_REPLY_SIZE || got >= MAX_READ_BYTES)
            break;
        sClock::time_point now = sClock::now();
        if (now >= deadline)
            break;
        struct pollfd pfd = {p->fd, POLLIN, 0};
        int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
        if (poll(&pfd, 1, ms) < 0 && errno != EINTR)
            break;
    }
    return long(got);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int index,
                                         unsigned int& value)
{
    if (index > 15 || reply.size() < (size_t(index) + 2) * 4)
        return false;
    for (unsigned int k = 0; k < 4; ++k)
        value |= (unsigned int)reply[index + 4 + k] << (8 * k);
    return true;
}
