// Read throughput of the TCP and serial-port streams, one byte per call as the link engine
// reads, against a plain block-read loop on the same kind of descriptor in the same run.
// Prints "name: value" lines; the ratios are stream throughput / plain loop throughput.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "aStream.h"
#include "qcusb_driver.h"
#include "module_emu/PtyTransport.h"
#include "module_emu/TcpTransport.h"

using namespace module_emu;
using Clock = std::chrono::steady_clock;

static double sSeconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends total bytes through the transport from its own thread, in blocks.
static std::thread sFeed(Transport& t, size_t total)
{
    return std::thread([&t, total] {
        std::vector<uint8_t> block(16384);
        for (size_t i = 0; i < block.size(); i++)
            block[i] = (uint8_t)i;
        for (size_t sent = 0; sent < total;) {
            size_t n = std::min(block.size(), total - sent);
            if (!t.send(block.data(), n))
                return;
            sent += n;
        }
    });
}

// MB/s of reading total bytes one at a time from the stream.
static double sStreamRead(aStream* stream, Transport& peer, size_t total)
{
    std::thread feed = sFeed(peer, total);
    auto start = Clock::now();
    size_t got = 0;
    while (got < total) {
        char c;
        aErr err = aStream_Read(stream, &c, 1);
        if (err == aErrNone)
            got++;
        else if (err != aErrNotReady)
            break;
    }
    double s = sSeconds(start);
    feed.join();
    return got == total ? total / s / 1e6 : 0;
}

// MB/s of a plain non-blocking read loop on the descriptor, block reads of `block` bytes.
static double sPlainRead(int fd, Transport& peer, size_t total, bool socket, size_t block = 4096)
{
    std::thread feed = sFeed(peer, total);
    auto start = Clock::now();
    size_t got = 0;
    char buf[4096];
    while (got < total) {
        ssize_t r = socket ? recv(fd, buf, block, MSG_DONTWAIT) : read(fd, buf, block);
        if (r > 0)
            got += (size_t)r;
        else if (r < 0 && errno != EAGAIN && errno != EINTR)
            break;
    }
    double s = sSeconds(start);
    feed.join();
    return got == total ? total / s / 1e6 : 0;
}

int main()
{
    setvbuf(stdout, NULL, _IONBF, 0);
    bench::printLoad("start");
    const size_t tcpBytes = 64u << 20, ptyBytes = 8u << 20;

    TcpConfig config;
    config.address = "127.0.0.61";
    TcpTransport tcp(config);
    if (!tcp.ok()) {
        fprintf(stderr, "bench_streams: %s\n", tcp.error().c_str());
        return 1;
    }
    aStream* stream = nullptr;
    if (aStream_CreateSocket(tcp.addressNetworkOrder(), tcp.port(), &stream) != aErrNone
        || !tcp.waitForConnections(1, 2000)) {
        fprintf(stderr, "bench_streams: no TCP stream\n");
        return 1;
    }
    double tcpStream = sStreamRead(stream, tcp, tcpBytes);
    aStream_Destroy(&stream);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(tcp.port());
    sa.sin_addr.s_addr = tcp.addressNetworkOrder();
    if (connect(fd, (struct sockaddr*)&sa, sizeof(sa)) != 0 || !tcp.waitForConnections(2, 2000)) {
        fprintf(stderr, "bench_streams: no plain TCP connection\n");
        return 1;
    }
    double tcpPlain = sPlainRead(fd, tcp, tcpBytes, true);
    // For scale: the same loop taking one byte per system call.
    double tcpPlainBytewise = sPlainRead(fd, tcp, tcpBytes / 8, true, 1);
    close(fd);

    PtyTransport pty;
    if (!pty.ok()) {
        fprintf(stderr, "bench_streams: %s\n", pty.error().c_str());
        return 1;
    }
    if (aStream_CreateSerial(pty.slavePath().c_str(), 7, 0, 0, 0, &stream) != aErrNone) {
        fprintf(stderr, "bench_streams: no serial stream\n");
        return 1;
    }
    double ptyStream = sStreamRead(stream, pty, ptyBytes);
    aStream_Destroy(&stream);

    fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    double ptyPlain = sPlainRead(fd, pty, ptyBytes, false);
    close(fd);

    // The USB stream behind a kernel driver node: a pty with the node's bounded read, reached
    // through a symlink in a directory of our own.
    char dir[] = "/tmp/bench_streams.XXXXXX";
    if (!mkdtemp(dir)) {
        fprintf(stderr, "bench_streams: no node directory\n");
        return 1;
    }
    qcusb_set_kernel_node_directory(dir);
    const u32 serial = 0x0BE4C401;
    char nodePath[4096];
    qcusb_kernel_node_path(serial, nodePath, sizeof(nodePath));
    double nodeStream = 0, nodePlain = 0;
    {
        PtyTransport node(nodePath);
        if (!node.ok() || aStream_CreateUSB(serial, &stream) != aErrNone) {
            fprintf(stderr, "bench_streams: no node stream\n");
            return 1;
        }
        nodeStream = sStreamRead(stream, node, ptyBytes);
        aStream_Destroy(&stream);
        fd = open(node.slavePath().c_str(), O_RDWR | O_NOCTTY);
        nodePlain = sPlainRead(fd, node, ptyBytes, false);
        close(fd);
    }
    rmdir(dir);

    printf("tcp_stream_read_MBps: %.2f\n", tcpStream);
    printf("tcp_plain_read_MBps: %.2f\n", tcpPlain);
    printf("tcp_read_ratio: %.2f\n", tcpPlain > 0 ? tcpStream / tcpPlain : 0);
    printf("tcp_plain_bytewise_read_MBps: %.2f\n", tcpPlainBytewise);
    printf("pty_stream_read_MBps: %.2f\n", ptyStream);
    printf("pty_plain_read_MBps: %.2f\n", ptyPlain);
    printf("pty_read_ratio: %.2f\n", ptyPlain > 0 ? ptyStream / ptyPlain : 0);
    printf("node_stream_read_MBps: %.2f\n", nodeStream);
    printf("node_plain_read_MBps: %.2f\n", nodePlain);
    printf("node_read_ratio: %.2f\n", nodePlain > 0 ? nodeStream / nodePlain : 0);
    bench::printLoad("end");
    return tcpStream > 0 && ptyStream > 0 && nodeStream > 0 ? 0 : 1;
}
