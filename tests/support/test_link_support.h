// Engine test fixture: a link on one end of a socket pair, the emulator's protocol core on
// the other, pumped by a thread of its own. The stream is a plain non-blocking descriptor with
// the readiness hook, as the socket and serial transports are.
#ifndef TEST_LINK_SUPPORT_H
#define TEST_LINK_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "aLink.h"
#include "module_emu/ModuleCore.h"

namespace linktest {

struct FdRef {
    int fd;
};

inline aErr fdGet(char* byte, void* ref)
{
    ssize_t n = recv(((FdRef*)ref)->fd, byte, 1, MSG_DONTWAIT);
    if (n == 1)
        return aErrNone;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return aErrIO;
    return aErrNotReady;
}

inline aErr fdWrite(const char* data, size_t n, void* ref)
{
    while (n > 0) {
        ssize_t w = send(((FdRef*)ref)->fd, data, n, MSG_NOSIGNAL);
        if (w < 0)
            return aErrIO;
        data += w;
        n -= (size_t)w;
    }
    return aErrNone;
}

inline aErr fdPut(const char* byte, void* ref)
{
    return fdWrite(byte, 1, ref);
}

inline aErr fdDelete(void* ref)
{
    close(((FdRef*)ref)->fd);
    delete (FdRef*)ref;
    return aErrNone;
}

inline int fdDescriptor(void* ref)
{
    return ((FdRef*)ref)->fd;
}

// Feeds what arrives on fd into the core until stopped; the core writes back to fd.
class Pump {
public:
    Pump(module_emu::ModuleCore& core, int fd) : mCore(core), mFd(fd)
    {
        if (pipe(mStop) != 0)
            mStop[0] = mStop[1] = -1;
        core.setSender([this](const uint8_t* data, size_t n) {
            FdRef r{mFd};
            return fdWrite((const char*)data, n, &r) == aErrNone;
        });
        mThread = std::thread([this] { run(); });
    }
    ~Pump()
    {
        char c = 0;
        ssize_t w = write(mStop[1], &c, 1);
        (void)w;
        mThread.join();
        mCore.setSender(nullptr);
        close(mStop[0]);
        close(mStop[1]);
        close(mFd);
    }

private:
    void run()
    {
        uint8_t buffer[512];
        for (;;) {
            struct pollfd fds[2] = {{mFd, POLLIN, 0}, {mStop[0], POLLIN, 0}};
            if (poll(fds, 2, 1000) < 0)
                return;
            if (fds[1].revents)
                return;
            // Data that came with a hang-up is still read: the last packets of a stop.
            if (fds[0].revents) {
                ssize_t n = read(mFd, buffer, sizeof buffer);
                if (n <= 0)
                    return;
                mCore.onBytes(buffer, (size_t)n);
            }
        }
    }
    module_emu::ModuleCore& mCore;
    int mFd;
    int mStop[2];
    std::thread mThread;
};

// A link made with aLink_Create on a socket pair whose far end the core answers.
class EmulatedLink {
public:
    explicit EmulatedLink(uint8_t address = 2) : core(address)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return;
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        pump.reset(new Pump(core, sv[1]));
        aStream* stream = aStream_Create(fdGet, fdPut, fdWrite, fdDelete, new FdRef{sv[0]});
        aStream_SetDescriptorProc(stream, fdDescriptor);
        id = aLink_Create(stream);
    }
    ~EmulatedLink()
    {
        if (id)
            aLink_Destroy(&id);
        pump.reset();
    }
    module_emu::ModuleCore core;
    std::unique_ptr<Pump> pump;
    aLinkId id = 0;
};

inline std::vector<module_emu::Packet> echo(const module_emu::Packet& request)
{
    return {request};
}

inline bool waitUntil(const std::function<bool()>& pred, int ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline long msSince(std::chrono::steady_clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - t)
        .count();
}

} // namespace linktest

#endif
