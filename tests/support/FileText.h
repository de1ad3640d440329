// Reading back what a test had written to a temporary FILE (log output, captured records).
#ifndef QCTEST_FILETEXT_H
#define QCTEST_FILETEXT_H

#include <cstdio>
#include <string>

namespace qctest {

// Everything written to f so far. The read ends at the end of the file, so a writer sharing
// the FILE goes on after what it wrote.
inline std::string fileText(FILE* f)
{
    std::string text;
    if (!f)
        return text;
    fflush(f);
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        text.append(buffer, n);
    return text;
}

} // namespace qctest

#endif
