// Link engine benchmark: request/reply round trip over loopback TCP against a plain socket
// ping-pong with the same emulator, CPU cost of idle links, and inbound throughput of the
// in-pipe thread against a plain read loop. Prints one "name: value" line per figure.
//
// Beside the two round trips a third is timed: a packet through a FIFO to a thread that puts
// it on a second FIFO back, the two hand-offs between threads that the engine adds to a
// plain ping-pong (user to out-pipe thread, in-pipe thread to user) without any I/O. The
// engine's extra time over the plain ping-pong is then mostly that.
//
// The same relay is then timed with both threads held on one CPU and on two: what a hand-off
// costs when the woken thread must be brought back on another CPU is a property of the
// machine (on a virtual machine it is mostly the host waking a halted virtual CPU), and the
// engine's round trip cannot be shorter than the plain one plus two of those. That floor is
// printed beside the ratio.
//
// bench_link [rtt|inbound|idle] runs one part only (for a profiler); without one, all three.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Timing.h"
#include "BenchStats.h"
#include "aLink.h"
#include "packetfifo.h"
#include "module_emu/ModuleCore.h"
#include "module_emu/PtyTransport.h"

namespace {

using bench::Clock;
using module_emu::ModuleCore;
using module_emu::Packet;

// Rounds of round trips; each round gives one ratio of the engine to the plain ping-pong.
const int kRounds = 25;
const int kTripsPerRound = 200;
const int kFloodPackets = 200000;

using qctest::cpuSeconds;

bool writeAll(int fd, const uint8_t* data, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        data += w;
        n -= (size_t)w;
    }
    return true;
}

bool readAll(int fd, uint8_t* data, size_t n)
{
    while (n > 0) {
        ssize_t r = recv(fd, data, n, 0);
        if (r <= 0)
            return false;
        data += r;
        n -= (size_t)r;
    }
    return true;
}

void noDelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A loopback TCP module: every accepted connection gets its own protocol core that echoes
// packets to the module address, pumped by a thread; flood() sends raw bytes to the newest.
class TcpModule {
public:
    TcpModule()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, (struct sockaddr*)&a, sizeof a);
        listen(listener_, 8);
        socklen_t len = sizeof a;
        getsockname(listener_, (struct sockaddr*)&a, &len);
        port_ = ntohs(a.sin_port);
        pipe(stop_);
        accepter_ = std::thread([this] { acceptLoop(); });
    }
    ~TcpModule()
    {
        char c = 0;
        ssize_t w = write(stop_[1], &c, 1);
        (void)w;
        accepter_.join();
        for (auto& t : pumps_)
            t.join();
        for (int fd : fds_)
            close(fd);
        close(listener_);
        close(stop_[0]);
        close(stop_[1]);
    }
    uint16_t port() const { return port_; }
    bool waitForConnections(size_t n)
    {
        auto end = Clock::now() + std::chrono::seconds(2);
        while (connections_.load() < n && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return connections_.load() >= n;
    }
    size_t connections() const { return connections_.load(); }
    int newestFd() const { return fds_.empty() ? -1 : fds_.back(); }

private:
    void acceptLoop()
    {
        for (;;) {
            struct pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            poll(fds, 2, -1);
            if (fds[1].revents)
                return;
            int fd = accept(listener_, NULL, NULL);
            if (fd < 0)
                continue;
            noDelay(fd);
            cores_.emplace_back(new ModuleCore(2));
            ModuleCore* core = cores_.back().get();
            core->setHandler(2, [](const Packet& p) { return std::vector<Packet>{p}; });
            core->setSender([fd](const uint8_t* d, size_t n) { return writeAll(fd, d, n); });
            fds_.push_back(fd);
            pumps_.emplace_back([this, fd, core] { pump(fd, *core); });
            connections_++;
        }
    }
    void pump(int fd, ModuleCore& core)
    {
        uint8_t buffer[4096];
        for (;;) {
            struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            poll(fds, 2, -1);
            if (fds[1].revents)
                return;
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            core.onBytes(buffer, (size_t)n);
        }
    }
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread accepter_;
    std::vector<std::unique_ptr<ModuleCore>> cores_;
    std::vector<std::thread> pumps_;
    std::vector<int> fds_;
    std::atomic<size_t> connections_{0};
};

int connectPlain(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    noDelay(fd);
    return fd;
}

struct Sequence {
    uint8_t value;
};

unsigned char matchSequence(const aPacket* p, const void* ref)
{
    return p->address == 2 && p->length == 2 && p->data[0] == 0x30
           && p->data[1] == ((const Sequence*)ref)->value;
}

double sPlainTrip(int fd, uint8_t sequence)
{
    uint8_t out[4] = {2, 2, 0x30, sequence};
    uint8_t in[4];
    auto t = Clock::now();
    if (!writeAll(fd, out, 4) || !readAll(fd, in, 4))
        return -1;
    return bench::micros(Clock::now() - t);
}

double sEngineTrip(aLinkId id, aPacket* request, uint8_t sequence)
{
    request->data[1] = sequence;
    Sequence s{sequence};
    auto t = Clock::now();
    aLink_PutPacket(id, request);
    aPacket* reply = aLink_AwaitFirst(id, matchSequence, &s, 1000);
    double took = bench::micros(Clock::now() - t);
    bool got = reply != NULL;
    aPacket_Destroy(&reply);
    return got ? took : -1;
}

// Holds the calling thread on one CPU.
bool holdOn(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// Two FIFOs and a thread that moves every packet from the first to the second.
class FifoRelay {
public:
    // cpu >= 0 holds the relay thread on that CPU.
    explicit FifoRelay(int cpu = -1) : in_(aPacketFifo_Create()), out_(aPacketFifo_Create())
    {
        relay_ = std::thread([this, cpu] {
            if (cpu >= 0)
                holdOn(cpu);
            while (!stop_.load()) {
                aPacket* p = aPacketFifo_Await(in_, 1000);
                if (p)
                    aPacketFifo_Put(out_, p);
                aPacket_Destroy(&p);
            }
        });
    }
    ~FifoRelay()
    {
        stop_ = true;
        aPacketFifo_WakeWaiters(in_);
        relay_.join();
        aPacketFifo_Destroy(&in_);
        aPacketFifo_Destroy(&out_);
    }
    double trip(const aPacket* request, uint8_t sequence)
    {
        Sequence s{sequence};
        auto t = Clock::now();
        aPacketFifo_Put(in_, request);
        aPacket* reply = aPacketFifo_AwaitFirst(out_, matchSequence, &s, 1000);
        double took = bench::micros(Clock::now() - t);
        bool got = reply != NULL;
        aPacket_Destroy(&reply);
        return got ? took : -1;
    }

private:
    aPacketFifoId in_, out_;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

// Plain, engine and FIFO round trips alternate trip by trip, the first of each three changing
// every trip, so all see the same load on the machine; every round gives its own ratio.
// Returns the plain round trip's median.
double roundTrips(int plainFd, aLinkId id)
{
    const uint8_t echo[2] = {0x30, 0};
    aPacket* request = aPacket_CreateWithData(2, 2, echo);
    FifoRelay relay;
    std::vector<double> plainAll, engineAll, fifoAll, ratios;
    int replies = 0;
    for (int r = 0; r < kRounds; r++) {
        std::vector<double> plainUs, engineUs, fifoUs;
        for (int i = 0; i < kTripsPerRound; i++) {
            uint8_t sequence = (uint8_t)(r * kTripsPerRound + i);
            for (int k = 0; k < 3; k++) {
                double us;
                switch ((i + k) % 3) {
                case 0:
                    if ((us = sPlainTrip(plainFd, sequence)) > 0)
                        plainUs.push_back(us);
                    break;
                case 1:
                    if ((us = sEngineTrip(id, request, sequence)) > 0) {
                        engineUs.push_back(us);
                        replies++;
                    }
                    break;
                default:
                    request->data[1] = sequence;
                    if ((us = relay.trip(request, sequence)) > 0)
                        fifoUs.push_back(us);
                    break;
                }
            }
        }
        double p = bench::medianOf(plainUs);
        if (p > 0 && !engineUs.empty())
            ratios.push_back(bench::medianOf(engineUs) / p);
        plainAll.insert(plainAll.end(), plainUs.begin(), plainUs.end());
        engineAll.insert(engineAll.end(), engineUs.begin(), engineUs.end());
        fifoAll.insert(fifoAll.end(), fifoUs.begin(), fifoUs.end());
    }
    aPacket_Destroy(&request);
    bench::Spread plain = bench::spreadOf(plainAll);
    bench::Spread engine = bench::spreadOf(engineAll);
    bench::printSpread("rtt_plain_median_us", plain, "trips");
    bench::printSpread("rtt_engine_median_us", engine, "trips");
    bench::printSpread("rtt_fifo_handoffs_median_us", bench::spreadOf(fifoAll), "trips");
    printf("rtt_engine_extra_us: %.1f\n", engine.median - plain.median);
    printf("rtt_engine_replies: %d of %d\n", replies, kRounds * kTripsPerRound);
    bench::printSpread("rtt_ratio", bench::spreadOf(ratios), "rounds");
    return plain.median;
}

// The FIFO relay with the relay thread on the caller's CPU and on another one, trip by trip
// in turn; the caller is held on its CPU meanwhile and let go after.
void sHandoffPlacement(double plainMedian)
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
        printf("rtt_fifo_handoffs_cross_cpu_us: n/a (fewer than two CPUs)\n");
        return;
    }
    int cpus[2] = {-1, -1};
    for (int c = 0, n = 0; c < CPU_SETSIZE && n < 2; c++)
        if (CPU_ISSET(c, &allowed))
            cpus[n++] = c;
    holdOn(cpus[0]);
    std::vector<double> same, cross;
    {
        FifoRelay near(cpus[0]), far(cpus[1]);
        const uint8_t echo[2] = {0x30, 0};
        aPacket* request = aPacket_CreateWithData(2, 2, echo);
        for (int i = 0; i < kRounds * kTripsPerRound; i++) {
            uint8_t sequence = (uint8_t)i;
            request->data[1] = sequence;
            double us = (i & 1) ? near.trip(request, sequence) : far.trip(request, sequence);
            if (us > 0)
                ((i & 1) ? same : cross).push_back(us);
        }
        aPacket_Destroy(&request);
    }
    sched_setaffinity(0, sizeof allowed, &allowed);
    bench::Spread s = bench::spreadOf(same), c = bench::spreadOf(cross);
    bench::printSpread("rtt_fifo_handoffs_same_cpu_us", s, "trips");
    bench::printSpread("rtt_fifo_handoffs_cross_cpu_us", c, "trips");
    if (plainMedian > 0)
        printf("rtt_ratio_floor_cross_cpu: %.2f\n", (plainMedian + c.median) / plainMedian);
}

std::vector<uint8_t> floodBytes()
{
    std::vector<uint8_t> bytes;
    bytes.reserve((size_t)kFloodPackets * 30);
    for (int i = 0; i < kFloodPackets; i++) {
        bytes.push_back(2);
        bytes.push_back(28);
        bytes.push_back(0x40);
        for (int k = 1; k < 28; k++)
            bytes.push_back((uint8_t)(i + k));
    }
    return bytes;
}

std::atomic<int> gSeen{0};
std::atomic<bool> gCounting{false};

unsigned char countFlood(const aPacket* p, void*)
{
    if (gCounting.load() && p->length == 28 && p->data[0] == 0x40)
        gSeen++;
    return 0; // not consumed: every packet is queued on the in FIFO as usual
}

// Inbound: a flood from the module side into the link, counted by the user filter as the
// in-pipe thread assembles each packet, while a user takes them off the in FIFO; then the
// same flood through a plain read loop on a connection of its own.
void sInbound(TcpModule& module, aLinkId id)
{
    std::vector<uint8_t> flood = floodBytes();
    aLink_InstallUserPacketFilter(id, countFlood, NULL);
    std::atomic<bool> draining{true};
    std::thread drainer([&] {
        while (draining.load()) {
            aPacket* p = aLink_AwaitPacket(id, 50);
            aPacket_Destroy(&p);
        }
    });
    gSeen = 0;
    gCounting = true;
    int moduleFd = module.newestFd();
    auto start = Clock::now();
    writeAll(moduleFd, flood.data(), flood.size());
    auto deadline = start + std::chrono::seconds(60);
    while (gSeen.load() < kFloodPackets && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    double engineSeconds = bench::micros(Clock::now() - start) / 1e6;
    int seen = gSeen.load();
    gCounting = false;
    draining = false;
    drainer.join();
    aLink_InstallUserPacketFilter(id, NULL, NULL);
    double enginePps = seen / engineSeconds;

    int reader = connectPlain(module.port());
    module.waitForConnections(module.connections() + 1);
    int floodFd = module.newestFd();
    std::thread writer([&] { writeAll(floodFd, flood.data(), flood.size()); });
    std::vector<uint8_t> buffer(65536);
    size_t got = 0;
    start = Clock::now();
    while (got < flood.size()) {
        ssize_t n = recv(reader, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    double plainSeconds = bench::micros(Clock::now() - start) / 1e6;
    writer.join();
    close(reader);
    double plainPps = (double)got / 30.0 / plainSeconds;
    printf("inbound_packets_per_s: %.0f\n", enginePps);
    printf("inbound_packets_seen: %d of %d\n", seen, kFloodPackets);
    printf("inbound_plain_bytes_per_s: %.0f\n", (double)got / plainSeconds);
    printf("inbound_plain_packets_per_s: %.0f\n", plainPps);
    printf("inbound_ratio: %.3f\n", plainPps > 0 ? enginePps / plainPps : 0.0);
}

// Idle: the TCP link (open all along) and a serial link, both idle for 5 s.
void sIdle()
{
    ModuleCore serialCore(4);
    module_emu::PtyTransport pty; // destroyed first: its reader ends before the core
    serialCore.attach(pty);
    aLinkId serial = pty.ok() ? aLink_CreateSerial(0x5E0000B1, pty.slavePath().c_str(), 115200) : 0;
    if (!serial)
        fprintf(stderr, "no serial link; idle figure covers the TCP link only\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double cpuBefore = cpuSeconds();
    auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    double idleCpu = cpuSeconds() - cpuBefore;
    double idleWall = bench::micros(Clock::now() - idleStart) / 1e6;
    printf("idle_links: %d\n", serial ? 2 : 1);
    printf("idle_cpu_percent: %.2f\n", 100.0 * idleCpu / idleWall);

    if (serial)
        aLink_Destroy(&serial);
    serialCore.detach(pty);
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    const std::string only = argc > 1 ? argv[1] : "";
    if (!only.empty() && only != "rtt" && only != "inbound" && only != "idle") {
        fprintf(stderr, "usage: bench_link [rtt|inbound|idle]\n");
        return 1;
    }
    bench::printLoad("start");
    TcpModule module;
    const u32 loopback = htonl(INADDR_LOOPBACK); // network order, as a linkSpec holds it

    // Round trips between the same two endpoints: the emulator and this process.
    int plain = connectPlain(module.port());
    if (plain < 0 || !module.waitForConnections(1)) {
        fprintf(stderr, "cannot reach the emulator\n");
        return 1;
    }
    aLinkId id = aLink_CreateTCPIP(loopback, module.port());
    if (!id || !module.waitForConnections(2)) {
        fprintf(stderr, "no TCP link\n");
        return 1;
    }
    if (only.empty() || only == "rtt")
        sHandoffPlacement(roundTrips(plain, id));
    close(plain);
    if (only.empty() || only == "inbound")
        sInbound(module, id);
    if (only.empty() || only == "idle")
        sIdle();
    aLink_Destroy(&id);
    bench::printLoad("end");
    return 0;
}
