// The window and the manager as built for Windows, on hidapi's Windows
// backend (SetupAPI and cfgmgr32 enumeration, the HidD_ strings, CreateFile,
// overlapped WriteFile and ReadFile), against boards in the test guest
// reached through Wine's HID stack: winebus' udev bus turns the guest's
// hidraw nodes into Windows HID devices, and Wine's plug-and-play service
// sends WM_DEVICECHANGE when one comes or goes.
//
// wine-boards.sh starts the boards before it runs this suite, in the folder
// it starts the suite in: a USB board (the configfs gadget on dummy_hcd,
// serial W1) in ./usb and a uhid board (serial U1) in ./uhid, both
// 1a2b:00ff, each with the files of the board programs (ready.txt,
// verdict.txt, image.bin, the FIFO control). A case whose board is absent is
// skipped; E2E_USB_SPEED (480 or 12) is the USB bus speed of this boot.
// Figures are of an emulated guest (QEMU TCG) and of Wine, not of Windows.
#include "boxwatcher.h"
#include "messagecapture.h"
#include "qhidusbmgr.h"
#include "realboard.h"
#include "simkit.h"
#include "widget.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>
#include <functional>

#include <windows.h>
#include <dbt.h>

using guest::runUntil;

namespace {

// One board program's device, seen through its files.
struct Board
{
    QString name;  // for messages
    QString dir;   // the board program's folder
    QString serial;
    QString label; // what the window's list shows for it under Wine

    bool present = false; // ready when the suite started
    bool ready() const { return QFileInfo::exists(dir + "/ready.txt"); }
    // A line to the board program's FIFO, which it keeps open: never waits.
    bool command(const QByteArray &line) const
    {
        QFile fifo(dir + "/control");
        return fifo.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && fifo.write(line + '\n') == line.size() + 1;
    }
    // The verdict line as it is now (the board rewrites it on request).
    QString verdict() const
    {
        const QString path = dir + "/verdict.txt";
        QFile::remove(path);
        if (!command("verdict"))
            return QString();
        runUntil([&] { return QFileInfo::exists(path); }, 10000);
        return QString::fromUtf8(guest::readAll(path)).trimmed();
    }
    QByteArray image() const { return guest::readAll(dir + "/image.bin"); }
};

// Every WM_DEVICECHANGE that reaches a window of the process, with its kind
// and the time it came, seen before the window's own handling.
class DeviceChangeLog : public QAbstractNativeEventFilter
{
public:
    DeviceChangeLog() { QCoreApplication::instance()->installNativeEventFilter(this); }
    ~DeviceChangeLog() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    bool nativeEventFilter(const QByteArray &, void *message, long *) override
    {
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message == WM_DEVICECHANGE)
            seen.append({guest::steadyNs(), quint32(msg->wParam)});
        return false;
    }
    static QString kind(quint32 code)
    {
        switch (code) {
        case DBT_DEVNODES_CHANGED:
            return "DBT_DEVNODES_CHANGED";
        case DBT_DEVICEARRIVAL:
            return "DBT_DEVICEARRIVAL";
        case DBT_DEVICEREMOVECOMPLETE:
            return "DBT_DEVICEREMOVECOMPLETE";
        }
        return QString("0x%1").arg(code, 4, 16, QChar('0'));
    }
    // "KIND after N ms, ..." for the messages since `sinceNs`.
    QString since(qint64 sinceNs) const
    {
        QStringList parts;
        for (const auto &m : seen)
            if (m.first >= sinceNs)
                parts << QString("%1 after %2 ms").arg(kind(m.second)).arg((m.first - sinceNs) / 1e6, 0, 'f', 0);
        return parts.isEmpty() ? QString("no message") : parts.join(", ");
    }

    QVector<QPair<qint64, quint32>> seen;
};

int field(const QString &verdict, const QString &key)
{
    const QRegularExpressionMatch m = QRegularExpression("\\b" + key + "=(\\d+) ").match(verdict);
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

} // namespace

class TestWinHid : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void listAndChosen();
    void upgrade_data();
    void upgrade();
    void efficiency_data();
    void efficiency();
    void deviceChangeWhileIdle();
    void unplugMidTransfer();
    void stalledBoard();

private:
    const Board *boardOf(const QString &key) const { return key == "usb" ? &usb : &uhid; }
    void showWindow();
    void connectTo(const Board &board);
    // Start, "Upgrade Completed", the board's verdict good, the image as sent.
    void upgradeThrough(const Board &board, int bytes, int intervalMs, double *seconds = nullptr);
    QString usbName() const;

    QString root;
    Board usb;
    Board uhid;
    simkit::WorkFolder *work = nullptr;
    Widget *window = nullptr;
    BoxWatcher *boxes = nullptr;
    MessageCapture *capture = nullptr;
    DeviceChangeLog changes;
};

QString TestWinHid::usbName() const
{
    return qEnvironmentVariable("E2E_USB_SPEED") == "12" ? "USB full speed" : "USB high speed";
}

void TestWinHid::initTestCase()
{
    root = QDir::currentPath();
    // Wine names a hidraw device by the kernel's HID name, which for a USB
    // device is its manufacturer and product strings joined, and gives
    // "hidraw" as the manufacturer.
    usb = {usbName(), root + "/usb", "W1", "hidraw(1a2b)-Tarnvik Wine Board(00ff)"};
    uhid = {"uhid", root + "/uhid", "U1", "hidraw(1a2b)-Uhid Board(00ff)"};
    usb.present = usb.ready();
    uhid.present = uhid.ready();
    QVERIFY2(usb.present || uhid.present, "no board ready here (usb, uhid): run through wine-boards.sh");
    for (const Board *b : {&usb, &uhid}) {
        if (!b->present)
            continue;
        QVERIFY2(runUntil([b] { return guest::indexOfSerial(b->serial) >= 0; }, 60000),
                 qPrintable(b->name + " board not listed by hidapi within 60 s"));
    }
    // What Wine shows of the HID devices, for the record.
    hid_device_info *head = hid_enumerate(0, 0);
    for (hid_device_info *i = head; i; i = i->next)
        qInfo("hidapi: %04x:%04x \"%ls\" \"%ls\" serial \"%ls\" usage %04x:%04x %s", i->vendor_id, i->product_id,
              i->manufacturer_string ? i->manufacturer_string : L"", i->product_string ? i->product_string : L"",
              i->serial_number ? i->serial_number : L"", i->usage_page, i->usage, i->path);
    hid_free_enumeration(head);
}

void TestWinHid::init()
{
    work = new simkit::WorkFolder;
    QVERIFY(work->isValid());
    boxes = new BoxWatcher;
    capture = new MessageCapture;
}

void TestWinHid::cleanup()
{
    delete window;
    window = nullptr;
    // Every board plugged in and reading for the next case, also after one
    // that failed half-way.
    for (const Board *b : {&usb, &uhid}) {
        if (b->present && (!b->ready() || QTest::currentTestFailed())) {
            b->command("resume 0");
            b->command("plug 0");
            runUntil([b] { return b->ready() && guest::indexOfSerial(b->serial) >= 0; }, 30000);
        }
    }
    delete capture;
    capture = nullptr;
    delete boxes;
    boxes = nullptr;
    delete work;
    work = nullptr;
}

// Device-change messages go to top-level windows: the window is shown, as
// the operator has it.
void TestWinHid::showWindow()
{
    if (window)
        return;
    window = new Widget;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window, 30000));
}

void TestWinHid::connectTo(const Board &board)
{
    showWindow();
    // The window's listing and open run off its GUI thread.
    QVERIFY(guest::runUntil([this] { return !window->Busy(); }, 30000));
    const int index = guest::indexOfSerial(board.serial);
    QVERIFY2(index >= 0, qPrintable(board.name + " board not listed"));
    auto *list = window->findChild<QComboBox *>("comboBoxId");
    QVERIFY(index < list->count());
    list->setCurrentIndex(index);
    window->findChild<QPushButton *>("pushButtonOpen")->click();
    QVERIFY(guest::runUntil([this] { return !window->Busy(); }, 30000));
    QCOMPARE(window->findChild<QPushButton *>("pushButtonOpen")->text(), QString("Disconnect"));
}

void TestWinHid::upgradeThrough(const Board &board, int bytes, int intervalMs, double *seconds)
{
    const QByteArray firmware = simkit::image(bytes, uint32_t(bytes + intervalMs));
    QVERIFY(simkit::writeFile("update/firmware.bin", firmware));
    QVERIFY(simkit::writeInterval(intervalMs));
    boxes->clear();
    QElapsedTimer clock;
    clock.start();
    window->findChild<QPushButton *>("pushButtonLoad")->click();
    QVERIFY2(runUntil([this] { return boxes->texts().contains("Upgrade Completed"); },
                      simkit::packetCount(firmware) * 200 + 60000),
             qPrintable(boxes->texts().join(", ")));
    if (seconds)
        *seconds = clock.elapsed() / 1000.0;
    const QString verdict = board.verdict();
    QVERIFY2(verdict.contains(QString("verdict=GOOD size=%1 ").arg(bytes)), qPrintable(verdict));
    QVERIFY(board.image() == firmware);
}

void TestWinHid::listAndChosen()
{
    if (!usb.present || !uhid.present)
        QSKIP("needs both boards");
    showWindow();
    auto *list = window->findChild<QComboBox *>("comboBoxId");
    for (const Board *b : {&usb, &uhid})
        QCOMPARE(list->itemText(guest::indexOfSerial(b->serial)), b->label);

    // Two boards of one VID/PID: the one later in the list is chosen, and
    // only it is written to.
    const bool usbLater = guest::indexOfSerial(usb.serial) > guest::indexOfSerial(uhid.serial);
    const Board &chosen = usbLater ? usb : uhid;
    const Board &other = usbLater ? uhid : usb;
    const int otherBefore = field(other.verdict(), "outputs");
    QVERIFY(otherBefore >= 0);
    connectTo(chosen);
    if (QTest::currentTestFailed())
        return;
    upgradeThrough(chosen, 3000, 2);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(field(other.verdict(), "outputs"), otherBefore);
}

void TestWinHid::upgrade_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("interval");
    QTest::newRow("USB high speed, 100000 bytes at 2 ms") << "usb" << "480" << 100000 << 2;
    QTest::newRow("USB full speed, 12000 bytes at 1 ms") << "usb" << "12" << 12000 << 1;
    QTest::newRow("USB full speed, 12000 bytes at 2 ms") << "usb" << "12" << 12000 << 2;
    QTest::newRow("uhid, 12000 bytes at 1 ms") << "uhid" << "" << 12000 << 1;
    QTest::newRow("uhid, 12000 bytes at 2 ms") << "uhid" << "" << 12000 << 2;
}

void TestWinHid::upgrade()
{
    QFETCH(QString, board);
    QFETCH(QString, speed);
    QFETCH(int, bytes);
    QFETCH(int, interval);
    const Board &b = *boardOf(board);
    if (!b.present || (!speed.isEmpty() && speed != qEnvironmentVariable("E2E_USB_SPEED")))
        QSKIP("not this boot's board");
    connectTo(b);
    if (QTest::currentTestFailed())
        return;
    double seconds = 0;
    upgradeThrough(b, bytes, interval, &seconds);
    if (QTest::currentTestFailed())
        return;
    const int packets = (bytes + 59) / 60;
    qInfo("%d-byte upgrade at %d ms over %s through Wine: %d packets in %.1f s, %.1f packets/s", bytes, interval,
          qPrintable(b.name), packets, seconds, packets / seconds);
}

void TestWinHid::efficiency_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<int>("interval");
    for (const char *board : {"usb", "uhid"})
        for (const int interval : {1, 2, 5, 10})
            QTest::newRow(qPrintable(QString("%1 at %2 ms").arg(board).arg(interval))) << board << interval;
}

// The ideal time (packets x load/sleep) over the measured time from E2
// written to the last data packet written, as the Linux guest's suite and
// the benchmark define it. The Start box is built on the GUI thread while
// the transfer runs, seconds under Wine in the emulated guest, and no packet
// goes meanwhile: that longest gap is given, and the pace without it (the
// median gap between data packets, and ms a packet over the last half).
void TestWinHid::efficiency()
{
    QFETCH(QString, board);
    QFETCH(int, interval);
    const Board &b = *boardOf(board);
    if (!b.present)
        QSKIP("not this boot's board");
    const int bytes = qEnvironmentVariableIsSet("E2E_EFFICIENCY_BYTES") ? qEnvironmentVariableIntValue("E2E_EFFICIENCY_BYTES")
                                                                          : 6000;
    const int packets = (bytes + 59) / 60;
    connectTo(b);
    if (QTest::currentTestFailed())
        return;
    capture->clear();
    upgradeThrough(b, bytes, interval);
    if (QTest::currentTestFailed())
        return;
    const auto writes = capture->timedLinesStartingWith("hid_write");
    QCOMPARE(writes.size(), packets + 3);
    for (const int result : guest::writeResults(writes))
        QVERIFY(result > 0);
    const double ms = (writes.at(packets + 1).first - writes.at(1).first) / 1e6;
    QVector<double> gaps;
    for (int k = 2; k <= packets + 1; ++k)
        gaps.append((writes.at(k).first - writes.at(k - 1).first) / 1e6);
    std::sort(gaps.begin(), gaps.end());
    const int half = packets / 2;
    const double lastHalf = (writes.at(packets + 1).first - writes.at(packets + 1 - half).first) / 1e6 / half;
    qInfo("efficiency %2d ms over %s through Wine: %.3f; %d packets, ideal %d ms, measured %.0f ms, the longest gap "
          "%.0f ms; a packet: median gap %.2f ms, the last %d %.2f ms each",
          interval, qPrintable(b.name), packets * interval / ms, packets, packets * interval, ms, gaps.last(),
          gaps.at(gaps.size() / 2), half, lastHalf);
}

// With nothing open, a device coming or going changes nothing the operator
// sees (only Scan refills the list); whether Wine sends the window a
// message for it, and when, is recorded.
void TestWinHid::deviceChangeWhileIdle()
{
    if (!usb.present)
        QSKIP("needs the USB board");
    showWindow();
    // A listing still under way (the window's first, or one an earlier test
    // began) fills the list when it ends: what the operator sees is taken
    // after it.
    QVERIFY(runUntil([this] { return !window->Busy(); }, 30000));
    auto *list = window->findChild<QComboBox *>("comboBoxId");
    QStringList before;
    for (int i = 0; i < list->count(); ++i)
        before << list->itemText(i);
    const auto messagesAfter = [this](const QByteArray &line, const std::function<bool()> &done) {
        capture->clear();
        const qint64 startNs = guest::steadyNs();
        if (!usb.command(line) || !runUntil(done, 20000))
            return QString("'%1' did not take effect").arg(QString(line));
        guest::waitMs(5000); // messages that come late
        // Each message reached the window's own handler too.
        if (capture->linesStartingWith("nativeEvent Event").size() != changes.since(startNs).count(" after "))
            return QString("the window's handler did not see every message");
        return changes.since(startNs);
    };
    const QString unplugged = messagesAfter("unplug 0", [this] { return guest::indexOfSerial(usb.serial) < 0; });
    const QString plugged = messagesAfter("plug 0", [this] { return guest::indexOfSerial(usb.serial) >= 0; });
    qInfo("nothing open, %s board unplugged: %s; plugged in again: %s", qPrintable(usb.name), qPrintable(unplugged),
          qPrintable(plugged));
    QVERIFY2(!unplugged.contains("did not") && !plugged.contains("did not") && !unplugged.contains("handler")
                 && !plugged.contains("handler"),
             qPrintable(unplugged + "; " + plugged));
    QStringList after;
    for (int i = 0; i < list->count(); ++i)
        after << list->itemText(i);
    QCOMPARE(after, before);
    QCOMPARE(window->findChild<QPushButton *>("pushButtonOpen")->text(), QString("connect"));
}

// Two boards of one vendor/product pair, the USB board open: pulled
// mid-transfer, the device-change message closes it and turns the toggle
// red, nothing is claimed, although the uhid board of its pair remains.
// Plugged in again, Scan, connect, and a whole upgrade goes through, during
// which the uhid board is pulled: the open board stays open, the transfer
// completes.
void TestWinHid::unplugMidTransfer()
{
    if (!usb.present || !uhid.present)
        QSKIP("needs both boards");
    QVERIFY(simkit::writeFile("update/firmware.bin", simkit::image(12000, 7)));
    QVERIFY(simkit::writeInterval(2));
    connectTo(usb);
    if (QTest::currentTestFailed())
        return;
    auto *open = window->findChild<QPushButton *>("pushButtonOpen");
    auto *load = window->findChild<QPushButton *>("pushButtonLoad");
    auto *bar = window->findChild<QProgressBar *>("progressBar");
    capture->clear();
    load->click();
    QVERIFY(runUntil([bar] { return bar->value() >= 40; }, 60000));
    QElapsedTimer clock;
    clock.start();
    const qint64 unplugNs = guest::steadyNs();
    QVERIFY(usb.command("unplug 0"));
    // When the board leaves hidapi's list, as far as polling every 200 ms tells.
    qint64 unlistedMs = -1;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (unlistedMs < 0 && guest::indexOfSerial(usb.serial) < 0)
            unlistedMs = clock.elapsed();
    });
    poll.start(200);
    const bool closed = runUntil([open] { return open->text() == "Connect"; }, 30000);
    poll.stop();
    qInfo("%s board unplugged mid-transfer: %s; gone from hidapi's list after %lld ms; device %s",
          qPrintable(usb.name), qPrintable(changes.since(unplugNs)), unlistedMs,
          closed ? qPrintable(QString("closed after %1 ms").arg(clock.elapsed())) : "still open after 30 s");
    QVERIFY2(closed, "the removal did not reach the window");
    const qint64 noticedMs = clock.elapsed();
    QCOMPARE(open->styleSheet(), QString("background-color: rgb(255, 0, 0);"));
    QVERIFY(!capture->linesStartingWith("CloseUsb").isEmpty());
    const int messages = capture->linesStartingWith("nativeEvent Event").size();
    QVERIFY(messages >= 1);
    // The transfer ended with its connection, as failed, and said so.
    QVERIFY(!window->findChild<QTimer *>("upgradeTimer")->isActive());
    QCOMPARE(load->text(), QString("Start Upgrade"));
    // (Its reason: the close, or a write that failed first on the gone device.)
    QVERIFY2(!boxes->texts().isEmpty() && boxes->texts().last().startsWith("Upgrade Failed: "),
             qPrintable(boxes->texts().join(", ")));
    guest::waitMs(500);
    QVERIFY(!boxes->texts().contains("Upgrade Completed"));
    QVERIFY(guest::indexOfSerial(uhid.serial) >= 0); // its twin was there all along
    const int sentBefore = bar->value();
    qInfo("%s board unplugged after packet %d: closed %lld ms after the unplug, %d WM_DEVICECHANGE message(s) by then",
          qPrintable(usb.name), sentBefore, noticedMs, messages);

    QVERIFY(usb.command("plug 0"));
    QVERIFY2(runUntil([this] { return usb.ready() && guest::indexOfSerial(usb.serial) >= 0; }, 30000),
             "the board did not come back");
    window->findChild<QPushButton *>("pushButtonScan")->click();
    connectTo(usb);
    if (QTest::currentTestFailed())
        return;
    const int uhidOutputs = field(uhid.verdict(), "outputs");
    QVERIFY(uhidOutputs >= 0);
    boxes->clear();
    load->click();
    QVERIFY(runUntil([bar] { return bar->value() >= 40; }, 60000));
    capture->clear();
    const qint64 twinNs = guest::steadyNs();
    QVERIFY(uhid.command("unplug 0"));
    QVERIFY2(runUntil([this] { return guest::indexOfSerial(uhid.serial) < 0
                                      && !capture->linesStartingWith("nativeEvent Event").isEmpty(); },
                      30000),
             qPrintable("the uhid board's removal did not reach the window: " + changes.since(twinNs)));
    qInfo("uhid board unplugged at packet %d of the %s board's transfer: %s", bar->value(), qPrintable(usb.name),
          qPrintable(changes.since(twinNs)));
    QVERIFY2(!boxes->texts().contains("Upgrade Completed"), "the transfer ended before the removal was handled");
    QCOMPARE(open->text(), QString("Disconnect"));
    QVERIFY(capture->linesStartingWith("CloseUsb").isEmpty());
    QVERIFY2(runUntil([this] { return boxes->texts().contains("Upgrade Completed"); }, 60000),
             qPrintable(boxes->texts().join(", ")));
    const QString verdict = usb.verdict();
    QVERIFY2(verdict.contains("verdict=GOOD size=12000 "), qPrintable(verdict));
    QVERIFY(usb.image() == simkit::image(12000, 7));
    QCOMPARE(field(uhid.verdict(), "outputs"), uhidOutputs); // nothing went to the twin
}

// A board whose firmware stops reading its OUT endpoint. The gadget takes a
// few reports into its own buffers; after that a write is not taken and
// waits, on the connection's writer thread, until it fails: hidapi's Windows
// backend (patched) waits 5 s for an overlapped write, then cancels it;
// under Wine 8.0 the WriteFile call itself returns only once the driver's
// write has ended (the server hands the caller the IRP's initial status
// only after the dispatch routine returns, and winebus writes to hidraw
// synchronously), so here the bound is usbhid's time-out of 5 s. The GUI
// thread never waits: Stop and Disconnect act at once while a write waits,
// nothing is written after them, a Connect that follows works, and once
// the board reads again the transfer completes.
void TestWinHid::stalledBoard()
{
    if (!usb.present)
        QSKIP("needs the USB board");
    connectTo(usb);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(simkit::writeFile("update/firmware.bin", simkit::image(6000)));
    QVERIFY(simkit::writeInterval(2));
    auto *load = window->findChild<QPushButton *>("pushButtonLoad");
    auto *open = window->findChild<QPushButton *>("pushButtonOpen");
    auto *timer = window->findChild<QTimer *>("upgradeTimer");
    auto *manager = window->findChild<QHidUsbMgr *>("usbMgr");
    const auto stop = [&]() {
        boxes->clear();
        load->click();
        return boxes->texts() == QStringList{"Stop Upgrade"} && !timer->isActive();
    };
    QVERIFY(usb.command("stall 0"));
    guest::waitMs(500);
    guest::GuiProbe probe;
    QElapsedTimer clock;
    // Start and stop until a write waits: the gadget's buffers take the
    // first few reports (E1, E2 and packet 1 each time). Under Wine in this
    // guest a message box takes the GUI thread a couple of seconds to come
    // up (its icons): the Start click, which writes nothing on the GUI
    // thread either, gives that cost beside Stop's. The GUI thread's gap is
    // taken while the write waits and no box is up.
    qint64 startClickMs = 0;
    double waitingGapMs = 0;
    // writes: how many must be in the writer (2: E1 waits, E2 behind it).
    const auto startUntilAWriteWaits = [&](int writes) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            if (timer->isActive() && !stop())
                return false;
            clock.restart();
            load->click();
            startClickMs = clock.elapsed();
            probe.reset();
            guest::waitMs(1500);
            if (manager->WritesPending() > 0)
                waitingGapMs = qMax(waitingGapMs, probe.largestGapMs());
            if (manager->WritesPending() >= writes)
                return true;
        }
        return false;
    };
    // Stop while E1 waits: it acts when it takes E2 back (the line comes
    // before its box).
    QVERIFY(startUntilAWriteWaits(2));
    capture->clear();
    const qint64 stopNs = guest::steadyNs();
    clock.restart();
    QVERIFY(stop());
    const qint64 stopMs = clock.elapsed();
    const auto takenBack = capture->timedLinesStartingWith("hid_write not written");
    QCOMPARE(takenBack.size(), 1);
    const double stopActedMs = (takenBack.first().first - stopNs) / 1e6;
    const qint64 startMs = startClickMs;
    QVERIFY(runUntil([&] { return manager->WritesPending() == 0; }, 15000));
    guest::waitMs(500);
    // The waiting write's result, the frames taken back, nothing written after.
    const QStringList failed = capture->linesStartingWith("hid_write -1 ");
    const int taken = capture->linesStartingWith("hid_write not written").size();
    QCOMPARE(capture->linesStartingWith("hid_write").size(), failed.size() + taken);
    QCOMPARE(failed.size(), 1);
    const QString error = failed.first().section("  ", -1).trimmed();

    // Disconnect while a write waits: the time to the close's line, which
    // comes after the failure box (the close tells the transfer, which ends
    // with its box): bounded like Stop, beside the Start click's box.
    QVERIFY(startUntilAWriteWaits(1));
    capture->clear();
    const qint64 clickNs = guest::steadyNs();
    open->click();
    const auto closes = capture->timedLinesStartingWith("CloseUsb");
    QCOMPARE(closes.size(), 1);
    const double disconnectMs = (closes.first().first - clickNs) / 1e6;
    QCOMPARE(open->text(), QString("Connect"));
    QVERIFY(boxes->texts().contains("Upgrade Failed: the device was closed"));
    window->FillDeviceList();
    clock.restart();
    connectTo(usb);
    const qint64 connectMs = clock.elapsed();
    qInfo("stalled %s board: with a write waiting, the GUI thread's largest gap %.0f ms; Stop took E2 back after "
          "%.0f ms, its click with its box took %lld ms (the Start click, with its box, %lld ms); Disconnect closed "
          "after %.0f ms; the Connect after it %lld ms; the waiting write's error text \"%s\"",
          qPrintable(usb.name), waitingGapMs, stopActedMs, stopMs, startMs, disconnectMs, connectMs,
          qPrintable(error));
    // Bounds for an emulated guest on a busy host; a write on the GUI
    // thread would hold it for usbhid's 5 s.
    QVERIFY2(waitingGapMs < 2500 && disconnectMs < startMs + 2500 && stopActedMs < 2500 && stopMs < startMs + 2500,
             qPrintable(QString("%1 %2 %3 %4 %5").arg(waitingGapMs).arg(disconnectMs).arg(stopActedMs).arg(stopMs).arg(startMs)));
    QVERIFY(usb.command("resume 0"));
    upgradeThrough(usb, 6000, 2);
}

QTEST_MAIN(TestWinHid)
#include "tst_winhid.moc"
