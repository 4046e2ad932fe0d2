// Transfer efficiency through the real stack in the test guest, for the board
// the boot runs (uhid, USB full speed or USB high speed): the ideal time
// (packets x load/sleep) over the measured time from E2 written to the last
// data packet written, as the in-process benchmark (tarnvik-bench
// efficiency) defines it, at load/sleep 1, 2, 5 and 10 ms, through the
// window as an operator drives it. The write times are those of the
// manager's "hid_write" lines, written as each hid_write returns.
//
// Kept cheap for every guest run: E2E_EFFICIENCY_BYTES (default 12,000
// bytes, 200 packets) and E2E_EFFICIENCY_RUNS (default 1) runs per interval,
// the median reported. By hand, for example (E2E_* variables reach the guest):
//   E2E_EFFICIENCY_RUNS=3 E2E_UHID=$PWD/build/tests/e2e/uhid_device
//   tests/e2e/run-guest.sh build /tmp/eff 600 -- $PWD/build/tests/e2e/tst_guest efficiency
// Guest figures are emulated (QEMU TCG; dummy_hcd does not keep USB frame
// timing): they compare transports in this guest, not with real hardware.
#include "tst_guest.h"

#include "boxwatcher.h"
#include "messagecapture.h"
#include "widget.h"

#include <QFile>
#include <QPushButton>
#include <QSysInfo>
#include <QtTest>

#include <algorithm>

void TestGuest::efficiency()
{
    const int bytes = qEnvironmentVariableIsSet("E2E_EFFICIENCY_BYTES")
                          ? qEnvironmentVariableIntValue("E2E_EFFICIENCY_BYTES")
                          : 12000;
    const int runs = qMax(1, qEnvironmentVariableIntValue("E2E_EFFICIENCY_RUNS"));
    QVERIFY2(bytes > 0, "E2E_EFFICIENCY_BYTES must be a positive number");
    const int packets = (bytes + 59) / 60;
    QVERIFY(simkit::writeFile("update/firmware.bin", simkit::image(bytes)));
    startBoard({{"1a2b:00ff", "--name", "Tarnvik Board", "--uniq", "E2E-E"}});

    QString cpu;
    for (const QByteArray &line : guest::readAll("/proc/cpuinfo").split('\n'))
        if (cpu.isEmpty() && line.startsWith("model name"))
            cpu = QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
    qInfo("efficiency over %s, %d-byte image (%d packets), %d run(s) per interval; guest kernel %s, %d vCPUs "
          "\"%s\" (QEMU TCG: emulated, and dummy_hcd keeps no USB frame timing)",
          qPrintable(transportName()), bytes, packets, runs, qPrintable(QSysInfo::kernelVersion()),
          QThread::idealThreadCount(), qPrintable(cpu));

    for (const int interval : {1, 2, 5, 10}) {
        QVERIFY(simkit::writeInterval(interval));
        QVector<double> results;
        QVector<double> measuredMs;
        for (int run = 0; run < runs; ++run) {
            connectTo("E2E-E");
            capture->clear();
            boxes->clear();
            window->findChild<QPushButton *>("pushButtonLoad")->click();
            QVERIFY2(guest::runUntil([this] { return boxes->texts().contains("Upgrade Completed"); },
                                     packets * interval * 20 + 30000),
                     qPrintable(boxes->texts().join(", ")));
            // E1, E2, the packets, E4; each written whole.
            const auto writes = capture->timedLinesStartingWith("hid_write");
            QCOMPARE(writes.size(), packets + 3);
            for (const auto &w : writes)
                QVERIFY2(w.second.section(' ', 1, 1).toInt() > 0, qPrintable(w.second));
            const double ms = (writes.at(packets + 1).first - writes.at(1).first) / 1e6;
            measuredMs.append(ms);
            results.append(packets * interval / ms);
            const QString verdict = currentVerdict();
            QVERIFY2(verdict.contains(QString("verdict=GOOD size=%1 ").arg(bytes)), qPrintable(verdict));
            delete window;
            window = nullptr;
        }
        std::sort(results.begin(), results.end());
        std::sort(measuredMs.begin(), measuredMs.end());
        qInfo("efficiency %2d ms over %s: %.3f (median of %d, %.3f-%.3f); %d packets, ideal %d ms, measured %.0f ms",
              interval, qPrintable(transportName()), results.at(runs / 2), runs, results.first(), results.last(),
              packets, packets * interval, measuredMs.at(runs / 2));
    }
}
