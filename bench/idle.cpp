// [idle] Process CPU time per wall second over 10 s, before and while
// connected, split by thread; and the reader's way of waiting (non-blocking
// read and 1 ms sleep) against a blocking read, alone on the virtual device:
// how long a report waits, and what each costs.
#include "groups.h"

#include "clocks.h"
#include "eventloop.h"
#include "procfs.h"
#include "recorder.h"
#include "runner.h"
#include "stats.h"
#include "widget.h"

#include <hidapi.h>

#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace bench {

namespace {

struct IdleFigures
{
    double cpuPerWall = 0;
    double rusagePerWall = 0;
    double readsPerSecond = 0;
    double switchesPerSecond = 0;
    double otherCores = 0;
};

IdleFigures measureIdle(const char *what, int seconds)
{
    IdleFigures f;
    const auto threadsBefore = threadTimes();
    rusage ruBefore, ruAfter;
    getrusage(RUSAGE_SELF, &ruBefore);
    const int readsBefore = vhid::readCalls();
    LoadMeter meter;
    meter.start();
    const int64_t cpuBefore = processCpuNs();
    const int64_t wallBefore = nowNs();
    runFor(int64_t(seconds) * 1000);
    const int64_t wall = nowNs() - wallBefore;
    const int64_t cpu = processCpuNs() - cpuBefore;
    const int reads = vhid::readCalls() - readsBefore;
    meter.stop();
    f.otherCores = meter.others;
    getrusage(RUSAGE_SELF, &ruAfter);
    const auto threadsAfter = threadTimes();

    const auto tv = [](const timeval &v) { return double(v.tv_sec) + double(v.tv_usec) / 1e6; };
    const double ru = tv(ruAfter.ru_utime) - tv(ruBefore.ru_utime) + tv(ruAfter.ru_stime) - tv(ruBefore.ru_stime);
    const double wallS = double(wall) / 1e9;
    f.cpuPerWall = double(cpu) / double(wall);
    f.rusagePerWall = ru / wallS;
    f.readsPerSecond = reads / wallS;
    f.switchesPerSecond = double(ruAfter.ru_nvcsw - ruBefore.ru_nvcsw + ruAfter.ru_nivcsw - ruBefore.ru_nivcsw) / wallS;
    std::printf("    %s, %.2f s wall: process CPU %.4f s per wall second (getrusage: %.4f); %.0f device reads/s; "
                "%.0f context switches/s; other load %.2f cores\n",
                what, wallS, f.cpuPerWall, f.rusagePerWall, f.readsPerSecond, f.switchesPerSecond, f.otherCores);
    for (const auto &entry : threadsAfter) {
        const auto before = threadsBefore.find(entry.first);
        const int64_t run = entry.second.runNs - (before != threadsBefore.end() ? before->second.runNs : 0);
        const int64_t slices = entry.second.slices - (before != threadsBefore.end() ? before->second.slices : 0);
        std::printf("      thread %-16s %.4f of a core, %.0f wake-ups/s, %.1f us per wake-up\n",
                    entry.second.name.c_str(), double(run) / double(wall), double(slices) / wallS,
                    slices ? us(run) / double(slices) : 0.0);
    }
    return f;
}

// How long an input report waits for the reader, by the way the reader
// waits: as the tool's reader does (a non-blocking read under a lock, and
// 1 ms of sleep after every empty one), or blocking in hid_read_timeout,
// which returns as soon as a report is there. Both on the virtual device,
// one report every millisecond for 2 s, then 2 s without any.
struct ReaderFigures
{
    Stats latencyUs;
    double busyCores = 0;
    double idleCores = 0;
    double idleWakeups = 0;
};

ReaderFigures measureReader(bool blocking)
{
    constexpr int kReports = 2000;
    vhid::reset();
    auto device = vhid::addDevice(sim::boardInfo("sim:reader"));
    hid_device *handle = hid_open_path("sim:reader");
    hid_set_nonblocking(handle, blocking ? 0 : 1);

    std::atomic<bool> running{true};
    std::atomic<int> phase{0}; // 0: reports, 1: idle
    std::vector<int64_t> reads;
    reads.reserve(kReports);
    int64_t cpu[3] = {0, 0, 0};
    int64_t wakeups[3] = {0, 0, 0};
    std::mutex ioMutex;
    std::thread reader([&]() {
        const auto threadCpu = []() {
            timespec ts;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
            return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        };
        unsigned char buffer[64];
        int seenPhase = 0;
        int64_t loops = 0;
        cpu[0] = threadCpu();
        while (running) {
            if (phase != seenPhase) {
                seenPhase = phase;
                cpu[seenPhase] = threadCpu();
                wakeups[seenPhase] = loops;
            }
            ++loops;
            int n;
            if (blocking) {
                n = hid_read_timeout(handle, buffer, sizeof buffer, 100);
            } else {
                std::lock_guard<std::mutex> lock(ioMutex);
                n = hid_read(handle, buffer, sizeof buffer);
            }
            if (n > 0) {
                reads.push_back(nowNs());
                continue;
            }
            if (!blocking)
                QThread::msleep(1);
        }
        cpu[2] = threadCpu();
        wakeups[2] = loops;
    });

    std::vector<int64_t> queued;
    queued.reserve(kReports);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < kReports; ++i) {
        next.tv_nsec += 1000000;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        queued.push_back(nowNs());
        device->queueInput(sim::OtaModel::ackReport());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int64_t busyWall = nowNs() - queued.front();
    phase = 1;
    const int64_t idleStart = nowNs();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    running = false;
    const int64_t idleWall = nowNs() - idleStart;
    reader.join();
    hid_close(handle);
    vhid::reset();

    ReaderFigures f;
    std::vector<double> latency;
    for (size_t i = 0; i < std::min(reads.size(), queued.size()); ++i)
        latency.push_back(us(reads[i] - queued[i]));
    f.latencyUs = stats(latency);
    f.busyCores = double(cpu[1] - cpu[0]) / double(busyWall);
    f.idleCores = double(cpu[2] - cpu[1]) / double(idleWall);
    f.idleWakeups = double(wakeups[2] - wakeups[1]) / (double(idleWall) / 1e9);
    return f;
}

} // namespace

int benchIdle()
{
    std::printf("\n[idle] the window shown, nothing transferred, 10 s each\n");
    vhid::reset();
    const sim::Board board = addBoard();
    Widget window;
    window.show();
    runFor(1000);
    const IdleFigures closed = measureIdle("not connected", 10);
    auto *open = window.findChild<QPushButton *>("pushButtonOpen");
    open->click();
    runUntil([&]() { return !window.Busy(); }, 10000); // the open runs off the GUI thread
    if (open->text() != "Disconnect") {
        summary("idle: FAILED (could not connect)");
        return 1;
    }
    runFor(1000);
    const IdleFigures connected = measureIdle("connected", 10);
    open->click();
    summary("idle: %.4f of a core connected (%.0f reads/s), %.4f not connected; other load %.2f cores",
            connected.cpuPerWall, connected.readsPerSecond, closed.cpuPerWall,
            (connected.otherCores + closed.otherCores) / 2);
    return 0;
}

int benchReader()
{
    std::printf("\n[idle] the reader's way of waiting, alone (no window), on the virtual device\n");
    const ReaderFigures poll = measureReader(false);
    const ReaderFigures block = measureReader(true);
    for (int i = 0; i < 2; ++i) {
        const ReaderFigures &f = i ? block : poll;
        std::printf("    %s:\n", i ? "blocking hid_read_timeout(100 ms)" : "non-blocking hid_read + 1 ms sleep (the tool's)");
        printStats("report queued to report read", f.latencyUs, "us");
        std::printf("    %-44s %.4f of a core with a report every ms; %.4f idle, %.0f wake-ups/s idle\n", "reader CPU",
                    f.busyCores, f.idleCores, f.idleWakeups);
    }
    summary("reader wait for a report: polling with 1 ms sleep mean %.0f us (p90 %.0f), idle %.4f core; "
            "blocking read mean %.0f us (p90 %.0f), idle %.4f core",
            poll.latencyUs.mean, poll.latencyUs.p90, poll.idleCores, block.latencyUs.mean, block.latencyUs.p90,
            block.idleCores);
    return 0;
}

} // namespace bench
