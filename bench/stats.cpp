#include "stats.h"

#include <algorithm>
#include <cstdio>

namespace bench {

Stats stats(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    const auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size() - 1) + 0.5))]; };
    s.mean = sum / double(v.size());
    s.min = v.front();
    s.p50 = at(0.50);
    s.p90 = at(0.90);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

void printStats(const char *what, const Stats &s, const char *unit)
{
    std::printf("    %-44s mean %7.3f  p50 %7.3f  p90 %7.3f  p99 %7.3f  max %8.3f %s (n=%zu)\n", what, s.mean,
                s.p50, s.p90, s.p99, s.max, unit, s.n);
}

} // namespace bench
