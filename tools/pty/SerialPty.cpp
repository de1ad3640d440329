#include "pty/SerialPty.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

SerialPty::SerialPty() {}

SerialPty::~SerialPty() { stop(); }

bool SerialPty::start(ByteHandler h)
{
    if (running)
        return false;
    if (!term.open())
        return false;
    fcntl(term.master(), F_SETFL, fcntl(term.master(), F_GETFL) | O_NONBLOCK);
    if (pipe(wake) != 0) {
        int e = errno;
        term.close();
        errno = e;
        return false;
    }
    handler = std::move(h);
    running = true;
    thread = std::thread([this] { run(); });
    return true;
}

void SerialPty::stop()
{
    if (running) {
        char c = 'q';
        if (write(wake[1], &c, 1) < 0) {
            // The thread also ends when the pipe closes below; nothing more to do.
        }
        thread.join();
        running = false;
    }
    term.close();
    for (int* fd : {&wake[0], &wake[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void SerialPty::setThrottle(unsigned bytesPerSecond)
{
    std::lock_guard<std::mutex> lock(mutex);
    throttle = bytesPerSecond;
}

void SerialPty::locked(const std::function<void()>& fn)
{
    std::lock_guard<std::mutex> lock(mutex);
    fn();
}

bool SerialPty::inject(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    return term.master() >= 0 && sendAll(bytes);
}

uint64_t SerialPty::bytesReceived()
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

static int64_t sNowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static void sSleepUntilNs(int64_t when)
{
    struct timespec ts;
    ts.tv_sec = when / 1000000000;
    ts.tv_nsec = when % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Writes the chip's answer; gives up when the host has not read anything for 2 s, since a
// chip's UART drops what nobody takes rather than stalling.
bool SerialPty::sendAll(const std::string& out)
{
    size_t done = 0;
    int idle = 0;
    while (done < out.size()) {
        ssize_t n = write(term.master(), out.data() + done, out.size() - done);
        if (n > 0) {
            done += size_t(n);
            idle = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        struct pollfd p[2] = {{term.master(), POLLOUT, 0}, {wake[0], POLLIN, 0}};
        if (poll(p, 2, 100) > 0 && (p[1].revents & POLLIN))
            return false;
        if (++idle > 20)
            return false;
    }
    return true;
}

void SerialPty::run()
{
    // Arrival time of the last paced byte: each byte arrives one byte time after the later of
    // its predecessor's arrival and the moment it was seen, so sleep overshoot never slows the
    // average rate below the configured one.
    int64_t due = 0;
    uint8_t buf[512];
    std::string out;
    for (;;) {
        struct pollfd p[2] = {{term.master(), POLLIN, 0}, {wake[0], POLLIN, 0}};
        int r = poll(p, 2, 1000);
        if (r < 0 && errno != EINTR)
            return;
        if (p[1].revents)
            return;
        if (r <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        ssize_t n = read(term.master(), buf, sizeof buf);
        if (n <= 0) {
            // EIO while no slave handle is open cannot happen (we hold one); back off anyway.
            struct pollfd w = {wake[0], POLLIN, 0};
            if (poll(&w, 1, 10) > 0)
                return;
            continue;
        }
        int64_t seen = sNowNs();
        for (ssize_t i = 0; i < n; ++i) {
            unsigned rate;
            {
                std::lock_guard<std::mutex> lock(mutex);
                rate = throttle;
            }
            if (rate) {
                int64_t period = 1000000000LL / rate;
                due = (due > seen ? due : seen) + period;
                if (due > sNowNs())
                    sSleepUntilNs(due);
            }
            out.clear();
            unsigned delayMs = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++received;
                handler(buf[i], out, delayMs);
            }
            if (delayMs) {
                struct pollfd w = {wake[0], POLLIN, 0};
                if (poll(&w, 1, int(delayMs)) > 0)
                    return;
                due = sNowNs();
            }
            if (!out.empty() && !sendAll(out)) {
                struct pollfd w = {wake[0], POLLIN, 0};
                if (poll(&w, 1, 0) > 0)
                    return;
            }
        }
    }
}

static sigset_t sStopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

PtyProgram::PtyProgram(const char* name_, int argc_, char** argv_)
    : name(name_), argc(argc_), argv(argv_)
{
    sigset_t set = sStopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

PtyProgram::~PtyProgram()
{
    if (linked)
        unlink(link.c_str());
}

bool PtyProgram::next(std::string& option)
{
    if (at + 1 >= argc)
        return false;
    option = argv[++at];
    return true;
}

std::string PtyProgram::value()
{
    if (at + 1 >= argc) {
        fprintf(stderr, "%s: %s needs a value\n", name, argv[at]);
        exit(2);
    }
    return argv[++at];
}

unsigned PtyProgram::numberValue(int base)
{
    const char* option = argv[at];
    std::string word = value();
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(word.c_str(), &end, base);
    // strtoull takes a sign and leading blanks; a number here is digits only.
    bool digits = !word.empty() && isxdigit((unsigned char)word[0]);
    if (!digits || *end != 0 || errno != 0 || v > 0xFFFFFFFFull) {
        fprintf(stderr, "%s: %s needs a number, not %s\n", name, option, word.c_str());
        exit(2);
    }
    return unsigned(v);
}

bool PtyProgram::common(const std::string& option)
{
    if (option == "--link")
        link = value();
    else if (option == "--throttle")
        throttle = numberValue();
    else
        return false;
    return true;
}

int PtyProgram::refuse(const char* what, const std::string& word)
{
    fprintf(stderr, "%s: %s %s\n", name, what, word.c_str());
    return 2;
}

int PtyProgram::fail(const char* what)
{
    std::string text = std::string(name) + ": " + what;
    perror(text.c_str());
    return 1;
}

int PtyProgram::publish(const std::string& path)
{
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(path.c_str(), link.c_str()) != 0)
            return fail("symlink");
        linked = true;
    }
    printf("PTY %s\n", path.c_str());
    fflush(stdout);
    return 0;
}

void PtyProgram::wait()
{
    sigset_t set = sStopSignals();
    int sig = 0;
    sigwait(&set, &sig);
}
