// tarnvik-bench: how fast and how cheaply the tool really runs, measured
// in-process against the simulated board (the virtual HID devices and the
// device-side protocol model) on Qt's offscreen platform.
//
//   tarnvik-bench [efficiency] [idle] [log] [upgrade1m]
//
// With no argument every group runs (three to four minutes). Each measurement
// runs in a process of its own (forked before Qt starts), so that peak memory
// and thread counts of one never leak into the next. Every figure is printed
// with the machine it ran on.
//
// Groups:
//   efficiency  64 KiB upgrades at load/sleep 1, 2, 5, 10 ms with the upgrade
//               timer as the window makes it (CoarseTimer) and as PreciseTimer,
//               and at 1 ms with a timer slack of 1 ns. Ideal time (packets x
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

#include "otaframes.h"
#include "otasim.h"
#include "qhidusbmgr.h"
#include "simkit.h"
#include "virtualhid.h"
#include "widget.h"

#include <hidapi.h>

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------- clocks

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t processCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ms(int64_t ns)
{
    return double(ns) / 1e6;
}

double us(int64_t ns)
{
    return double(ns) / 1e3;
}

// ---------------------------------------------------------------- output

// Summary lines go from each measuring process to the parent through a pipe
// and are printed again at the end.
int summaryFd = -1;

__attribute__((format(printf, 1, 2))) void summary(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::printf("  => %s\n", line);
    if (summaryFd >= 0) {
        std::string text = std::string(line) + "\n";
        const ssize_t written = write(summaryFd, text.data(), text.size());
        (void)written;
    }
}

// ---------------------------------------------------------------- machine

std::string firstField(const char *path, const char *key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) {
                std::string value = line.substr(colon + 1);
                value.erase(0, value.find_first_not_of(" \t"));
                return value;
            }
        }
    }
    return "unknown";
}

int countLines(const char *path, const char *key)
{
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.compare(0, std::strlen(key), key) == 0;
    return n;
}

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

    static Machine probe()
    {
        Machine m;
        m.cpu = firstField("/proc/cpuinfo", "model name");
        m.logicalCpus = countLines("/proc/cpuinfo", "processor");
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) == 0)
            m.usableCpus = CPU_COUNT(&set);
        m.hypervisor = firstField("/proc/cpuinfo", "flags").find("hypervisor") != std::string::npos;
        utsname u;
        if (uname(&u) == 0)
            m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
        m.qtRuntime = qVersion();
        m.timerSlackNs = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
        return m;
    }

    std::string tag() const
    {
        return cpu + ", " + std::to_string(usableCpus) + " cores, " + kernel + ", Qt " + qtRuntime + ", "
               + buildType;
    }

    void print() const
    {
        std::printf("Machine\n");
        std::printf("  CPU          %s%s\n", cpu.c_str(), hypervisor ? " (virtual machine)" : "");
        std::printf("  cores        %d logical, %d usable by this process\n", logicalCpus, usableCpus);
        std::printf("  kernel       %s\n", kernel.c_str());
        std::printf("  Qt           %s at run time, %s at build time, platform offscreen\n", qtRuntime.c_str(),
                    QT_VERSION_STR);
        std::printf("  build        %s, %s\n", buildType.c_str(), compiler.c_str());
        std::printf("  timer slack  %ld ns\n", timerSlackNs);
    }
};

// ---------------------------------------------------------------- /proc

long statusKb(const char *key)
{
    const std::string value = firstField("/proc/self/status", key);
    return value == "unknown" ? -1 : std::atol(value.c_str());
}

// What else the machine was doing meanwhile: all CPUs' busy time from
// /proc/stat less this process's own CPU time, in cores.
class LoadMeter
{
public:
    void start()
    {
        read(busy0, total0);
        own0 = processCpuNs();
        wall0 = nowNs();
    }
    void stop()
    {
        int64_t busy1, total1;
        read(busy1, total1);
        const int64_t wall = nowNs() - wall0;
        const double cpus = double(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
        own = double(processCpuNs() - own0) / double(wall);
        const double machine = total1 > total0 ? cpus * double(busy1 - busy0) / double(total1 - total0) : 0;
        others = std::max(0.0, machine - own);
    }
    double own = 0;    // this process, cores
    double others = 0; // everything else on the machine, cores

private:
    static void read(int64_t &busy, int64_t &total)
    {
        std::ifstream in("/proc/stat");
        std::string cpu;
        int64_t v[8] = {};
        in >> cpu;
        for (int64_t &x : v)
            in >> x;
        total = 0;
        for (int64_t x : v)
            total += x;
        busy = total - v[3] - v[4]; // less idle and iowait
    }
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
std::map<int, ThreadTime> threadTimes()
{
    std::map<int, ThreadTime> result;
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return result;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int tid = std::atoi(entry->d_name);
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        ThreadTime t;
        std::ifstream comm(base + "/comm");
        std::getline(comm, t.name);
        std::ifstream sched(base + "/schedstat");
        int64_t wait = 0;
        sched >> t.runNs >> wait >> t.slices;
        result[tid] = t;
    }
    closedir(dir);
    return result;
}

// ---------------------------------------------------------------- statistics

struct Stats
{
    size_t n = 0;
    double mean = 0, min = 0, p50 = 0, p90 = 0, p99 = 0, max = 0;
};

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

// ---------------------------------------------------------------- recording

// What happened during one transfer, by the monotonic clock. The writes are
// taken at the device (inside hid_write), the ticks and deliveries on the
// GUI thread by an event filter, the reads on the reader thread from its own
// diagnostic line, which it writes right after handing the chunk over.
struct Recorder
{
    std::atomic<bool> on{false};
    std::mutex readMutex;
    std::vector<int64_t> reads;
    std::vector<int64_t> ticks;
    std::vector<int64_t> deliveries;
    std::vector<int64_t> dataWrites;
    std::vector<int64_t> commandWrites;
    std::atomic<long> debugLines{0};

    void clear()
    {
        std::lock_guard<std::mutex> lock(readMutex);
        reads.clear();
        ticks.clear();
        deliveries.clear();
        dataWrites.clear();
        commandWrites.clear();
    }
};

Recorder recorder;

// The diagnostic lines are counted and dropped, so that the figures are the
// tool's own and not those of a terminal; warnings still reach stderr.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        ++recorder.debugLines;
        if (recorder.on && message.startsWith(QLatin1String("RecvBufSignal"))) {
            const int64_t t = nowNs();
            std::lock_guard<std::mutex> lock(recorder.readMutex);
            recorder.reads.push_back(t);
        }
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Closes every message box as soon as it shows (as an operator clicking OK
// at once would), and records timer ticks and queued deliveries.
class Watch : public QObject
{
public:
    QObject *window = nullptr;
    QObject *timer = nullptr;
    QStringList boxes;

    bool eventFilter(QObject *object, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::Timer:
            if (object == timer && recorder.on)
                recorder.ticks.push_back(nowNs());
            break;
        case QEvent::MetaCall:
            if (object == window && recorder.on)
                recorder.deliveries.push_back(nowNs());
            break;
        case QEvent::Show:
            if (auto *box = qobject_cast<QMessageBox *>(object)) {
                boxes.append(box->text());
                QPointer<QMessageBox> guarded(box);
                QMetaObject::invokeMethod(
                    box,
                    [guarded]() {
                        if (!guarded)
                            return;
                        if (QAbstractButton *ok = guarded->button(QMessageBox::Ok))
                            ok->click();
                        else
                            guarded->reject();
                    },
                    Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
        return false;
    }
};

// The board: the protocol model behind a virtual device, with every write
// time-stamped as the device receives it.
sim::Board addBoard()
{
    return sim::plugBoard(sim::boardInfo("sim:bench-board", 0x1a2b, 0x00ff, L"Bench Board"), {},
                          [](const vhid::Bytes &frame) {
                              const int64_t t = nowNs();
                              if (!recorder.on)
                                  return;
                              const bool command =
                                  frame.size() > 9 && std::memcmp(frame.data() + 1, "AT+OTA=E", 8) == 0;
                              (command ? recorder.commandWrites : recorder.dataWrites).push_back(t);
                          });
}

template <typename Predicate>
bool runUntil(Predicate done, int64_t timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

void runFor(int64_t durationMs)
{
    QEventLoop loop;
    QTimer::singleShot(int(durationMs), &loop, &QEventLoop::quit);
    loop.exec();
}

// ---------------------------------------------------------------- upgrades

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
Transfer runUpgrade(int imageSize, int intervalMs, Qt::TimerType timerType)
{
    Transfer result;
    result.intervalMs = intervalMs;
    result.packets = (imageSize + OtaFrames::kPacketPayload - 1) / OtaFrames::kPacketPayload;

    simkit::WorkFolder folder;
    if (!folder.isValid()) {
        result.error = "no working folder";
        return result;
    }
    const QByteArray image = simkit::image(imageSize);
    simkit::writeFile("update/image.bin", image);
    simkit::writeInterval(intervalMs);

    vhid::reset();
    const sim::Board board = addBoard();
    const std::shared_ptr<sim::OtaModel> &model = board.model;
    {
        Widget window;
        window.show();
        auto *open = window.findChild<QPushButton *>("pushButtonOpen");
        auto *load = window.findChild<QPushButton *>("pushButtonLoad");
        auto *timer = window.findChild<QTimer *>("upgradeTimer");
        Watch watch;
        watch.window = &window;
        watch.timer = timer;
        qApp->installEventFilter(&watch);
        QCoreApplication::processEvents();

        open->click();
        if (open->text() != "Disconnect") {
            result.error = "could not connect";
        } else {
            timer->setTimerType(timerType);
            runFor(100);
            recorder.clear();
            result.hwmBeforeKb = statusKb("VmHWM");
            result.rssBeforeKb = statusKb("VmRSS");
            const long debugBefore = recorder.debugLines;
            LoadMeter meter;
            meter.start();
            recorder.on = true;
            load->click(); // the Start box opens and is closed by the watch
            const int64_t ideal = int64_t(result.packets + 1) * intervalMs;
            const bool done = runUntil([&]() { return watch.boxes.contains("Upgrade Completed"); },
                                       ideal * 5 + 20000);
            recorder.on = false;
            meter.stop();
            result.ownCores = meter.own;
            result.otherCores = meter.others;
            result.debugLines = recorder.debugLines - debugBefore;
            result.hwmAfterKb = statusKb("VmHWM");
            result.rssAfterKb = statusKb("VmRSS");
            if (!done)
                result.error = "no completion; boxes: " + watch.boxes.join(", ").toStdString();
            else if (!model->verdict().good())
                result.error = "device verdict: " + model->verdictText();
            else if (recorder.commandWrites.size() != 3)
                result.error = "expected E1, E2 and E4";
            else if (int(recorder.dataWrites.size()) != result.packets)
                result.error = "packet count differs";
            else
                result.ok = true;
        }
        qApp->removeEventFilter(&watch);
        open->click();
    }
    vhid::reset();

    std::lock_guard<std::mutex> lock(recorder.readMutex);
    result.writes = recorder.dataWrites;
    result.ticks = recorder.ticks;
    result.reads = recorder.reads;
    result.deliveries = recorder.deliveries;
    if (recorder.commandWrites.size() == 3) {
        result.startNs = recorder.commandWrites[1];
        result.e4Ns = recorder.commandWrites[2];
    }
    return result;
}

// Prints where the time of a transfer went.
void analyse(const Transfer &t)
{
    const double interval = t.intervalMs;
    const size_t n = t.writes.size();
    std::printf("    %d packets, ideal %.1f ms, measured %.1f ms (start to last packet), E4 after %.1f ms\n",
                t.packets, t.packets * interval, ms(t.writes.back() - t.startNs), ms(t.e4Ns - t.startNs));

    // Packet spacing in ticks.
    std::vector<double> spacing;
    std::map<long, int> inTicks;
    for (size_t i = 0; i < n; ++i) {
        const double d = ms(t.writes[i] - (i ? t.writes[i - 1] : t.startNs));
        spacing.push_back(d);
        ++inTicks[std::max(1L, std::lround(d / interval))];
    }
    printStats("packet spacing", stats(spacing), "ms");
    std::printf("    packet spacing in ticks:");
    for (const auto &entry : inTicks)
        std::printf("  %ld: %d (%.1f%%)", entry.first, entry.second, 100.0 * entry.second / double(n));
    std::printf("\n");

    // Ticks: how many, how regular, how many sent nothing.
    std::vector<int64_t> during;
    for (int64_t tick : t.ticks) {
        if (tick > t.startNs && tick <= t.writes.back())
            during.push_back(tick);
    }
    std::vector<double> tickGaps, lateness;
    for (size_t i = 0; i < during.size(); ++i) {
        if (!i)
            continue;
        tickGaps.push_back(ms(during[i] - during[i - 1]));
        // Against the first tick's schedule: first + k x interval.
        const double since = ms(during[i] - during[0]);
        lateness.push_back(since - std::round(since / interval) * interval);
    }
    std::printf("    timer ticks during the transfer: %zu, of which %zu sent a packet and %zu found no "
                "acknowledgement yet\n",
                during.size(), n, during.size() > n ? during.size() - n : 0);
    printStats("tick gap", stats(tickGaps), "ms");
    printStats("tick off the first tick's schedule", stats(lateness), "ms");

    // The acknowledgement's way back, packet by packet.
    if (t.reads.size() != n || t.deliveries.size() != n) {
        std::printf("    (acknowledgement path not matched: %zu reads, %zu deliveries for %zu packets)\n",
                    t.reads.size(), t.deliveries.size(), n);
        return;
    }
    std::vector<double> tickToWrite, reader, queued, total;
    size_t late = 0, tickIndex = 0;
    for (size_t i = 0; i < n; ++i) {
        // The tick that sent packet i is the last one before its write.
        while (tickIndex + 1 < t.ticks.size() && t.ticks[tickIndex + 1] < t.writes[i])
            ++tickIndex;
        if (!t.ticks.empty() && t.ticks[tickIndex] < t.writes[i])
            tickToWrite.push_back(us(t.writes[i] - t.ticks[tickIndex]));
        reader.push_back(ms(t.reads[i] - t.writes[i]));
        queued.push_back(us(t.deliveries[i] - t.reads[i]));
        total.push_back(ms(t.deliveries[i] - t.writes[i]));
        // Was the acknowledgement in the window before the next tick?
        if (i + 1 < n) {
            const auto next = std::upper_bound(t.ticks.begin(), t.ticks.end(), t.writes[i]);
            if (next != t.ticks.end() && t.deliveries[i] > *next)
                ++late;
        }
    }
    printStats("tick to packet written (send + its log line)", stats(tickToWrite), "us");
    printStats("packet written to ack read by reader thread", stats(reader), "ms");
    printStats("ack read to ack handled on GUI thread (*)", stats(queued), "us");
    printStats("packet written to ack handled (round trip)", stats(total), "ms");
    std::printf("    acknowledgements handled after the next tick (that tick is lost): %zu of %zu (%.1f%%)\n", late,
                n > 1 ? n - 1 : 0, n > 1 ? 100.0 * double(late) / double(n - 1) : 0.0);
    std::printf("    (*) the reader's time stamp is taken just after it has handed the chunk over, so the GUI\n"
                "        thread may take it first: a small negative value means it was handled at once.\n");
    std::printf("    CPU: this process %.2f cores; the rest of the machine %.2f cores meanwhile\n", t.ownCores,
                t.otherCores);
}

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

// ---------------------------------------------------------------- idle

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

// ---------------------------------------------------------------- reader

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

// ---------------------------------------------------------------- traffic log

// The appenders compared. The first is Widget::AppendLog as built; the others
// work on the same QTextEdit of a fresh window and take the ingredients of a
// log line one by one, so that the cost of each shows: HTML parsing, the undo
// stack, and moving the view's cursor (QTextEdit::moveCursor lays out and
// keeps a shaped copy of every line it moves to).
enum class Appender { Window, HtmlUndo, HtmlNoUndo, CursorNoUndo };

const char *appenderName(Appender a)
{
    switch (a) {
    case Appender::Window:
        return "Widget::AppendLog";
    case Appender::HtmlUndo:
        return "append(HTML)+moveCursor, undo on";
    case Appender::HtmlNoUndo:
        return "append(HTML)+moveCursor, undo off";
    case Appender::CursorNoUndo:
        return "insertText+moveCursor, undo off";
    }
    return "?";
}

// The reference appenders. Both show the same coloured, escaped line and
// keep the view on the newest line.
void appendHtml(QTextEdit *edit, const QString &text, bool received)
{
    const QString line = received ? QStringLiteral("<font color=red>[recv]%1</font>")
                                  : QStringLiteral("<font color=blue>[send]%1</font>");
    edit->append(line.arg(text.toHtmlEscaped()));
    edit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void appendCursor(QTextEdit *edit, const QString &text, bool received)
{
    QTextCharFormat format;
    format.setForeground(received ? QColor(Qt::red) : QColor(Qt::blue));
    QTextDocument *doc = edit->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!doc->isEmpty())
        cursor.insertBlock();
    cursor.insertText((received ? QStringLiteral("[recv]") : QStringLiteral("[send]")) + text, format);
    cursor.endEditBlock();
    edit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

// The log's content as the operator could ever see it: every paragraph's
// block format, block character format and fragments (text and format),
// the view's cursor and the scroll bars.
QStringList logState(QTextEdit *edit)
{
    const auto props = [](const QTextFormat &format) {
        QString text;
        const QMap<int, QVariant> p = format.properties();
        for (auto it = p.begin(); it != p.end(); ++it)
            QDebug(&text) << it.key() << it.value();
        return text;
    };
    QStringList state;
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next()) {
        QString line = props(b.blockFormat()) + "|" + props(b.charFormat());
        for (auto it = b.begin(); !it.atEnd(); ++it)
            line += "{" + it.fragment().text() + "|" + props(it.fragment().charFormat()) + "}";
        state.append(line);
    }
    const QTextCursor view = edit->textCursor();
    state.append(QString("cursor %1/%2 %3 scroll %4/%5 %6/%7")
                     .arg(view.position())
                     .arg(view.anchor())
                     .arg(props(view.charFormat()))
                     .arg(edit->verticalScrollBar()->value())
                     .arg(edit->verticalScrollBar()->maximum())
                     .arg(edit->horizontalScrollBar()->value())
                     .arg(edit->horizontalScrollBar()->maximum()));
    return state;
}

// Widget::AppendLog against the HTML appender on a second window, line by
// line, with the log's page hidden (as the tool keeps it) and brought
// forward (so that it is laid out): the shown result must not differ.
bool checkLogEquivalence()
{
    const QStringList samples = {
        QHidUsbMgr::ToHexString(QByteArray::fromHex("0100000041542b4f54413d45")),
        "Tarnvik(1a2b)-Board(00ff)",
        "<b>bold</b> & &amp; <img src=x>",
        "two  blanks",
        " leading blank",
        "trailing blank ",
        "tab\there",
        QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x98\x83 \xe6\xb5\x8b\xe8\xaf\x95"),
        "",
        " ",
        QHidUsbMgr::ToHexString(QByteArray(64, '\0')),
        QString::fromUtf8("non\xc2\xa0" "breaking"),
    };
    bool same = true;
    for (int page = 0; page < 2 && same; ++page) {
        Widget tool, reference;
        for (Widget *w : {&tool, &reference}) {
            if (page)
                w->findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(1);
            w->show();
        }
        QTextEdit *edit = reference.findChild<QTextEdit *>("textEdit");
        QCoreApplication::processEvents();
        for (int i = 0; i < 600 && same; ++i) {
            const QString &text = samples[(i * 7 + i / 50) % samples.size()];
            const bool received = i % 3 == 1;
            tool.AppendLog(text, received);
            appendHtml(edit, text, received);
            QCoreApplication::processEvents();
            const QStringList a = logState(tool.findChild<QTextEdit *>("textEdit"));
            const QStringList b = logState(edit);
            if (a != b) {
                same = false;
                for (int k = 0; k < std::min(a.size(), b.size()); ++k) {
                    if (a[k] != b[k]) {
                        std::printf("    line %d, %s page: paragraph %d differs:\n      AppendLog %s\n      HTML      %s\n",
                                    i + 1, page ? "shown" : "hidden", k, qPrintable(a[k].left(300)),
                                    qPrintable(b[k].left(300)));
                        break;
                    }
                }
            }
        }
    }
    std::printf("    Widget::AppendLog against append(HTML)+moveCursor, 600 mixed lines, log page hidden "
                "and shown: %s\n",
                same ? "identical after every line" : "DIFFERENT");
    return same;
}

int benchLogCheck()
{
    std::printf("\n[log] what the log shows\n");
    vhid::reset();
    const bool same = checkLogEquivalence();
    summary("log content of Widget::AppendLog and of the HTML appender: %s", same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}

int benchLog(Appender appender)
{
    constexpr int kLines = 35000; // a 1 MiB upgrade: 17,477 packets, a send and a recv line each
    constexpr int kWindow = 1000;
    std::printf("\n[log] %d lines through %s\n", kLines, appenderName(appender));

    // The lines an upgrade logs: each data packet as sent (64 bytes) and the
    // device's zero-padded acknowledgement report (64 bytes), as hex text.
    const QByteArray image = simkit::image(60 * (kLines / 2 + 1));
    const QByteArray ackReport = QByteArray(64, '\0').replace(0, 12, "AT+OTA=E3:1\r");
    const QString ackLine = QHidUsbMgr::ToHexString(ackReport);
    std::vector<QString> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
        if (i % 2)
            lines.push_back(ackLine);
        else
            lines.push_back(QHidUsbMgr::ToHexString(
                OtaFrames::DataPacket(uint32_t(i / 2 + 1), image.mid(60 * (i / 2), 60))));
    }

    vhid::reset();
    Widget window;
    window.show();
    auto *edit = window.findChild<QTextEdit *>("textEdit");
    if (appender == Appender::HtmlUndo)
        edit->setUndoRedoEnabled(true);
    if (appender == Appender::HtmlNoUndo || appender == Appender::CursorNoUndo)
        edit->setUndoRedoEnabled(false);
    runFor(200);

    const long hwmBefore = statusKb("VmHWM");
    const long rssBefore = statusKb("VmRSS");
    std::vector<int64_t> call(kLines), loop(kLines);
    LoadMeter meter;
    meter.start();
    const int64_t begin = nowNs();
    for (int i = 0; i < kLines; ++i) {
        const bool received = i % 2;
        const int64_t t0 = nowNs();
        switch (appender) {
        case Appender::Window:
            window.AppendLog(lines[size_t(i)], received);
            break;
        case Appender::HtmlUndo:
        case Appender::HtmlNoUndo:
            appendHtml(edit, lines[size_t(i)], received);
            break;
        case Appender::CursorNoUndo:
            appendCursor(edit, lines[size_t(i)], received);
            break;
        }
        const int64_t t1 = nowNs();
        // What the append left for the event loop (layout, scroll bars).
        QCoreApplication::processEvents();
        call[size_t(i)] = t1 - t0;
        loop[size_t(i)] = nowNs() - t1;
    }
    const int64_t total = nowNs() - begin;
    meter.stop();
    const long hwmAfter = statusKb("VmHWM");
    const long rssAfter = statusKb("VmRSS");

    const auto meanUs = [](const std::vector<int64_t> &v, int from, int count) {
        int64_t sum = 0;
        for (int i = from; i < from + count; ++i)
            sum += v[size_t(i)];
        return us(sum) / count;
    };
    std::printf("    mean us per line        AppendLog call   event loop after it\n");
    for (int from = 0; from + kWindow <= kLines; from += 5000) {
        std::printf("      lines %5d-%5d      %8.2f         %8.2f\n", from + 1, from + kWindow,
                    meanUs(call, from, kWindow), meanUs(loop, from, kWindow));
    }
    const double firstCall = meanUs(call, 0, kWindow);
    const double lastCall = meanUs(call, kLines - kWindow, kWindow);
    const double lastLoop = meanUs(loop, kLines - kWindow, kWindow);
    const double firstLoop = meanUs(loop, 0, kWindow);
    std::printf("      lines %5d-%5d      %8.2f         %8.2f\n", kLines - kWindow + 1, kLines, lastCall, lastLoop);
    std::printf("    all %d lines: %.2f s (calls and event loop); other load %.2f cores\n", kLines,
                double(total) / 1e9, meter.others);
    std::printf("    document: %d blocks, %d characters, %d undo steps kept\n", edit->document()->blockCount(),
                edit->document()->characterCount(), edit->document()->availableUndoSteps());
    std::printf("    VmHWM %ld kB before, %ld kB after: +%.0f bytes per line; VmRSS %ld -> %ld kB\n", hwmBefore,
                hwmAfter, (hwmAfter - hwmBefore) * 1024.0 / kLines, rssBefore, rssAfter);
    summary("log %-34s first 1000 lines %.1f us/line (+%.1f us event loop), last 1000 %.1f us/line (+%.1f us); "
            "VmHWM %ld -> %ld kB (+%.0f B/line); undo steps %d; other load %.2f cores",
            appenderName(appender), firstCall, firstLoop, lastCall, lastLoop, hwmBefore, hwmAfter,
            (hwmAfter - hwmBefore) * 1024.0 / kLines, edit->document()->availableUndoSteps(), meter.others);
    return 0;
}

// ---------------------------------------------------------------- driver

struct Run
{
    std::string group;
    std::function<int()> body;
};

std::vector<Run> allRuns()
{
    std::vector<Run> runs;
    for (Qt::TimerType type : {Qt::CoarseTimer, Qt::PreciseTimer}) {
        for (int interval : {1, 2, 5, 10})
            runs.push_back({"efficiency", [=]() { return benchEfficiency(interval, type, 0); }});
    }
    runs.push_back({"efficiency", []() { return benchEfficiency(1, Qt::CoarseTimer, 1); }});
    runs.push_back({"idle", []() { return benchIdle(); }});
    runs.push_back({"idle", []() { return benchReader(); }});
    runs.push_back({"log", []() { return benchLogCheck(); }});
    for (Appender a : {Appender::Window, Appender::HtmlUndo, Appender::HtmlNoUndo, Appender::CursorNoUndo})
        runs.push_back({"log", [=]() { return benchLog(a); }});
    runs.push_back({"upgrade1m", []() { return benchUpgrade1M(); }});
    return runs;
}

// Runs `body` in a child process with its own QApplication and returns its
// exit status; its summary lines are appended to `lines`.
int runInChild(const std::function<int()> &body, std::vector<std::string> &lines)
{
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        summaryFd = fds[1];
        int rc;
        {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            qInstallMessageHandler(messageHandler);
            int argc = 1;
            char name[] = "tarnvik-bench";
            char *argv[] = {name, nullptr};
            QApplication app(argc, argv);
            rc = body();
        }
        std::fflush(stdout);
        close(summaryFd);
        _exit(rc);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return 1;
    }
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> groups;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::printf("usage: %s [efficiency] [idle] [log] [upgrade1m]\n", argv[0]);
            return 0;
        }
        if (arg != "efficiency" && arg != "idle" && arg != "log" && arg != "upgrade1m") {
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
        if (!groups.empty() && std::find(groups.begin(), groups.end(), run.group) == groups.end())
            continue;
        failures += runInChild(run.body, lines) != 0;
    }

    std::printf("\nSummary [%s]\n", machine.tag().c_str());
    for (const std::string &line : lines)
        std::printf("  %s\n", line.c_str());
    return failures ? 1 : 0;
}
