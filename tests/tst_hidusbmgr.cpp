// The device manager against virtual HID devices: enumeration labels and
// their alignment with the id list, the open/close rules, report framing,
// the reader thread and the diagnostic lines.
#include "messagecapture.h"
#include "otasim.h"
#include "qhidusbmgr.h"
#include "simkit.h"

#include <QtTest>

#include <atomic>

namespace {

// Receives the reader's chunks on the GUI thread and notes where they ran.
class ChunkSink : public QObject
{
    Q_OBJECT
public:
    QList<QByteArray> chunks;
    bool allOnGuiThread = true;
public slots:
    void take(QByteArray chunk)
    {
        chunks.append(chunk);
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    }
};

} // namespace

class TestHidUsbMgr : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void constructionLine();
    void labels_data();
    void labels();
    void labelsAlignWithIds();
    void enumerationEmptyOrFailing();
    void openRejectsBadIndex_data();
    void openRejectsBadIndex();
    void openFailure();
    void openWhileOpenCloses();
    void closeForgetsList();
    void closeWhenClosed();
    void deviceRemoved_data();
    void deviceRemoved();
    void sendFraming_data();
    void sendFraming();
    void sendAnnouncesBeforeWriting();
    void sendWhileClosed();
    void sendWriteFailures_data();
    void sendWriteFailures();
    void writeHeldByTheBoard();
    void readerDeliversChunksInOrder();
    void readerKeepsPollingAfterUnplug();
    void readerEndsBeforeHandleCloses();

private:
    MessageCapture *capture = nullptr;
};

void TestHidUsbMgr::init()
{
    vhid::reset();
    capture = new MessageCapture;
}

void TestHidUsbMgr::cleanup()
{
    delete capture;
    capture = nullptr;
    vhid::reset();
}

void TestHidUsbMgr::constructionLine()
{
    QHidUsbMgr mgr;
    const QStringList lines = capture->linesStartingWith("QHidUsbMgr");
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().size() > QString("QHidUsbMgr ").size()); // carries the thread id
    QCOMPARE(vhid::initCalls(), 1);
    QVERIFY(!mgr.IsOpen());
}

void TestHidUsbMgr::labels_data()
{
    QTest::addColumn<int>("vid");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("manufacturer"); // "<null>" for a missing string
    QTest::addColumn<QString>("product");
    QTest::addColumn<QString>("label");
    QTest::newRow("example") << 0x1A2B << 0xFF << "Maker" << "Board" << "Maker(1a2b)-Board(00ff)";
    QTest::newRow("padded ids") << 0x0001 << 0xABCD << "M" << "P" << "M(0001)-P(abcd)";
    QTest::newRow("zero ids") << 0 << 0 << "" << "" << "(0000)-(0000)";
    QTest::newRow("largest ids") << 0xFFFF << 0xFFFF << "a" << "b" << "a(ffff)-b(ffff)";
    QTest::newRow("null strings") << 0x0483 << 0x5750 << "<null>" << "<null>" << "(0483)-(5750)";
    QTest::newRow("untrimmed, unicode") << 0x10 << 0x20 << " Tårn " << "板 %1" << " Tårn (0010)-板 %1(0020)";
}

void TestHidUsbMgr::labels()
{
    QFETCH(int, vid);
    QFETCH(int, pid);
    QFETCH(QString, manufacturer);
    QFETCH(QString, product);
    QFETCH(QString, label);
    vhid::DeviceInfo info = sim::boardInfo("/dev/hidraw0", uint16_t(vid), uint16_t(pid));
    info.manufacturer = manufacturer == "<null>" ? std::nullopt
                                                 : std::optional<std::wstring>(manufacturer.toStdWString());
    info.product = product == "<null>" ? std::nullopt : std::optional<std::wstring>(product.toStdWString());
    vhid::addDevice(info);
    QHidUsbMgr mgr;
    QCOMPARE(mgr.EnumDevices(), QStringList{label});
}

void TestHidUsbMgr::labelsAlignWithIds()
{
    // Two records share a vendor/product pair (two interfaces of one device);
    // the entry chosen by index is the record that opens.
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0", 0x1111, 0x0001));
    auto b = vhid::addDevice(sim::boardInfo("/dev/hidraw1", 0x2222, 0x0002));
    auto c = vhid::addDevice(sim::boardInfo("/dev/hidraw2", 0x2222, 0x0002));
    QHidUsbMgr mgr;
    const QStringList labels = mgr.EnumDevices();
    QCOMPARE(labels, (QStringList{"Tarnvik(1111)-Board(0001)", "Tarnvik(2222)-Board(0002)",
                                  "Tarnvik(2222)-Board(0002)"}));

    QVERIFY(mgr.OpenUsb(2));
    QCOMPARE(c->openHandles(), 2); // the reader's handle and the writer's
    QTRY_COMPARE(b->openHandles(), 0);
    QVERIFY(mgr.SendBuf("x", 0, true));
    QTRY_COMPARE(mgr.WritesPending(), 0);
    QCOMPARE(c->writes().size(), size_t(1));
    QVERIFY(b->writes().empty());
    mgr.CloseUsb();

    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QCOMPARE(a->openHandles(), 2); // the reader's handle and the writer's
    mgr.CloseUsb();
    QTRY_COMPARE(a->openHandles() + b->openHandles() + c->openHandles(), 0);
}

void TestHidUsbMgr::enumerationEmptyOrFailing()
{
    QHidUsbMgr mgr;
    QVERIFY(mgr.EnumDevices().isEmpty());
    QVERIFY(mgr.DeviceRemoved());
    QVERIFY(!mgr.OpenUsb(0));

    vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QCOMPARE(mgr.EnumDevices().size(), 1);
    vhid::setEnumerationFails(true);
    QVERIFY(mgr.EnumDevices().isEmpty());
    QVERIFY(!mgr.OpenUsb(0)); // the list was emptied at the start
}

void TestHidUsbMgr::openRejectsBadIndex_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("-1") << -1;
    QTest::newRow("size") << 2;
    QTest::newRow("far out") << 1000;
}

void TestHidUsbMgr::openRejectsBadIndex()
{
    QFETCH(int, index);
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    vhid::addDevice(sim::boardInfo("/dev/hidraw1"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    capture->clear();
    QVERIFY(!mgr.OpenUsb(index));
    QVERIFY(!mgr.IsOpen());
    QVERIFY(capture->lines().isEmpty());
    QCOMPARE(a->openCount(), 0);
}

void TestHidUsbMgr::openFailure()
{
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    a->setOpenFails(true);
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    capture->clear();
    QVERIFY(!mgr.OpenUsb(0));
    QVERIFY(!mgr.IsOpen());
    QVERIFY(!mgr.isRunning());
    QCOMPARE(capture->lines(), QStringList{"unable to open device\n"});
    // Not open: the open ids stay unset, so the device counts as removed.
    QVERIFY(mgr.DeviceRemoved());
    QVERIFY(!mgr.SendBuf("x", 0, true));
}

void TestHidUsbMgr::openWhileOpenCloses()
{
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QCOMPARE(capture->linesStartingWith("OpenUsb end").size(), 1);
    QVERIFY(mgr.IsOpen());
    QVERIFY(mgr.isRunning());
    capture->clear();

    QVERIFY(!mgr.OpenUsb(0));
    QCOMPARE(capture->lines(), QStringList{"CloseUsb"});
    QVERIFY(!mgr.IsOpen());
    QVERIFY(!mgr.isRunning());
    QTRY_COMPARE(a->openHandles(), 0);
    QCOMPARE(vhid::closedHandleUses(), 0);
}

void TestHidUsbMgr::closeForgetsList()
{
    vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QVERIFY(mgr.CloseUsb());
    QVERIFY(!mgr.OpenUsb(0)); // no rescan in between
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    mgr.CloseUsb();
}

void TestHidUsbMgr::closeWhenClosed()
{
    vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    capture->clear();
    QVERIFY(mgr.CloseUsb());
    QCOMPARE(capture->lines(), QStringList{"CloseUsb"});
    QVERIFY(!mgr.OpenUsb(0));
}

void TestHidUsbMgr::deviceRemoved_data()
{
    // The open board is /dev/hidraw0 (1a2b:00ff); /dev/hidraw1 is its twin
    // (same pair), /dev/hidraw2 another board.
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<bool>("pathTaken"); // then a board of another pair gets hidraw0
    QTest::addColumn<bool>("removed");
    QTest::newRow("its twin goes") << QStringList{"/dev/hidraw1"} << false << false;
    QTest::newRow("the open board goes, its twin stays") << QStringList{"/dev/hidraw0"} << false << true;
    QTest::newRow("the open board goes, its path is reused") << QStringList{"/dev/hidraw0"} << true << true;
    QTest::newRow("all go") << QStringList{"/dev/hidraw0", "/dev/hidraw1", "/dev/hidraw2"} << false << true;
}

void TestHidUsbMgr::deviceRemoved()
{
    QFETCH(QStringList, gone);
    QFETCH(bool, pathTaken);
    QFETCH(bool, removed);
    vhid::addDevice(sim::boardInfo("/dev/hidraw0", 0x1a2b, 0x00ff));
    vhid::addDevice(sim::boardInfo("/dev/hidraw1", 0x1a2b, 0x00ff));
    vhid::addDevice(sim::boardInfo("/dev/hidraw2", 0x0001, 0x0002));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QVERIFY(!mgr.DeviceRemoved());

    for (const QString &path : gone)
        vhid::unplug(path.toStdString());
    if (pathTaken)
        vhid::addDevice(sim::boardInfo("/dev/hidraw0", 0x0003, 0x0004));
    mgr.EnumDevices();
    QCOMPARE(mgr.DeviceRemoved(), removed);
    QVERIFY(mgr.IsOpen()); // enumeration leaves the open device alone
    mgr.CloseUsb();
    QVERIFY(mgr.DeviceRemoved());
    QCOMPARE(vhid::closedHandleUses(), 0);
}

void TestHidUsbMgr::sendFraming_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("written");
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("one byte") << QByteArray("\x00", 1) << true;
    QTest::newRow("E1") << QByteArray("AT+OTA=E1:1\r") << true;
    QTest::newRow("64 bytes") << QByteArray(64, '\xa5') << true;
    QTest::newRow("65 bytes") << QByteArray(65, '\x5a') << false;
}

void TestHidUsbMgr::sendFraming()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, written);
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QSignalSpy announced(&mgr, &QHidUsbMgr::SendBufSignal);
    capture->clear();

    QCOMPARE(mgr.SendBuf(data, 0, true), written);
    QTRY_COMPARE(mgr.WritesPending(), 0);
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.at(0).at(0).toByteArray(), data); // without the report id
    const auto writes = a->writes();
    const QStringList lines = capture->linesStartingWith("hid_write");
    if (written) {
        QCOMPARE(writes.size(), size_t(1));
        const QByteArray frame = simkit::toQByteArray(writes[0]);
        QCOMPARE(frame, QByteArray(1, '\0') + data);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first(), QString("hid_write %1 %2 Success")
                                    .arg(frame.size())
                                    .arg(QHidUsbMgr::ToHexString(frame)));
    } else {
        QVERIFY(writes.empty());
        QVERIFY(lines.isEmpty());
    }
    // Without the diagnostic flag, no line.
    capture->clear();
    mgr.SendBuf("x", 0, false);
    QTRY_COMPARE(mgr.WritesPending(), 0);
    QVERIFY(capture->linesStartingWith("hid_write").isEmpty());
    mgr.CloseUsb();
}

void TestHidUsbMgr::sendAnnouncesBeforeWriting()
{
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    std::atomic<int> announcements{0};
    std::atomic<int> announcedAtWrite{-1};
    connect(&mgr, &QHidUsbMgr::SendBufSignal, &mgr, [&](QByteArray) { ++announcements; });
    a->setWriteHandler([&](const vhid::Bytes &frame) {
        announcedAtWrite = announcements.load();
        return int(frame.size());
    });
    QVERIFY(mgr.SendBuf("abc", 0, true));
    QTRY_COMPARE(announcedAtWrite.load(), 1);
    mgr.CloseUsb();
}

void TestHidUsbMgr::sendWhileClosed()
{
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    QSignalSpy announced(&mgr, &QHidUsbMgr::SendBufSignal);
    capture->clear();
    QVERIFY(!mgr.SendBuf("abc", 0, true));
    QCOMPARE(announced.size(), 1);
    QCOMPARE(announced.at(0).at(0).toByteArray(), QByteArray("abc"));
    QVERIFY(capture->linesStartingWith("hid_write").isEmpty());
    QVERIFY(a->writes().empty());
}

void TestHidUsbMgr::sendWriteFailures_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("line");
    QTest::newRow("zero bytes") << 0 << "" << "hid_write 0 00 61  Success";
    QTest::newRow("failure") << -1 << "Broken pipe" << "hid_write -1 00 61  Broken pipe";
}

void TestHidUsbMgr::sendWriteFailures()
{
    QFETCH(int, result);
    QFETCH(QString, error);
    QFETCH(QString, line);
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    a->setWriteResult(result, error.toStdWString());
    // Received on this thread (queued): a spy would record on the writer's.
    QList<QVariantList> done;
    connect(&mgr, &QHidUsbMgr::SendDoneSignal, &mgr,
            [&](quint64 t, bool written, QString error) { done.append({t, written, error}); });
    capture->clear();
    quint64 ticket = 0;
    QVERIFY(mgr.SendBuf("a", 0, true, &ticket)); // queued; the write fails later
    QTRY_COMPARE(done.size(), 1);
    QCOMPARE(done.at(0).at(0).toULongLong(), ticket);
    QCOMPARE(done.at(0).at(1).toBool(), false);
    QCOMPARE(done.at(0).at(2).toString(), line.section(' ', 4).trimmed());
    QCOMPARE(capture->linesStartingWith("hid_write"), QStringList{line});
    mgr.CloseUsb();
}

void TestHidUsbMgr::writeHeldByTheBoard()
{
    // A board that takes nothing for a while: SendBuf returns at once, the
    // close does not wait for the held write, takes back what was queued
    // behind it, logs the held write's result when it comes and closes the
    // write handle only after it; the next open writes again.
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QMutex gate;
    gate.lock();
    std::atomic<int> held{0};
    a->setWriteHandler([&](const vhid::Bytes &frame) {
        if (frame.at(1) == 'h') {
            ++held;
            gate.lock(); // until the test lets it go
            gate.unlock();
        }
        return int(frame.size());
    });
    QHidUsbMgr mgr;
    int done = 0; // results received on this thread (queued)
    connect(&mgr, &QHidUsbMgr::SendDoneSignal, &mgr, [&] { ++done; });
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    capture->clear();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(mgr.SendBuf("h", 0, true));
    QVERIFY(mgr.SendBuf("q", 0, true));
    QTRY_COMPARE(held.load(), 1);
    QCOMPARE(mgr.WritesPending(), 2);
    mgr.CloseUsb();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(a->openHandles(), 2); // both, closed by the writer after its write
    QCOMPARE(capture->linesStartingWith("hid_write not written"),
             QStringList{"hid_write not written (closed or stopped) 00 71 "});

    gate.unlock();
    QTRY_COMPARE(a->openHandles(), 0);
    QCOMPARE(capture->linesStartingWith("hid_write 2"), QStringList{"hid_write 2 00 68  Success"});
    QCOMPARE(simkit::writes(*a), QList<QByteArray>{QByteArray("\0h", 2)});
    // The held write's result is reported, though its connection is closed
    // (a board that restarts as soon as it takes the last frame); the
    // report taken back never is.
    QTRY_COMPARE(done, 1);
    QCoreApplication::processEvents();
    QCOMPARE(done, 1);
    QCOMPARE(vhid::closedHandleUses(), 0);

    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    QVERIFY(mgr.SendBuf("q", 0, true));
    QTRY_COMPARE(done, 2);
    QCOMPARE(simkit::writes(*a).last(), QByteArray("\0q", 2));
    mgr.CloseUsb();
}

void TestHidUsbMgr::readerDeliversChunksInOrder()
{
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    ChunkSink sink;
    connect(&mgr, SIGNAL(RecvBufSignal(QByteArray)), &sink, SLOT(take(QByteArray)));
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));

    QList<QByteArray> sent;
    for (int length = 1; length <= 64; ++length) {
        QByteArray chunk(length, Qt::Uninitialized);
        for (int i = 0; i < length; ++i)
            chunk[i] = char(length * 7 + i);
        chunk[length - 1] = 0; // trailing zeros are data too
        sent.append(chunk);
        a->queueInput(vhid::Bytes(chunk.begin(), chunk.end()));
    }
    QTRY_COMPARE_WITH_TIMEOUT(sink.chunks.size(), sent.size(), 10000);
    QCOMPARE(sink.chunks, sent);
    QVERIFY(sink.allOnGuiThread);

    const QStringList lines = capture->linesStartingWith("RecvBufSignal");
    QCOMPARE(lines.size(), sent.size());
    QCOMPARE(lines.first(), "RecvBufSignal " + QHidUsbMgr::ToHexString(sent.first()));
    QCOMPARE(lines.last(), "RecvBufSignal " + QHidUsbMgr::ToHexString(sent.last()));
    mgr.CloseUsb();
}

void TestHidUsbMgr::readerKeepsPollingAfterUnplug()
{
    vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    mgr.EnumDevices();
    QVERIFY(mgr.OpenUsb(0));
    vhid::unplug("/dev/hidraw0");
    const int before = vhid::readCalls();
    QTRY_VERIFY(vhid::readCalls() > before + 5); // failed reads do not end the loop
    QVERIFY(mgr.isRunning());
    QVERIFY(mgr.IsOpen());
    mgr.EnumDevices();
    QVERIFY(mgr.DeviceRemoved());
    mgr.CloseUsb();
    QVERIFY(!mgr.isRunning());
    QCOMPARE(vhid::closedHandleUses(), 0);
}

void TestHidUsbMgr::readerEndsBeforeHandleCloses()
{
    // Close while input is streaming in, many times over: the reader must
    // never touch the handle after hid_close.
    auto a = vhid::addDevice(sim::boardInfo("/dev/hidraw0"));
    QHidUsbMgr mgr;
    for (int round = 0; round < 40; ++round) {
        mgr.EnumDevices();
        QVERIFY(mgr.OpenUsb(0));
        for (int i = 0; i < 20; ++i)
            a->queueInput(vhid::Bytes(64, uint8_t(i)));
        QThread::usleep(200 * (round % 5));
        mgr.CloseUsb();
        QVERIFY(!mgr.isRunning());
        QTRY_COMPARE(a->openHandles(), 0);
    }
    QCOMPARE(vhid::closedHandleUses(), 0);
}

QTEST_GUILESS_MAIN(TestHidUsbMgr)
#include "tst_hidusbmgr.moc"
