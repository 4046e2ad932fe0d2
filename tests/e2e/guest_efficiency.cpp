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
//
// Then, on the same board, the path's own floor: tarnvik-floor ($E2E_FLOOR;
// bench/floor.c) writes each data packet as soon as the previous one was
// acknowledged, polling as the tool's reader does and with a blocking read,
// E2E_FLOOR_PACKETS (default 50) packets each way, E2E_FLOOR_RUNS (default 1)
// times; the board must judge its last transfer good.
#include "tst_guest.h"

#include "boxwatcher.h"
#include "messagecapture.h"
#include "widget.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QSysInfo>
#include <QtTest>

#include <algorithm>

#include <unistd.h>

namespace {

// CPU seconds of this process's threads so far, by thread name (the GUI
// thread carries the program's name, the manager's reader "QHidUsbMgr").
QMap<QString, double> threadCpu()
{
    QMap<QString, double> cpu;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const QString tasks = "/proc/self/task/";
    for (const QString &tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray stat = guest::readAll(tasks + tid + "/stat");
        // After "pid (name) ": state is the first field, utime the 12th, stime the 13th.
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        const QString name = QString::fromUtf8(guest::readAll(tasks + tid + "/comm")).trimmed();
        cpu[name] += (fields.value(11).toDouble() + fields.value(12).toDouble()) / tick;
    }
    return cpu;
}

} // namespace

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
        QMap<QString, double> cpu; // over all runs, from Start to "Upgrade Completed"
        for (int run = 0; run < runs; ++run) {
            connectTo("E2E-E");
            capture->clear();
            boxes->clear();
            const QMap<QString, double> cpuBefore = threadCpu();
            window->findChild<QPushButton *>("pushButtonLoad")->click();
            QVERIFY2(guest::runUntil([this] { return boxes->texts().contains("Upgrade Completed"); },
                                     packets * interval * 20 + 30000),
                     qPrintable(boxes->texts().join(", ")));
            const QMap<QString, double> cpuAfter = threadCpu();
            for (auto t = cpuAfter.cbegin(); t != cpuAfter.cend(); ++t)
                cpu[t.key()] += t.value() - cpuBefore.value(t.key());
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
        const double gui = cpu.value(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15));
        const double reader = cpu.value("QHidUsbMgr");
        double total = 0;
        for (const double c : qAsConst(cpu))
            total += c;
        qInfo("efficiency %2d ms over %s: %.3f (median of %d, %.3f-%.3f); %d packets, ideal %d ms, measured %.0f ms, "
              "%.3f ms per packet; CPU per packet %.2f ms (GUI thread %.2f, reader %.2f)",
              interval, qPrintable(transportName()), results.at(runs / 2), runs, results.first(), results.last(),
              packets, packets * interval, measuredMs.at(runs / 2), measuredMs.at(runs / 2) / packets,
              total * 1000 / (packets * runs), gui * 1000 / (packets * runs), reader * 1000 / (packets * runs));
    }

    const QString floor = qEnvironmentVariable("E2E_FLOOR");
    if (floor.isEmpty()) {
        qInfo("no floor measured: E2E_FLOOR names no tarnvik-floor");
        return;
    }
    const int floorPackets = qEnvironmentVariableIsSet("E2E_FLOOR_PACKETS")
                                 ? qEnvironmentVariableIntValue("E2E_FLOOR_PACKETS")
                                 : 50;
    const int floorRuns = qMax(1, qEnvironmentVariableIntValue("E2E_FLOOR_RUNS"));
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(floor, {"--serial", "E2E-E", "--packets", QString::number(floorPackets), "--runs",
                          QString::number(floorRuns), "--label", transportName()});
    QVERIFY2(process.waitForStarted(10000), qPrintable(floor));
    // The slowest path here takes about 50 ms a packet.
    QVERIFY(process.waitForFinished(30000 + 2 * floorRuns * floorPackets * 200));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString verdict = currentVerdict();
    QVERIFY2(verdict.contains(QString("verdict=GOOD size=%1 ").arg(floorPackets * 60)), qPrintable(verdict));
}
