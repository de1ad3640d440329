// One HTTP GET over libcurl's easy interface, as the update-server client uses it.
#ifndef _HTTPRequest_H_
#define _HTTPRequest_H_

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

// The result of a GET: the URL as sent, the HTTP status and the body.
class HTTPResponse {
public:
    explicit HTTPResponse(char const* request);

    // Appends n bytes to the body. Throws std::length_error when the body would pass the
    // limit (see set_limit), so a runaway server cannot exhaust memory.
    void process(char const* bytes, unsigned long n);
    void set_status(long status);
    long get_status() const;
    char const* get_request() const;
    // The body's characters, NUL-terminated and writable: replies are cut into lines in place.
    char* get_response();
    unsigned long get_length() const;

    void set_limit(unsigned long maxBytes);
    // Why the body was refused mid-transfer (empty when it was not).
    std::string const& get_failure() const;
    void set_failure(std::string const& text);
    // Where a redirect reply points (its Location, made absolute); empty for any other reply.
    std::string const& get_redirect() const;
    void set_redirect(std::string const& url);

private:
    std::string request;
    int64_t status;
    std::string response;
    unsigned long limit;
    std::string failure;
    std::string redirect;
};

// A GET that failed in libcurl: what() is the class of the failure as curl_easy_strerror names
// it, reason() the particular one from curl's error buffer (which certificate problem, which
// address refused the connection), or what() again when the buffer is empty.
class HTTPFailure : public std::runtime_error {
public:
    HTTPFailure(std::string const& what, std::string const& reason);
    std::string const& reason() const;

private:
    std::string detail;
};

// Bounds of every request. The defaults: give up connecting after 10 s, abort a transfer that
// moves less than 1 byte/s for 30 s, refuse a body over 64 MiB, and end a request that has
// not finished after 30 s as a whole (120 s for an image), however its bytes trickle in.
struct HTTPLimits {
    long connectTimeoutMs = 10000;
    long lowSpeedTimeS = 30;
    unsigned long maxBody = 64UL * 1024 * 1024;
    long queryTimeoutMs = 30000;
    long imageTimeoutMs = 120000;
};

// Which overall bound of HTTPLimits a request runs under.
enum class HTTPBound { Query, Image };

class HTTPRequest {
public:
    // GETs url followed by "?key=value&" for every pair in key order (nothing escaped; no "?"
    // when query is empty), over http or https only; redirects are not followed. Returns the
    // response whatever its status; throws std::runtime_error when no request could be made,
    // HTTPFailure when the transfer failed, also when it did not finish within the bound or
    // the URL names another scheme.
    static HTTPResponse GET(char const* url, std::map<std::string, std::string>& query,
                            HTTPBound bound = HTTPBound::Query);

    static void SetLimits(HTTPLimits const& limits);
    static HTTPLimits GetLimits();
};

// libcurl write callback: appends the chunk to the HTTPResponse `response`. Returns
// size * count, or 0 (which fails the transfer) when the body is refused; never throws.
size_t _rcv_data(void* bytes, size_t size, size_t count, void* response);

// Whether a failed curl_easy_setopt of `option` must fail the request. Turning off the
// certificate-status check cannot fail on a libcurl built without it.
bool _setoptFailureIsFatal(int option, int code);

#endif
