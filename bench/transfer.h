#ifndef BENCH_TRANSFER_H
#define BENCH_TRANSFER_H

// One whole upgrade through the window as an operator drives it, recorded,
// and where its time went. The efficiency and upgrade1m groups use it.

#include <QtCore/qnamespace.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Transfer
{
    bool ok = false;
    std::string error;
    int intervalMs = 0;
    int packets = 0;
    int64_t startNs = 0; // E2 written; the timer starts right after it
    std::vector<int64_t> writes, ticks, reads, deliveries;
    int64_t e4Ns = 0;
    long hwmBeforeKb = 0, hwmAfterKb = 0, rssBeforeKb = 0, rssAfterKb = 0;
    long debugLines = 0;
    double ownCores = 0, otherCores = 0;

    double efficiency() const
    {
        return double(packets) * intervalMs * 1e6 / double(writes.back() - startNs);
    }
};

// One whole upgrade of `imageSize` bytes at `intervalMs` through the window,
// exactly as an operator drives it: connect, Start Upgrade, wait for
// "Upgrade Completed".
Transfer runUpgrade(int imageSize, int intervalMs, Qt::TimerType timerType);

// Prints where the time of a transfer went.
void analyse(const Transfer &t);

} // namespace bench

#endif // BENCH_TRANSFER_H
