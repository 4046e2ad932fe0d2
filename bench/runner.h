#ifndef BENCH_RUNNER_H
#define BENCH_RUNNER_H

// Each measurement runs in a child process of its own (forked before Qt
// starts, with its own QApplication on the offscreen platform), so that peak
// memory and thread counts of one never leak into the next. Its summary
// lines reach the parent through a pipe.

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Prints "  => line" and hands the line to the parent for the summary.
__attribute__((format(printf, 1, 2))) void summary(const char *format, ...);

struct Run
{
    std::string group;
    std::function<int()> body;
};

// Runs `body` in a child process with its own QApplication and returns its
// exit status; its summary lines are appended to `lines`.
int runInChild(const std::function<int()> &body, std::vector<std::string> &lines);

} // namespace bench

#endif // BENCH_RUNNER_H
