#include "transfer.h"

#include "clocks.h"
#include "eventloop.h"
#include "otaframes.h"
#include "procfs.h"
#include "recorder.h"
#include "simkit.h"
#include "stats.h"
#include "widget.h"

#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace bench {

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

        // The listing, then the open, off the GUI thread.
        runUntil([&]() { return !window.Busy(); }, 10000);
        open->click();
        runUntil([&]() { return !window.Busy(); }, 10000);
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

} // namespace bench
