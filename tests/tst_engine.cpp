// The upgrade engine on its own (Qt Core, no window), on one simulated board
// behind the manager, with the pacing timer ticked by hand: the rules of the
// transfer that the window and the command line both rely on.
#include "otaframes.h"
#include "otasim.h"
#include "qhidusbmgr.h"
#include "simkit.h"
#include "upgradeengine.h"
#include "virtualhid.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

constexpr int kNeverTicks = 100000000; // ms: the timer is ticked by hand

bool isDataFrame(const QByteArray &frame)
{
    return !frame.mid(1).startsWith("AT+OTA=E");
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void pacing_data();
    void pacing();
    void refusalAfterAMissedTickSendsNothing();
    void failures_data();
    void failures();
    void staleReplies_data();
    void staleReplies();
    void checksumWrittenDecides_data();
    void checksumWrittenDecides();
    void startAfterStopBeginsAtPacketOne();
    void imageRefusedWhileRunning();
    void nothingOfAClosedTransferReachesTheNextConnection();
    void readerSendsOnLateAcknowledgement_data();
    void readerSendsOnLateAcknowledgement();

private:
    void plug(sim::Script script = {});
    void open();
    void start(const QByteArray &image, bool strict = false, int ackTimeoutMs = 0);
    void tick(int times = 1);
    void settle();
    QList<QByteArray> frames() const { return simkit::writes(*device); }
    QList<QByteArray> dataFrames() const;
    int e4Count() const;

    std::shared_ptr<vhid::VirtualDevice> device;
    std::shared_ptr<sim::OtaModel> model;
    std::unique_ptr<QHidUsbMgr> manager;
    std::unique_ptr<UpgradeEngine> engine;
    std::unique_ptr<QSignalSpy> completed;
    std::unique_ptr<QSignalSpy> failed;
};

void TestEngine::init()
{
    qRegisterMetaType<uint32_t>("uint32_t");
    vhid::reset();
}

void TestEngine::cleanup()
{
    engine.reset();
    if (manager && manager->IsOpen())
        manager->CloseUsb();
    completed.reset();
    failed.reset();
    manager.reset();
    device.reset();
    model.reset();
    QCOMPARE(vhid::closedHandleUses(), 0);
    vhid::reset();
}

void TestEngine::plug(sim::Script script)
{
    const sim::Board board = sim::plugBoard(sim::boardInfo("sim:board"), script);
    device = board.device;
    model = board.model;
    manager = std::make_unique<QHidUsbMgr>();
    engine = std::make_unique<UpgradeEngine>(manager.get());
    completed = std::make_unique<QSignalSpy>(engine.get(), &UpgradeEngine::Completed);
    failed = std::make_unique<QSignalSpy>(engine.get(), &UpgradeEngine::Failed);
    open();
}

void TestEngine::open()
{
    manager->EnumDevices();
    QVERIFY(manager->OpenUsb(0));
}

void TestEngine::start(const QByteArray &image, bool strict, int ackTimeoutMs)
{
    engine->SetStrict(strict, ackTimeoutMs);
    QVERIFY(engine->LoadImage(image));
    QVERIFY(engine->Start(kNeverTicks));
    QVERIFY(engine->IsRunning());
    settle();
}

void TestEngine::settle()
{
    // Every frame written, every answer taken by the reader, and the
    // results and answers delivered (queued) to the engine; twice, for what
    // an answer sent in turn.
    for (int round = 0; round < 2; ++round) {
        QTRY_COMPARE(manager->WritesPending(), 0);
        QTRY_COMPARE(device->pendingInput(), size_t(0));
        QThread::msleep(5);
        QCoreApplication::processEvents();
    }
}

void TestEngine::tick(int times)
{
    for (int i = 0; i < times; ++i) {
        if (engine->Timer()->isActive())
            QMetaObject::invokeMethod(engine->Timer(), "timeout", Qt::DirectConnection);
        settle();
    }
}

QList<QByteArray> TestEngine::dataFrames() const
{
    QList<QByteArray> result;
    for (const QByteArray &f : frames()) {
        if (isDataFrame(f))
            result.append(f);
    }
    return result;
}

int TestEngine::e4Count() const
{
    int n = 0;
    for (const QByteArray &f : frames())
        n += f.mid(1).startsWith("AT+OTA=E4:");
    return n;
}

void TestEngine::replies_data()
{
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("releases");
    QTest::newRow("normal") << int(sim::Reply::Normal) << true;
    QTest::newRow("split over two chunks") << int(sim::Reply::Split) << true;
    QTest::newRow("noise around the line") << int(sim::Reply::Noise) << true;
    QTest::newRow("two acknowledgements") << int(sim::Reply::DoubleAck) << true;
    QTest::newRow("refusal E3:0") << int(sim::Reply::Nak) << false;
    QTest::newRow("silence") << int(sim::Reply::Silent) << false;
    QTest::newRow("241 bytes, the ack text among them, then CR") << int(sim::Reply::LongLine) << false;
    QTest::newRow("that line, then an ack") << int(sim::Reply::LongLineThenAck) << true;
}

void TestEngine::replies()
{
    QFETCH(int, reply);
    QFETCH(bool, releases);
    sim::Script script;
    script.perPacket[1] = sim::Reply(reply);
    script.perPacket[2] = sim::Reply::Silent;
    plug(script);
    start(simkit::image(200));
    tick(4); // packet 1 and its scripted answer, then three more ticks
    // A flag, not a counter: two acknowledgements still release one packet.
    QCOMPARE(dataFrames().size(), releases ? 2 : 1);
    QCOMPARE(e4Count(), 0);
    QVERIFY(model->verdict().errors.empty());
    QVERIFY(engine->IsRunning());
    QCOMPARE(completed->size() + failed->size(), 0);
}

void TestEngine::pacing_data()
{
    // A packet goes at the first tick after the packet before it, if that
    // one's acknowledgement is in by then; otherwise as soon as it comes,
    // and the ticks start again from it.
    // E4 the same. The board leaves packets 2 and 3 unanswered; the test
    // answers them, before or after the tick that comes next.
    QTest::addColumn<bool>("ackBeforeTick");
    QTest::newRow("acknowledged before the tick: the tick sends") << true;
    QTest::newRow("acknowledged after a tick found none: sent at once") << false;
}

void TestEngine::pacing()
{
    QFETCH(bool, ackBeforeTick);
    sim::Script script;
    script.perPacket[2] = sim::Reply::Silent;
    script.perPacket[3] = sim::Reply::Silent;
    plug(script);
    const QByteArray image = simkit::image(150); // 60, 60 and 30 bytes
    start(image);
    QCOMPARE(frames(), (QList<QByteArray>{simkit::startReport(), simkit::sizeReport(150)}));
    tick(2);
    QCOMPARE(dataFrames().size(), 2);
    const QList<QByteArray> next{simkit::packetReport(image, 3), simkit::checksumReport(simkit::crc32(image))};
    QThread::msleep(100); // the ticks' phase is older than what follows
    for (const QByteArray &due : next) {
        const int before = frames().size();
        QElapsedTimer event;
        event.start();
        if (!ackBeforeTick) {
            tick(3);
            QCOMPARE(frames().size(), before); // no acknowledgement yet
        }
        device->queueInput(sim::OtaModel::ackReport());
        settle();
        QCOMPARE(frames().size(), ackBeforeTick ? before : before + 1);
        if (ackBeforeTick) {
            tick();
            QCOMPARE(frames().size(), before + 1);
        }
        QCOMPARE(frames().last(), due);
        // A packet sent on a tick leaves the ticks in phase; one sent
        // between ticks starts them again from itself.
        if (due == next.first()) {
            const int left = engine->Timer()->remainingTime();
            const bool startedAgain = left >= kNeverTicks - event.elapsed() - 1;
            QVERIFY2(startedAgain != ackBeforeTick, qPrintable(QString("%1 ms to the next tick").arg(left)));
        }
    }
    QCOMPARE(dataFrames().size(), 3);
    QCOMPARE(engine->BytesSent(), qint64(150));
    QVERIFY(!engine->IsRunning());
    QVERIFY(!engine->Timer()->isActive());
    QCOMPARE(completed->size(), 1);
    QCOMPARE(completed->first().at(0).value<uint32_t>(), simkit::crc32(image));
    QVERIFY2(model->verdict().good(), model->verdictText().c_str());
}

void TestEngine::refusalAfterAMissedTickSendsNothing()
{
    sim::Script script;
    script.perPacket[2] = sim::Reply::Silent;
    plug(script);
    start(simkit::image(300));
    tick(3); // packets 1 and 2, then a tick that finds no acknowledgement
    const QByteArray refusal("AT+OTA=E3:0\r");
    device->queueInput(vhid::Bytes(refusal.begin(), refusal.end()));
    settle();
    QCOMPARE(dataFrames().size(), 2);
    QVERIFY(engine->IsRunning());
}

void TestEngine::failures_data()
{
    // Patient (the window's) and strict (the command line's) side by side.
    // `ends`: Failed comes at once, with a reason that starts with `reason`;
    // otherwise the transfer runs on, waiting.
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("ends");
    QTest::addColumn<QString>("reason");
    for (const bool strict : {false, true}) {
        const char *mode = strict ? "strict" : "patient";
        QTest::addRow("%s, write of packet 3 fails", mode) << strict << "write fails" << strict << "a write failed";
        QTest::addRow("%s, checksum write fails", mode) << strict << "checksum write fails" << true
                                                         << "a write failed: Broken pipe";
        QTest::addRow("%s, connection closed", mode) << strict << "close" << true << "the device was closed";
        QTest::addRow("%s, device gone, read fails", mode) << strict << "unplug" << strict
                                                            << "the device is gone (a read failed)";
        QTest::addRow("%s, packet 2 never acknowledged", mode)
            << strict << "silent" << strict << "packet 2 was not acknowledged within 0.05 s";
    }
    // A packet that did not go out is never acknowledged; acknowledgements
    // that come anyway carry the transfer to its end, but not to success.
    QTest::newRow("patient, failed packet, stray acknowledgements")
        << false << "stray acknowledgements" << true << "a write failed";
}

void TestEngine::failures()
{
    QFETCH(bool, strict);
    QFETCH(QString, event);
    QFETCH(bool, ends);
    QFETCH(QString, reason);
    sim::Script script;
    if (event == "write fails" || event == "stray acknowledgements")
        script.failWriteAtPacket = 3;
    if (event == "silent")
        script.perPacket[2] = sim::Reply::Silent;
    plug(script);
    // 300 bytes: five packets.
    start(simkit::image(300), strict, 50);

    if (event == "write fails" || event == "stray acknowledgements") {
        tick(3);
    } else if (event == "checksum write fails") {
        tick(5);
        device->setWriteResult(-1, L"Broken pipe");
        tick();
    } else if (event == "close") {
        tick(2);
        manager->CloseUsb();
    } else if (event == "unplug") {
        tick(2);
        vhid::unplug("sim:board");
        // The reader's report is queued to this thread.
        QTest::qWait(100);
    } else if (event == "silent") {
        tick(2);
        QTest::qWait(200); // four times the acknowledgement time-out
    }
    if (event == "stray acknowledgements") {
        QCOMPARE(failed->size(), 0);
        for (int i = 0; i < 3; ++i) {
            device->queueInput(sim::OtaModel::ackReport());
            settle();
            tick();
        }
        QCOMPARE(e4Count(), 1);
    }

    QCOMPARE(failed->size(), ends ? 1 : 0);
    QCOMPARE(completed->size(), 0);
    QCOMPARE(engine->IsRunning(), !ends);
    if (ends) {
        const QString said = failed->first().at(0).toString();
        QVERIFY2(said.startsWith(reason), qPrintable(said));
        QVERIFY(!engine->Timer()->isActive());
        QVERIFY(!engine->AckTimer()->isActive());
        // Nothing more goes out once the transfer has ended.
        const int sent = frames().size();
        QMetaObject::invokeMethod(engine->Timer(), "timeout", Qt::DirectConnection);
        QCOMPARE(frames().size(), sent);
    }
    QVERIFY(!model->verdict().good());
}

void TestEngine::staleReplies_data()
{
    // What the board says arrives through the manager's reader; the board
    // itself never answers here.
    QTest::addColumn<QString>("before");
    QTest::newRow("a partial line, then the connection closed and opened again") << "other connection";
    QTest::newRow("a partial line before Start") << "before start";
    QTest::newRow("an acknowledgement read before the retry's first packet was written") << "late ack";
}

void TestEngine::staleReplies()
{
    // None of it frees packet 2 of the new transfer.
    QFETCH(QString, before);
    sim::Script script;
    script.reply = sim::Reply::Silent;
    plug(script);
    const auto feed = [this](const QByteArray &bytes) {
        device->queueInput(vhid::Bytes(bytes.begin(), bytes.end()));
        // Read, and on its way to the engine (no event handled meanwhile).
        for (int i = 0; i < 1000 && device->pendingInput() != 0; ++i)
            QThread::msleep(2);
        QThread::msleep(5);
    };
    engine->SetStrict(false);
    QVERIFY(engine->LoadImage(simkit::image(300)));
    if (before == "late ack") {
        QVERIFY(engine->Start(kNeverTicks));
        settle();
        tick(); // packet 1, never answered
        engine->Stop();
        // The retry: its E1 and E2 written, then the first attempt's
        // acknowledgement, late, read before the retry's packet 1 goes.
        QVERIFY(engine->Start(kNeverTicks));
        while (manager->WritesPending() != 0)
            QThread::msleep(1);
        feed("AT+OTA=E3:1\r");
    } else {
        feed("AT+OTA=E3:1");
        QCoreApplication::processEvents(); // in the line being assembled
        if (before == "other connection") {
            manager->CloseUsb();
            open();
        }
        QVERIFY(engine->Start(kNeverTicks));
    }
    QMetaObject::invokeMethod(engine->Timer(), "timeout", Qt::DirectConnection); // packet 1
    settle();
    if (before != "late ack")
        feed("\r"); // would end the partial line as an acknowledgement
    tick(2);
    QCOMPARE(dataFrames().size(), before == "late ack" ? 2 : 1); // the first attempt's packet 1, and this one's
    QVERIFY(engine->IsRunning());
    // The board's real acknowledgement does free it.
    feed("AT+OTA=E3:1\r");
    tick();
    QCOMPARE(dataFrames().size(), before == "late ack" ? 3 : 2);
}

void TestEngine::checksumWrittenDecides_data()
{
    QTest::addColumn<bool>("strict");
    QTest::addColumn<bool>("close");
    QTest::newRow("strict, its reader fails before E4's write is reported") << true << false;
    QTest::newRow("strict, closed while E4 is written") << true << true;
    QTest::newRow("patient, closed while E4 is written") << false << true;
}

void TestEngine::checksumWrittenDecides()
{
    // The board starts its new image as soon as it has taken E4 and goes;
    // its going reaches the engine (a failed read, the close of the
    // connection) before E4's write is reported, 300 ms late. E4 written
    // completes the transfer all the same.
    QFETCH(bool, strict);
    QFETCH(bool, close);
    sim::Script script;
    script.restartGoneMs = 60000;
    script.restartWriteLateMs = 300;
    plug(script);
    int readFailures = 0;
    connect(manager.get(), &QHidUsbMgr::ReadFailedSignal, this, [&]() { ++readFailures; });
    const QByteArray image = simkit::image(120);
    start(image, strict, 1000);
    tick(2);
    QMetaObject::invokeMethod(engine->Timer(), "timeout", Qt::DirectConnection); // E4
    QTRY_COMPARE(e4Count(), 1);
    if (close)
        manager->CloseUsb();
    else
        QTRY_COMPARE(readFailures, 1);
    QVERIFY(engine->IsRunning());
    QCOMPARE(failed->size(), 0);
    QTRY_COMPARE(completed->size(), 1);
    QCOMPARE(completed->first().at(0).value<uint32_t>(), simkit::crc32(image));
    QCOMPARE(failed->size(), 0);
    QVERIFY2(model->verdict().good(), model->verdictText().c_str());
}

void TestEngine::startAfterStopBeginsAtPacketOne()
{
    // A Start that follows a Stop, with no image loaded in between, sends
    // the whole transfer again: E1, E2 and packet 1.
    plug();
    const QByteArray image = simkit::image(500, 1);
    start(image);
    tick(4);
    QCOMPARE(engine->PacketIndex(), 4);
    engine->Stop();
    QVERIFY(!engine->IsRunning());
    const int before = frames().size();
    QVERIFY(engine->Start(kNeverTicks));
    settle();
    QCOMPARE(frames().mid(before), (QList<QByteArray>{simkit::startReport(), simkit::sizeReport(500)}));
    tick();
    QCOMPARE(frames().last(), simkit::packetReport(image, 1));
    tick(9);
    QCOMPARE(completed->size(), 1);
    QCOMPARE(model->verdict().sessions, 2);
    QVERIFY2(model->verdict().good(), model->verdictText().c_str());
}

void TestEngine::imageRefusedWhileRunning()
{
    plug();
    const QByteArray first = simkit::image(300, 1);
    start(first);
    tick(2);
    QVERIFY(!engine->LoadImage(simkit::image(999, 2)));
    QCOMPARE(engine->Image(), first);
    QCOMPARE(engine->PacketIndex(), 2);
    tick(4);
    QCOMPARE(completed->size(), 1);
    QCOMPARE(simkit::toQByteArray(model->verdict().image), first);
    // Once it has ended, the next image is taken.
    QVERIFY(engine->LoadImage(simkit::image(61, 3)));
    QCOMPARE(engine->PacketIndex(), 0);
    QCOMPARE(engine->PacketCount(), 2);
}

void TestEngine::nothingOfAClosedTransferReachesTheNextConnection()
{
    // A transfer that missed its connection's close (ClosedSignal taken from
    // it) writes nothing to the one opened since and ends at its next frame.
    plug();
    start(simkit::image(600), true);
    tick(3);
    disconnect(manager.get(), &QHidUsbMgr::ClosedSignal, engine.get(), nullptr);
    manager->CloseUsb();
    open(); // the same board, a new connection
    QCOMPARE(device->openCount(), 4); // two handles a connection
    QVERIFY(engine->IsRunning());
    const int before = frames().size();
    tick(); // packet 4's turn
    QCOMPARE(frames().size(), before);
    QCOMPARE(failed->size(), 1);
    QCOMPARE(failed->first().at(0).toString(), QString("the device was closed"));
    // A new transfer on the new connection goes through.
    start(simkit::image(600));
    tick(11);
    QCOMPARE(completed->size(), 1);
    QVERIFY2(model->verdict().good(), model->verdictText().c_str());
}

void TestEngine::readerSendsOnLateAcknowledgement_data()
{
    // Packet 1 written, the board silent; then this thread stops handling
    // events and the test answers packet 1 `waitMs` after it went (the
    // interval is 100 ms), and packet 2 `secondMs` after it went (-1: not).
    // `whileBlocked`: data packets whose write was tried before this thread
    // runs again, `readerSent` of them by the reader; `afterwards`: once
    // this thread has run for a while. `watchRunsOut`: strict, and the
    // acknowledgement watch's time-out comes first when this thread runs.
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<int>("secondMs");
    QTest::addColumn<bool>("failPacket1");
    QTest::addColumn<bool>("watchRunsOut");
    QTest::addColumn<int>("whileBlocked");
    QTest::addColumn<int>("readerSent");
    QTest::addColumn<int>("afterwards");
    QTest::newRow("answered after the interval: the reader sends packet 2") << 130 << -1 << false << false << 2 << 1 << 2;
    QTest::newRow("answered within the interval: packet 2 waits for the tick")
        << 0 << -1 << false << false << 1 << 0 << 2;
    QTest::newRow("packet 2 answered within its interval: the engine sends packet 3")
        << 130 << 20 << false << false << 2 << 1 << 3;
    QTest::newRow("packet 2 answered late too: the reader sends packet 3")
        << 130 << 130 << false << false << 3 << 2 << 3;
    QTest::newRow("packet 1's write failed: the reader's packet 2 is not written")
        << 130 << -1 << true << false << 1 << 1 << 1;
    QTest::newRow("strict, the watch of packet 1 runs out first: packet 1 was answered")
        << 130 << -1 << false << true << 2 << 1 << 2;
}

void TestEngine::readerSendsOnLateAcknowledgement()
{
    QFETCH(int, waitMs);
    QFETCH(int, secondMs);
    QFETCH(bool, failPacket1);
    QFETCH(bool, watchRunsOut);
    QFETCH(int, whileBlocked);
    QFETCH(int, readerSent);
    QFETCH(int, afterwards);
    sim::Script script;
    script.reply = sim::Reply::Silent;
    if (failPacket1)
        script.failWriteAtPacket = 1;
    plug(script);
    engine->SetStrict(watchRunsOut, 5000);
    QVERIFY(engine->LoadImage(simkit::image(300)));
    QVERIFY(engine->Start(100));
    QTRY_COMPARE(engine->PacketIndex(), 1);
    QTRY_COMPARE(manager->WritesPending(), 0);
    QCOMPARE(dataFrames().size(), 1);
    // The watch starts when packet 1's write is reported, a posted event
    // that may still wait here (under Wine for milliseconds).
    if (watchRunsOut)
        QTRY_VERIFY(engine->AckTimer()->isActive());
    const auto answerAfter = [this](int ms, int packets) {
        QThread::msleep(ms);
        device->queueInput(sim::OtaModel::ackReport());
        QElapsedTimer blocked;
        blocked.start();
        while (blocked.elapsed() < 300 && dataFrames().size() < packets)
            QThread::msleep(1);
        QThread::msleep(20);
    };
    answerAfter(waitMs, 2);
    if (secondMs >= 0)
        answerAfter(qMax(0, secondMs - 20), 3);
    QCOMPARE(dataFrames().size(), whileBlocked);
    QCOMPARE(manager->Pacer()->SentCount(), quint64(readerSent));
    if (watchRunsOut) {
        QVERIFY(engine->AckTimer()->isActive());
        QMetaObject::invokeMethod(engine->AckTimer(), "timeout", Qt::DirectConnection);
    }
    // The engine counts what the reader sent as its own, sends nothing
    // twice, and counts each acknowledgement for the packet it answers.
    QTest::qWait(350);
    QCOMPARE(dataFrames().size(), afterwards);
    QCOMPARE(engine->PacketIndex(), qMax(2, afterwards));
    QVERIFY(engine->IsRunning());
    QCOMPARE(failed->size(), 0);
    QVERIFY(model->verdict().errors.empty());
}

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
