#ifndef BENCH_MACHINE_H
#define BENCH_MACHINE_H

// The machine a figure was measured on: CPU, cores, kernel, Qt, build and
// timer slack.

#include <string>

namespace bench {

struct Machine
{
    std::string cpu;
    int logicalCpus = 0;
    int usableCpus = 0;
    bool hypervisor = false;
    std::string kernel;
    std::string qtRuntime;
    std::string buildType = TARNVIK_BENCH_BUILD_TYPE;
    std::string compiler = TARNVIK_BENCH_COMPILER;
    long timerSlackNs = -1;

    static Machine probe();
    // One line for the summary.
    std::string tag() const;
    void print() const;
};

} // namespace bench

#endif // BENCH_MACHINE_H
