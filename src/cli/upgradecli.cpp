#include "upgradecli.h"

#include "boardlog.h"
#include "qhidusbmgr.h"
#include "upgradeengine.h"
#include "upgradeimage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTextStream>
#include <QTimer>

#include <memory>
#include <vector>

#ifndef TARNVIK_VERSION
#define TARNVIK_VERSION "unknown"
#endif

namespace UpgradeCli {

namespace {

constexpr double kDefaultAckTimeoutS = 5.0;
constexpr int kBarWidth = 30;

// Thrown nowhere: a failure is a line on `err` and an exit code.
struct Failure
{
    int code;
    QString message;
};

QString hex4(int value)
{
    return QString("%1").arg(value, 4, 16, QChar('0'));
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString deviceLine(int index, const DeviceId &id)
{
    return QString("%1\t%2\t%3:%4\t%5\t%6")
        .arg(index)
        .arg(QHidUsbMgr::Label(id), hex4(id.vendorId), hex4(id.productId), orDash(id.serial),
             QString::fromLocal8Bit(id.path));
}

QString boardName(const DeviceId &id)
{
    QString name = QString("%1 serial %2 path %3")
                       .arg(QHidUsbMgr::Label(id), orDash(id.serial), QString::fromLocal8Bit(id.path));
    // Device strings are the device's: no tab or line break of theirs may
    // split a result line.
    for (QChar &c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    }
    return name;
}

// A result line: the outcome's word, the board, a tab, the details. A script
// splits it at its first tab: the board's name holds none.
QString resultLine(const char *word, const DeviceId &id, const QString &details)
{
    return QString("%1 %2\t%3\n").arg(QLatin1String(word), boardName(id), details);
}

QString duration(double seconds)
{
    if (seconds < 0 || seconds > 359999)
        return QStringLiteral("--:--");
    const int s = int(seconds + 0.5);
    return s >= 3600 ? QString("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'))
                     : QString("%1:%2").arg(s / 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

QString rate(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024 * 1024)
        return QString::number(bytesPerSecond / (1024 * 1024), 'f', 1) + " MiB/s";
    if (bytesPerSecond >= 1024)
        return QString::number(bytesPerSecond / 1024, 'f', 1) + " KiB/s";
    return QString::number(bytesPerSecond, 'f', 0) + " B/s";
}

// What selects the devices of an upgrade. Every option given must match.
struct Selection
{
    QString path;
    QString serial;
    int vendorId = -1;
    int productId = -1;
    int index = -1;
    bool any() const { return !path.isEmpty() || !serial.isEmpty() || vendorId >= 0 || index >= 0; }
    bool matches(int i, const DeviceId &id) const
    {
        return (path.isEmpty() || QString::fromLocal8Bit(id.path) == path)
               && (serial.isEmpty() || id.serial == serial)
               && (vendorId < 0 || (id.vendorId == vendorId && id.productId == productId))
               && (index < 0 || i == index);
    }
};

// One board of an upgrade: its own manager (reader thread, handle) and
// engine, so that several run side by side.
struct Board
{
    DeviceId id;
    std::unique_ptr<QHidUsbMgr> manager;
    std::unique_ptr<UpgradeEngine> engine;
    QElapsedTimer clock;
    bool finished = false;
    bool completed = false;
    bool openFailed = false;
    QString outcome;
    int reportedTenth = -1;
    qint64 bytesSent = 0;
    int attempts = 0;
    bool gone = false; // its reader failed: unplugged
    bool recorded = false; // its end was reported and logged
    int eventTenth = -1;
    QElapsedTimer eventClock;
};

class Command;
Command *runningCommand = nullptr; // the upgrade in progress, for Interrupt()

class Command : public QObject
{
public:
    Command(QTextStream &out, QTextStream &err, bool terminal, ColumnsFn columns)
        : out(out)
        , err(err)
        , terminal(terminal)
        , columns(columns)
    {
    }

    int run(const QStringList &arguments);
    void interrupt();

private:
    int list(bool json);
    // An upgrade: choosing the boards, reading the image, opening them,
    // running their transfers, reporting a line for each.
    int upgrade();
    int station();
    void stationScan(QHidUsbMgr &lister, QHash<QByteArray, DeviceId> &known);
    void stationLine(const QString &line);
    int waitForDevice();
    int choose(QVector<DeviceId> &chosen);
    int readImage();
    int open(const QVector<DeviceId> &chosen); // the number opened
    int runTransfers(int opened);
    int reportResults();
    Failure parseSelection();
    void failed(Board &board, const QString &reason);
    QJsonObject boardFields(const Board &board) const;
    void jsonEvent(QJsonObject e);
    void startEvent(Board &board);
    void record(Board &board, const char *outcome, const QString &reason);
    void result(const Board &board, const char *word, const QString &details);
    QString attemptsNote(const Board &board, const QString &text) const;
    void finish(Board &board, bool completed, const QString &outcome);
    void report(Board &board);
    void drawBar(bool last);
    void writeStatus(const QString &line, bool last);

    QTextStream &out;
    QTextStream &err;
    bool terminal;
    ColumnsFn columns;
    QCommandLineParser parser;
    Selection selection;
    QByteArray image;
    QString imagePath;
    int intervalMs = 0;
    double ackTimeoutS = kDefaultAckTimeoutS;
    bool all = false;
    double waitSeconds = 0; // --wait: -1 for ever
    int retries = 0;
    bool stationMode = false; // boards one after another until interrupted
    bool json = false;   // stdout: JSON Lines, one object per event
    BoardLog log;        // --log: one JSON line per ended transfer
    uint32_t imageCrc = 0;
    bool quiet = false;
    std::vector<std::unique_ptr<Board>> boards;
    QEventLoop loop;
    QElapsedTimer started;
    bool interrupted = false;
    bool barDrawn = false;
};

void Command::interrupt()
{
    interrupted = true;
    for (auto &b : boards) {
        if (b->engine)
            b->engine->Stop();
        if (b->manager && b->manager->IsOpen())
            b->manager->CloseUsb();
    }
    loop.exit(kInterrupted);
}

int Command::run(const QStringList &arguments)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {{"h", "help"}, "help"},
        {{"V", "version"}, "version"},
        {"json", "json"},
        {"path", "path", "P"},
        {{"s", "serial"}, "serial", "S"},
        {{"d", "device"}, "device", "VID:PID"},
        {"index", "index", "N"},
        {"image", "image", "FILE"},
        {"allow-empty", "allow-empty"},
        {"interval", "interval", "MS"},
        {"ack-timeout", "ack-timeout", "S"},
        {"all", "all"},
        {"wait", "wait", "SECONDS"},
        {"retries", "retries", "N"},
        {"log", "log", "FILE"},
        {{"q", "quiet"}, "quiet"},
        {{"v", "verbose"}, "verbose"},
    });
    QStringList argv = arguments;
    // --wait takes an optional number of seconds: without one it waits for
    // ever ("--wait=" with nothing after the sign, for the parser).
    for (int i = 0; i < argv.size(); ++i) {
        if (argv.at(i) != QLatin1String("--wait"))
            continue;
        bool number = false;
        if (i + 1 < argv.size())
            argv.at(i + 1).toDouble(&number);
        if (number)
            argv[i] += "=" + argv.takeAt(i + 1);
        else
            argv[i] += "=";
    }
    argv.prepend(QStringLiteral("tarnvik-upgrade"));
    if (!parser.parse(argv)) {
        err << "tarnvik-upgrade: " << parser.errorText() << " (see tarnvik-upgrade --help)\n";
        return kBadArguments;
    }
    if (parser.isSet("help")) {
        out << UsageText();
        return kCompleted;
    }
    if (parser.isSet("version")) {
        out << "tarnvik-upgrade " << TARNVIK_VERSION << "\n";
        return kCompleted;
    }
    const QStringList words = parser.positionalArguments();
    const QString command = words.value(0);
    const auto bad = [this](const QString &why) {
        err << "tarnvik-upgrade: " << why << " (see tarnvik-upgrade --help)\n";
        return kBadArguments;
    };
    if (words.size() > 1)
        return bad(QString("unexpected argument '%1'").arg(words.at(1)));
    quiet = parser.isSet("quiet");
    // The manager's diagnostic lines (every report) only when asked for.
    QLoggingCategory::setFilterRules(parser.isSet("verbose") ? QStringLiteral("default.debug=true")
                                                             : QStringLiteral("default.debug=false"));
    if (command == "list") {
        for (const char *option :
             {"path", "serial", "device", "index", "image", "allow-empty", "interval", "ack-timeout", "all", "wait",
              "retries", "log"}) {
            if (parser.isSet(option))
                return bad(QString("list takes no --%1").arg(option));
        }
        return list(parser.isSet("json"));
    }
    if (command != "upgrade" && command != "station")
        return bad(command.isEmpty() ? QString("no command: give list, upgrade or station")
                                     : QString("unknown command '%1': give list, upgrade or station").arg(command));
    stationMode = command == "station";
    if (stationMode) {
        for (const char *option : {"all", "wait", "index"}) {
            if (parser.isSet(option))
                return bad(QString("station takes no --%1").arg(option));
        }
    }
    json = parser.isSet("json");

    const Failure selectionFailure = parseSelection();
    if (selectionFailure.code != kCompleted)
        return bad(selectionFailure.message);
    // An unset variable in a script: not the same as no --image at all.
    if (parser.isSet("image") && parser.value("image").isEmpty())
        return bad(QString("the name given to --image is empty"));
    if (parser.isSet("interval")) {
        bool ok = false;
        intervalMs = parser.value("interval").toInt(&ok, 10);
        if (!ok || intervalMs <= 0)
            return bad(QString("--interval must be a whole number of milliseconds above 0, not '%1'")
                           .arg(parser.value("interval")));
    } else {
        intervalMs = UpgradeImage::PacketInterval();
    }
    if (parser.isSet("ack-timeout")) {
        bool ok = false;
        ackTimeoutS = parser.value("ack-timeout").toDouble(&ok);
        // At least a millisecond, at most a day: the timer counts in int ms.
        if (!ok || !(ackTimeoutS >= 0.001 && ackTimeoutS <= 86400))
            return bad(QString("--ack-timeout must be a number of seconds above 0 (at most 86400), not '%1'")
                           .arg(parser.value("ack-timeout")));
    }
    all = parser.isSet("all");
    if (parser.isSet("retries")) {
        bool ok = false;
        retries = parser.value("retries").toInt(&ok, 10);
        if (!ok || retries < 0 || retries > 1000)
            return bad(QString("--retries must be a whole number from 0 to 1000, not '%1'").arg(parser.value("retries")));
    }
    if (parser.isSet("wait")) {
        const QString value = parser.value("wait");
        bool ok = true;
        waitSeconds = value.isEmpty() ? -1 : value.toDouble(&ok);
        if (!ok || (!value.isEmpty() && !(waitSeconds > 0 && waitSeconds <= 86400 * 365)))
            return bad(QString("--wait takes a number of seconds above 0, or none to wait for ever, not '%1'").arg(value));
    }
    // The record of the batch is opened before any board is touched: a log
    // that cannot be written stops the command here.
    if (parser.isSet("log")) {
        QString why;
        if (!log.Open(parser.value("log"), &why)) {
            err << "tarnvik-upgrade: cannot open the log " << parser.value("log") << ": " << why << "\n";
            return kBadArguments;
        }
    }
    return stationMode ? station() : upgrade();
}

Failure Command::parseSelection()
{
    if (parser.isSet("path")) {
        selection.path = parser.value("path");
        if (selection.path.isEmpty())
            return {kBadArguments, "--path is empty"};
    }
    if (parser.isSet("serial")) {
        selection.serial = parser.value("serial");
        if (selection.serial.isEmpty())
            return {kBadArguments, "--serial is empty"};
    }
    if (parser.isSet("device")) {
        static const QRegularExpression pair(QStringLiteral("^([0-9A-Fa-f]{1,4}):([0-9A-Fa-f]{1,4})$"));
        const QRegularExpressionMatch m = pair.match(parser.value("device"));
        if (!m.hasMatch())
            return {kBadArguments, QString("--device must be VID:PID in hex, such as 1a2b:00ff, not '%1'")
                                       .arg(parser.value("device"))};
        selection.vendorId = m.captured(1).toInt(nullptr, 16);
        selection.productId = m.captured(2).toInt(nullptr, 16);
    }
    if (parser.isSet("index")) {
        bool ok = false;
        selection.index = parser.value("index").toInt(&ok, 10);
        if (!ok || selection.index < 0)
            return {kBadArguments, QString("--index must be a whole number from 0, not '%1'").arg(parser.value("index"))};
    }
    return {kCompleted, QString()};
}

int Command::list(bool json)
{
    QHidUsbMgr manager;
    manager.EnumDevices();
    const QVector<DeviceId> ids = manager.Devices();
    if (json) {
        QJsonArray array;
        for (int i = 0; i < ids.size(); ++i) {
            const DeviceId &id = ids.at(i);
            array.append(QJsonObject{
                {"index", i},
                {"label", QHidUsbMgr::Label(id)},
                {"vendor_id", id.vendorId},
                {"product_id", id.productId},
                {"serial", id.serial},
                {"manufacturer", id.manufacturer},
                {"product", id.product},
                {"path", QString::fromLocal8Bit(id.path)},
            });
        }
        out << QJsonDocument(array).toJson(QJsonDocument::Indented);
    } else {
        for (int i = 0; i < ids.size(); ++i)
            out << deviceLine(i, ids.at(i)) << "\n";
    }
    out.flush();
    return kCompleted;
}

int Command::upgrade()
{
    if (parser.isSet("wait") && selection.any()) {
        const int waited = waitForDevice();
        if (waited != kCompleted)
            return waited;
    }
    // The devices first: without a clear choice nothing is touched.
    QVector<DeviceId> chosen;
    const int chosenCode = choose(chosen);
    if (chosenCode != kCompleted)
        return chosenCode;
    const int imageCode = readImage();
    if (imageCode != kCompleted)
        return imageCode;

    runningCommand = this;
    started.start();
    const int opened = open(chosen);
    if (opened == 0) {
        for (auto &b : boards)
            result(*b, "FAILED", b->outcome);
        out.flush();
        runningCommand = nullptr;
        return kOpenFailed;
    }
    const int code = runTransfers(opened);
    runningCommand = nullptr;
    if (interrupted || code == kInterrupted) {
        // Whatever ran was stopped and closed by interrupt(); every board
        // still gets its line, for the log a script keeps.
        for (auto &b : boards) {
            if (b->finished) {
                result(*b, b->completed ? "OK" : "FAILED", b->outcome);
            } else {
                const QString why = QString("interrupted after %1 of %2 bytes").arg(b->bytesSent).arg(image.size());
                record(*b, "interrupted", why);
                result(*b, "INTERRUPTED", why);
            }
        }
        out.flush();
        err << "tarnvik-upgrade: interrupted: the transfer was stopped and the device closed; "
               "no upgrade is claimed\n";
        err.flush();
        return kInterrupted;
    }
    return reportResults();
}

int Command::waitForDevice()
{
    const auto present = [this]() {
        QHidUsbMgr lister;
        lister.EnumDevices();
        const QVector<DeviceId> ids = lister.Devices();
        for (int i = 0; i < ids.size(); ++i) {
            if (selection.matches(i, ids.at(i)))
                return true;
        }
        return false;
    };
    if (present())
        return kCompleted;
    if (!quiet) {
        err << "tarnvik-upgrade: waiting for a device that matches the selection"
            << (waitSeconds > 0 ? QString(" (at most %1 s)").arg(waitSeconds) : QString()) << "\n";
        err.flush();
    }
    // Looked for four times a second; Ctrl-C ends the wait with nothing
    // touched.
    QElapsedTimer waited;
    waited.start();
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&]() {
        if (present())
            loop.exit(kCompleted);
        else if (waitSeconds > 0 && waited.elapsed() >= waitSeconds * 1000)
            loop.exit(kNoDevice);
    });
    poll.start(250);
    runningCommand = this;
    const int code = loop.exec();
    runningCommand = nullptr;
    poll.stop();
    if (interrupted || code == kInterrupted) {
        err << "tarnvik-upgrade: interrupted while waiting for a device; no device was touched\n";
        return kInterrupted;
    }
    if (code == kNoDevice)
        err << "tarnvik-upgrade: no HID device matched the selection within " << waitSeconds << " s\n";
    return code;
}

int Command::choose(QVector<DeviceId> &chosen)
{
    QHidUsbMgr lister;
    lister.EnumDevices();
    const QVector<DeviceId> ids = lister.Devices();
    QStringList present;
    QStringList matching;
    for (int i = 0; i < ids.size(); ++i) {
        present << deviceLine(i, ids.at(i));
        if (selection.any() && selection.matches(i, ids.at(i))) {
            chosen << ids.at(i);
            matching << deviceLine(i, ids.at(i));
        }
    }
    const auto listTo = [this](const QStringList &lines) {
        for (const QString &line : lines)
            err << "  " << line << "\n";
    };
    if (!selection.any()) {
        err << "tarnvik-upgrade: no device chosen: name it with --path, --serial, --device or --index"
            << (present.isEmpty() ? "; no HID device is present\n" : "; present:\n");
        listTo(present);
        return kNoDevice;
    }
    if (chosen.isEmpty()) {
        err << "tarnvik-upgrade: no HID device matches the selection"
            << (present.isEmpty() ? "; no HID device is present\n" : "; present:\n");
        listTo(present);
        return kNoDevice;
    }
    if (chosen.size() > 1 && !all) {
        err << "tarnvik-upgrade: " << chosen.size()
            << " devices match; narrow the selection (--path, --serial, --index) or add --all:\n";
        listTo(matching);
        return kNoDevice;
    }
    return kCompleted;
}

int Command::readImage()
{
    imagePath = parser.isSet("image") ? parser.value("image") : UpgradeImage::FirstImagePath();
    if (imagePath.isEmpty()) {
        err << "tarnvik-upgrade: no image: ./update holds no file (or name one with --image)\n";
        return kNoImage;
    }
    QString why;
    if (!UpgradeImage::ReadImage(imagePath, image, &why)) {
        err << "tarnvik-upgrade: cannot read the image " << imagePath << ": " << why << "\n";
        return kNoImage;
    }
    // A truncated build output must not be "flashed" without a word. (The
    // window sends an empty image as it is.)
    if (image.isEmpty() && !parser.isSet("allow-empty")) {
        err << "tarnvik-upgrade: the image is empty: " << imagePath << " (--allow-empty sends it all the same)\n";
        return kNoImage;
    }
    imageCrc = QHidUsbMgr::CalcCrc32(0xFFFFFFFFu, reinterpret_cast<const unsigned char *>(image.constData()),
                                     uint32_t(image.size()));
    return kCompleted;
}

int Command::open(const QVector<DeviceId> &chosen)
{
    int opened = 0;
    for (const DeviceId &id : chosen) {
        auto board = std::make_unique<Board>();
        board->id = id;
        board->manager = std::make_unique<QHidUsbMgr>();
        // With several boards, each diagnostic line says whose it is.
        board->manager->SetLogName(id.serial.isEmpty() ? "path " + QString::fromLocal8Bit(id.path)
                                                       : "serial " + id.serial);
        // The chosen record, found again by its path in the manager's own list.
        board->manager->EnumDevices();
        const QVector<DeviceId> ids = board->manager->Devices();
        int index = -1;
        for (int i = 0; i < ids.size() && index < 0; ++i) {
            if (ids.at(i).path == id.path)
                index = i;
        }
        if (index < 0 || !board->manager->OpenUsb(index)) {
            board->finished = true;
            board->openFailed = true;
            board->outcome = QStringLiteral("USB open fail");
            err << "tarnvik-upgrade: USB open fail " << boardName(id) << "\n";
            record(*board, "failed", board->outcome);
            boards.push_back(std::move(board));
            continue;
        }
        ++opened;
        board->engine = std::make_unique<UpgradeEngine>(board->manager.get());
        board->engine->SetStrict(true, int(ackTimeoutS * 1000 + 0.5));
        board->engine->LoadImage(image);
        Board *b = board.get();
        connect(b->manager.get(), SIGNAL(RecvBufSignal(QByteArray)), b->engine.get(), SLOT(ScanReply(QByteArray)));
        connect(b->engine.get(), &UpgradeEngine::Progress, this, [this, b]() { report(*b); });
        connect(b->engine.get(), &UpgradeEngine::Completed, this, [this, b](uint32_t crc) {
            finish(*b, true,
                   attemptsNote(*b, QString("%1 bytes in %2 s, CRC-32 %3")
                                        .arg(image.size())
                                        .arg(b->clock.elapsed() / 1000.0, 0, 'f', 1)
                                        .arg(crc, 8, 16, QChar('0'))));
        });
        connect(b->engine.get(), &UpgradeEngine::Failed, this,
                [this, b](const QString &reason) { failed(*b, reason); });
        connect(b->manager.get(), &QHidUsbMgr::ReadFailedSignal, this, [b]() { b->gone = true; });
        boards.push_back(std::move(board));
    }
    return opened;
}

int Command::runTransfers(int opened)
{
    if (!quiet)
        err << "tarnvik-upgrade: " << imagePath << ", " << image.size() << " bytes, "
            << UpgradeEngine::PacketCountFor(image.size()) << " packets at " << intervalMs << " ms, to " << opened
            << (opened == 1 ? " device\n" : " devices\n");
    err.flush();
    QTimer bar;
    if (terminal && !quiet) {
        connect(&bar, &QTimer::timeout, this, [this]() { drawBar(false); });
        bar.start(200);
    }
    // Every board starts in the same turn of the event loop, once the loop
    // runs: the first turn of a program's event loop may take its time (under
    // Wine it brings up the window system, seconds in the test guest), and a
    // board must not wait that long between the size frame and packet 1.
    QTimer::singleShot(0, this, [this]() {
        for (auto &b : boards) {
            if (b->finished)
                continue;
            b->clock.start();
            b->attempts = 1;
            startEvent(*b);
            b->engine->Start(intervalMs);
        }
    });
    const int code = loop.exec();
    bar.stop();
    if (barDrawn)
        drawBar(true);
    return code;
}

int Command::reportResults()
{
    bool anyTransferFailed = false;
    bool anyOpenFailed = false;
    for (auto &b : boards) {
        result(*b, b->completed ? "OK" : "FAILED", b->outcome);
        anyTransferFailed = anyTransferFailed || (!b->completed && !b->openFailed);
        anyOpenFailed = anyOpenFailed || b->openFailed;
    }
    out.flush();
    if (anyTransferFailed)
        return kTransferFailed;
    return anyOpenFailed ? kOpenFailed : kCompleted;
}

int Command::station()
{
    const int imageCode = readImage();
    if (imageCode != kCompleted)
        return imageCode;
    if (!quiet) {
        err << "tarnvik-upgrade: station: " << imagePath << ", " << image.size() << " bytes, "
            << UpgradeEngine::PacketCountFor(image.size()) << " packets at " << intervalMs
            << " ms; every matching board that is plugged in is upgraded once (Ctrl-C ends)\n";
        err.flush();
    }
    runningCommand = this;
    started.start();
    // New boards are looked for four times a second: a console program has
    // no window to be told of device changes, and enumerating is the same
    // on every system (docs/command-line.md).
    QHidUsbMgr lister;
    QHash<QByteArray, DeviceId> known; // boards present since they were last seen plugged in, by path
    QTimer scan;
    connect(&scan, &QTimer::timeout, this, [&]() { stationScan(lister, known); });
    scan.start(250);
    QTimer::singleShot(0, this, [&]() { stationScan(lister, known); });
    QTimer bar;
    if (terminal && !quiet) {
        connect(&bar, &QTimer::timeout, this, [this]() { drawBar(false); });
        bar.start(200);
    }
    loop.exec();
    scan.stop();
    bar.stop();
    runningCommand = nullptr;
    if (barDrawn) {
        err << "\r\x1b[K"; // the status line (and the terminal's ^C) goes
        err.flush();
        barDrawn = false;
    }
    // Interrupted: what ran was stopped and closed by interrupt().
    int stopped = 0;
    for (auto &b : boards) {
        if (b->finished)
            continue;
        const QString why = QString("interrupted after %1 of %2 bytes").arg(b->bytesSent).arg(image.size());
        b->finished = true;
        b->outcome = why;
        ++stopped;
        record(*b, "interrupted", why);
        result(*b, "INTERRUPTED", why);
    }
    out.flush();
    int ok = 0;
    for (auto &b : boards)
        ok += b->completed;
    err << "tarnvik-upgrade: station ended: " << boards.size() << (boards.size() == 1 ? " board" : " boards")
        << ", " << ok << " upgraded, " << (int(boards.size()) - ok - stopped) << " failed, " << stopped
        << " interrupted\n";
    err.flush();
    return kInterrupted;
}

void Command::stationScan(QHidUsbMgr &lister, QHash<QByteArray, DeviceId> &known)
{
    if (interrupted)
        return;
    lister.EnumDevices();
    const QVector<DeviceId> ids = lister.Devices();
    QSet<QByteArray> present;
    QVector<DeviceId> fresh;
    for (int i = 0; i < ids.size(); ++i) {
        if (!selection.matches(i, ids.at(i)) || present.contains(ids.at(i).path))
            continue;
        present.insert(ids.at(i).path);
        if (!known.contains(ids.at(i).path))
            fresh << ids.at(i);
    }
    // A board that went and comes back is a new board.
    QList<QByteArray> gone;
    for (auto it = known.cbegin(); it != known.cend(); ++it) {
        if (!present.contains(it.key()))
            gone << it.key();
    }
    for (const QByteArray &path : qAsConst(gone)) {
        Board probe;
        probe.id = known.take(path);
        QJsonObject e = boardFields(probe);
        e.insert("event", "board-gone");
        jsonEvent(e);
    }
    for (const DeviceId &id : qAsConst(fresh)) {
        known.insert(id.path, id);
        Board probe;
        probe.id = id;
        QJsonObject e = boardFields(probe);
        e.insert("event", "board-present");
        jsonEvent(e);
        const size_t before = boards.size();
        if (open({id}) == 0) {
            stationLine(resultLine("FAILED", id, boards.back()->outcome));
            continue;
        }
        Board *b = boards.at(before).get();
        b->clock.start();
        b->attempts = 1;
        stationLine(resultLine("START", id, QString("%1 bytes").arg(image.size())));
        startEvent(*b);
        b->engine->Start(intervalMs);
    }
}

void Command::stationLine(const QString &line)
{
    // The status line on stderr is taken away for a moment, so that the
    // board's line on stdout stands on a line of its own.
    if (barDrawn) {
        err << "\r\x1b[K";
        err.flush();
    }
    if (!json) {
        out << line;
        out.flush();
    }
    if (barDrawn)
        drawBar(false);
}

void Command::failed(Board &board, const QString &reason)
{
    // A failed transfer begins again with E1 on the same connection, up to
    // --retries more times; a board that is gone is not retried. A moment
    // first, so that a board that went shows it (its reader fails).
    if (board.finished || board.attempts > retries || board.gone) {
        finish(board, false, attemptsNote(board, reason));
        return;
    }
    if (!quiet && !terminal) {
        err << boardName(board.id) << ": attempt " << board.attempts << " failed: " << reason << "; again\n";
        err.flush();
    }
    board.reportedTenth = -1;
    board.bytesSent = 0;
    Board *b = &board;
    QTimer::singleShot(300, this, [this, b, reason]() {
        if (b->finished || interrupted)
            return;
        if (b->gone || !b->manager->IsOpen()) {
            finish(*b, false, attemptsNote(*b, reason));
            return;
        }
        ++b->attempts;
        startEvent(*b);
        b->engine->Start(intervalMs);
    });
}

QJsonObject Command::boardFields(const Board &board) const
{
    return QJsonObject{
        {"serial", board.id.serial},
        {"path", QString::fromLocal8Bit(board.id.path)},
        {"vid_pid", QString("%1:%2").arg(hex4(board.id.vendorId), hex4(board.id.productId))},
    };
}

void Command::jsonEvent(QJsonObject e)
{
    if (!json)
        return;
    e.insert("time", UtcNow());
    out << QString::fromUtf8(JsonLine(e));
    out.flush();
}

void Command::startEvent(Board &board)
{
    board.eventTenth = -1;
    board.eventClock.invalidate();
    QJsonObject e = boardFields(board);
    e.insert("event", "start");
    e.insert("image", QFileInfo(imagePath).fileName());
    e.insert("bytes", image.size());
    e.insert("crc32", QString("%1").arg(imageCrc, 8, 16, QChar('0')));
    e.insert("interval_ms", intervalMs);
    e.insert("attempt", board.attempts);
    jsonEvent(e);
}

void Command::record(Board &board, const char *outcome, const QString &reason)
{
    if (board.recorded)
        return;
    board.recorded = true;
    const double seconds = board.clock.isValid() ? board.clock.elapsed() / 1000.0 : 0.0;
    const QString crc = QString("%1").arg(imageCrc, 8, 16, QChar('0'));
    QJsonObject e = boardFields(board);
    e.insert("event", "end");
    e.insert("outcome", QLatin1String(outcome));
    e.insert("reason", reason);
    e.insert("bytes", board.completed ? image.size() : board.bytesSent);
    e.insert("seconds", qRound(seconds * 1000) / 1000.0);
    e.insert("crc32", crc);
    e.insert("attempts", board.attempts);
    jsonEvent(e);
    if (!log.IsOpen())
        return;
    QJsonObject line = boardFields(board);
    line.insert("time", UtcNow());
    line.insert("image", QFileInfo(imagePath).fileName());
    line.insert("size", image.size());
    line.insert("crc32", crc);
    line.insert("interval_ms", intervalMs);
    line.insert("outcome", QLatin1String(outcome));
    line.insert("reason", reason);
    line.insert("seconds", qRound(seconds * 1000) / 1000.0);
    line.insert("attempts", board.attempts);
    QString why;
    if (!log.Append(line, &why)) {
        err << "tarnvik-upgrade: cannot write the log: " << why << "\n";
        err.flush();
    }
}

void Command::result(const Board &board, const char *word, const QString &details)
{
    if (!json)
        out << resultLine(word, board.id, details);
}

QString Command::attemptsNote(const Board &board, const QString &text) const
{
    return board.attempts > 1 ? QString("%1 (attempt %2)").arg(text).arg(board.attempts) : text;
}

void Command::finish(Board &board, bool completed, const QString &outcome)
{
    if (board.finished)
        return;
    board.finished = true;
    board.completed = completed;
    board.outcome = outcome;
    if (completed)
        board.bytesSent = image.size();
    // On the disk before the board counts as done.
    record(board, completed ? "ok" : "failed", completed ? QString() : outcome);
    // The transfer has ended: its device is closed at once, before the others
    // are done.
    board.engine->Stop();
    if (board.manager->IsOpen())
        board.manager->CloseUsb();
    if (!quiet && !terminal) {
        err << boardName(board.id) << ": " << (completed ? "completed" : "failed: ") << (completed ? "" : outcome) << "\n";
        err.flush();
    }
    if (stationMode) {
        stationLine(resultLine(completed ? "OK" : "FAILED", board.id, outcome));
        return;
    }
    for (auto &b : boards) {
        if (!b->finished)
            return;
    }
    loop.exit(0);
}

void Command::report(Board &board)
{
    board.bytesSent = board.engine->BytesSent();
    if (json) {
        // At most one event per tenth of the image and per second.
        const int tenth = image.isEmpty() ? 10 : int(board.bytesSent * 10 / image.size());
        if (tenth != board.eventTenth && (!board.eventClock.isValid() || board.eventClock.elapsed() >= 1000)) {
            board.eventTenth = tenth;
            board.eventClock.start();
            QJsonObject e = boardFields(board);
            e.insert("event", "progress");
            e.insert("bytes_sent", board.bytesSent);
            e.insert("bytes", image.size());
            e.insert("percent", tenth * 10);
            jsonEvent(e);
        }
    }
    if (quiet || terminal)
        return;
    const int tenth = image.isEmpty() ? 10 : int(board.bytesSent * 10 / image.size());
    if (tenth == board.reportedTenth)
        return;
    board.reportedTenth = tenth;
    err << boardName(board.id) << ": " << tenth * 10 << " % (" << board.bytesSent << " of " << image.size()
        << " bytes)\n";
    err.flush();
}

void Command::drawBar(bool last)
{
    qint64 sent = 0;
    int done = 0;
    int active = 0;
    for (auto &b : boards) {
        if (b->openFailed)
            continue;
        ++active;
        sent += b->completed ? image.size() : b->bytesSent;
        done += b->finished;
    }
    const qint64 total = qint64(image.size()) * active;
    const double fraction = total > 0 ? double(sent) / double(total) : 1.0;
    const double seconds = started.elapsed() / 1000.0;
    const double bytesPerSecond = seconds > 0 ? sent / seconds : 0;
    const double left = bytesPerSecond > 0 ? (total - sent) / bytesPerSecond : -1;

    // The line must fit the terminal (asked anew at every redraw, so that a
    // resized terminal is followed), or every redraw would wrap onto a new
    // line: the bar narrows first, then the least needed figures go.
    const int known = columns ? columns() : 0;
    const int width = (known > 0 ? known : 80) - 1; // the last column would wrap
    if (stationMode) {
        // The batch so far, and each running board's share: as many as fit.
        int ok = 0, failedBoards = 0;
        QStringList running;
        for (auto &b : boards) {
            if (!b->finished)
                running << QString("%1 %2 %").arg(b->id.serial.isEmpty() ? QString::fromLocal8Bit(b->id.path)
                                                                         : b->id.serial)
                               .arg(image.isEmpty() ? 0 : int(b->bytesSent * 100 / image.size()));
            else if (b->completed)
                ++ok;
            else
                ++failedBoards;
        }
        QString line = QString("station: %1 done, %2 failed, %3 running").arg(ok).arg(failedBoards).arg(running.size());
        for (int i = 0; i < running.size(); ++i) {
            const QString more = (i == 0 ? ": " : ", ") + running.at(i);
            if (line.size() + more.size() > width) {
                line += " ...";
                break;
            }
            line += more;
        }
        line.truncate(qMax(0, width));
        writeStatus(line, last);
        return;
    }
    QStringList figures{QString("%1/%2 bytes").arg(sent).arg(total), rate(bytesPerSecond),
                        duration(left) + " left"};
    if (active > 1)
        figures << QString("%1/%2 boards done").arg(done).arg(active);
    const QString percent = QString("%1 %").arg(int(fraction * 100), 3);
    const auto compose = [&](int barWidth) {
        QString line;
        if (barWidth > 0) {
            const int filled = int(fraction * barWidth);
            line = QString("[%1%2] ").arg(QString(filled, QChar('#')), QString(barWidth - filled, QChar('.')));
        }
        line += percent;
        for (const QString &f : qAsConst(figures))
            line += "  " + f;
        return line;
    };
    QString line = compose(kBarWidth);
    if (line.size() > width) {
        const int barWidth = kBarWidth - (line.size() - width);
        if (barWidth >= 10) {
            line = compose(barWidth);
        } else {
            // The bytes go first, then the rate, then the time left; the
            // boards done stay.
            int droppable = figures.size() - (active > 1 ? 1 : 0);
            while (droppable > 0 && compose(10).size() > width) {
                figures.removeFirst();
                --droppable;
            }
            line = compose(10);
            if (line.size() > width)
                line = compose(0);
            line.truncate(qMax(0, width));
        }
    }
    writeStatus(line, last);
}

void Command::writeStatus(const QString &line, bool last)
{
    // Over the line drawn before, whatever was left of it cleared.
    err << "\r" << line << "\x1b[K";
    if (last)
        err << "\n";
    err.flush();
    barDrawn = true;
}

} // namespace

QString UsageText()
{
    return QStringLiteral(
        "Usage: tarnvik-upgrade list [--json]\n"
        "       tarnvik-upgrade upgrade SELECTION [--all] [--wait [S]] [--image FILE]\n"
        "                               [--allow-empty] [--interval MS] [--ack-timeout S]\n"
        "                               [--retries N] [--json] [--log FILE] [-q] [-v]\n"
        "       tarnvik-upgrade station SELECTION [--image FILE] [--allow-empty]\n"
        "                               [--interval MS] [--ack-timeout S] [--retries N]\n"
        "                               [--json] [--log FILE] [-q] [-v]\n"
        "       tarnvik-upgrade -h | --help | -V | --version\n"
        "\n"
        "Upgrades the firmware of USB HID devices as the Tarnvik Upgrade Tool's window\n"
        "does: E1 and E2, acknowledged data packets of 60 bytes at least one interval\n"
        "apart, then E4 with the image's CRC-32.\n"
        "\n"
        "list              one line per HID device, in enumeration order, fields\n"
        "                  separated by tabs: index, label, VID:PID, serial number\n"
        "                  (- when none), path\n"
        "  --json          the same as a JSON array of objects: index, label,\n"
        "                  vendor_id, product_id (numbers), serial, manufacturer,\n"
        "                  product, path\n"
        "\n"
        "upgrade           sends the image to the chosen device. SELECTION is one or\n"
        "                  more of the following; a device must match all given:\n"
        "  --path P        the device's path, as list shows it\n"
        "  -s, --serial S  its serial number\n"
        "  -d, --device V:P its USB vendor and product id in hex, e.g. 1a2b:00ff\n"
        "  --index N       its position in list's output\n"
        "  --all           upgrade every device the selection matches, at once\n"
        "                  (without it, a selection that matches several is an error)\n"
        "  --wait [S]      wait until a device matches (at least one with --all), at\n"
        "                  most S seconds (for ever without S), then go on\n"
        "  --image FILE    the image (default: the first file of ./update, as the\n"
        "                  window takes it)\n"
        "  --allow-empty   send an empty image (refused otherwise)\n"
        "  --interval MS   the packet interval (default: load/sleep of ./config.ini,\n"
        "                  1000 without it)\n"
        "  --ack-timeout S end the transfer when a packet is not acknowledged within\n"
        "                  S seconds (default 5)\n"
        "  --retries N     begin a failed transfer again with E1, up to N more times\n"
        "                  (not for a board that was unplugged)\n"
        "  --json          JSON Lines on stdout instead of the result lines: one\n"
        "                  object per event (start, progress, end; board-present\n"
        "                  and board-gone in station mode)\n"
        "  --log FILE      append one JSON line per ended transfer to FILE, on disk\n"
        "                  before the next board counts as done\n"
        "  -q, --quiet     no progress on stderr\n"
        "  -v, --verbose   the diagnostic lines (every report written and read)\n"
        "\n"
        "station           a production bench: upgrades every board that matches the\n"
        "                  selection once, as it is plugged in (several at a time;\n"
        "                  one unplugged and plugged in again is a new board), with\n"
        "                  a START line and a result line for each, until Ctrl-C\n"
        "\n"
        "Results go to stdout, one line per device: OK, FAILED or INTERRUPTED, the\n"
        "device (label, serial, path), a tab, the details; progress and errors go to\n"
        "stderr: a bar on a terminal, otherwise a line per 10 %.\n"
        "\n"
        "Exit status:\n"
        "  0    the upgrade completed (on every device with --all)\n"
        "  1    bad arguments\n"
        "  2    no device matches (within the --wait), no selection given, or several\n"
        "       devices match without --all (they are listed)\n"
        "  3    the device could not be opened (USB open fail)\n"
        "  4    the transfer failed: a write failed, no acknowledgement within the\n"
        "       time-out, or the device was unplugged (with --all: on any device)\n"
        "  5    no image, an empty one, or the image cannot be read\n"
        "  130  interrupted (Ctrl-C, SIGTERM, Ctrl-Break): the transfer was stopped\n"
        "       and the device closed\n");
}

int Run(const QStringList &arguments, QTextStream &out, QTextStream &err, bool errIsTerminal, ColumnsFn columns)
{
    Command command(out, err, errIsTerminal, columns);
    const int code = command.run(arguments);
    out.flush();
    err.flush();
    return code;
}

void Interrupt()
{
    if (runningCommand)
        runningCommand->interrupt();
}

} // namespace UpgradeCli
