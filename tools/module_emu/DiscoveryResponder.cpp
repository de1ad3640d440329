#include "module_emu/DiscoveryResponder.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace module_emu {

namespace {
const char* kGroup = "232.2.2.2";
const uint16_t kRequestPort = 9888;
const uint16_t kReplyPort = 9889;
} // namespace

DiscoveryResponder::DiscoveryResponder(const DiscoveryIdentity& identity) : identity_(identity) {}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

std::vector<uint8_t> DiscoveryResponder::replyFor(const DiscoveryIdentity& id)
{
    std::vector<uint8_t> r(16, 0);
    r[0] = 2;
    r[1] = id.address;
    r[2] = uint8_t(id.tcpPort);
    r[3] = uint8_t(id.tcpPort >> 8);
    for (int i = 0; i < 4; i++)
        r[4 + i] = uint8_t(id.serialNumber >> (8 * i));
    r[12] = id.model;
    return r;
}

bool DiscoveryResponder::start()
{
    in_addr join{}, from{}, group{};
    if (inet_pton(AF_INET, identity_.joinOn.c_str(), &join) != 1
        || inet_pton(AF_INET, identity_.replyFrom.c_str(), &from) != 1) {
        error_ = "bad joinOn or replyFrom address";
        return false;
    }
    inet_pton(AF_INET, kGroup, &group);

    // Several emulated modules share the request port, as modules on one network do.
    listen_ = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kRequestPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    membership.imr_multiaddr = group;
    membership.imr_interface = join;
    if (listen_ < 0 || setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0
        || bind(listen_, (sockaddr*)&local, sizeof(local)) != 0
        || setsockopt(listen_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership))
               != 0) {
        error_ = std::string("request socket: ") + strerror(errno);
        stop();
        return false;
    }
    // Replies leave from the module's own address, which the host then connects to.
    reply_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr = from;
    if (reply_ < 0 || bind(reply_, (sockaddr*)&source, sizeof(source)) != 0) {
        error_ = std::string("reply socket: ") + strerror(errno);
        stop();
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = "pipe";
        stop();
        return false;
    }
    thread_ = std::thread(&DiscoveryResponder::run, this);
    return true;
}

void DiscoveryResponder::stop()
{
    if (thread_.joinable()) {
        char c = 0;
        if (write(wake_[1], &c, 1) != 1) {
            // the thread also ends when the pipe closes below
        }
        thread_.join();
    }
    for (int* fd : {&listen_, &reply_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

std::vector<std::vector<uint8_t>> DiscoveryResponder::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void DiscoveryResponder::run()
{
    std::vector<uint8_t> reply = replyFor(identity_);
    reply.resize(std::min(identity_.replyLength, reply.size()));
    for (;;) {
        pollfd fds[2] = {{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        uint8_t buffer[64];
        sockaddr_in sender{};
        socklen_t length = sizeof(sender);
        ssize_t n = recvfrom(listen_, buffer, sizeof(buffer), 0, (sockaddr*)&sender, &length);
        if (n < 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.emplace_back(buffer, buffer + n);
        }
        if (identity_.silent || n != 16 || buffer[0] != 1)
            continue;
        sender.sin_port = htons(kReplyPort);
        for (int i = 0; i < identity_.repliesPerRequest; i++) {
            sendto(reply_, reply.data(), reply.size(), 0, (sockaddr*)&sender, sizeof(sender));
            // A long burst is paced so the host's receive buffer never drops a reply.
            if (i % 32 == 31)
                usleep(2000);
        }
    }
}

} // namespace module_emu
