// tarnvik-bench: how fast and how cheaply the tool really runs, measured
// in-process against the simulated board (the virtual HID devices and the
// device-side protocol model) on Qt's offscreen platform.
//
//   tarnvik-bench [efficiency] [idle] [log] [upgrade1m] [soak]
//
// With no argument every group but soak runs (three to four minutes); soak
// takes a few minutes more and runs only when named. Each measurement
// runs in a process of its own (forked before Qt starts), so that peak memory
// and thread counts of one never leak into the next. Every figure is printed
// with the machine it ran on.
//
// Groups:
//   efficiency  64 KiB upgrades at load/sleep 1, 2, 5, 10 ms with the upgrade
//               timer as the window makes it (PreciseTimer) and as a
//               CoarseTimer, and at 1 ms with a timer slack of 1 ns. Ideal time (packets x
//               interval) over measured time, and where the ticks go: packet
//               spacing, wasted ticks, and each acknowledgement's way from the
//               device through the reader thread to the window.
//   idle        process CPU time per wall second over 10 s, before and while
//               connected, split by thread; and the reader's way of waiting
//               (non-blocking read and 1 ms sleep) against a blocking read,
//               alone on the virtual device: how long a report waits, and
//               what each costs.
//   log         first a check that Widget::AppendLog shows exactly what the
//               HTML appender shows; then 35,000 traffic-log lines of the
//               shapes an upgrade produces, appended by Widget::AppendLog and
//               by reference appenders for comparison: time per line at the
//               start and at the end, and peak resident memory before and
//               after.
//   upgrade1m   a whole 1 MiB upgrade at 1 ms: efficiency at its start and at
//               its end, and peak resident memory.
//   soak        a board that never stops sending input reports: an hour's
//               worth at 1,000 a second (3.6 million), fed as fast as they
//               are taken, and 30 s at 8,000 a second, counted report by
//               report into the traffic log, with resident memory over time;
//               and Widget::AppendLog past the log's bound.
//
// Each group's code is in the file of its name (efficiency.cpp, idle.cpp,
// log.cpp, upgrade1m.cpp, soak.cpp); what they share: the clocks (clocks.h), the
// machine's description (machine.h), /proc (procfs.h), statistics
// (stats.h), the recorder of a transfer (recorder.h), the event loop
// (eventloop.h), a whole recorded upgrade (transfer.h) and the process
// for each measurement (runner.h).

#include "groups.h"
#include "machine.h"
#include "runner.h"

#include <QtCore/qnamespace.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace bench;

namespace {

std::vector<Run> allRuns()
{
    std::vector<Run> runs;
    for (Qt::TimerType type : {Qt::PreciseTimer, Qt::CoarseTimer}) {
        for (int interval : {1, 2, 5, 10})
            runs.push_back({"efficiency", [=]() { return benchEfficiency(interval, type, 0); }});
    }
    runs.push_back({"efficiency", []() { return benchEfficiency(1, Qt::PreciseTimer, 1); }});
    runs.push_back({"idle", []() { return benchIdle(); }});
    runs.push_back({"idle", []() { return benchReader(); }});
    runs.push_back({"log", []() { return benchLogCheck(); }});
    for (Appender a : {Appender::Window, Appender::HtmlUndo, Appender::HtmlNoUndo, Appender::CursorNoUndo})
        runs.push_back({"log", [=]() { return benchLog(a); }});
    runs.push_back({"upgrade1m", []() { return benchUpgrade1M(); }});
    runs.push_back({"soak", []() { return benchAppendPastBound(); }});
    for (bool shown : {false, true}) {
        for (bool qtIdiom : {false, true})
            runs.push_back({"soak", [=]() { return benchDropOldLines(qtIdiom, shown); }});
    }
    runs.push_back({"soak", []() { return benchSoak(); }});
    runs.push_back({"soak", []() { return benchBurst(); }});
    return runs;
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> groups;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::printf("usage: %s [efficiency] [idle] [log] [upgrade1m] [soak]\n"
                        "With no group: all but soak.\n",
                        argv[0]);
            return 0;
        }
        if (arg != "efficiency" && arg != "idle" && arg != "log" && arg != "upgrade1m" && arg != "soak") {
            std::fprintf(stderr, "unknown group '%s' (try --help)\n", arg.c_str());
            return 2;
        }
        groups.push_back(arg);
    }

    const Machine machine = Machine::probe();
    machine.print();
    std::printf("The tool's diagnostic lines are counted and dropped, not printed.\n");

    std::vector<std::string> lines;
    int failures = 0;
    for (const Run &run : allRuns()) {
        const bool chosen = groups.empty() ? run.group != "soak"
                                           : std::find(groups.begin(), groups.end(), run.group) != groups.end();
        if (!chosen)
            continue;
        failures += runInChild(run.body, lines) != 0;
    }

    std::printf("\nSummary [%s]\n", machine.tag().c_str());
    for (const std::string &line : lines)
        std::printf("  %s\n", line.c_str());
    return failures ? 1 : 0;
}
