#include "UpdateServerEmulator.h"

#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

unsigned const kMaxDelayMs = 10000;
// A client gets this long to send its request and to take the reply.
int const kIoTimeoutMs = 5000;
size_t const kMaxRequest = 16384;

using Clock = LoopbackServer::Clock;

std::string sBase64(std::string const& bytes)
{
    static char const alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (uint8_t)bytes[i] << 16 | (uint8_t)bytes[i + 1] << 8 | (uint8_t)bytes[i + 2];
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += alphabet[v >> 6 & 63];
        out += alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = (uint8_t)bytes[i] << 16 | (rest > 1 ? (uint8_t)bytes[i + 1] << 8 : 0);
        out += alphabet[v >> 18 & 63];
        out += alphabet[v >> 12 & 63];
        out += rest > 1 ? alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

bool sReadFile(std::string const& path, std::string& out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    char buffer[65536];
    size_t n;
    out.clear();
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        out.append(buffer, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

std::map<std::string, std::string> sParseQuery(std::string const& query)
{
    std::map<std::string, std::string> keys;
    size_t start = 0;
    while (start < query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string::npos)
            amp = query.size();
        std::string pair = query.substr(start, amp - start);
        size_t eq = pair.find('=');
        if (!pair.empty())
            keys.emplace(pair.substr(0, eq), eq == std::string::npos ? "" : pair.substr(eq + 1));
        start = amp + 1;
    }
    return keys;
}

// Serial numbers travel as exactly eight upper-case hexadecimal digits.
bool sParseSerial(std::string const& text, uint32_t* serial)
{
    if (text.size() != 8)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    *serial = (uint32_t)strtoul(text.c_str(), nullptr, 16);
    return true;
}

std::string sFingerprintKey(uint32_t const w[4])
{
    char text[40];
    snprintf(text, sizeof text, "%08X %08X %08X %08X", w[0], w[1], w[2], w[3]);
    return text;
}

char const* sReason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

UpdateServerEmulator::UpdateServerEmulator() {}

UpdateServerEmulator::~UpdateServerEmulator() { stop(); }

bool UpdateServerEmulator::start(uint16_t port)
{
    return server.start(port, true, [this](int fd) { handle(fd); });
}

void UpdateServerEmulator::stop() { server.stop(); }

uint16_t UpdateServerEmulator::port() const { return server.port(); }

std::string UpdateServerEmulator::url() const
{
    return "http://127.0.0.1:" + std::to_string(server.port()) + "/cgi/u";
}

void UpdateServerEmulator::setBuilds(uint32_t serial, std::vector<Build> builds)
{
    std::lock_guard<std::mutex> hold(lock);
    devices[serial].builds = std::move(builds);
}

void UpdateServerEmulator::setCurrentBuild(uint32_t serial, std::string const& build)
{
    std::lock_guard<std::mutex> hold(lock);
    devices[serial].current = build;
}

void UpdateServerEmulator::setRecovery(uint32_t const fingerprint[4], uint32_t serial,
                                       std::string const& build)
{
    std::lock_guard<std::mutex> hold(lock);
    recovery[sFingerprintKey(fingerprint)] = {serial, build};
}

void UpdateServerEmulator::setFault(std::string const& op, Fault fault, unsigned delayMs)
{
    std::lock_guard<std::mutex> hold(lock);
    faults[op] = FaultSetting{fault, delayMs < kMaxDelayMs ? delayMs : kMaxDelayMs};
}

void UpdateServerEmulator::clearFaults()
{
    std::lock_guard<std::mutex> hold(lock);
    faults.clear();
    replies.clear();
}

void UpdateServerEmulator::setReply(std::string const& op, int status, std::string const& body)
{
    std::lock_guard<std::mutex> hold(lock);
    Reply reply;
    reply.status = status;
    reply.body = body;
    replies[op] = reply;
}

void UpdateServerEmulator::setRedirect(std::string const& op, int status,
                                       std::string const& location)
{
    std::lock_guard<std::mutex> hold(lock);
    Reply reply;
    reply.status = status;
    reply.body = "moved" + eol;
    reply.location = location;
    replies[op] = reply;
}

void UpdateServerEmulator::setLineEnd(std::string const& lineEnd)
{
    std::lock_guard<std::mutex> hold(lock);
    eol = lineEnd;
}

std::vector<std::string> UpdateServerEmulator::queries() const
{
    std::lock_guard<std::mutex> hold(lock);
    return log;
}

void UpdateServerEmulator::clearQueries()
{
    std::lock_guard<std::mutex> hold(lock);
    log.clear();
}

void UpdateServerEmulator::onQuery(std::function<void(std::string const&)> fn)
{
    std::lock_guard<std::mutex> hold(lock);
    observer = std::move(fn);
}

void UpdateServerEmulator::handle(int fd)
{
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    std::string request;
    if (!readRequest(fd, deadline, request))
        return;
    Reply reply = route(request);
    if (reply.fault.fault == Fault::Delay) {
        if (!waitOutDelay(fd, reply.fault.delayMs))
            return;
        deadline = Clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
    }
    if (reply.fault.fault == Fault::Status500) {
        reply.status = 500;
        reply.body = "error" + eol;
    } else if (reply.fault.fault == Fault::EmptyBody) {
        reply.status = 200;
        reply.body.clear();
    }
    sendReply(fd, reply, deadline);
}

// Reads until the end of the request's header; false on a request too long, at the deadline,
// on stop, or when the client has gone.
bool UpdateServerEmulator::readRequest(int fd, Clock::time_point deadline, std::string& request)
{
    size_t headerEnd = std::string::npos;
    while (headerEnd == std::string::npos) {
        if (request.size() > kMaxRequest)
            return false;
        pollfd fds[2] = {{fd, POLLIN, 0}, {server.wakeFd(), POLLIN, 0}};
        int left = LoopbackServer::remainingMs(deadline);
        if (left == 0 || poll(fds, 2, left) <= 0 || fds[1].revents)
            return false;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return false;
        }
        request.append(buffer, (size_t)n);
        headerEnd = request.find("\r\n\r\n");
        if (headerEnd == std::string::npos)
            headerEnd = request.find("\n\n");
    }
    return true;
}

// The request line: a malformed one is 400 and anything but GET 405; every query that
// arrives is recorded and shown to the observer first.
UpdateServerEmulator::Reply UpdateServerEmulator::route(std::string const& request)
{
    std::string line = request.substr(0, request.find_first_of("\r\n"));
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    Reply reply;
    if (sp2 == std::string::npos) {
        reply.status = 400;
        reply.body = "bad request\n";
        return reply;
    }
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t q = target.find('?');
    std::string path = target.substr(0, q);
    std::string query = q == std::string::npos ? "" : target.substr(q + 1);
    std::function<void(std::string const&)> watch;
    {
        std::lock_guard<std::mutex> hold(lock);
        log.push_back(query);
        watch = observer;
    }
    if (watch)
        watch(query);
    if (method != "GET") {
        reply.status = 405;
        reply.body = "GET only\n";
        return reply;
    }
    return answer(path, query);
}

// Waits out a delay fault unless the server stops or the client gives up first (false then).
bool UpdateServerEmulator::waitOutDelay(int fd, unsigned delayMs)
{
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(delayMs);
    bool watchClient = true;
    for (int left; (left = LoopbackServer::remainingMs(until)) > 0;) {
        pollfd fds[2] = {{server.wakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
        int r = poll(fds, watchClient ? 2 : 1, left);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        if (fds[0].revents)
            return false;
        char peek;
        ssize_t n = recv(fd, &peek, 1, MSG_PEEK);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        watchClient = false;
    }
    return true;
}

void UpdateServerEmulator::sendReply(int fd, Reply const& reply, Clock::time_point deadline)
{
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + sReason(reply.status) +
                       "\r\nContent-Type: text/plain\r\nContent-Length: " +
                       std::to_string(reply.body.size()) + "\r\n";
    if (!reply.location.empty())
        head += "Location: " + reply.location + "\r\n";
    head += "Connection: close\r\n\r\n";
    if (!LoopbackServer::sendAll(fd, server.wakeFd(), head.data(), head.size(), deadline))
        return;
    size_t bodyBytes = reply.body.size();
    if (reply.fault.fault == Fault::CloseMidBody)
        bodyBytes /= 2;
    if (reply.fault.fault == Fault::Trickle) {
        trickle(fd, reply.body, reply.fault.delayMs);
        return;
    }
    LoopbackServer::sendAll(fd, server.wakeFd(), reply.body.data(), bodyBytes, deadline);
}

void UpdateServerEmulator::trickle(int fd, std::string const& body, unsigned pauseMs)
{
    for (size_t at = 0; at < body.size(); at += 4) {
        size_t n = body.size() - at < 4 ? body.size() - at : 4;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kIoTimeoutMs);
        if (!LoopbackServer::sendAll(fd, server.wakeFd(), body.data() + at, n, deadline))
            return;
        // The pause ends early when the server stops or the client hangs up.
        pollfd fds[2] = {{server.wakeFd(), POLLIN, 0}, {fd, POLLIN, 0}};
        for (Clock::time_point until = Clock::now() + std::chrono::milliseconds(pauseMs);;) {
            int left = LoopbackServer::remainingMs(until);
            if (left == 0)
                break;
            int r = poll(fds, 2, left);
            if (r < 0 && errno != EINTR)
                return;
            if (r <= 0)
                continue;
            if (fds[0].revents)
                return;
            char peek;
            ssize_t got = recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return;
            // Bytes the client sends after its request are no reason to stop.
            fds[1].events = 0;
        }
    }
}

UpdateServerEmulator::Reply UpdateServerEmulator::answer(std::string const& path,
                                                         std::string const& query)
{
    Reply reply;
    if (path != "/cgi/u") {
        reply.status = 404;
        reply.body = "not found\n";
        return reply;
    }
    std::map<std::string, std::string> keys = sParseQuery(query);
    std::string op = keys.count("op") ? keys["op"] : "";
    FaultSetting fault;
    {
        std::lock_guard<std::mutex> hold(lock);
        auto f = faults.find(op);
        if (f == faults.end())
            f = faults.find("");
        if (f != faults.end())
            fault = f->second;
        auto r = replies.find(op);
        if (r != replies.end()) {
            reply = r->second;
            reply.fault = fault;
            return reply;
        }
    }
    return answerOp(keys, fault);
}

// One op's query keys and the device its "sn" names (null when unknown).
struct UpdateServerEmulator::OpQuery {
    std::map<std::string, std::string> const& keys;
    Device const* device;

    std::string const* key(char const* name) const
    {
        auto it = keys.find(name);
        return it == keys.end() ? nullptr : &it->second;
    }
};

UpdateServerEmulator::Reply
UpdateServerEmulator::answerOp(std::map<std::string, std::string> const& keys, FaultSetting fault)
{
    using Handler = Lines (UpdateServerEmulator::*)(OpQuery const&, std::string& imagePath);
    static const struct {
        char const* op;
        Handler run;
    } kOps[] = {
        {"hi", &UpdateServerEmulator::opHello},   {"qu", &UpdateServerEmulator::opCurrent},
        {"builds", &UpdateServerEmulator::opBuilds}, {"bird", &UpdateServerEmulator::opImage},
        {"fix", &UpdateServerEmulator::opRecovery},
    };
    Reply reply;
    reply.fault = fault;
    auto opKey = keys.find("op");
    std::string nl;
    Lines lines;
    std::string imagePath;
    {
        std::lock_guard<std::mutex> hold(lock);
        nl = eol;
        uint32_t serial = 0;
        auto sn = keys.find("sn");
        bool knownSerial = sn != keys.end() && sParseSerial(sn->second, &serial) && devices.count(serial);
        OpQuery query{keys, knownSerial ? &devices[serial] : nullptr};
        if (opKey == keys.end())
            lines = {"error no op"};
        else
            lines = {"error unknown op"};
        for (const auto& o : kOps)
            if (opKey != keys.end() && opKey->second == o.op) {
                lines = (this->*o.run)(query, imagePath);
                break;
            }
    }
    if (!imagePath.empty()) {
        std::string bytes;
        if (!sReadFile(imagePath, bytes)) {
            lines = {"error image unreadable"};
        } else {
            std::string text = sBase64(bytes);
            if (fault.fault == Fault::BadBase64 && !text.empty())
                text.pop_back();
            lines = {"ok", text};
        }
    }
    if (fault.fault == Fault::NotOk && !lines.empty())
        lines[0] = "error";
    for (std::string const& l : lines)
        reply.body += l + nl;
    return reply;
}

UpdateServerEmulator::Lines UpdateServerEmulator::opHello(OpQuery const&, std::string&)
{
    return {"ok"};
}

// The device's current build: the one set, else the last one listed.
UpdateServerEmulator::Lines UpdateServerEmulator::opCurrent(OpQuery const& q, std::string&)
{
    if (!q.device)
        return {"error unknown device"};
    if (q.device->builds.empty() && q.device->current.empty())
        return {"error no build"};
    std::string current = !q.device->current.empty() ? q.device->current : q.device->builds.back().build;
    std::string version;
    for (Build const& b : q.device->builds)
        if (b.build == current)
            version = b.version;
    return {"ok", current, version};
}

UpdateServerEmulator::Lines UpdateServerEmulator::opBuilds(OpQuery const& q, std::string&)
{
    if (!q.device)
        return {"error unknown device"};
    Lines lines = {"ok"};
    for (Build const& b : q.device->builds)
        lines.push_back(b.version.empty() ? b.build : b.build + ";" + b.version);
    return lines;
}

// A build's image: only its path here, the file is read once the lock is released.
UpdateServerEmulator::Lines UpdateServerEmulator::opImage(OpQuery const& q, std::string& imagePath)
{
    std::string const* bld = q.key("bld");
    if (!q.device || !bld || !q.key("fw") || !q.key("no_cal"))
        return {"error bad request"};
    for (Build const& b : q.device->builds)
        if (b.build == *bld)
            imagePath = b.image;
    if (imagePath.empty())
        return {"error no such build"};
    return {};
}

UpdateServerEmulator::Lines UpdateServerEmulator::opRecovery(OpQuery const& q, std::string&)
{
    std::string const* fp = q.key("fp");
    std::string words = fp ? *fp : "";
    for (size_t at; (at = words.find("%20")) != std::string::npos;)
        words.replace(at, 3, " ");
    auto it = recovery.find(words);
    if (!q.key("brief") || it == recovery.end())
        return {"error unknown chip"};
    char serialText[16];
    snprintf(serialText, sizeof serialText, "%08X", it->second.first);
    return {"ok", serialText, it->second.second};
}
