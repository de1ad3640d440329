// A link stream on one end of a socket pair, and the emulator's protocol core answering on the
// other, fed by a thread of its own. The host end is a plain non-blocking descriptor with the
// readiness hook, as the socket and serial transports are; the device end is the emulator's
// core, so tests and benchmarks script a device without framing its bytes themselves.
// Header-only: the benchmarks use it without the tests' support library.
#ifndef QCTEST_SOCKETPAIRLINK_H
#define QCTEST_SOCKETPAIRLINK_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <thread>

#include "aLink.h"
#include "module_emu/ModuleCore.h"

namespace qctest {

namespace pairstream {

inline int fdOf(void* ref)
{
    return (int)(intptr_t)ref;
}

// Never blocks: a closed far end is EOF, nothing yet is not-ready.
inline aErr get(char* byte, void* ref)
{
    ssize_t n = read(fdOf(ref), byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0)
        return aErrEOF;
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? aErrNotReady : aErrIO;
}

// Writes everything, waiting for room when the pair's buffer is full.
inline aErr write(const char* data, size_t length, void* ref)
{
    int fd = fdOf(ref);
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return aErrIO;
        data += n;
        length -= (size_t)n;
    }
    return aErrNone;
}

inline aErr put(const char* byte, void* ref)
{
    return write(byte, 1, ref);
}

inline aErr destroy(void* ref)
{
    close(fdOf(ref));
    return aErrNone;
}

inline int descriptor(void* ref)
{
    return fdOf(ref);
}

} // namespace pairstream

// The host end of a socket pair as a link stream that owns the descriptor; NULL on failure.
inline aStream* socketPairStream(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    aStream* stream = aStream_Create(pairstream::get, pairstream::put, pairstream::write,
                                     pairstream::destroy, (void*)(intptr_t)fd);
    if (stream)
        aStream_SetDescriptorProc(stream, pairstream::descriptor);
    return stream;
}

// Feeds what arrives on the device end into the core until destroyed; the core's replies go
// back on the same descriptor, which the pump owns.
class CorePump {
public:
    CorePump(module_emu::ModuleCore& core, int fd) : mCore(core), mFd(fd)
    {
        if (pipe(mStop) != 0)
            mStop[0] = mStop[1] = -1;
        core.setSender([this](const uint8_t* data, size_t n) {
            return pairstream::write((const char*)data, n, (void*)(intptr_t)mFd) == aErrNone;
        });
        mThread = std::thread([this] { run(); });
    }
    ~CorePump()
    {
        char c = 0;
        ssize_t w = ::write(mStop[1], &c, 1);
        (void)w;
        mThread.join();
        mCore.setSender(nullptr);
        close(mStop[0]);
        close(mStop[1]);
        close(mFd);
    }
    CorePump(const CorePump&) = delete;
    CorePump& operator=(const CorePump&) = delete;

private:
    void run()
    {
        uint8_t buffer[4096];
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

// A socket pair whose device end the core answers; stream() hands out the host end once.
class CoreOnSocketPair {
public:
    explicit CoreOnSocketPair(module_emu::ModuleCore& core)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return;
        mHostFd = sv[0];
        mPump.reset(new CorePump(core, sv[1]));
    }
    ~CoreOnSocketPair()
    {
        if (mHostFd >= 0)
            close(mHostFd);
    }
    // The link stream of the host end (it owns the descriptor from now on); NULL when the
    // pair could not be made or the stream was taken already.
    aStream* stream()
    {
        aStream* s = mHostFd >= 0 ? socketPairStream(mHostFd) : nullptr;
        if (s)
            mHostFd = -1;
        return s;
    }
    // Stops the core's feed and closes the device end (the host reads EOF).
    void stop() { mPump.reset(); }

private:
    int mHostFd = -1;
    std::unique_ptr<CorePump> mPump;
};

// A link made with aLink_Create on a socket pair whose far end the core answers.
struct EmulatedLink {
    explicit EmulatedLink(uint8_t address = 2) : core(address)
    {
        if (aStream* s = pair.stream())
            id = aLink_Create(s);
    }
    ~EmulatedLink()
    {
        if (id)
            aLink_Destroy(&id);
        pair.stop();
    }
    module_emu::ModuleCore core;
    CoreOnSocketPair pair{core};
    aLinkId id = 0;
};

} // namespace qctest

#endif
