// [soak] A board that never stops talking: input reports streamed through
// the virtual device, the reader thread and the window's receive slot into
// the traffic log, counted one by one.
//
//   soak    3,600,000 reports (an hour's worth at 1,000 a second, a
//           full-speed endpoint's most), fed as fast as the reader takes
//           them and the window handles them: at most 256 reports are on
//           their way (queued at the device, with the reader or waiting for
//           the GUI thread) at any time.
//   burst   8,000 reports a second (a high-speed endpoint's most) for 30 s,
//           each report queued at its time whatever the window is doing.
//
// Every report carries its number. Sampled on the GUI thread, between two
// deliveries: resident memory (VmRSS, VmHWM), the reports delivered, read
// and still on their way, and the log's first and last line, which must be
// the oldest kept and the newest report delivered. At the end every line of
// the log is checked: the newest reports, in order, none missing, all red.
// Also here, as the log's bound makes it matter: Widget::AppendLog past the
// bound, and the cost of dropping old lines, with the log shown and hidden.
#include "groups.h"

#include "clocks.h"
#include "eventloop.h"
#include "otasim.h"
#include "procfs.h"
#include "qhidusbmgr.h"
#include "runner.h"
#include "virtualhid.h"
#include "widget.h"

#include <QEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <time.h>

namespace bench {

namespace {

constexpr int kReportSize = 64;

// Report number `seq`: the number (4 bytes, little-endian), then 60 bytes
// that change from report to report, as a status or sensor report would.
vhid::Bytes streamReport(uint32_t seq)
{
    vhid::Bytes r(kReportSize);
    for (int i = 0; i < 4; ++i)
        r[size_t(i)] = uint8_t(seq >> (8 * i));
    for (int i = 4; i < kReportSize; ++i)
        r[size_t(i)] = uint8_t(seq * 31u + uint32_t(i) * 7u);
    return r;
}

// The report number a log line "[recv]xx xx xx xx ..." carries; -1 for any
// other line.
long lineNumber(const QString &line)
{
    if (!line.startsWith(QLatin1String("[recv]")) || line.size() < 6 + 3 * kReportSize)
        return -1;
    long seq = 0;
    for (int i = 3; i >= 0; --i) {
        bool ok = false;
        const uint byte = line.midRef(6 + 3 * i, 2).toUInt(&ok, 16);
        if (!ok)
            return -1;
        seq = seq * 256 + long(byte);
    }
    return seq;
}

void sleepNs(int64_t ns)
{
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

void sleepUntil(int64_t monotonicNs)
{
    timespec ts{time_t(monotonicNs / 1000000000), long(monotonicNs % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

// Counts the queued deliveries to the window (its receive slot is its only
// queued call) and, for a paced stream, how late each one starts against the
// time its report was queued.
class DeliveryCounter : public QObject
{
public:
    std::atomic<long> delivered{0};
    int64_t startNs = 0;
    double periodNs = 0; // paced streams only
    int64_t maxLateNs = 0;
    double sumLateNs = 0;
    long lateOver10ms = 0;
    std::shared_ptr<vhid::VirtualDevice> device;
    std::atomic<long> *fed = nullptr;
    long maxOnTheirWay = 0;
    // Memory with the log full, just before the first line it drops (the
    // device's label line, logged at connect, is its first line).
    long rssAtBound = -1, hwmAtBound = -1;
    double secondsAtBound = -1;

    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::MetaCall)
            return false;
        const long n = delivered.load(std::memory_order_relaxed);
        if (periodNs > 0) {
            const int64_t late = nowNs() - (startNs + int64_t(double(n) * periodNs));
            maxLateNs = std::max(maxLateNs, late);
            sumLateNs += double(late);
            lateOver10ms += late > 10000000;
        }
        // Read by the reader but not yet handled by the window.
        const long read = fed->load() - long(device->pendingInput());
        maxOnTheirWay = std::max(maxOnTheirWay, read - n);
        if (n + 1 == Widget::kLogLines) {
            rssAtBound = statusKb("VmRSS");
            hwmAtBound = statusKb("VmHWM");
            secondsAtBound = double(nowNs() - startNs) / 1e9;
        }
        delivered.store(n + 1, std::memory_order_release);
        return false;
    }
};

struct Sample
{
    double seconds;
    long delivered, read, fed;
    long rssKb, hwmKb;
    int lines;
    long firstNumber, lastNumber;
};

// Streams `total` reports into a connected window, either as fast as they
// are taken (`rate` 0) or `rate` a second.
int stream(const char *name, long total, int rate)
{
    constexpr long kOnTheirWay = 256;
    const bool paced = rate > 0;
    std::printf("\n[soak] %s: %ld input reports of %d bytes, %s\n", name, total, kReportSize,
                paced ? qPrintable(QString("%1 a second, each queued at its time").arg(rate))
                      : qPrintable(QString("as fast as they are taken (at most %1 on their way)").arg(kOnTheirWay)));
    vhid::reset();
    auto device = vhid::addDevice(sim::boardInfo("sim:streaming-board", 0x1a2b, 0x00ff, L"Streaming Board"));
    Widget window;
    window.show();
    auto *open = window.findChild<QPushButton *>("pushButtonOpen");
    auto *log = window.findChild<QTextEdit *>("textEdit");
    QTextDocument *doc = log->document();
    runFor(200);
    runUntil([&]() { return !window.Busy(); }, 10000); // the listing, then the open, off the GUI thread
    open->click();
    runUntil([&]() { return !window.Busy(); }, 10000);
    if (open->text() != "Disconnect") {
        summary("%s: FAILED (could not connect)", name);
        return 1;
    }
    runFor(200);

    std::atomic<long> fed{0};
    DeliveryCounter counter;
    counter.device = device;
    counter.fed = &fed;
    window.installEventFilter(&counter);

    const long rssStart = statusKb("VmRSS");
    const long hwmStart = statusKb("VmHWM");
    std::vector<Sample> samples;
    bool consistent = true;
    QString inconsistency;
    LoadMeter meter;
    meter.start();
    const int64_t cpuStart = processCpuNs();
    const int64_t start = nowNs();
    counter.startNs = start;
    counter.periodNs = paced ? 1e9 / rate : 0;

    const auto sample = [&]() {
        Sample s;
        s.seconds = double(nowNs() - start) / 1e9;
        s.delivered = counter.delivered.load();
        s.fed = fed.load();
        s.read = s.fed - long(device->pendingInput());
        s.rssKb = statusKb("VmRSS");
        s.hwmKb = statusKb("VmHWM");
        s.lines = doc->blockCount();
        s.firstNumber = lineNumber(doc->firstBlock().text());
        s.lastNumber = lineNumber(doc->lastBlock().text());
        // Between deliveries the newest line is the newest report handled,
        // and the log holds the newest reports without a gap (the device's
        // label line, logged at connect, goes first).
        if (s.delivered > 0) {
            const bool labelKept = s.firstNumber < 0;
            const long expectFirst = labelKept ? -1 : s.delivered - s.lines;
            if (s.lastNumber != s.delivered - 1 || s.firstNumber != expectFirst) {
                if (consistent)
                    inconsistency = QString("at %1 reports delivered the log held %2 lines, first %3, last %4")
                                        .arg(s.delivered).arg(s.lines).arg(s.firstNumber).arg(s.lastNumber);
                consistent = false;
            }
        }
        samples.push_back(s);
    };
    QTimer sampler;
    sampler.setInterval(250);
    QObject::connect(&sampler, &QTimer::timeout, &sampler, sample);
    sampler.start();

    std::atomic<bool> stop{false};
    std::thread feeder([&]() {
        for (long k = 0; k < total && !stop;) {
            if (paced) {
                sleepUntil(start + int64_t(double(k) * 1e9 / rate));
                device->queueInput(streamReport(uint32_t(k)));
                fed.store(++k);
            } else if (k - counter.delivered.load(std::memory_order_acquire) < kOnTheirWay) {
                device->queueInput(streamReport(uint32_t(k)));
                fed.store(++k);
            } else {
                sleepNs(20000);
            }
        }
    });
    // The GUI thread sleeps whenever it has nothing to do (the sampler wakes
    // it at the latest), so that the CPU time is the tool's.
    const int64_t allowedNs = (paced ? int64_t(1e9 * double(total) / rate) + 60000000000LL : 3600000000000LL);
    while (counter.delivered.load() < total && nowNs() - start < allowedNs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const bool done = counter.delivered.load() >= total;
    const int64_t wall = nowNs() - start;
    const int64_t cpu = processCpuNs() - cpuStart;
    meter.stop();
    sampler.stop();
    sample();
    stop = true;
    feeder.join();
    window.removeEventFilter(&counter);

    // Every line of the log: the newest reports, in order, each red.
    long checkedLines = 0, firstKept = -1;
    bool lastPart = true;
    {
        long expect = -1;
        for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
            const long n = lineNumber(b.text());
            if (n < 0 && b == doc->begin())
                continue; // the label line, when it is still there
            const QColor colour = b.begin().fragment().charFormat().foreground().color();
            if (n < 0 || (expect >= 0 && n != expect) || colour != QColor(Qt::red)) {
                lastPart = false;
                break;
            }
            if (firstKept < 0)
                firstKept = n;
            expect = n + 1;
            ++checkedLines;
        }
        lastPart = lastPart && expect == total;
    }
    open->click();

    const Sample &last = samples.back();
    const long hwmAtBound = counter.hwmAtBound, rssAtBound = counter.rssAtBound;
    const double secondsAtBound = counter.secondsAtBound;
    const double seconds = double(wall) / 1e9;
    std::printf("    %ld of %ld reports delivered to the window in %.1f s (%.0f a second); process CPU %.2f s "
                "(%.1f us per report); other load %.2f cores\n",
                last.delivered, total, seconds, double(last.delivered) / seconds, double(cpu) / 1e9,
                last.delivered ? double(cpu) / 1e3 / double(last.delivered) : 0.0, meter.others);
    if (paced) {
        std::printf("    each report handled after it was queued: mean %.2f ms, max %.2f ms; %ld later than 10 ms\n",
                    last.delivered ? counter.sumLateNs / 1e6 / double(last.delivered) : 0.0,
                    double(counter.maxLateNs) / 1e6, counter.lateOver10ms);
    }
    std::printf("    reports read but not yet handled by the window: at most %ld\n", counter.maxOnTheirWay);
    std::printf("    log: %d lines at the end; the newest %ld reports in order, none missing, all red: %s "
                "(first kept report %ld); samples consistent: %s%s%s\n",
                last.lines, checkedLines, lastPart ? "yes" : "NO", firstKept, consistent ? "yes" : "NO",
                consistent ? "" : " - ", qPrintable(inconsistency));
    std::printf("    memory: VmRSS %ld kB, VmHWM %ld kB at the start", rssStart, hwmStart);
    if (hwmAtBound >= 0)
        std::printf("; VmRSS %ld kB, VmHWM %ld kB with the log at %d lines (%.1f s)", rssAtBound, hwmAtBound,
                    Widget::kLogLines, secondsAtBound);
    std::printf("; VmRSS %ld kB, VmHWM %ld kB at the end\n", last.rssKb, last.hwmKb);
    long rssMinAfter = -1, rssMaxAfter = -1;
    for (const Sample &s : samples) {
        if (hwmAtBound >= 0 && s.seconds > secondsAtBound) {
            rssMinAfter = rssMinAfter < 0 ? s.rssKb : std::min(rssMinAfter, s.rssKb);
            rssMaxAfter = std::max(rssMaxAfter, s.rssKb);
        }
    }
    if (rssMinAfter >= 0)
        std::printf("    VmRSS after that: %ld to %ld kB\n", rssMinAfter, rssMaxAfter);
    std::printf("    memory curve (%zu samples, every 250 ms; %s):\n", samples.size(),
                samples.size() > 24 ? "24 of them shown" : "all shown");
    std::printf("      %8s %10s %10s %8s %10s %10s\n", "s", "delivered", "on the way", "lines", "VmRSS kB",
                "VmHWM kB");
    const size_t step = std::max<size_t>(1, (samples.size() + 23) / 24);
    for (size_t i = 0; i < samples.size(); i += step) {
        const Sample &s = samples[i];
        std::printf("      %8.1f %10ld %10ld %8d %10ld %10ld\n", s.seconds, s.delivered, s.read - s.delivered,
                    s.lines, s.rssKb, s.hwmKb);
    }
    if ((samples.size() - 1) % step != 0) {
        std::printf("      %8.1f %10ld %10ld %8d %10ld %10ld\n", last.seconds, last.delivered,
                    last.read - last.delivered, last.lines, last.rssKb, last.hwmKb);
    }

    const bool ok = done && lastPart && consistent;
    summary("%s: %ld reports in %.1f s (%.0f/s)%s; log %d lines; VmHWM %ld kB at start, %s kB at %d lines, "
            "%ld kB at the end; at most %ld read and not yet handled%s; other load %.2f cores%s",
            name, last.delivered, seconds, double(last.delivered) / seconds,
            paced ? qPrintable(QString(", handled at most %1 ms after queued").arg(double(counter.maxLateNs) / 1e6, 0, 'f', 1))
                  : "",
            last.lines, hwmStart, hwmAtBound >= 0 ? qPrintable(QString::number(hwmAtBound)) : "-", Widget::kLogLines,
            last.hwmKb, counter.maxOnTheirWay, lastPart ? ", every report logged" : ", LOG INCOMPLETE",
            meter.others, ok ? "" : " - FAILED");
    return ok ? 0 : 1;
}

} // namespace

// Widget::AppendLog past its bound: the cost of a line and the peak memory
// before the log is full and while it drops its oldest lines. The lines are
// those of a stream of 64-byte reports; the log page is hidden, as the
// window keeps it.
int benchAppendPastBound()
{
    constexpr int kLines = 250000;
    constexpr int kWindow = 25000;
    std::printf("\n[soak] %d lines through Widget::AppendLog (bound %d lines, %d dropped at a time)\n", kLines,
                Widget::kLogLines, Widget::kLogLinesDropped);
    vhid::reset();
    Widget window;
    window.show();
    auto *edit = window.findChild<QTextEdit *>("textEdit");
    runFor(200);
    const long hwmBefore = statusKb("VmHWM");
    std::vector<int64_t> call(kLines);
    int64_t worst = 0;
    int worstAt = 0;
    long hwmAtBound = -1;
    for (int i = 0; i < kLines; ++i) {
        const vhid::Bytes r = streamReport(uint32_t(i));
        const QString line = QHidUsbMgr::ToHexString(QByteArray(reinterpret_cast<const char *>(r.data()), kReportSize));
        const int64_t t0 = nowNs();
        window.AppendLog(line, true);
        call[size_t(i)] = nowNs() - t0;
        QCoreApplication::processEvents();
        if (call[size_t(i)] > worst) {
            worst = call[size_t(i)];
            worstAt = i + 1;
        }
        if (i + 1 == Widget::kLogLines)
            hwmAtBound = statusKb("VmHWM");
    }
    std::printf("    mean us per AppendLog call, by %d lines:\n", kWindow);
    for (int from = 0; from + kWindow <= kLines; from += kWindow) {
        int64_t sum = 0, max = 0;
        for (int i = from; i < from + kWindow; ++i) {
            sum += call[size_t(i)];
            max = std::max(max, call[size_t(i)]);
        }
        std::printf("      lines %6d-%6d  %7.2f  (slowest %.2f ms)\n", from + 1, from + kWindow,
                    us(sum) / kWindow, ms(max));
    }
    int64_t before = 0, after = 0;
    for (int i = 0; i < Widget::kLogLines; ++i)
        before += call[size_t(i)];
    for (int i = Widget::kLogLines; i < kLines; ++i)
        after += call[size_t(i)];
    const double meanBefore = us(before) / Widget::kLogLines;
    const double meanAfter = us(after) / (kLines - Widget::kLogLines);
    const long hwmAfter = statusKb("VmHWM");
    std::printf("    mean %.2f us up to the bound, %.2f us past it; slowest call %.1f ms (line %d)\n", meanBefore,
                meanAfter, ms(worst), worstAt);
    std::printf("    document: %d lines at the end; VmHWM %ld kB before, %ld kB at %d lines, %ld kB at the end\n",
                edit->document()->blockCount(), hwmBefore, hwmAtBound, Widget::kLogLines, hwmAfter);
    summary("AppendLog past the bound: %.2f us/line up to %d lines, %.2f us/line past them, slowest %.1f ms; "
            "VmHWM %ld kB at %d lines, %ld kB after %d",
            meanBefore, Widget::kLogLines, meanAfter, ms(worst), hwmAtBound, Widget::kLogLines, hwmAfter, kLines);
    return 0;
}

// Dropping old lines with the log shown (and so laid out) and hidden: the
// window's way, 10 % of the bound at once, against QTextDocument's
// setMaximumBlockCount, one line for each line appended. A small bound keeps
// it short; the cost of a drop grows with the lines kept.
int benchDropOldLines(bool qtIdiom, bool shown)
{
    constexpr int kBound = 5000;
    constexpr int kLines = 8000;
    const char *way = qtIdiom ? "one per line (setMaximumBlockCount)" : "500 at a time (the window)";
    std::printf("\n[soak] log page %s, bound %d lines, %d lines appended; old lines dropped %s\n",
                shown ? "shown" : "hidden", kBound, kLines, way);
    vhid::reset();
    Widget window;
    if (shown)
        window.findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(1);
    window.show();
    auto *edit = window.findChild<QTextEdit *>("textEdit");
    if (qtIdiom) {
        window.SetLogLimit(0, 0);
        edit->document()->setMaximumBlockCount(kBound);
    } else {
        window.SetLogLimit(kBound, kBound / 10);
    }
    runFor(200);
    int64_t sumBefore = 0, sumAfter = 0, worst = 0;
    for (int i = 0; i < kLines; ++i) {
        const vhid::Bytes r = streamReport(uint32_t(i));
        const QString line = QHidUsbMgr::ToHexString(QByteArray(reinterpret_cast<const char *>(r.data()), kReportSize));
        const int64_t t0 = nowNs();
        window.AppendLog(line, true);
        QCoreApplication::processEvents();
        const int64_t t = nowNs() - t0;
        (i < kBound ? sumBefore : sumAfter) += t;
        if (i >= kBound)
            worst = std::max(worst, t);
    }
    const double before = us(sumBefore) / kBound;
    const double after = us(sumAfter) / (kLines - kBound);
    std::printf("    mean us per line (AppendLog and the event loop after it): %.1f up to the bound, %.1f past it "
                "(slowest %.1f ms); %d lines at the end\n",
                before, after, ms(worst), edit->document()->blockCount());
    summary("%s log, bound %d, dropped %s: %.1f us/line before the bound, %.1f us/line past it, slowest %.1f ms",
            shown ? "shown" : "hidden", kBound, way, before, after, ms(worst));
    return 0;
}

int benchSoak()
{
    return stream("soak", 3600000, 0);
}

int benchBurst()
{
    return stream("burst", 8000L * 30, 8000);
}

} // namespace bench
