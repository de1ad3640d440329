// libFuzzer target: the update server's reply bodies. The first byte picks the query whose
// reader takes the rest. No reader may succeed unless the first non-empty line begins with
// "ok", nothing it keeps may hold a line break, a refused recovery reply leaves the caller's
// numbers alone, and the build list sorts into a permutation of itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "UpdateServerRequest.h"

// The first line as the server's line rules read it: lines end at LF, a CR before the LF
// belongs to the line end, empty lines do not count.
static bool sStartsOk(const std::string& body)
{
    size_t at = 0;
    while (at <= body.size()) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos)
            end = body.size();
        std::string line = body.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            return line.compare(0, 2, "ok") == 0;
        at = end + 1;
    }
    return false;
}

static void sCheckLine(const std::string& text)
{
    if (text.find('\n') != std::string::npos)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The reader sees the body up to its first NUL, as the HTTP layer hands it over.
    std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    body = body.substr(0, strlen(body.c_str()));
    const bool ok = sStartsOk(body);
    // An exact-sized copy, so a read past the body's end is caught.
    std::unique_ptr<char[]> buffer(new char[body.size() + 1]);
    memcpy(buffer.get(), body.c_str(), body.size() + 1);

    switch (data[0] % 5) {
    case 0:
        if (UpdateServerRequest::ParseOk(buffer.get()) != ok)
            abort();
        break;
    case 1: {
        std::string build = "\n", version = "\n";
        bool got = UpdateServerRequest::ParseQueryBuild(buffer.get(), build, version);
        if (got != ok)
            abort();
        if (!got && (build != "\n" || version != "\n"))
            abort();
        if (got) {
            // Each is either left as it was or set to one whole line.
            if (build != "\n")
                sCheckLine(build);
            if (version != "\n") {
                if (build == "\n")
                    abort();
                sCheckLine(version);
            }
        }
        break;
    }
    case 2: {
        std::string image = "\n";
        bool got = UpdateServerRequest::ParseGetBuild(buffer.get(), image);
        if (got != ok || (!got && image != "\n"))
            abort();
        if (got)
            sCheckLine(image);
        break;
    }
    case 3: {
        std::map<std::string, std::string> builds{{"stale", "1.0.0"}};
        bool got = UpdateServerRequest::ParseBuildList(buffer.get(), builds);
        if (got != ok || (!got && !builds.empty()))
            abort();
        for (const auto& b : builds) {
            if (b.first.empty() || b.first.find_first_of(";\r\n") != std::string::npos
                || b.second.find_first_of(";\r\n") != std::string::npos)
                abort();
            std::vector<std::string> pieces = UpdateServerRequest::SplitQuillcoreVersion(b.second);
            if (!pieces.empty()
                && (pieces.size() != 3 || pieces[0] + "." + pieces[1] + "." + pieces[2] != b.second))
                abort();
        }
        auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
        if (sorted.size() != builds.size())
            abort();
        for (size_t i = 0; i < sorted.size(); i++) {
            auto it = builds.find(sorted[i].first);
            if (it == builds.end() || it->second != sorted[i].second)
                abort();
            if (_sortVersion(sorted[i], sorted[i]))
                abort();
            if (i > 0 && _sortVersion(sorted[i], sorted[i - 1]))
                abort();
        }
        break;
    }
    case 4: {
        unsigned int serial = 0xA5A5A5A5, build = 0x5A5A5A5A;
        bool got = UpdateServerRequest::ParseRecoveryInfo(buffer.get(), &serial, &build);
        if (got && !ok)
            abort();
        if (!got && (serial != 0xA5A5A5A5 || build != 0x5A5A5A5A))
            abort();
        if (got) {
            // The serial number line must read back as the number taken from it.
            char hex[16];
            snprintf(hex, sizeof hex, "%X", serial);
            std::string lower = body;
            for (char& c : lower)
                c = (char)toupper((unsigned char)c);
            if (lower.find(hex) == std::string::npos)
                abort();
        }
        break;
    }
    }
    return 0;
}
