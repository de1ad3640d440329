// The library's first use of CZMQ from two threads at once. CZMQ sets up its process-wide
// context in two halves; a socket made by one thread between the halves of another thread's
// set-up aborts the process. This binary holds the second half open (it replaces getenv,
// which the set-up calls there) so that a second thread's socket would fall into it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "aStream.h"
#include "aStream_ZeroMQClient.h"
#include "zBeaconInterface.h"

extern char** environ;

static std::atomic<bool> sHold{false};
static u16 sPort = 0;
static std::atomic<bool> sHeld{false};

// Plain lookup in environ, so it serves before main and under every sanitizer; while sHold is
// set, the set-up's read of its interface setting (after CZMQ let other threads in) waits.
extern "C" char* getenv(const char* name)
{
    if (sHold.load() && strcmp(name, "ZSYS_INTERFACE") == 0) {
        sHold = false;
        sHeld = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    size_t n = strlen(name);
    for (char** e = environ; e && *e; e++)
        if (strncmp(*e, name, n) == 0 && (*e)[n] == '=')
            return *e + n + 1;
    return nullptr;
}

// A plain TCP listener for the client streams to reach, so that no CZMQ call comes before the
// ones the case makes.
static int sListen()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, (sockaddr*)&address, length) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (sockaddr*)&address, &length) != 0)
        return -1;
    sPort = ntohs(address.sin_port);
    return fd;
}

// In a child, since the context is made once per process: one thread's first use is held
// inside CZMQ's set-up while another thread makes a client stream (its sockets and actor).
static int sFirstUsesAtOnce(void (*first)())
{
    pid_t child = fork();
    if (child == 0) {
        if (sListen() < 0)
            _exit(2);
        sHold = true;
        std::thread holder(first);
        while (!sHeld.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        aStream* stream = NULL;
        aErr err = aStream_CreateClient(htonl(INADDR_LOOPBACK), sPort, &stream);
        holder.join();
        if (stream)
            aStream_Destroy(&stream);
        _exit(err == aErrNone ? 0 : 10 + (int)err);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

TEST(CzmqFirstUse, TwoThreadsBeginningAtOnceBothWork)
{
    struct Case {
        const char* what;
        void (*first)();
    } cases[] = {
        {"the beacon interface set", [] {
             if (zBeaconInterface_setAndLock("127.0.0.1"))
                 zBeaconInterface_unlock();
         }},
        {"the beacon interface read", [] { zBeaconInterface_get(); }},
        {"a second client stream", [] {
             aStream* stream = NULL;
             aStream_CreateClient(htonl(INADDR_LOOPBACK), sPort, &stream);
             if (stream)
                 aStream_Destroy(&stream);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int status = sFirstUsesAtOnce(c.first);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}
