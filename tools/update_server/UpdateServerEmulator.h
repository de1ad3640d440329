// An update server for tests: HTTP/1.1 on 127.0.0.1 answering the ops hi, qu, bird, builds and
// fix from a build list per serial number and image files, logging every raw query string,
// and able to misbehave in the ways a real server or network does.
#ifndef _UpdateServerEmulator_H_
#define _UpdateServerEmulator_H_

#include <cstdint>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "update_server/LoopbackServer.h"

class UpdateServerEmulator {
public:
    // How one op is answered instead of normally.
    enum class Fault {
        None,
        Status500,     // status 500, body "error"
        EmptyBody,     // status 200, no body
        NotOk,         // status 200, first line "error" (the rest as usual)
        BadBase64,     // op=bird: the image's base64 one character short
        Delay,         // the normal answer after delayMs (ends early when the client leaves)
        CloseMidBody,  // announces the whole body, sends half of it, closes
        Trickle,       // the whole body announced, then sent 4 bytes every delayMs (ends
                       // when the client leaves)
    };

    struct Build {
        std::string build;    // decimal text, as listed and as asked for with bld=
        std::string version;  // "" lists the build without a version
        std::string image;    // path of the file served for op=bird ("" = none)
    };

    UpdateServerEmulator();
    ~UpdateServerEmulator();  // stops

    // Listens on 127.0.0.1:port (0 = an ephemeral port); false (errno set) when it cannot.
    bool start(uint16_t port = 0);
    void stop();
    uint16_t port() const;
    // "http://127.0.0.1:PORT/cgi/u", the base URL clients are given.
    std::string url() const;

    // The builds of a device, in listing order. op=qu answers the current build (see
    // setCurrentBuild), else the last one listed. Image files are read when asked for.
    void setBuilds(uint32_t serial, std::vector<Build> builds);
    void setCurrentBuild(uint32_t serial, std::string const& build);
    // op=fix: the serial number and build text answered for a chip fingerprint.
    void setRecovery(uint32_t const fingerprint[4], uint32_t serial, std::string const& build);

    // op "" applies to every op; a fault set for an op wins over the one for "".
    // Delays are capped at 10 s so a test can never hang on the server (a trickle ends when
    // its client leaves or the server stops).
    void setFault(std::string const& op, Fault fault, unsigned delayMs = 0);
    void clearFaults();
    // Answers op with exactly this status and body (for reply forms the build list cannot
    // express); cleared by clearFaults.
    void setReply(std::string const& op, int status, std::string const& body);
    // Answers op with a redirect: this status (301, 302, 307, 308...) and a Location header
    // naming location; cleared by clearFaults.
    void setRedirect(std::string const& op, int status, std::string const& location);
    // Line end of every reply: "\n" (default) or "\r\n".
    void setLineEnd(std::string const& eol);

    // Raw query strings (the text after "?", as received), in arrival order.
    std::vector<std::string> queries() const;
    void clearQueries();
    // Called on the server thread with each raw query as it arrives (standalone logging).
    void onQuery(std::function<void(std::string const&)> observer);

private:
    struct FaultSetting {
        Fault fault = Fault::None;
        unsigned delayMs = 0;
    };
    struct Reply {
        int status = 200;
        std::string body;
        std::string location;  // a Location header when not empty
        FaultSetting fault;
    };
    struct Device {
        std::vector<Build> builds;
        std::string current;
    };

    using Clock = LoopbackServer::Clock;
    using Lines = std::vector<std::string>;
    struct OpQuery;

    // One connection: read the request, answer it, apply the fault, send.
    void handle(int fd);
    bool readRequest(int fd, Clock::time_point deadline, std::string& request);
    Reply route(std::string const& request);
    bool waitOutDelay(int fd, unsigned delayMs);
    void sendReply(int fd, Reply const& reply, Clock::time_point deadline);
    void trickle(int fd, std::string const& body, unsigned pauseMs);
    Reply answer(std::string const& path, std::string const& query);
    Reply answerOp(std::map<std::string, std::string> const& keys, FaultSetting fault);
    // The ops, one handler each, called with the lock held.
    Lines opHello(OpQuery const& q, std::string& imagePath);
    Lines opCurrent(OpQuery const& q, std::string& imagePath);
    Lines opBuilds(OpQuery const& q, std::string& imagePath);
    Lines opImage(OpQuery const& q, std::string& imagePath);
    Lines opRecovery(OpQuery const& q, std::string& imagePath);

    mutable std::mutex lock;
    std::map<uint32_t, Device> devices;
    std::map<std::string, std::pair<uint32_t, std::string>> recovery;  // "W0 W1 W2 W3" ->
    std::map<std::string, FaultSetting> faults;
    std::map<std::string, Reply> replies;  // their fault is the op's, set when answered
    std::string eol = "\n";
    std::vector<std::string> log;
    std::function<void(std::string const&)> observer;

    LoopbackServer server;  // declared last: destroyed (its thread joined) first
};

#endif
