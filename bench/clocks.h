#ifndef BENCH_CLOCKS_H
#define BENCH_CLOCKS_H

// The monotonic clock and this process's CPU clock, in nanoseconds, and
// conversions for printing.

#include <cstdint>
#include <time.h>

namespace bench {

inline int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t processCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double ms(int64_t ns)
{
    return double(ns) / 1e6;
}

inline double us(int64_t ns)
{
    return double(ns) / 1e3;
}

} // namespace bench

#endif // BENCH_CLOCKS_H
