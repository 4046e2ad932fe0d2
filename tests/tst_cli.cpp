// The console program's logic (UpgradeCli::Run) in-process, against
// simulated boards: what it lists, how it picks devices, its exit codes and
// one clear line for bad input, several boards at once, and that its frames
// are the protocol's, byte for byte (the window's, which tst_upgrade checks
// against the same reference frames).
#include "console.h"
#include "messagecapture.h"
#include "otasim.h"
#include "simkit.h"
#include "upgradecli.h"
#include "virtualhid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#ifndef Q_OS_WIN
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Result
{
    int code = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

int g_columns = 0;
int columns()
{
    return g_columns;
}

// Runs a command line into `r`, whose output a test may read while it runs.
void run(Result &r, const QStringList &arguments, bool terminal = false)
{
    QTextStream out(&r.out);
    QTextStream err(&r.err);
    QElapsedTimer clock;
    clock.start();
    r.code = UpgradeCli::Run(arguments, out, err, terminal, columns);
    r.ms = clock.elapsed();
}

Result run(const QStringList &arguments, bool terminal = false)
{
    Result r;
    run(r, arguments, terminal);
    return r;
}

sim::Board plug(const std::string &path, const std::wstring &serial, sim::Script script = {})
{
    vhid::DeviceInfo info = sim::boardInfo(path);
    info.serial = serial;
    return sim::plugBoard(info, script);
}

// One line of --json against the schema of docs/command-line.md: the
// members its event has, no more, no fewer, each of its type.
bool followsSchema(const QJsonObject &e)
{
    const QStringList common{"event", "time", "serial", "path", "vid_pid"};
    const QHash<QString, QStringList> more{
        {"start", {"image", "bytes", "crc32", "interval_ms", "attempt"}},
        {"progress", {"bytes_sent", "bytes", "percent"}},
        {"end", {"outcome", "reason", "bytes", "bytes_sent", "seconds", "crc32", "attempts"}},
        {"board-present", {}},
        {"board-gone", {}},
        {"board-back", {"seconds", "release"}},
    };
    const QString event = e.value("event").toString();
    if (!more.contains(event))
        return false;
    QStringList expected = common + more.value(event);
    if (event == "end" && e.contains("back")) // the return check's
        expected << "back" << "back_seconds" << "release";
    QStringList got = e.keys();
    expected.sort();
    got.sort();
    if (got != expected)
        return false;
    const QStringList numbers{"bytes", "interval_ms", "attempt", "bytes_sent", "percent", "seconds", "attempts"};
    for (const QString &key : got) {
        const QJsonValue v = e.value(key);
        const bool typed = key == "back"           ? v.isBool()
                           : key == "back_seconds" ? v.isDouble() || v.isNull()
                           : numbers.contains(key) ? v.isDouble()
                                                   : v.isString();
        if (!typed)
            return false;
    }
    return QDateTime::fromString(e.value("time").toString(), Qt::ISODateWithMs).isValid()
           && e.value("time").toString().endsWith('Z')
           && (!e.contains("crc32") || QRegularExpression("^[0-9a-f]{8}$").match(e.value("crc32").toString()).hasMatch())
           && (event != "end" || QStringList{"ok", "failed", "interrupted"}.contains(e.value("outcome").toString()));
}

// Interrupts the command still running after `ms`: the bound of a test that
// waits for events, gone with the test.
class Deadline : public QTimer
{
public:
    explicit Deadline(int ms)
    {
        setSingleShot(true);
        connect(this, &QTimer::timeout, []() { UpgradeCli::Interrupt(); });
        start(ms);
    }
};

// The JSON Lines of `out` whose event is `event` (every line without one).
QList<QJsonObject> events(const QString &out, const QString &event = QString())
{
    QList<QJsonObject> found;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
        if (event.isEmpty() || e.value("event") == event)
            found << e;
    }
    return found;
}

// The records of a --log file, one JSON object a line.
QList<QJsonObject> logRecords(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> records;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                records << QJsonDocument::fromJson(line).object();
        }
    }
    return records;
}

// A stream whose reader has gone (`| head -1` has ended): every write fails.
class GoneReader : public QIODevice
{
public:
    GoneReader() { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Console::CatchInterrupts(); }
    void init();
    void cleanup();

    void listsEveryDevice();
    void badInput_data();
    void badInput();
    void resultLineOfOneBoard();
    void serialPicksOneOfIdenticalBoards();
    void emptyImageAsTheWindowSendsIt();
    void allBoardsAtOnceOneUnplugged();
    void silentBoardTimesOut_data();
    void silentBoardTimesOut();
    void stalledBoardCostsTheOthersNothing();
    void interruptClosesTheDevice_data();
    void interruptClosesTheDevice();
    void secondInterruptEndsAtOnce();
    void jsonLinesAndLog();
    void station();
    void stationTakesARestartForTheSameBoard_data();
    void stationTakesARestartForTheSameBoard();
    void stationBatch_data();
    void stationBatch();
    void returnCheck_data();
    void returnCheck();
    void outputThatGoesAway_data();
    void outputThatGoesAway();
    void retries_data();
    void retries();
    void waitForTheBoard_data();
    void waitForTheBoard();
    void verboseNamesTheBoard();
    void progressFitsTheTerminal_data();
    void progressFitsTheTerminal();

private:
    simkit::WorkFolder *folder = nullptr;
    std::vector<sim::Board> boards;
};

void TestCli::init()
{
    vhid::reset();
    vhid::setNotifications(true); // as the system tells a station of boards

    folder = new simkit::WorkFolder;
    QVERIFY(folder->isValid());
    boards = {plug("sim:one", L"S1"), plug("sim:two", L"S2")};
}

void TestCli::cleanup()
{
    boards.clear();
    delete folder;
    folder = nullptr;
    QCOMPARE(vhid::closedHandleUses(), 0);
    vhid::reset();
}

void TestCli::listsEveryDevice()
{
    vhid::DeviceInfo info = sim::boardInfo("sim:no-serial");
    info.release = 0x0102;
    boards.push_back(sim::plugBoard(info));
    const Result text = run({"list"});
    QCOMPARE(text.code, 0);
    // The release last: the first five fields are what they always were.
    QCOMPARE(text.out, QString("0\tTarnvik(1a2b)-Board(00ff)\t1a2b:00ff\tS1\tsim:one\t0.00\n"
                               "1\tTarnvik(1a2b)-Board(00ff)\t1a2b:00ff\tS2\tsim:two\t0.00\n"
                               "2\tTarnvik(1a2b)-Board(00ff)\t1a2b:00ff\t-\tsim:no-serial\t1.02\n"));
    const Result json = run({"list", "--json"});
    QCOMPARE(json.code, 0);
    const QJsonArray array = QJsonDocument::fromJson(json.out.toUtf8()).array();
    QCOMPARE(array.size(), 3);
    const QJsonObject second = array.at(1).toObject();
    QCOMPARE(second.value("index").toInt(), 1);
    QCOMPARE(second.value("label").toString(), QString("Tarnvik(1a2b)-Board(00ff)"));
    QCOMPARE(second.value("vendor_id").toInt(), 0x1a2b);
    QCOMPARE(second.value("product_id").toInt(), 0x00ff);
    QCOMPARE(second.value("serial").toString(), QString("S2"));
    QCOMPARE(second.value("manufacturer").toString(), QString("Tarnvik"));
    QCOMPARE(second.value("product").toString(), QString("Board"));
    QCOMPARE(second.value("path").toString(), QString("sim:two"));
    QCOMPARE(array.at(2).toObject().value("release").toString(), QString("1.02"));
}

void TestCli::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    const QStringList one{"upgrade", "--serial", "S1"};
    QTest::newRow("unknown option") << QStringList{"upgrade", "--bogus"} << "" << 1 << "Unknown option 'bogus'";
    QTest::newRow("no command") << QStringList{} << "" << 1 << "no command";
    QTest::newRow("VID:PID malformed") << QStringList{"upgrade", "--device", "1a2b"} << "" << 1 << "--device must be VID:PID";
    QTest::newRow("VID:PID not hex") << QStringList{"upgrade", "--device", "1a2g:00ff"} << "" << 1 << "--device must be VID:PID";
    QTest::newRow("short -d malformed") << QStringList{"upgrade", "-d", "1a2b"} << "" << 1 << "--device must be VID:PID";
    QTest::newRow("image name empty") << one + QStringList{"--image", ""} << "image" << 1 << "the name given to --image is empty";
    QTest::newRow("interval 0") << one + QStringList{"--interval", "0"} << "image" << 1 << "--interval must be";
    QTest::newRow("interval text") << one + QStringList{"--interval", "fast"} << "image" << 1 << "--interval must be";
    QTest::newRow("ack time-out 0") << one + QStringList{"--ack-timeout", "0"} << "image" << 1 << "--ack-timeout must be";
    QTest::newRow("index negative") << QStringList{"upgrade", "--index", "-1"} << "image" << 1 << "--index must be";
    QTest::newRow("index and serial must both match")
        << QStringList{"upgrade", "--index", "0", "--serial", "S2"} << "image" << 2 << "no HID device matches";
    QTest::newRow("no selection") << QStringList{"upgrade"} << "image" << 2 << "no device chosen";
    QTest::newRow("station, no selection") << QStringList{"station"} << "image" << 2 << "no boards chosen";
    QTest::newRow("a selection option twice") << QStringList{"upgrade", "-s", "S1", "-s", "S2"} << "image" << 1
                                              << "--serial is given more than once";
    QTest::newRow("the image before the wait") << QStringList{"upgrade", "-s", "S9", "--wait", "9", "--image", "x.bin"}
                                               << "image" << 5 << "cannot read the image";
    QTest::newRow("--expect-release alone") << one + QStringList{"--expect-release", "1.02"} << "image" << 1
                                            << "--expect-release needs --wait-replug";
    QTest::newRow("serial matches nothing") << QStringList{"upgrade", "--serial", "S9"} << "image" << 2 << "no HID device matches";
    QTest::newRow("several without --all") << QStringList{"upgrade", "--device", "1a2b:00ff"} << "image" << 2 << "2 devices match";
    QTest::newRow("no image") << one << "" << 5 << "no image";
    QTest::newRow("empty image") << one << "empty" << 5 << "the image is empty: ./update/e.bin";
    QTest::newRow("folder as image") << one + QStringList{"--image", "update"} << "image" << 5 << "is a folder";
    QTest::newRow("missing image") << one + QStringList{"--image", "none.bin"} << "image" << 5 << "cannot read the image";
    QTest::newRow("open fails") << one << "image,openfails" << 3 << "USB open fail";
}

void TestCli::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setup);
    QFETCH(int, code);
    QFETCH(QString, message);
    if (setup.contains("image"))
        QVERIFY(simkit::writeFile("update/a.bin", simkit::image(100)));
    if (setup == "empty") // a truncated build output
        QVERIFY(simkit::writeFile("update/e.bin", QByteArray()));
    if (setup.contains("openfails"))
        boards.front().device->setOpenFails(true);
    const Result r = run(arguments);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.startsWith("tarnvik-upgrade: ") && r.err.contains(message), qPrintable(r.err));
    if (code == 2 && !message.startsWith("no HID")) // the candidates are listed
        QVERIFY2(r.err.contains("\tsim:two\t0.00\n"), qPrintable(r.err));
    for (const sim::Board &b : boards) {
        QVERIFY(simkit::writes(*b.device).isEmpty());
        QTRY_COMPARE(b.device->openHandles(), 0);
    }
}

void TestCli::resultLineOfOneBoard()
{
    // The frames are the engine's, which tst_upgrade checks byte by byte;
    // here: the interval of ./config.ini, and the result line, whose device
    // part holds none of the device's control characters.
    vhid::DeviceInfo info = sim::boardInfo("sim:odd", 0x1a2b, 0x00ff, L"Bo\tard\n");
    info.serial = L"S\x1b" L"9";
    boards.push_back(sim::plugBoard(info));
    const QByteArray image = simkit::image(1000, 3);
    QVERIFY(simkit::writeFile("update/a.bin", image));
    QVERIFY(simkit::writeInterval(2));
    const Result r = run({"upgrade", "--path", "sim:odd"});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.err.startsWith("tarnvik-upgrade: ./update/a.bin, 1000 bytes, 17 packets at 2 ms, to 1 device\n"),
             qPrintable(r.err));
    QVERIFY2(QRegularExpression(QString("^OK Tarnvik\\(1a2b\\)-Bo ard \\(00ff\\) serial S 9 path sim:odd\t"
                                        "1000 bytes in \\d+\\.\\d s, CRC-32 %1\n$")
                                    .arg(simkit::crc32(image), 8, 16, QChar('0')))
                 .match(r.out)
                 .hasMatch(),
             qPrintable(r.out));
    QVERIFY2(boards.back().model->verdict().good(), boards.back().model->verdictText().c_str());
    QCOMPARE(simkit::toQByteArray(boards.back().model->verdict().image), image);
    QVERIFY(simkit::writes(*boards.at(0).device).isEmpty());
    QTRY_COMPARE(boards.back().device->openHandles(), 0);
}

void TestCli::serialPicksOneOfIdenticalBoards()
{
    const QByteArray image = simkit::image(6000, 4);
    QVERIFY(simkit::writeFile("image.bin", image));
    const Result r = run({"upgrade", "--serial", "S2", "--image", "image.bin", "--interval", "1"});
    QCOMPARE(r.code, 0);
    // Not a terminal: a progress line per 10 %, and the end.
    QCOMPARE(r.err.count(" % ("), 11);
    QVERIFY(r.err.contains("serial S2 path sim:two: 50 % (3000 of 6000 bytes)"));
    QVERIFY(boards.at(1).model->verdict().good());
    QCOMPARE(simkit::toQByteArray(boards.at(1).model->verdict().image), image);
    QVERIFY(simkit::writes(*boards.at(0).device).isEmpty());
    QCOMPARE(boards.at(0).device->openCount(), 0);
}

void TestCli::emptyImageAsTheWindowSendsIt()
{
    QVERIFY(simkit::writeFile("update/empty.bin", QByteArray()));
    const Result r = run({"upgrade", "--index", "1", "--interval", "1", "--allow-empty"});
    QCOMPARE(r.code, 0);
    QCOMPARE(simkit::writes(*boards.at(1).device),
             (QList<QByteArray>{simkit::startReport(), simkit::sizeReport(0), simkit::checksumReport(0)}));
}

void TestCli::allBoardsAtOnceOneUnplugged()
{
    sim::Script vanishing;
    vanishing.vanishAfterPacket = 20;
    boards.push_back(plug("sim:three", L"S3", vanishing));
    const QByteArray image = simkit::image(3000, 5); // 50 packets
    QVERIFY(simkit::writeFile("update/a.bin", image));
    const Result r = run({"upgrade", "--device", "1a2b:00ff", "--all", "--interval", "1", "--quiet"});
    QCOMPARE(r.code, 4);
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).startsWith("OK ") && lines.at(0).contains("serial S1"), qPrintable(r.out));
    QVERIFY2(lines.at(1).startsWith("OK ") && lines.at(1).contains("serial S2"), qPrintable(r.out));
    // Gone: its reader failed, or a write failed first on the gone device.
    QVERIFY2(lines.at(2).startsWith("FAILED ")
                 && (lines.at(2).contains("serial S3 path sim:three\tthe device is gone")
                     || lines.at(2).contains("serial S3 path sim:three\ta write failed")),
             qPrintable(r.out));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(boards.at(i).model->verdict().good());
        QCOMPARE(simkit::toQByteArray(boards.at(i).model->verdict().image), image);
    }
    QCOMPARE(boards.at(2).model->verdict().packets, 20u);
    for (const sim::Board &b : boards)
        QTRY_COMPARE(b.device->openHandles(), 0);
}

void TestCli::stalledBoardCostsTheOthersNothing()
{
    // One of three boards takes nothing for 1.5 s before packet 2: the other
    // two go on at their own pace, and the stalled one completes after it.
    sim::Script stalling;
    stalling.stallAtPacket = 2;
    stalling.stallMs = 1500;
    boards.push_back(plug("sim:three", L"S3", stalling));
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    const Result r = run({"upgrade", "-d", "1a2b:00ff", "--all", "--interval", "1", "-q", "--json"});
    QCOMPARE(r.code, 0);
    QHash<QString, double> seconds;
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
        if (e.value("event") == "end") {
            QCOMPARE(e.value("outcome").toString(), QString("ok"));
            seconds.insert(e.value("serial").toString(), e.value("seconds").toDouble());
        }
    }
    QCOMPARE(seconds.size(), 3);
    qInfo("seconds per board: S1 %.3f, S2 %.3f, S3 (stalled) %.3f", seconds["S1"], seconds["S2"], seconds["S3"]);
    QVERIFY2(seconds["S3"] >= 1.4, qPrintable(r.out));
    QVERIFY2(seconds["S1"] < 1.0 && seconds["S2"] < 1.0, qPrintable(r.out));
    for (const sim::Board &b : boards)
        QVERIFY(b.model->verdict().good());
}

void TestCli::silentBoardTimesOut_data()
{
    QTest::addColumn<QStringList>("timeout");
    QTest::addColumn<QString>("seconds");
    QTest::newRow("--ack-timeout 0.5") << QStringList{"--ack-timeout", "0.5"} << "0.5";
    QTest::newRow("5 s without it") << QStringList{} << "5";
}

void TestCli::silentBoardTimesOut()
{
    QFETCH(QStringList, timeout);
    QFETCH(QString, seconds);
    sim::Script silent;
    silent.perPacket[3] = sim::Reply::Silent;
    boards.front() = plug("sim:silent", L"S0", silent);
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    const Deadline bound(8000); // a time-out that never comes ends here, not with the suite
    const Result r = run(QStringList{"upgrade", "--path", "sim:silent", "--interval", "1", "--quiet"} + timeout);
    QCOMPARE(r.code, 4);
    QVERIFY2(r.out.contains("FAILED ") && r.out.contains("packet 3 was not acknowledged within " + seconds + " s"),
             qPrintable(r.out));
    const qint64 ms = qint64(seconds.toDouble() * 1000);
    QVERIFY2(r.ms >= ms && r.ms < ms + 1000, qPrintable(QString::number(r.ms)));
    QVERIFY(!boards.front().model->verdict().checksumSeen);
    QTRY_COMPARE(boards.front().device->openHandles(), 0);
}

void TestCli::interruptClosesTheDevice_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("json");
    QTest::newRow("SIGINT, result line") << int(SIGINT) << false;
    QTest::newRow("SIGTERM, JSON Lines") << int(SIGTERM) << true;
}

void TestCli::interruptClosesTheDevice()
{
    QFETCH(int, signal);
    QFETCH(bool, json);
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(6000)));
    QTimer::singleShot(300, [signal]() {
#ifdef Q_OS_WIN
        Q_UNUSED(signal);
        UpgradeCli::Interrupt(); // the console's control handler posts this
#else
        raise(signal); // through the handler that Console::CatchInterrupts installed
#endif
    });
    const Result r = run({"upgrade", "--serial", "S1", "--interval", "20", "--log", "batch.log", json ? "--json" : "-q"});
    QCOMPARE(r.code, 130);
    QVERIFY2(r.err.contains("interrupted"), qPrintable(r.err));
    // The board's line (or end event) and its record say so.
    const QRegularExpression why("^interrupted after \\d+ of 6000 bytes$");
    const QJsonObject end = json ? events(r.out, "end").value(0) : QJsonObject();
    if (json) {
        QCOMPARE(end.value("outcome").toString(), QString("interrupted"));
        QVERIFY2(why.match(end.value("reason").toString()).hasMatch(), qPrintable(r.out));
    } else {
        QVERIFY2(r.out.startsWith("INTERRUPTED Tarnvik(1a2b)-Board(00ff) serial S1 path sim:one\t") && r.out.count('\n') == 1
                     && why.match(r.out.section('\t', 1).chopped(1)).hasMatch(),
                 qPrintable(r.out));
    }
    const QList<QJsonObject> records = logRecords("batch.log");
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("outcome").toString(), QString("interrupted"));
    QVERIFY(why.match(records.first().value("reason").toString()).hasMatch());
    const uint32_t packets = boards.front().model->verdict().packets;
    QVERIFY2(packets > 0 && packets < 100, qPrintable(QString::number(packets)));
    QVERIFY(!boards.front().model->verdict().checksumSeen);
    QTRY_COMPARE(boards.front().device->openHandles(), 0);
}

void TestCli::secondInterruptEndsAtOnce()
{
    // While the first is being handled (the transfers stop, the devices
    // close: a write a board holds may take seconds), a second interrupt
    // ends the program at once with 130.
#ifdef Q_OS_WIN
    QSKIP("POSIX signals; the console control handler of Windows has no test of its own");
#else
#if defined(__SANITIZE_THREAD__)
    QSKIP("ThreadSanitizer holds back signals in the forked child of a threaded process");
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    QSKIP("ThreadSanitizer holds back signals in the forked child of a threaded process");
#endif
#endif
    const pid_t child = fork();
    if (child == 0) {
        raise(SIGINT); // nobody handles it in the child: still "being handled"
        raise(SIGTERM);
        _exit(0);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 130);
#endif
}

void TestCli::jsonLinesAndLog()
{
    // Every line on stdout one JSON object of the documented schema; the log
    // one whole line per ended transfer, appended to what was there.
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(3000)));
    QVERIFY(simkit::writeFile("batch.log", "earlier line\n"));
    boards.push_back(plug("sim:three", L"S3", [] { sim::Script s; s.perPacket[2] = sim::Reply::Silent; return s; }()));
    const Result r = run({"upgrade", "-d", "1a2b:00ff", "--all", "--interval", "1", "--ack-timeout", "0.3", "-q", "--json",
                          "--log", "batch.log"});
    QCOMPARE(r.code, 4);
    QHash<QString, QString> outcomes;
    QHash<QString, int> counts; // events by name and serial
    for (const QJsonObject &e : events(r.out)) {
        QVERIFY2(followsSchema(e), qPrintable(r.out));
        QCOMPARE(e.value("vid_pid").toString(), QString("1a2b:00ff"));
        ++counts[e.value("event").toString() + " " + e.value("serial").toString()];
        if (e.value("event") == "end") {
            outcomes.insert(e.value("serial").toString(), e.value("outcome").toString());
            QCOMPARE(e.value("crc32").toString(), QString("%1").arg(simkit::crc32(simkit::image(3000)), 8, 16, QChar('0')));
        }
    }
    QCOMPARE(outcomes, (QHash<QString, QString>{{"S1", "ok"}, {"S2", "ok"}, {"S3", "failed"}}));
    for (const QString serial : {"S1", "S2", "S3"}) {
        QCOMPARE(counts.value("start " + serial), 1);
        QVERIFY2(counts.value("progress " + serial) >= 1, qPrintable(r.out));
    }

    QFile file("batch.log");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 5); // the earlier line, three records, nothing after the last newline
    QCOMPARE(lines.first(), QByteArray("earlier line"));
    QVERIFY(lines.last().isEmpty());
    for (int i = 1; i <= 3; ++i) {
        const QJsonObject record = QJsonDocument::fromJson(lines.at(i)).object();
        QStringList got = record.keys();
        got.sort();
        QCOMPARE(got, (QStringList{"attempts", "crc32", "image", "interval_ms", "outcome", "path", "reason", "seconds",
                                   "serial", "size", "time", "vid_pid"}));
        QCOMPARE(record.value("image").toString(), QString("a.bin"));
        QCOMPARE(record.value("size").toInt(), 3000); // the image's, whatever was sent
        QVERIFY(record.value("time").toString().endsWith('Z'));
    }

    // A log that cannot be opened stops everything before any board is touched.
    const Result none = run({"upgrade", "-s", "S1", "--log", "update"});
    QCOMPARE(none.code, 1);
    QVERIFY2(none.err.startsWith("tarnvik-upgrade: cannot open the log update: "), qPrintable(none.err));
}

void TestCli::station()
{
    // Boards come and go; each that appears is upgraded once, a failing one
    // tried again, one that comes back is the same board, another board at
    // its path a new one, and Ctrl-C stops the one still running. Each step
    // waits for the station to tell of the last one's effect, not for a
    // time, so that a slow machine only makes it slower.
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(3000)));
    sim::Script silent;
    silent.perPacket[2] = sim::Reply::Silent;
    boards.push_back(plug("sim:three", L"S3", silent));
    int step = 0;
    Result r;
    const auto told = [&r](const QString &event) { return events(r.out, event).size(); };
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&]() {
        const bool due = step == 0   ? told("end") == 3 // S1, S2 done, S3 failed twice
                         : step == 1 ? told("board-gone") == 1
                         : step == 2 ? told("board-back") == 1
                         : step == 3 ? told("board-gone") == 2
                         : step == 4 ? told("end") == 4
                         : step == 5 && told("start") == 6;
        if (!due)
            return;
        if (step == 0 || step == 2)
            vhid::unplug("sim:one");
        else if (step == 1)
            boards.push_back(plug("sim:one", L"S1")); // back: the same board, not upgraded again
        else if (step == 3)
            boards.push_back(plug("sim:one", L"S5")); // another board at that path
        else if (step == 4)
            boards.push_back(plug("sim:four", L"S4"));
        else
            UpgradeCli::Interrupt();
        ++step;
    });
    driver.start(20);
    const Deadline bound(120000);
    run(r, {"station", "-d", "1a2b:00ff", "--interval", "10", "--ack-timeout", "0.2", "--retries", "1", "--json",
            "--log", "batch.log"});
    driver.stop();
    QCOMPARE(step, 6);
    QCOMPARE(r.code, 130);
    QVERIFY2(r.err.contains("station ended: 5 boards, 3 upgraded, 1 failed, 1 interrupted"), qPrintable(r.err));

    QStringList seen; // board-present, -gone, -back and end events, in order, by serial or path
    QHash<QString, int> starts; // start events by serial
    QSet<QString> startedBeforeAnEnd; // several boards at once: all three start before one ends
    bool anEnd = false;
    for (const QJsonObject &e : events(r.out)) {
        QVERIFY2(followsSchema(e), qPrintable(r.out));
        const QString event = e.value("event").toString();
        if (event == "start") {
            ++starts[e.value("serial").toString()];
            if (!anEnd)
                startedBeforeAnEnd << e.value("serial").toString();
        } else if (event == "board-present")
            seen << "present " + e.value("serial").toString();
        else if (event == "board-gone")
            seen << "gone " + e.value("path").toString();
        else if (event == "board-back")
            seen << "back " + e.value("serial").toString();
        else if (event == "end")
            seen << QString("%1 %2 %3").arg(e.value("serial").toString(), e.value("outcome").toString())
                        .arg(e.value("attempts").toInt());
        anEnd = anEnd || event == "end";
    }
    // The first three boards in any order of their ends, then the rest in
    // the order the test made them happen.
    QStringList first = seen.mid(0, 6);
    first.sort();
    QCOMPARE(first, (QStringList{"S1 ok 1", "S2 ok 1", "S3 failed 2", "present S1", "present S2", "present S3"}));
    QCOMPARE(seen.mid(6), (QStringList{"gone sim:one", "back S1", "gone sim:one", "present S5", "S5 ok 1",
                                       "present S4", "S4 interrupted 1"}));
    QCOMPARE(startedBeforeAnEnd, (QSet<QString>{"S1", "S2", "S3"}));
    QCOMPARE(starts, (QHash<QString, int>{{"S1", 1}, {"S2", 1}, {"S3", 2}, {"S5", 1}, {"S4", 1}})); // every attempt
    QCOMPARE(logRecords("batch.log").size(), 5); // one per board, the interrupted one too
    QCOMPARE(boards.at(1).model->verdict().sessions, 1); // S2 stayed plugged in: flashed once
    QCOMPARE(boards.at(3).model->verdict().sessions, 0); // S1 back
}

void TestCli::stationTakesARestartForTheSameBoard_data()
{
    QTest::addColumn<bool>("serial");
    QTest::addColumn<bool>("reflash");
    // Without the system's notifications the list is polled; a listing that
    // takes `listMs` is mostly under way when the board goes, and shows it
    // still there after its reader failed. Back 1.5 s later with the same
    // release, nothing but a listing begun since tells of its return.
    QTest::addColumn<int>("listMs");
    QTest::newRow("serial number: once") << true << false << 0;
    QTest::newRow("no serial number, back at its path: once") << false << false << 0;
    QTest::newRow("--reflash: every appearance") << true << true << 0;
    QTest::newRow("polled, a listing under way as it goes") << true << false << 200;
    QTest::newRow("polled, listing slower than the poll") << false << false << 400;
}

void TestCli::stationTakesARestartForTheSameBoard()
{
    // The board starts its new image once it has taken E4: its reader fails
    // before its E4 write is reported (20 ms late), and it is back 200 ms
    // later with release 1.02.
    QFETCH(bool, serial);
    QFETCH(bool, reflash);
    QFETCH(int, listMs);
    vhid::DeviceInfo info = sim::boardInfo("sim:ota", 0x1a2b, 0x00fe);
    if (serial)
        info.serial = L"S9";
    if (listMs)
        info.release = 0x0102;
    sim::Script script;
    script.restartGoneMs = listMs ? 1500 : 200;
    script.restartRelease = 0x0102;
    script.restartWriteLateMs = 20;
    vhid::setNotifications(listMs == 0);
    vhid::setCallDelay(listMs);
    boards.push_back(sim::plugBoard(info, script));
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    // Once the station has told of the board's return, it has decided
    // whether the board is new (it would have told of it as present then).
    Result r;
    QTimer driver;
    connect(&driver, &QTimer::timeout, this, [&]() {
        if (events(r.out, reflash ? "end" : "board-back").size() == (reflash ? 2 : 1))
            UpgradeCli::Interrupt();
    });
    driver.start(20);
    const Deadline bound(60000);
    QStringList arguments{"station", "-d", "1a2b:00fe", "--interval", "1", "-q", "--json", "--log", "batch.log"};
    if (reflash)
        arguments << "--reflash";
    run(r, arguments);
    QCOMPARE(r.code, 130);
    const int sessions = boards.back().model->verdict().sessions;
    const QList<QJsonObject> records = logRecords("batch.log");
    QCOMPARE(records.first().value("outcome").toString(), QString("ok"));
    if (reflash) {
        QVERIFY2(sessions >= 2 && records.size() >= 2, qPrintable(r.out));
        return;
    }
    QCOMPARE(sessions, 1);
    QCOMPARE(records.size(), 1);
    const QList<QJsonObject> back = events(r.out, "board-back");
    QCOMPARE(back.size(), 1);
    QVERIFY2(followsSchema(back.first()), qPrintable(r.out));
    QCOMPARE(back.first().value("release").toString(), QString("1.02"));
    QVERIFY2(back.first().value("seconds").toDouble() >= script.restartGoneMs * 0.75 / 1000, qPrintable(r.out));
    QCOMPARE(events(r.out, "board-present").size(), 1);
}

void TestCli::stationBatch_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("code");
    QTest::newRow("--count 2, both upgraded") << 2 << 0;
    QTest::newRow("--count 3, one never acknowledges") << 3 << 4;
}

void TestCli::stationBatch()
{
    QFETCH(int, count);
    QFETCH(int, code);
    sim::Script silent;
    silent.perPacket[2] = sim::Reply::Silent;
    if (count == 3)
        boards.push_back(plug("sim:three", L"S3", silent));
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    const Deadline bound(60000);
    const Result r = run({"station", "-d", "1a2b:00ff", "--count", QString::number(count), "--interval", "1",
                          "--ack-timeout", "0.2", "-q"});
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(QString("station ended: %1 boards, 2 upgraded, %2 failed, 0 interrupted")
                                .arg(count)
                                .arg(count - 2)),
             qPrintable(r.err));
    QCOMPARE(r.out.count(QRegularExpression("^OK ", QRegularExpression::MultilineOption)), 2);
}

void TestCli::returnCheck_data()
{
    // The board restarts after E4 with release 1.02 (its E4 write reported
    // late, after its reader failed), or stays as it is.
    QTest::addColumn<bool>("restarts");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("details"); // after the CRC-32, or the reason
    const QStringList wait{"--wait-replug", "3"};
    QTest::newRow("back with the release expected")
        << true << wait + QStringList{"--expect-release", "1.02"} << 0 << "; back after \\d+\\.\\d s with release 1.02";
    QTest::newRow("back with another release")
        << true << wait + QStringList{"--expect-release", "0x0103"} << 6
        << "transfer completed, but the board came back with release 1.02, not 1.03";
    QTest::newRow("not back, release expected") << false << QStringList{"--wait-replug", "0.6", "--expect-release", "1.02"}
                                                << 6 << "transfer completed, but the board did not come back within 0.6 s";
    QTest::newRow("not back, nothing expected") << false << QStringList{"--wait-replug", "0.6"} << 0
                                                << "; not back within 0.6 s";
}

void TestCli::returnCheck()
{
    QFETCH(bool, restarts);
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, details);
    sim::Script script;
    if (restarts) {
        script.restartGoneMs = 200;
        script.restartRelease = 0x0102;
        script.restartWriteLateMs = 20;
    }
    boards.push_back(plug("sim:ota", L"S9", script));
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    const Result r = run(QStringList{"upgrade", "-s", "S9", "--interval", "1", "-q", "--log", "batch.log"} + options);
    QCOMPARE(r.code, code);
    QVERIFY2(QRegularExpression((code == 0 ? "^OK .*\t.*CRC-32 [0-9a-f]{8}" : "^FAILED .*\t") + details + "\n$")
                 .match(r.out)
                 .hasMatch(),
             qPrintable(r.out));
    const QJsonObject record = logRecords("batch.log").value(0);
    QCOMPARE(record.value("back").toBool(), restarts);
    QCOMPARE(record.value("release").toString(), QString(restarts ? "1.02" : ""));
    QCOMPARE(record.value("back_seconds").isNull(), !restarts);
    QVERIFY2(boards.back().model->verdict().good(), boards.back().model->verdictText().c_str());
}

void TestCli::outputThatGoesAway_data()
{
    QTest::addColumn<bool>("stdoutGone");
    QTest::newRow("stdout (| head -1)") << true;
    QTest::newRow("stderr") << false;
}

void TestCli::outputThatGoesAway()
{
    // The transfers, the log and the exit status go on as if it were there.
    QFETCH(bool, stdoutGone);
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(3000)));
    GoneReader gone;
    QString kept;
    QTextStream keptStream(&kept);
    QTextStream goneStream(&gone);
    const int code = UpgradeCli::Run({"upgrade", "-d", "1a2b:00ff", "--all", "--interval", "1", "--json", "--log",
                                      "batch.log"},
                                     stdoutGone ? goneStream : keptStream, stdoutGone ? keptStream : goneStream, false);
    QCOMPARE(code, 0);
    QCOMPARE(logRecords("batch.log").size(), 2);
    for (const sim::Board &b : boards)
        QVERIFY(b.model->verdict().good());
    // Noted once on the other stream (never among JSON Lines).
    QCOMPARE(kept.count("stdout is gone; the rest of it is dropped"), stdoutGone ? 1 : 0);
    if (!stdoutGone)
        QCOMPARE(events(kept, "end").size(), 2);
}

void TestCli::retries_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("sessions"); // the E1 frames the board saw
    QTest::newRow("writes fail once, then go") << "writes fail at first" << 0 << "OK" << 1;
    QTest::newRow("packet 2 never acknowledged") << "silent" << 4 << "FAILED" << 3;
    QTest::newRow("unplugged: no retry") << "unplug" << 4 << "FAILED" << 1;
}

void TestCli::retries()
{
    QFETCH(QString, fault);
    QFETCH(int, code);
    QFETCH(QString, line);
    QFETCH(int, sessions);
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    sim::Script script;
    if (fault == "silent")
        script.perPacket[2] = sim::Reply::Silent;
    if (fault == "unplug")
        script.vanishAfterPacket = 3;
    if (fault == "writes fail at first")
        script.failFirstWrites = 1; // E1's: the first attempt ends at once
    boards.push_back(plug("sim:three", L"S3", script));
    // Short options combine as getopt's do: -qs S3.
    const Result r = run({"upgrade", "-qs", "S3", "--interval", "1", "--ack-timeout", "0.2", "--retries", "2"});
    QCOMPARE(r.code, code);
    QVERIFY2(r.out.startsWith(line + " ") && r.out.count('\n') == 1, qPrintable(r.out));
    if (fault != "unplug")
        QVERIFY2(r.out.endsWith(QString(" (attempt %1)\n").arg(fault == "silent" ? 3 : 2)), qPrintable(r.out));
    else
        QVERIFY2(!r.out.contains("(attempt"), qPrintable(r.out));
    QCOMPARE(boards.back().model->verdict().sessions, sessions);
    QCOMPARE(boards.back().model->verdict().good(), code == 0);
}

void TestCli::waitForTheBoard_data()
{
    // S3 is plugged in 400 ms after the start, or never.
    QTest::addColumn<QStringList>("wait");
    QTest::addColumn<bool>("plugged");
    QTest::addColumn<int>("code");
    QTest::newRow("for ever, plugged") << QStringList{"--wait"} << true << 0;
    QTest::newRow("3 s, plugged") << QStringList{"--wait", "3"} << true << 0;
    QTest::newRow("0.3 s, never") << QStringList{"--wait", "0.3"} << false << 2;
    QTest::newRow("no wait, not there yet") << QStringList{} << true << 2;
    QTest::newRow("Ctrl-C while waiting") << QStringList{"--wait", "5"} << false << 130;
}

void TestCli::waitForTheBoard()
{
    QFETCH(QStringList, wait);
    QFETCH(bool, plugged);
    QFETCH(int, code);
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    if (plugged)
        QTimer::singleShot(400, this, [this]() { boards.push_back(plug("sim:three", L"S3")); });
    if (code == 130)
        QTimer::singleShot(300, this, []() { UpgradeCli::Interrupt(); });
    const Result r = run(QStringList{"upgrade", "-s", "S3", "--interval", "1"} + wait);
    QCOMPARE(r.code, code);
    if (code == 0) {
        QVERIFY2(r.err.startsWith("tarnvik-upgrade: waiting for a device that matches the selection"), qPrintable(r.err));
        QVERIFY2(r.ms >= 350, qPrintable(QString::number(r.ms)));
        QVERIFY2(r.out.startsWith("OK ") && r.out.contains("serial S3 "), qPrintable(r.out));
        QVERIFY2(boards.back().model->verdict().good(), boards.back().model->verdictText().c_str());
    } else {
        if (code == 130) // at once, not at the wait's end (5 s)
            QVERIFY2(r.ms < 3000, qPrintable(QString::number(r.ms)));
        QVERIFY2(r.err.contains(code == 130        ? "interrupted while waiting for a device"
                                : wait.isEmpty() ? "no HID device matches"
                                                 : "no HID device matched the selection within 0.3 s"),
                 qPrintable(r.err));
    }
    for (int i = 0; i < 2; ++i)
        QVERIFY(simkit::writes(*boards.at(i).device).isEmpty());
    QTest::qWait(plugged && code != 0 ? 500 : 0); // the late board, before the next case
}

void TestCli::verboseNamesTheBoard()
{
    // Two boards at once: every diagnostic line says whose it is, the
    // listing's too.
    if (qEnvironmentVariable("QT_LOGGING_RULES").contains("debug=false"))
        QSKIP("the environment turns the diagnostic lines off");
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(600)));
    MessageCapture capture;
    const Result r = run({"upgrade", "-d", "1a2b:00ff", "--all", "--interval", "1", "-q", "-v"});
    QCOMPARE(r.code, 0);
    int writes[2] = {0, 0};
    for (const QString &line : capture.lines()) {
        QVERIFY2(line.startsWith("[serial S1] ") || line.startsWith("[serial S2] ") || line.startsWith("[list] "),
                 qPrintable(line));
        if (line.contains("] hid_write "))
            ++writes[line.startsWith("[serial S2] ")];
    }
    QCOMPARE(writes[0], 13); // E1, E2, ten packets, E4
    QCOMPARE(writes[1], 13);
}

void TestCli::progressFitsTheTerminal_data()
{
    QTest::addColumn<bool>("station");
    QTest::addColumn<int>("width");
    for (int width : {30, 60, 80, 120})
        QTest::addRow("upgrade, %d columns", width) << false << width;
    for (int width : {30, 80})
        QTest::addRow("station, %d columns", width) << true << width;
}

void TestCli::progressFitsTheTerminal()
{
    // Each redraw is one line that fits: a wider one would wrap, and every
    // redraw would leave a line behind.
    QFETCH(bool, station);
    QFETCH(int, width);
    g_columns = width;
    QVERIFY(simkit::writeFile("update/a.bin", simkit::image(6000)));
    QTimer driver; // the station runs until both boards have their record
    connect(&driver, &QTimer::timeout, this, []() {
        if (logRecords("batch.log").size() == 2)
            UpgradeCli::Interrupt();
    });
    driver.start(20);
    const Result r = run(station ? QStringList{"station", "-d", "1a2b:00ff", "--interval", "5", "--log", "batch.log"}
                                 : QStringList{"upgrade", "-d", "1a2b:00ff", "--all", "--interval", "5"},
                         true);
    g_columns = 0;
    QCOMPARE(r.code, station ? 130 : 0);
    const QStringList lines = r.err.split('\n');
    QCOMPARE(lines.size(), 3); // the heading, the bar's line (a station's ends in its totals), nothing after
    QStringList draws = lines.at(1).split('\r', Qt::SkipEmptyParts);
    if (station) {
        QVERIFY2(draws.takeLast().startsWith("\x1b[Ktarnvik-upgrade: station ended: 2 boards, 2 upgraded"),
                 qPrintable(r.err));
        // Each board's lines on stdout, the status line taken away for them.
        for (const QString board : {"serial S1 path sim:one", "serial S2 path sim:two"}) {
            QVERIFY2(r.out.contains("START Tarnvik(1a2b)-Board(00ff) " + board + "\t6000 bytes\n"), qPrintable(r.out));
            QVERIFY2(r.out.contains("OK Tarnvik(1a2b)-Board(00ff) " + board + "\t6000 bytes in "), qPrintable(r.out));
        }
    }
    QVERIFY(!draws.isEmpty());
    if (!station) // the bar keeps its width from the first draw to the last
        QCOMPARE(draws.first().indexOf(']'), draws.last().indexOf(']'));
    for (QString draw : qAsConst(draws)) {
        QVERIFY2(draw.endsWith("\x1b[K"), qPrintable(draw)); // the rest of the old line cleared
        draw.chop(3);
        QVERIFY2(draw.size() < width, qPrintable(QString("%1 columns: %2").arg(draw.size()).arg(draw)));
        QVERIFY2(draw.isEmpty() || draw.contains(station ? "station: " : " %"), qPrintable(draw));
    }
    if (station)
        return;
    // Narrower, the bar shrinks and the bytes, the rate and the time left
    // go; the percentage and the boards done stay.
    const QString last = draws.last();
    QVERIFY2(last.contains("100 %") && last.contains("2/2 boards done"), qPrintable(last));
    QCOMPARE(last.contains("12000/12000 bytes"), width >= 120);
    QCOMPARE(last.startsWith("[#"), width >= 60);
}

QTEST_MAIN(TestCli)
#include "tst_cli.moc"
