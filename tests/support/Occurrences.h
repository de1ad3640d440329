// Counting a piece of text in captured output (a program's standard output, the log).
#ifndef QCTEST_OCCURRENCES_H
#define QCTEST_OCCURRENCES_H

#include <string>

namespace qctest {

// How often part occurs in text; occurrences that overlap each count.
inline size_t occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

}  // namespace qctest

#endif
