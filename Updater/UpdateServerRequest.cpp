#include "UpdateServerRequest.h"

#include "HTTPRequest.h"
#include "Log.h"
#include "ServerUrl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

// One URL for the queries and the -u default.
char const* const default_url = UPDATER_DEFAULT_SERVER_URL;

static char const delimiters[] = "\n";

static std::string _hex8(unsigned int value)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

// The next non-empty reply line, cut in place. A CR before the line end is dropped, so a
// server answering CR LF lines reads as one answering LF lines.
static char* _nextLine(char* start, char** save)
{
    for (;;) {
        char* token = strtok_r(start, delimiters, save);
        start = nullptr;
        if (!token)
            return nullptr;
        size_t n = strlen(token);
        if (n > 0 && token[n - 1] == '\r')
            token[--n] = 0;
        if (n > 0)
            return token;
    }
}

// Server text as one line a terminal can show: control characters as '?', cut at 100.
static std::string _printable(char const* text)
{
    std::string line;
    for (char const* p = text; p && *p && line.size() < 100; ++p)
        line += (unsigned char)*p < 0x20 || *p == 0x7F ? '?' : *p;
    if (text && strlen(text) > line.size())
        line += "...";
    return line;
}

static void _tell(std::string* why, std::string const& text)
{
    if (why)
        *why = text;
}

// Why a reply other than 200 fails. A redirect is a failure like any other status: the server
// is asked directly, never elsewhere.
static std::string _statusReason(HTTPResponse const& response)
{
    long status = response.get_status();
    std::string code = std::to_string(status);
    if (status >= 300 && status < 400) {
        if (response.get_redirect().empty())
            return "redirected (HTTP " + code + ") without a location; redirects are not followed";
        return "redirected (HTTP " + code + ") to " + _printable(response.get_redirect().c_str())
            + "; redirects are not followed";
    }
    return "HTTP status " + code;
}

// The steps every query shares before its body is read: GET and status 200.
static bool _fetch(char const* name, char const* url, std::map<std::string, std::string>& pairs,
                   HTTPResponse& response, std::string* why, HTTPBound bound = HTTPBound::Query)
{
    try {
        response = HTTPRequest::GET(url ? url : default_url, pairs, bound);
    } catch (HTTPFailure const& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        _tell(why, _printable(e.reason().c_str()));
        return false;
    } catch (std::exception const& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        _tell(why, _printable(e.what()));
        return false;
    }
    if (response.get_status() != 200) {
        if (strcmp(name, "ping") == 0)
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", (int)response.get_status(),
                     response.get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, (int)response.get_status(),
                     response.get_response());
        _tell(why, _statusReason(response));
        return false;
    }
    return true;
}

// The first line of a body when it begins with "ok" (save then points past it), else null.
static char* _okLine(char* body, char** save)
{
    if (!body)
        return nullptr;
    char* line = _nextLine(body, save);
    return line && strncmp(line, "ok", 2) == 0 ? line : nullptr;
}

// The reply's first line as a user may see it; taken before a reader cuts the body.
static std::string _firstLine(HTTPResponse& response)
{
    char const* p = response.get_response();
    char const* end = p + response.get_length();
    while (p < end && (*p == '\r' || *p == '\n'))
        ++p;
    char const* stop = p;
    // No more than a line's worth is copied, whatever the body holds after it.
    while (stop < end && *stop != '\r' && *stop != '\n' && stop - p <= 100)
        ++stop;
    return _printable(std::string(p, stop).c_str());
}

// A query whose body the reader refused; said is the reply's first line.
static bool _refused(char const* name, HTTPResponse& response, std::string const& said,
                     std::string* why)
{
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
    if (said.empty())
        _tell(why, "the server's reply is empty");
    else if (said.compare(0, 2, "ok") == 0)
        _tell(why, "the server's reply cannot be read");
    else
        _tell(why, "the server answered \"" + said + "\"");
    return false;
}

bool UpdateServerRequest::ParseOk(char* body)
{
    char* save = nullptr;
    return _okLine(body, &save) != nullptr;
}

bool UpdateServerRequest::ping(char const* url, std::string* why)
{
    std::map<std::string, std::string> pairs{{"op", "hi"}, {"rv", "2"}};
    HTTPResponse response("");
    if (!_fetch("ping", url, pairs, response, why))
        return false;
    std::string said = _firstLine(response);
    return ParseOk(response.get_response()) || _refused("ping", response, said, why);
}

bool UpdateServerRequest::ParseQueryBuild(char* body, std::string& build, std::string& version)
{
    char* save = nullptr;
    if (!_okLine(body, &save))
        return false;
    if (char* token = _nextLine(nullptr, &save)) {
        build = token;
        if ((token = _nextLine(nullptr, &save)))
            version = token;
    }
    return true;
}

bool UpdateServerRequest::QueryBuild(unsigned int serialNumber, std::string& build,
                                     std::string& version, char const* url, std::string* why)
{
    std::map<std::string, std::string> pairs{{"op", "qu"}, {"sn", _hex8(serialNumber)}};
    HTTPResponse response("");
    if (!_fetch("QueryBuild", url, pairs, response, why))
        return false;
    std::string said = _firstLine(response);
    return ParseQueryBuild(response.get_response(), build, version)
           || _refused("QueryBuild", response, said, why);
}

bool UpdateServerRequest::ParseGetBuild(char* body, std::string& image)
{
    char* save = nullptr;
    if (!_okLine(body, &save))
        return false;
    image.clear();
    if (char* token = _nextLine(nullptr, &save))
        image = token;
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned int serialNumber, char const* firmwareVersion,
                                   char const* build, std::string& image, char const* url,
                                   bool noCal, std::string* why)
{
    std::map<std::string, std::string> pairs{
        {"bld", build ? build : ""},
        {"fw", firmwareVersion ? firmwareVersion : ""},
        {"no_cal", noCal ? "true" : "false"},
        {"op", "bird"},
        {"sn", _hex8(serialNumber)},
    };
    HTTPResponse response("");
    if (!_fetch("GetBuild", url, pairs, response, why, HTTPBound::Image))
        return false;
    std::string said = _firstLine(response);
    return ParseGetBuild(response.get_response(), image)
           || _refused("GetBuild", response, said, why);
}

bool UpdateServerRequest::ParseBuildList(char* body, std::map<std::string, std::string>& builds)
{
    builds.clear();
    char* save = nullptr;
    if (!_okLine(body, &save))
        return false;
    while (char* token = _nextLine(nullptr, &save)) {
        if (strlen(token) < 3)
            continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", token);
        char* inner = nullptr;
        char* buildPiece = strtok_r(token, ";\r\n", &inner);
        const char* versionPiece = buildPiece ? strtok_r(nullptr, ";\r\n", &inner) : nullptr;
        if (!buildPiece)
            continue;
        if (!versionPiece)
            versionPiece = "";
        builds.emplace(buildPiece, versionPiece);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", buildPiece, versionPiece);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned int serialNumber,
                                       std::map<std::string, std::string>& builds,
                                       char const* url, std::string* why)
{
    builds.clear();
    std::map<std::string, std::string> pairs{{"op", "builds"}, {"sn", _hex8(serialNumber)}};
    HTTPResponse response("");
    if (!_fetch("GetBuildList", url, pairs, response, why))
        return false;
    std::string said = _firstLine(response);
    return ParseBuildList(response.get_response(), builds)
           || _refused("GetBuildList", response, said, why);
}

// A whole token as an unsigned 32-bit number in `base` (strtoul rules); false for anything
// else, so a garbled reply is never taken for serial number 0.
static bool _readNumber(char const* token, int base, unsigned int* value)
{
    if (!token || !*token)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(token, &end, base);
    if (errno != 0 || end == token || *end != 0 || v > 0xFFFFFFFFULL || token[0] == '-')
        return false;
    *value = (unsigned int)v;
    return true;
}

bool UpdateServerRequest::ParseRecoveryInfo(char* body, unsigned int* serialNumber,
                                            unsigned int* build)
{
    if (!serialNumber || !build)
        return false;
    char* save = nullptr;
    char* first = _okLine(body, &save);
    if (!first)
        return false;
    char* serialToken = _nextLine(nullptr, &save);
    char* buildToken = serialToken ? _nextLine(nullptr, &save) : nullptr;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first,
             serialToken ? serialToken : "", buildToken ? buildToken : "");
    unsigned int serial = 0, number = 0;
    if (!_readNumber(serialToken, 16, &serial) || !_readNumber(buildToken, 0, &number))
        return false;
    *serialNumber = serial;
    *build = number;
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serialNumber,
                                          unsigned int* build, char const* url, std::string* why)
{
    if (!fingerprint || !serialNumber || !build)
        return false;
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    std::map<std::string, std::string> pairs{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    HTTPResponse response("");
    if (!_fetch("GetRecoveryInfo", url, pairs, response, why))
        return false;
    std::string said = _firstLine(response);
    return ParseRecoveryInfo(response.get_response(), serialNumber, build)
           || _refused("GetRecoveryInfo", response, said, why);
}

std::vector<std::string> UpdateServerRequest::SplitQuillcoreVersion(std::string version)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        if (dot == std::string::npos) {
            pieces.push_back(version.substr(start));
            break;
        }
        pieces.push_back(version.substr(start, dot - start));
        start = dot + 1;
    }
    if (pieces.size() != 3)
        pieces.clear();
    return pieces;
}

// The three numbers of a version's pieces as std::stoi reads them, each counted as an unsigned
// byte. False when there are no three pieces or one holds no number or one beyond 32 bits;
// `why` then holds the conversion's exception text.
static bool _readVersion(std::vector<std::string> const& pieces, unsigned char out[3],
                         std::string* why)
{
    try {
        for (size_t i = 0; i < 3; i++)
            out[i] = (unsigned char)std::stoi(pieces.at(i));
    } catch (std::exception const& e) {
        *why = e.what();
        return false;
    }
    return true;
}

// Newer version first. Versions that cannot be read come after all readable ones, ordered by
// build, so that the order stays strict and weak for std::sort.
bool _sortVersion(std::pair<std::string, std::string> const& x,
                  std::pair<std::string, std::string> const& y)
{
    std::vector<std::string> px = UpdateServerRequest::SplitQuillcoreVersion(x.second);
    std::vector<std::string> py = UpdateServerRequest::SplitQuillcoreVersion(y.second);
    unsigned char vx[3], vy[3];
    std::string whyY, whyX;
    bool readY = _readVersion(py, vy, &whyY);
    bool readX = _readVersion(px, vx, &whyX);
    // y is read first; its failure is the one told. Two versions that both fail to split
    // are no conversion at all.
    if ((!readX || !readY) && !(px.empty() && py.empty()))
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 (readY ? whyX : whyY).c_str());
    if (readX != readY)
        return readX;
    if (readX) {
        int order = memcmp(vx, vy, 3);
        if (order != 0)
            return order > 0;
    }
    return x.first < y.first;
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(std::map<std::string, std::string> const& builds)
{
    std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
    std::sort(sorted.begin(), sorted.end(), _sortVersion);
    return sorted;
}
