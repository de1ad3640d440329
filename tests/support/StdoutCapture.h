// Captures what the process writes to standard output (descriptor 1) into an unlinked
// temporary file, so that library trace lines from any thread can be read back. A file and
// not a pipe: a writer can never block on a full buffer nobody drains.
#ifndef QC_TEST_STDOUT_CAPTURE_H
#define QC_TEST_STDOUT_CAPTURE_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qctest {

class StdoutCapture {
public:
    StdoutCapture()
    {
        fflush(stdout);
        char path[] = "/tmp/qc_stdout_XXXXXX";
        mFile = mkstemp(path);
        if (mFile < 0)
            return;
        unlink(path);
        mSaved = dup(1);
        if (mSaved < 0 || dup2(mFile, 1) < 0) {
            close(mFile);
            mFile = -1;
        }
    }
    ~StdoutCapture() { stop(); }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    bool ok() const { return mFile >= 0; }

    // Everything written so far; capturing goes on.
    std::string text()
    {
        if (mFile < 0)
            return mText;
        fflush(stdout);
        std::string out;
        char buffer[4096];
        off_t at = 0;
        for (;;) {
            ssize_t n = pread(mFile, buffer, sizeof buffer, at);
            if (n <= 0)
                break;
            out.append(buffer, (size_t)n);
            at += n;
        }
        return out;
    }

    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        std::string all = text();
        size_t start = 0;
        for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(all.substr(start, nl - start));
        if (start < all.size())
            out.push_back(all.substr(start)); // an unterminated rest counts as a line too
        return out;
    }

    // Waits until at least n lines were written, or ms pass; returns what there is.
    std::vector<std::string> waitLines(size_t n, int ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::vector<std::string> got = lines();
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            got = lines();
        }
        return got;
    }

    // Restores standard output; text() keeps answering with what was captured.
    void stop()
    {
        if (mFile < 0)
            return;
        mText = text();
        dup2(mSaved, 1);
        close(mSaved);
        close(mFile);
        mFile = -1;
    }

private:
    int mFile = -1;
    int mSaved = -1;
    std::string mText;
};

// Captured lines one per row in brackets, for failure messages: blanks and ends show.
inline std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines)
        out += "[" + l + "]\n";
    return out;
}

// An expected line, printf-formatted as the code under test formats its own.
__attribute__((format(printf, 1, 2))) inline std::string formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

} // namespace qctest

#endif
