// Pseudo-terminal transport: serial-port peer and kernel driver node.
#include "module_emu/PtyTransport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace module_emu {

PtyTransport::PtyTransport()
{
    open(false);
}

PtyTransport::PtyTransport(const std::string& linkPath) : linkPath_(linkPath)
{
    if (!open(true))
        return;
    unlink(linkPath_.c_str());
    if (symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
        error_ = "symlink " + linkPath_ + ": " + strerror(errno);
        linkPath_.clear();
        closeMaster();
    }
}

PtyTransport::~PtyTransport()
{
    closeMaster();
    if (!linkPath_.empty())
        unlink(linkPath_.c_str());
    if (wake_ >= 0)
        ::close(wake_);
}

bool PtyTransport::open(bool kernelNode)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
        error_ = std::string("posix_openpt: ") + strerror(errno);
        if (m >= 0)
            ::close(m);
        return false;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof(name)) != 0) {
        error_ = "ptsname";
        ::close(m);
        return false;
    }
    slavePath_ = name;
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0) {
        error_ = std::string("open slave: ") + strerror(errno);
        ::close(m);
        return false;
    }
    struct termios t;
    tcgetattr(slaveHold_, &t);
    cfmakeraw(&t);
    if (kernelNode) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 10;
        cfsetispeed(&t, B115200);
        cfsetospeed(&t, B115200);
    } else {
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
    }
    tcsetattr(slaveHold_, TCSANOW, &t);
    wake_ = eventfd(0, EFD_CLOEXEC);
    master_ = m;
    reader_ = std::thread(&PtyTransport::readLoop, this);
    return true;
}

void PtyTransport::readLoop()
{
    uint8_t buf[4096];
    for (;;) {
        int ev = waitReadable(master_, wake_, -1);
        if (ev < 0)
            return;
        if (!(ev & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t r = read(master_, buf, sizeof(buf));
        if (r > 0) {
            deliver(buf, (size_t)r);
        } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
            // No slave open at all: wait for the stop instead of spinning on EIO.
            waitReadable(-1, wake_, -1);
            return;
        }
    }
}

void PtyTransport::stopReader()
{
    if (reader_.joinable()) {
        uint64_t one = 1;
        if (write(wake_, &one, sizeof(one)) < 0) {
        }
        reader_.join();
    }
}

bool PtyTransport::lineSettings(struct termios* settings) const
{
    return master_ >= 0 && tcgetattr(master_, settings) == 0;
}

void PtyTransport::closeMaster()
{
    stopReader();
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (slaveHold_ >= 0)
        ::close(slaveHold_);
    slaveHold_ = -1;
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

bool PtyTransport::send(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (master_ < 0)
        return false;
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(master_, data + done, n - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += (size_t)w;
    }
    return true;
}

}  // namespace module_emu
