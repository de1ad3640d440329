#include "HTTPRequest.h"

#include "Log.h"

#include <curl/curl.h>

#include <mutex>
#include <stdexcept>

// The scheme limits below are given as names, which libcurl reads from 7.85 on.
#if LIBCURL_VERSION_NUM < 0x075500
#error "libcurl 7.85 or newer is needed (CURLOPT_PROTOCOLS_STR)"
#endif

HTTPResponse::HTTPResponse(char const* req)
    : request(req ? req : ""), status(0), limit(HTTPLimits().maxBody)
{
}

void HTTPResponse::process(char const* bytes, unsigned long n)
{
    if (n > limit || response.size() > limit - n)
        throw std::length_error("response body exceeds " + std::to_string(limit) + " bytes");
    response.append(bytes, n);
}

void HTTPResponse::set_status(long s) { status = s; }
long HTTPResponse::get_status() const { return (long)status; }
char const* HTTPResponse::get_request() const { return request.c_str(); }
char* HTTPResponse::get_response() { return &response[0]; }
unsigned long HTTPResponse::get_length() const { return response.size(); }
void HTTPResponse::set_limit(unsigned long maxBytes) { limit = maxBytes; }
std::string const& HTTPResponse::get_failure() const { return failure; }
void HTTPResponse::set_failure(std::string const& text) { failure = text; }
std::string const& HTTPResponse::get_redirect() const { return redirect; }
void HTTPResponse::set_redirect(std::string const& url) { redirect = url; }

HTTPFailure::HTTPFailure(std::string const& what, std::string const& reason)
    : std::runtime_error(what), detail(reason.empty() ? what : reason)
{
}

std::string const& HTTPFailure::reason() const { return detail; }

static std::mutex sLimitsLock;
static HTTPLimits sLimits;

void HTTPRequest::SetLimits(HTTPLimits const& limits)
{
    std::lock_guard<std::mutex> hold(sLimitsLock);
    sLimits = limits;
}

HTTPLimits HTTPRequest::GetLimits()
{
    std::lock_guard<std::mutex> hold(sLimitsLock);
    return sLimits;
}

size_t _rcv_data(void* bytes, size_t size, size_t count, void* response)
{
    HTTPResponse* r = static_cast<HTTPResponse*>(response);
    size_t n = size * count;
    // The chunk shows right-aligned in 100 columns, at most its first 100 bytes and never
    // more than it holds (it is not NUL-terminated).
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", (int)size,
             (int)count, (unsigned int)(uintptr_t)response, (int)(n < 100 ? n : 100),
             (char const*)bytes);
    // libcurl's frames are C: an exception thrown through them is undefined behaviour, so
    // every one ends here and the transfer fails instead.
    try {
        r->process(static_cast<char const*>(bytes), n);
    } catch (std::exception const& e) {
        r->set_failure(e.what());
        Log::log(DEBUG_ServerComm, "rcv_data refuses the body: %s\n", e.what());
        return 0;
    } catch (...) {
        r->set_failure("unknown failure storing the body");
        return 0;
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", (int)n);
    return n;
}

bool _setoptFailureIsFatal(int option, int code)
{
    if (option == CURLOPT_SSL_VERIFYSTATUS)
        return code != CURLE_NOT_BUILT_IN && code != CURLE_UNKNOWN_OPTION;
    return true;
}

namespace {
// Releases the handle on every way out of GET.
struct sEasy {
    CURL* h;
    sEasy() : h(curl_easy_init()) {}
    ~sEasy()
    {
        if (h)
            curl_easy_cleanup(h);
    }
};
}

#define S_SET(option, value)                                                                 \
    do {                                                                                     \
        CURLcode c_ = curl_easy_setopt(easy.h, option, value);                              \
        if (c_ != CURLE_OK && _setoptFailureIsFatal(option, c_))                             \
            throw std::runtime_error(curl_easy_strerror(c_));                               \
    } while (0)

HTTPResponse HTTPRequest::GET(char const* url, std::map<std::string, std::string>& query,
                              HTTPBound bound)
{
    // curl_easy_strerror names only the class of a failure ("SSL peer certificate ... was not
    // OK"); this buffer says which certificate problem or connect error it was. Declared
    // first, so it outlives the handle that writes into it.
    char reason[CURL_ERROR_SIZE] = "";
    sEasy easy;
    std::string full = url ? url : "";
    if (!query.empty()) {
        full += "?";
        for (auto const& kv : query)
            full += kv.first + "=" + kv.second + "&";
    }
    HTTPResponse response(full.c_str());
    if (!easy.h)
        throw std::runtime_error("Could not create curl instance");

    HTTPLimits limits = GetLimits();
    response.set_limit(limits.maxBody);

    S_SET(CURLOPT_WRITEFUNCTION, _rcv_data);
    S_SET(CURLOPT_WRITEDATA, &response);
    S_SET(CURLOPT_URL, full.c_str());
    // The server is reached over http or https only: without this a URL naming file, ftp, scp
    // or any other scheme libcurl knows would be read as the server's reply. Redirects are not
    // followed; the limit holds for them all the same.
    S_SET(CURLOPT_PROTOCOLS_STR, "http,https");
    S_SET(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Images from this server are written into modules: an https server must prove who it is
    // against the system's CA store (libcurl's built-in bundle and directory).
    S_SET(CURLOPT_SSL_VERIFYHOST, 2L);
    S_SET(CURLOPT_SSL_VERIFYPEER, 1L);
    S_SET(CURLOPT_SSL_VERIFYSTATUS, 0L);
    // The download runs on a worker thread: time-outs must not use signals there.
    S_SET(CURLOPT_NOSIGNAL, 1L);
    // Without these a silent server would hold the request (and the download) for ever.
    S_SET(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    S_SET(CURLOPT_LOW_SPEED_LIMIT, 1L);
    S_SET(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeS);
    // A server that keeps sending a few bytes now and then passes the low-speed check.
    S_SET(CURLOPT_TIMEOUT_MS,
          bound == HTTPBound::Image ? limits.imageTimeoutMs : limits.queryTimeoutMs);
    S_SET(CURLOPT_ERRORBUFFER, reason);

    Log::log(DEBUG_ServerComm, "GET(%s)\n", full.c_str());
    CURLcode code = curl_easy_perform(easy.h);
    if (code != CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s) failed: %s\n", full.c_str(),
                 reason[0] ? reason : curl_easy_strerror(code));
        if (code == CURLE_WRITE_ERROR && !response.get_failure().empty())
            throw HTTPFailure(response.get_failure(), response.get_failure());
        throw HTTPFailure(curl_easy_strerror(code), reason);
    }
    long status = 0;
    code = curl_easy_getinfo(easy.h, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
    response.set_status(status);
    // Only a redirect reply has a target; a failed look-up leaves none.
    char* target = nullptr;
    if (curl_easy_getinfo(easy.h, CURLINFO_REDIRECT_URL, &target) == CURLE_OK && target)
        response.set_redirect(target);
    return response;
}
