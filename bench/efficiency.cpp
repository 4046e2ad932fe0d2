// [efficiency] 64 KiB upgrades at load/sleep 1, 2, 5, 10 ms with the upgrade
// timer as the window makes it (PreciseTimer) and as a CoarseTimer, and at
// 1 ms with a timer slack of 1 ns: ideal time (packets x interval) over measured
// time, and where the ticks go.
#include "groups.h"

#include "clocks.h"
#include "runner.h"
#include "transfer.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/prctl.h>

namespace bench {

namespace {

const char *timerName(Qt::TimerType type)
{
    switch (type) {
    case Qt::PreciseTimer:
        return "PreciseTimer";
    case Qt::CoarseTimer:
        return "CoarseTimer";
    case Qt::VeryCoarseTimer:
        return "VeryCoarseTimer";
    }
    return "?";
}

constexpr int kRepeats = 3;

} // namespace

int benchEfficiency(int intervalMs, Qt::TimerType type, long slackNs)
{
    if (slackNs > 0)
        prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0);
    const long slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    std::printf("\n[efficiency] 64 KiB image, load/sleep=%d ms, %s, timer slack %ld ns, %d runs\n", intervalMs,
                timerName(type), slack, kRepeats);
    std::vector<Transfer> runs;
    for (int i = 0; i < kRepeats; ++i) {
        runs.push_back(runUpgrade(65536, intervalMs, type));
        const Transfer &t = runs.back();
        if (!t.ok) {
            std::printf("    FAILED: %s\n", t.error.c_str());
            summary("efficiency %2d ms %-12s slack %ld ns: FAILED (%s)", intervalMs, timerName(type), slack,
                    t.error.c_str());
            return 1;
        }
        std::printf("    run %d: efficiency %.3f (measured %.1f ms for an ideal %.0f ms); other load %.2f cores\n",
                    i + 1, t.efficiency(), ms(t.writes.back() - t.startNs), double(t.packets) * intervalMs,
                    t.otherCores);
    }
    std::sort(runs.begin(), runs.end(),
              [](const Transfer &a, const Transfer &b) { return a.efficiency() < b.efficiency(); });
    const Transfer &median = runs[runs.size() / 2];
    std::printf("    the median run in detail:\n");
    analyse(median);
    double others = 0;
    for (const Transfer &t : runs)
        others += t.otherCores / double(runs.size());
    summary("efficiency %2d ms %-12s slack %5ld ns: %.3f median of %d (%.3f-%.3f); other load %.2f cores",
            intervalMs, timerName(type), slack, median.efficiency(), kRepeats, runs.front().efficiency(),
            runs.back().efficiency(), others);
    return 0;
}

} // namespace bench
