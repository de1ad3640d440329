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
    if (symlink(pty_.path().c_str(), linkPath_.c_str()) != 0) {
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
    if (!pty_.open(&error_))
        return false;
    if (kernelNode)
        pty_.setLine(0, 10, B115200);
    else
        pty_.setLine(1, 0, B9600);
    wake_ = eventfd(0, EFD_CLOEXEC);
    reader_ = std::thread(&PtyTransport::readLoop, this);
    return true;
}

void PtyTransport::readLoop()
{
    uint8_t buf[4096];
    for (;;) {
        int ev = waitReadable(pty_.master(), wake_, -1);
        if (ev < 0)
            return;
        if (!(ev & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t r = read(pty_.master(), buf, sizeof(buf));
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
    return pty_.master() >= 0 && tcgetattr(pty_.master(), settings) == 0;
}

void PtyTransport::closeMaster()
{
    stopReader();
    std::lock_guard<std::mutex> lock(sendMutex_);
    pty_.close();
}

bool PtyTransport::send(const uint8_t* data, size_t n)
{
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (pty_.master() < 0)
        return false;
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(pty_.master(), data + done, n - done);
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
