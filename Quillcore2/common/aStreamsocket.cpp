// TCP socket stream.
//
// The in-pipe thread reads and the out-pipe thread writes the same record at once, and either
// may find the connection reset and make a new one. The connection is shared by reference:
// each side holds the connection it works on, a reconnect swaps in a new one under the lock
// and bumps the generation, and the old descriptor closes only when the last side lets go of
// it, so no thread ever sends or receives on a descriptor number that was reused meanwhile.
// The lock is never held across send or recv.
#include "aStreamsocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "aTime.h"

#define sSOCKET_CONNECTED 0x1

namespace {

struct sConnection {
    int fd;
    explicit sConnection(int descriptor) : fd(descriptor) {}
    ~sConnection()
    {
        if (fd >= 0)
            close(fd);
    }
};

}  // namespace

struct aSocketStream {
    u16 port = 0;
    struct sockaddr_in address;
    std::atomic<int> socket{-1};        // descriptor of the current connection, -1 when none
    std::atomic<u32> flags{0};
    std::atomic<u32> generation{0};     // bumped by every reconnect and every drop
    std::mutex lock;                    // guards conn and the making of connections
    std::shared_ptr<sConnection> conn;
    // Read side only.
    std::shared_ptr<sConnection> readConn;
    u32 readGeneration = 0;
    size_t readPos = 0, readLen = 0;
    // The last receive took less than it asked for: the system's queue was empty then.
    bool readDrained = false;
    u8 readBuf[aSOCKET_READAHEAD];
    std::atomic<u16> check{aSOCKETSTREAMCHECK};
};

static bool aVALIDSS(const aSocketStream* s)
{
    return s != NULL && s->check.load() == aSOCKETSTREAMCHECK;
}

static std::shared_ptr<sConnection> sCurrent(aSocketStream* s, u32* generation)
{
    std::lock_guard<std::mutex> guard(s->lock);
    *generation = s->generation.load();
    return s->conn;
}

static aErr sSocketStreamSetOptions(int fd)
{
    int one = 1;
    struct timeval none = {0, 0};
    struct linger reset = {1, 0};   // closing resets at once and drops unsent data
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) < 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) < 0
        || setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) < 0)
        return aErrIO;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return aErrIO;
    return aErrNone;
}

static aErr sConnectError(int e)
{
    return (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
        ? aErrConnection : aErrIO;
}

// A connected, configured descriptor, or -1 with the error.
static int sConnect(const struct sockaddr_in* address, aErr* err)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = aErrIO;
        return -1;
    }
    int e = 0;
    if (connect(fd, (const struct sockaddr*)address, sizeof(*address)) < 0) {
        e = errno;
        if (e == EINPROGRESS) {
            struct pollfd p = {fd, POLLOUT, 0};
            int r;
            do {
                r = poll(&p, 1, aSOCKET_CONNECT_TIMEOUT_MS);
            } while (r < 0 && errno == EINTR);
            socklen_t len = sizeof(e);
            if (r == 0)
                e = ETIMEDOUT;
            else if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) < 0)
                e = errno;
        }
    }
    if (e != 0) {
        close(fd);
        *err = sConnectError(e);
        return -1;
    }
    *err = sSocketStreamSetOptions(fd);
    if (*err != aErrNone) {
        close(fd);
        return -1;
    }
    return fd;
}

// Caller holds the lock.
static void sSocketStreamClose(aSocketStream* s)
{
    s->flags.fetch_and(~(u32)sSOCKET_CONNECTED);
    if (s->conn) {
        // The other side may still hold this connection; end it for both now.
        shutdown(s->conn->fd, SHUT_RDWR);
        s->conn.reset();
        aTime_MSSleep(10);
    }
    s->socket = -1;
}

// Makes a new connection unless another thread already replaced the one seen at generation
// `seen`; in that case its outcome is the result.
static aErr sSocketStreamReset(aSocketStream* s, u32 seen)
{
    if (!aVALIDSS(s))
        return aErrInitialization;
    std::lock_guard<std::mutex> guard(s->lock);
    if (s->generation.load() != seen)
        return (s->flags.load() & sSOCKET_CONNECTED) ? aErrNone : aErrConnection;
    sSocketStreamClose(s);
    aErr err = aErrNone;
    int fd = sConnect(&s->address, &err);
    if (fd >= 0) {
        s->conn = std::make_shared<sConnection>(fd);
        s->socket = fd;
        s->flags.fetch_or(sSOCKET_CONNECTED);
    }
    s->generation.fetch_add(1);
    return err;
}

// Ends the connection seen at generation `seen` (a write that left part of a buffer on it),
// so that the next write starts on a clean one.
static void sSocketStreamDrop(aSocketStream* s, u32 seen)
{
    std::lock_guard<std::mutex> guard(s->lock);
    if (s->generation.load() != seen)
        return;
    sSocketStreamClose(s);
    s->generation.fetch_add(1);
}

// Replaces the connection the reader last saw (unless another thread already did) and reads
// from the current one from now on; aErrConnection when there is none.
static aErr sSocketStreamRenewRead(aSocketStream* s)
{
    aErr err = sSocketStreamReset(s, s->readGeneration);
    if (err != aErrNone)
        return err;
    s->readConn = sCurrent(s, &s->readGeneration);
    return s->readConn ? aErrNone : aErrConnection;
}

static aErr sSocketStreamGet(char* byte, void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    if (!aVALIDSS(s) || !byte)
        return aErrParam;
    if (s->readPos < s->readLen) {
        *byte = (char)s->readBuf[s->readPos++];
        return aErrNone;
    }
    if (s->readDrained) {
        // Nothing was left when the buffer was filled: report that once without asking the
        // system again. The link engine then waits for readiness, and a byte that came
        // meanwhile is taken by the next call.
        s->readDrained = false;
        return aErrNotReady;
    }
    if (!s->readConn || s->generation.load() != s->readGeneration)
        s->readConn = sCurrent(s, &s->readGeneration);
    if (!s->readConn || !(s->flags.load() & sSOCKET_CONNECTED)) {
        // A write that gave up ended the connection (or a reconnect failed). The reader makes
        // the next one itself: while its reads fail the link engine writes little, so waiting
        // for the next write could wait for ever.
        aErr err = sSocketStreamRenewRead(s);
        if (err != aErrNone)
            return err;
    }

    ssize_t r = recv(s->readConn->fd, s->readBuf, sizeof(s->readBuf), MSG_DONTWAIT);
    if (r < 0) {
        int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR)
            return aErrNotReady;
        if (e != ECONNRESET && e != ENOTCONN && e != ETIMEDOUT)
            return aErrConnection;
        // One more look on the new connection, without a further reconnect.
        aErr err = sSocketStreamRenewRead(s);
        if (err != aErrNone)
            return err;
        r = recv(s->readConn->fd, s->readBuf, sizeof(s->readBuf), MSG_DONTWAIT);
        if (r < 0) {
            e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR || e == ECONNRESET
                || e == ENOTCONN || e == ETIMEDOUT)
                return aErrNotReady;
            return aErrIO;
        }
    }
    if (r == 0)
        return aErrNotReady;   // closed in order by the peer: it reads as silence
    s->readLen = (size_t)r;
    s->readPos = 1;
    s->readDrained = s->readLen < sizeof(s->readBuf);
    *byte = (char)s->readBuf[0];
    return aErrNone;
}

static aErr sSocketStreamWrite(const char* data, size_t n, void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    if (!aVALIDSS(s) || (!data && n))
        return aErrParam;
    if (n == 0)
        return aErrNone;
    u32 seen;
    std::shared_ptr<sConnection> c = sCurrent(s, &seen);
    if (!c || !(s->flags.load() & sSOCKET_CONNECTED)) {
        // A connection dropped after a cut-short write, or lost before: make a new one.
        aErr err = sSocketStreamReset(s, seen);
        if (err != aErrNone)
            return err;
        c = sCurrent(s, &seen);
        if (!c)
            return aErrConnection;
    }

    size_t sent = 0;
    int attempts = 0;
    for (;;) {
        if (s->generation.load() != seen) {
            // The reader made a new connection: the whole buffer goes out on it, never a tail.
            c = sCurrent(s, &seen);
            sent = 0;
            if (!c)
                return aErrConnection;
        }
        ssize_t r = send(c->fd, data + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += (size_t)r;
            if (sent < n)
                attempts = 1;
        } else {
            int e = r < 0 ? errno : EAGAIN;
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
                attempts++;
            } else if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
                aErr err = sSocketStreamReset(s, seen);
                if (err != aErrNone)
                    return err;
                c = sCurrent(s, &seen);
                if (!c)
                    return aErrConnection;
                sent = 0;
                attempts++;
            } else {
                if (sent > 0)
                    sSocketStreamDrop(s, seen);
                return aErrIO;
            }
        }
        if (sent >= n || attempts >= aSOCKET_MAX_SEND_RETRY)
            break;
        // Wait for room instead of sleeping the full delay: a reader that catches up lets the
        // rest go at once.
        struct pollfd p = {c->fd, POLLOUT, 0};
        poll(&p, 1, aSOCKET_RETRY_DELAY_MS);
    }
    if (sent < n) {
        // The peer is not taking data. A connection left holding part of a packet would
        // desynchronise the peer, so it goes; the next write reconnects.
        if (sent > 0)
            sSocketStreamDrop(s, seen);
        return aErrTimeout;
    }
    return aErrNone;
}

static aErr sSocketStreamPut(const char* byte, void* ref)
{
    return sSocketStreamWrite(byte, 1, ref);
}

static aErr sSocketStreamDelete(void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    if (!s)
        return aErrIO;
    aErr err = aVALIDSS(s) ? aErrNone : aErrIO;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->readConn.reset();
        if (s->conn) {
            s->conn.reset();
            aTime_MSSleep(10);
        }
        s->flags = 0;
        s->check = 0;
    }
    delete s;
    return err;
}

aErr sSocketStreamAcceptDelete(void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    if (!s)
        return aErrIO;
    aErr err = aVALIDSS(s) ? aErrNone : aErrIO;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->conn)
            s->conn->fd = -1;   // handed on: not ours to close
        s->readConn.reset();
        s->conn.reset();
        s->check = 0;
    }
    delete s;
    return err;
}

// Readiness hook, called on the reading side: the connection it reads stays open while it
// holds it; after a reconnect it is the current one.
static int sSocketStreamDescriptor(void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    if (!aVALIDSS(s))
        return -1;
    if (s->readConn && s->generation.load() == s->readGeneration)
        return s->readConn->fd;
    return s->socket.load();
}

// Connection hook, called on the reading side: the generation of the connection whose bytes
// the last read returned (bytes buffered from a connection are served before a switch).
static u32 sSocketStreamConnection(void* ref)
{
    aSocketStream* s = (aSocketStream*)ref;
    return aVALIDSS(s) ? s->readGeneration : 0;
}

aErr aStream_CreateSocket(u32 address, u16 port, aStream** stream)
{
    if (!stream)
        return aErrResource;
    *stream = NULL;
    aSocketStream* s = new (std::nothrow) aSocketStream;
    if (!s)
        return aErrResource;
    s->port = port;
    memset(&s->address, 0, sizeof(s->address));
    s->address.sin_family = AF_INET;
    s->address.sin_port = htons(port);
    s->address.sin_addr.s_addr = address;
    if (sSocketStreamReset(s, s->generation.load()) != aErrNone) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    aStream* st = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                 sSocketStreamDelete, s);
    if (!st) {
        sSocketStreamDelete(s);
        return aErrResource;
    }
    aStream_SetDescriptorProc(st, sSocketStreamDescriptor);
    aStream_SetConnectionProc(st, sSocketStreamConnection);
    *stream = st;
    return aErrNone;
}
