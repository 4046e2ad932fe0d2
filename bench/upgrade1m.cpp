// [upgrade1m] A whole 1 MiB upgrade at 1 ms: efficiency at its start and at
// its end, and peak resident memory.
#include "groups.h"

#include "clocks.h"
#include "runner.h"
#include "transfer.h"

#include <algorithm>
#include <cstdio>

namespace bench {

int benchUpgrade1M()
{
    std::printf("\n[upgrade1m] 1 MiB image at load/sleep=1 ms, the window's own timer (CoarseTimer)\n");
    const Transfer t = runUpgrade(1 << 20, 1, Qt::CoarseTimer);
    if (!t.ok) {
        std::printf("    FAILED: %s\n", t.error.c_str());
        summary("1 MiB upgrade at 1 ms: FAILED (%s)", t.error.c_str());
        return 1;
    }
    analyse(t);
    const size_t n = t.writes.size();
    const size_t w = std::min<size_t>(1000, n / 2);
    const double first = double(w) * t.intervalMs * 1e6 / double(t.writes[w - 1] - t.startNs);
    const double last = double(w) * t.intervalMs * 1e6 / double(t.writes[n - 1] - t.writes[n - 1 - w]);
    std::printf("    efficiency over the first %zu packets %.3f, over the last %zu packets %.3f\n", w, first, w,
                last);
    std::printf("    peak resident memory (VmHWM) %ld kB before, %ld kB after (+%.0f bytes per packet); "
                "VmRSS %ld -> %ld kB\n",
                t.hwmBeforeKb, t.hwmAfterKb, (t.hwmAfterKb - t.hwmBeforeKb) * 1024.0 / double(n), t.rssBeforeKb,
                t.rssAfterKb);
    std::printf("    diagnostic lines written by the tool: %ld (counted, not printed)\n", t.debugLines);
    summary("1 MiB upgrade at 1 ms: %zu packets in %.1f s, efficiency %.3f (first %zu packets %.3f, last %zu "
            "%.3f); VmHWM %ld -> %ld kB; other load %.2f cores",
            n, ms(t.writes.back() - t.startNs) / 1000, t.efficiency(), w, first, w, last, t.hwmBeforeKb,
            t.hwmAfterKb, t.otherCores);
    return 0;
}

} // namespace bench
