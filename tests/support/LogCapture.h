// Test fixture: what Log::log writes while it lives, read back from a temporary file.
#ifndef QCTEST_LOGCAPTURE_H
#define QCTEST_LOGCAPTURE_H

#include <cstdio>
#include <string>

#include "FileText.h"
#include "Log.h"
#include "Occurrences.h"

namespace qctest {

class LogCapture {
public:
    // Logs the given packages (every one by default) and no other; the packages that were on
    // before are on again at the end, so a case leaves the log as it found it.
    explicit LogCapture(unsigned int packages = 0xFFFFFFFFu)
        : file(tmpfile()), saved(Log::package_bitmask)
    {
        Log::SetOutput(file);
        Log::package_bitmask = packages;
    }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = saved;
        if (file)
            fclose(file);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written so far; capturing goes on.
    std::string text() { return fileText(file); }

    // How often part occurs in what was written (overlapping occurrences each count).
    size_t count(const std::string& part) { return occurrences(text(), part); }

private:
    FILE* file;
    unsigned int saved;
};

}  // namespace qctest

#endif
