// Creating calls whose link record cannot be initialised: the record has taken the stream by
// then, so the failed call releases it exactly once and leaves no entry behind.
//
// The program is linked with --wrap for eventfd (the link's wake event, the last part the
// init makes) and for aStream_Destroy, so a test can make the init fail and see every stream
// destroyed (see tests/engine.cmake).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <czmq.h>

#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "aStream.h"
#include "aStream_ZeroMQClient.h"
#include "test_sharing_tsan.h"

namespace {

// While armed, eventfd fails on the arming thread (the creating calls run there), and every
// stream destroyed is recorded; a second destroy of one stream is recorded but not passed on,
// so the test reports it instead of touching freed memory.
std::atomic<std::thread::id> gFailEventOn{};
std::atomic<int> gEventsRefused{0};
std::mutex gDestroyMutex;
bool gRecording = false;
std::vector<aStream*> gDestroyed;
int gDestroyedTwice = 0;

struct Armed {
    Armed()
    {
        std::lock_guard<std::mutex> lock(gDestroyMutex);
        gDestroyed.clear();
        gDestroyedTwice = 0;
        gRecording = true;
        gEventsRefused = 0;
        gFailEventOn = std::this_thread::get_id();
    }
    ~Armed()
    {
        gFailEventOn = std::thread::id();
        std::lock_guard<std::mutex> lock(gDestroyMutex);
        gRecording = false;
    }
};

} // namespace

extern "C" int __real_eventfd(unsigned int initval, int flags);
extern "C" int __wrap_eventfd(unsigned int initval, int flags)
{
    if (gFailEventOn.load() == std::this_thread::get_id()) {
        gEventsRefused++;
        errno = EMFILE;
        return -1;
    }
    return __real_eventfd(initval, flags);
}

// aStream_Destroy has C++ linkage: these are its mangled names.
extern "C" aErr __real__Z15aStream_DestroyPP7aStream(aStream** stream);
extern "C" aErr __wrap__Z15aStream_DestroyPP7aStream(aStream** stream)
{
    if (stream && *stream) {
        std::lock_guard<std::mutex> lock(gDestroyMutex);
        if (gRecording) {
            bool again = std::find(gDestroyed.begin(), gDestroyed.end(), *stream)
                         != gDestroyed.end();
            gDestroyed.push_back(*stream);
            if (again) {
                gDestroyedTwice++;
                *stream = NULL;
                return aErrParam;
            }
        }
    }
    return __real__Z15aStream_DestroyPP7aStream(stream);
}

namespace {

const u32 kLoopback = htonl(INADDR_LOOPBACK);

// A TCP listener on loopback: connects complete in its backlog, nothing is ever read.
struct Listener {
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        socklen_t n = sizeof a;
        if (fd >= 0 && bind(fd, (sockaddr*)&a, sizeof a) == 0 && listen(fd, 8) == 0
            && getsockname(fd, (sockaddr*)&a, &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listener()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd = -1;
    u16 port = 0;
};

// A pseudo-terminal whose slave end serves as the serial port.
struct Pty {
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            if (const char* name = ptsname(master))
                path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            close(master);
    }
    int master = -1;
    std::string path;
};

aErr sNoByte(char*, void*)
{
    return aErrNotReady;
}

aErr sPutByte(const char*, void*)
{
    return aErrNone;
}

aErr sWriteBytes(const char*, size_t, void*)
{
    return aErrNone;
}

} // namespace

TEST(LinkCreateFailure, FailedInitReleasesTheStreamOnceAndLeavesNoEntry)
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    ASSERT_NE(router, nullptr);
    int routerPort = zsock_bind(router, "tcp://127.0.0.1:*");
    ASSERT_GT(routerPort, 0);
    Listener listener;
    ASSERT_NE(listener.port, 0) << strerror(errno);
    Pty pty;
    ASSERT_FALSE(pty.path.empty()) << strerror(errno);

    struct Row {
        const char* what;
        u32 identifier;
        std::function<aLinkId()> create;
    };
    const Row rows[] = {
        {"client link", kLoopback,
         [&] { return aLink_CreateClient(kLoopback, (u32)routerPort, 0); }},
        {"TCP link", kLoopback, [&] { return aLink_CreateTCPIP(kLoopback, listener.port); }},
        {"serial link", 0x5E0000C1,
         [&] { return aLink_CreateSerial(0x5E0000C1, pty.path.c_str(), 115200); }},
        {"link on a caller's stream", 0xFFFFFFFF,
         [] {
             return aLink_Create(
                 aStream_Create(sNoByte, sPutByte, sWriteBytes, NULL, NULL));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        {
            Armed armed;
            EXPECT_EQ(row.create(), 0u);
            EXPECT_GT(gEventsRefused.load(), 0) << "the init was not made to fail";
            std::lock_guard<std::mutex> lock(gDestroyMutex);
            EXPECT_EQ(gDestroyedTwice, 0) << "a stream was destroyed twice";
            EXPECT_EQ(gDestroyed.size(), 1u) << "the stream is released with the record";
        }
        EXPECT_EQ(sLookupEntryByIdentifier(row.identifier), nullptr);
        // Nothing of the failed call is left in the way of the next one.
        aLinkId id = row.create();
        EXPECT_NE(id, 0u);
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        EXPECT_EQ(sLookupEntryByIdentifier(row.identifier), nullptr);
    }
    zsock_destroy(&router);
}
