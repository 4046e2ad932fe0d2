#ifndef BENCH_STATS_H
#define BENCH_STATS_H

// Mean, extremes and percentiles of a series, and their printed line.

#include <cstddef>
#include <vector>

namespace bench {

struct Stats
{
    size_t n = 0;
    double mean = 0, min = 0, p50 = 0, p90 = 0, p99 = 0, max = 0;
};

Stats stats(std::vector<double> v);
void printStats(const char *what, const Stats &s, const char *unit);

} // namespace bench

#endif // BENCH_STATS_H
