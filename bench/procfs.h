#ifndef BENCH_PROCFS_H
#define BENCH_PROCFS_H

// What /proc tells about this process and the machine: fields of its text
// files, resident memory, the load of everything else, per-thread run time.

#include <cstdint>
#include <map>
#include <string>

namespace bench {

// The value after the colon of the first line of `path` that starts with
// `key`; "unknown" when there is none.
std::string firstField(const char *path, const char *key);
// The number of lines of `path` that start with `key`.
int countLines(const char *path, const char *key);
// A field of /proc/self/status in kB (VmRSS, VmHWM); -1 when there is none.
long statusKb(const char *key);

// What else the machine was doing meanwhile: all CPUs' busy time from
// /proc/stat less this process's own CPU time, in cores.
class LoadMeter
{
public:
    void start();
    void stop();
    double own = 0;    // this process, cores
    double others = 0; // everything else on the machine, cores

private:
    static void read(int64_t &busy, int64_t &total);
    int64_t busy0 = 0, total0 = 0, own0 = 0, wall0 = 0;
};

struct ThreadTime
{
    std::string name;
    int64_t runNs = 0;
    int64_t slices = 0;
};

// Run time of every thread of this process, from the scheduler's own
// accounting (nanoseconds, not clock ticks).
std::map<int, ThreadTime> threadTimes();

} // namespace bench

#endif // BENCH_PROCFS_H
