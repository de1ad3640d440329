// The update-server client: single GET requests whose query carries an op word and its keys,
// answered by plain-text lines of which the first begins with "ok".
#ifndef _UpdateServerRequest_H_
#define _UpdateServerRequest_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

// The built-in server URL, used whenever a query's url is null (and the default of -u).
extern char const* const default_url;

// Every query returns true on success and false (with a DEBUG_ServerComm log line) on a
// transport failure, a status other than 200 (a redirect included: none is followed), or a
// body whose first line does not begin with "ok". None lets an exception out. url null means
// default_url; it must hold no query. why, when given, receives one line telling a user why a
// query failed (curl's reason, the status, what the server answered) and is left alone on
// success.
class UpdateServerRequest {
public:
    // op=hi: whether the server answers.
    static bool ping(char const* url, std::string* why = nullptr);
    // op=qu: the device's current build and its version text (each left as it was when the
    // reply lacks its line).
    static bool QueryBuild(unsigned int serialNumber, std::string& build, std::string& version,
                           char const* url, std::string* why = nullptr);
    // op=bird: the image of `build` in base64 (empty when the reply carries none).
    static bool GetBuild(unsigned int serialNumber, char const* firmwareVersion, char const* build,
                         std::string& image, char const* url, bool noCal,
                         std::string* why = nullptr);
    // op=builds: build text -> version text ("" when the line has none). Cleared first, so it
    // is empty after any failure.
    static bool GetBuildList(unsigned int serialNumber, std::map<std::string, std::string>& builds,
                             char const* url, std::string* why = nullptr);
    // op=fix with the chip fingerprint (four words): the serial number and build the server
    // assigns to that chip. False, leaving both untouched, unless the reply holds both as
    // numbers (serial in hexadecimal, build in C notation).
    static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serialNumber,
                                unsigned int* build, char const* url, std::string* why = nullptr);

    // The readers of a reply body, each query's part after the GET. The body is cut into
    // lines in place; the outputs follow the rules of the query above, and every reader is
    // false when the first line does not begin with "ok".
    static bool ParseOk(char* body);
    static bool ParseQueryBuild(char* body, std::string& build, std::string& version);
    static bool ParseGetBuild(char* body, std::string& image);
    static bool ParseBuildList(char* body, std::map<std::string, std::string>& builds);
    static bool ParseRecoveryInfo(char* body, unsigned int* serialNumber, unsigned int* build);

    // (build, version) pairs, newest version first; builds whose version cannot be read come
    // after all others, ordered by build text.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(std::map<std::string, std::string> const& builds);
    // The three dot-separated pieces of a version text; empty unless there are exactly three.
    static std::vector<std::string> SplitQuillcoreVersion(std::string version);
};

// The sort's comparator, a strict weak ordering over (build, version) pairs: x before y when
// x's version is newer (each number counted as an unsigned byte), readable versions before
// unreadable ones, and otherwise by build text.
bool _sortVersion(std::pair<std::string, std::string> const& x,
                  std::pair<std::string, std::string> const& y);

#endif
