// Reading a stream byte by byte, as the link's reader does, with a deadline instead of a count
// of tries: a transport whose reads wait on their own and one whose reads return at once are
// bounded alike.
#ifndef QCTEST_STREAMREAD_H
#define QCTEST_STREAMREAD_H

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "aStream.h"

namespace qctest {

// Up to n bytes: stops when all came, a read failed, or ms passed. A read that finds nothing
// yet pauses briefly before the next, so a stream that never blocks does not spin.
inline std::vector<uint8_t> readBytesWithin(aStream* stream, size_t n, int ms)
{
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        char c;
        aErr err = aStream_Read(stream, &c, 1);
        if (err == aErrNone)
            out.push_back((uint8_t)c);
        else if (err != aErrNotReady)
            break;
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return out;
}

} // namespace qctest

#endif
