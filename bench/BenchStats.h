// What the benchmarks share: samples summed up as a median with the 10th and 90th percentiles
// beside it, and the machine's load average, printed as "name: value" lines.
//
// A benchmark takes its baseline and its subject in alternating rounds of one loop, so both
// see the same moments of the machine, and reports the ratio of each round. The spread of
// those ratios says how far a single run can be trusted; the load average lets a reader
// discard a run made on a busy machine.
#ifndef BENCH_BENCH_STATS_H
#define BENCH_BENCH_STATS_H

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread {
    double median = 0;
    double low = 0;   // 10th percentile
    double high = 0;  // 90th percentile
    size_t count = 0;
};

// Nearest-rank percentile of sorted values, p from 0 to 1.
inline double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t at = (size_t)(p * (double)(sorted.size() - 1) + 0.5);
    return sorted[std::min(at, sorted.size() - 1)];
}

inline Spread spreadOf(std::vector<double> values)
{
    Spread s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.median = percentile(values, 0.5);
    s.low = percentile(values, 0.1);
    s.high = percentile(values, 0.9);
    return s;
}

inline double medianOf(const std::vector<double>& values)
{
    return spreadOf(values).median;
}

// "name: median" and "name_spread: low .. high (p10 .. p90 of n)".
inline void printSpread(const char* name, const Spread& s, const char* what)
{
    printf("%s: %.2f\n", name, s.median);
    printf("%s_spread: %.2f .. %.2f (p10 .. p90 of %zu %s)\n", name, s.low, s.high, s.count,
           what);
}

// "load_average: 1, 5 and 15 minutes" as the kernel reports them; a busy machine shows here.
inline void printLoad(const char* when)
{
    double one = -1, five = -1, fifteen = -1;
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf %lf %lf", &one, &five, &fifteen) != 3)
            one = five = fifteen = -1;
        fclose(f);
    }
    printf("load_average_%s: %.2f %.2f %.2f\n", when, one, five, fifteen);
}

} // namespace bench

#endif
