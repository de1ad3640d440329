// A wait for input on a few ZeroMQ sockets that costs fewer system calls than zpoller_wait.
//
// zpoller_wait (zmq_poll) asks every socket for its events before it sleeps and again after it
// wakes, and each ask of a socket with nothing for it costs two system calls: a wait on four
// sockets makes some twenty per message. A socket's descriptor (ZMQ_FD) is signalled when a
// command reaches the socket, among them the one telling it that a message came into a pipe
// it had found empty; so a socket whose events showed no input can be left to that signal,
// until this thread receives or sends on it (either may take the command without the signal
// being seen). This wait therefore asks only a socket that gave input last, one the caller
// sent on, and those whose descriptor was signalled, and sleeps in one poll of all of them.
//
// One thread alone uses a wait and its sockets, as with a zpoller.
#ifndef _zReadyWait_H_
#define _zReadyWait_H_

#include <czmq.h>
#include <errno.h>
#include <poll.h>

#include <chrono>

class zReadyWait {
public:
    static const int kMaxSockets = 8;

    // Adds a socket, actor or actor pipe (anything zsock_resolve takes); false when full or
    // when it is no socket.
    bool add(void* handle)
    {
        if (mCount == kMaxSockets || !handle)
            return false;
        void* socket = zsock_resolve(handle);
        int fd = -1;
        size_t size = sizeof(fd);
        if (!socket || zmq_getsockopt(socket, ZMQ_FD, &fd, &size) != 0)
            return false;
        mItems[mCount].handle = handle;
        mItems[mCount].socket = socket;
        mItems[mCount].ask = true;
        mFds[mCount].fd = fd;
        mFds[mCount].events = POLLIN;
        mCount++;
        return true;
    }

    // The caller sent on this socket: its events may have changed without a signal.
    void sent(void* handle)
    {
        for (int i = 0; i < mCount; i++)
            if (mItems[i].handle == handle)
                mItems[i].ask = true;
    }

    // The first socket, in the order added, with a message to receive; NULL when none has one
    // within ms, or when the wait was interrupted or the context ended (terminated() says so).
    void* wait(int ms)
    {
        mTerminated = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        // A socket left to its signal is looked at even while another keeps giving input.
        bool anyAsk = false;
        for (int i = 0; i < mCount; i++)
            anyAsk = anyAsk || mItems[i].ask;
        if (anyAsk && !sleepUntil(deadline, true))
            return NULL;
        for (;;) {
            for (int i = 0; i < mCount; i++) {
                if (!mItems[i].ask)
                    continue;
                int events = 0;
                size_t size = sizeof(events);
                if (zmq_getsockopt(mItems[i].socket, ZMQ_EVENTS, &events, &size) != 0) {
                    mTerminated = true; // the context is ending
                    return NULL;
                }
                if (events & ZMQ_POLLIN)
                    return mItems[i].handle; // asked again next time: there may be more
                mItems[i].ask = false;
            }
            if (!sleepUntil(deadline, false)) {
                // As a zpoller: a wait that found nothing tells an interrupted process.
                mTerminated = mTerminated || zsys_interrupted;
                return NULL;
            }
        }
    }

    bool terminated() const { return mTerminated; }

private:
    // Polls the descriptors (at once when `now`, else until the deadline) and marks the
    // signalled sockets to be asked. False at the deadline or when interrupted.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline, bool now)
    {
        for (;;) {
            int ms = 0;
            if (!now) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return false;
                ms = (int)left.count();
            }
            int ready = poll(mFds, (nfds_t)mCount, ms);
            if (ready < 0 && errno == EINTR) {
                if (zsys_interrupted) {
                    mTerminated = true;
                    return false;
                }
                continue;
            }
            if (ready < 0) {
                mTerminated = true;
                return false;
            }
            for (int i = 0; i < mCount; i++)
                if (mFds[i].revents)
                    mItems[i].ask = true;
            return now || ready > 0;
        }
    }

    struct Item {
        void* handle;
        void* socket;
        bool ask;  // its events must be asked: it may have input without a new signal
    };
    Item mItems[kMaxSockets];
    struct pollfd mFds[kMaxSockets];
    int mCount = 0;
    bool mTerminated = false;
};

#endif
