// Clocks of the tests and benchmarks: elapsed wall time, and the processor time the whole
// process used (every thread, user and system), for cases that bound how busy a wait is.
#ifndef QCTEST_TIMING_H
#define QCTEST_TIMING_H

#include <sys/resource.h>

#include <chrono>
#include <thread>

namespace qctest {

inline long msSince(std::chrono::steady_clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - t)
        .count();
}

inline double cpuSeconds()
{
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + (double)u.ru_stime.tv_sec
           + u.ru_stime.tv_usec / 1e6;
}

// The processor time the whole process used while the caller slept ms: what every idle
// thread of it costs, which a blocking wait keeps near zero and a spinning one does not.
inline double cpuSecondsWhileSleeping(int ms)
{
    double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return cpuSeconds() - before;
}

} // namespace qctest

#endif
