// `station`: the front end of a production bench (src/station): its lines,
// its events, its status line and its totals.
#include "boardlog.h"
#include "boardreport.h"
#include "command.h"
#include "devicelist.h"
#include "options.h"
#include "output.h"
#include "station.h"
#include "statusline.h"
#include "upgradecli.h"
#include "upgradeengine.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

namespace UpgradeCli {

int StationCommand(const Options &options, Output &output, BoardLog &log)
{
    QByteArray image;
    QString imagePath;
    if (const int code = ReadImage(options, output, image, imagePath); code != kCompleted)
        return code;
    // Nothing is guessed: a station without a selection would write its
    // frames to every HID device that appears (keyboards, mice, keys).
    if (!options.selection.Any()) {
        QHidUsbMgr lister(QStringLiteral("list"));
        lister.EnumDevices();
        const QVector<DeviceId> ids = lister.Devices();
        output.Error(QString("no boards chosen: name them with --path, --serial or --device%1")
                         .arg(ids.isEmpty() ? "; no HID device is present" : "; present:"));
        for (int i = 0; i < ids.size(); ++i)
            output.Err("  " + DeviceLine(i, ids.at(i)) + "\n");
        return kNoDevice;
    }
    StationSettings settings;
    settings.selection = options.selection;
    settings.run = MakeRunSettings(options, image);
    settings.count = options.count;
    settings.reflash = options.reflash;
    if (!options.quiet)
        output.Error(QString("station: %1, %2 bytes, %3 packets at %4 ms; %5 (%6)")
                         .arg(imagePath)
                         .arg(image.size())
                         .arg(UpgradeEngine::PacketCountFor(image.size()))
                         .arg(options.intervalMs)
                         .arg(options.reflash ? "every matching board is upgraded each time it is plugged in"
                                              : "every matching board that is plugged in is upgraded once")
                         .arg(options.count > 0 ? QString("ends after %1 boards; Ctrl-C ends sooner").arg(options.count)
                                                : QStringLiteral("Ctrl-C ends")));

    StatusLine status(output);
    BoardReport report(output, log, status,
                       {QFileInfo(imagePath).fileName(), image.size(), settings.run.crc, options.intervalMs}, true);
    DeviceList devices;
    Station station(settings, &devices);
    QEventLoop loop;
    bool interrupted = false;
    QObject::connect(&station, &Station::RunCreated, &station, [&](BoardRun *run) { report.Follow(run); });
    QObject::connect(&station, &Station::BoardPresent, &station, [&](const DeviceId &id, bool upgraded) {
        if (!upgraded && !options.quiet)
            output.Error(BoardName(id) + ": not upgraded: the batch is full");
        if (!output.json)
            return;
        QJsonObject e = BoardFields(id);
        e.insert("event", "board-present");
        output.Event(e);
    });
    QObject::connect(&station, &Station::BoardGone, &station, [&](const DeviceId &id) {
        if (!output.json)
            return;
        QJsonObject e = BoardFields(id);
        e.insert("event", "board-gone");
        output.Event(e);
    });
    QObject::connect(&station, &Station::Done, &loop, [&]() { loop.exit(kCompleted); });
    SetInterruptHandler([&]() {
        interrupted = true;
        station.Interrupt();
        loop.exit(kInterrupted);
    });
    QTimer bar;
    if (output.Terminal() && !options.quiet) {
        QObject::connect(&bar, &QTimer::timeout, &bar, [&]() { status.DrawStation(station.Runs(), image.size()); });
        bar.start(200);
    }
    station.Start();
    devices.Start();
    loop.exec();
    SetInterruptHandler(nullptr);
    devices.Stop();
    bar.stop();
    station.Interrupt(); // the batch is complete, or Ctrl-C: nothing more starts
    status.Clear();      // (and the terminal's ^C goes with it)

    const int ok = station.Count(BoardRun::Outcome::Ok);
    const int stopped = station.Count(BoardRun::Outcome::Interrupted);
    const int boards = int(station.Runs().size());
    output.Error(QString("station ended: %1 %2, %3 upgraded, %4 failed, %5 interrupted")
                     .arg(boards)
                     .arg(boards == 1 ? "board" : "boards")
                     .arg(ok)
                     .arg(boards - ok - stopped)
                     .arg(stopped));
    if (interrupted)
        return kInterrupted;
    bool transferFailed = false;
    bool returnFailed = false;
    for (const auto &run : station.Runs()) {
        if (run->Result() == BoardRun::Outcome::Ok)
            continue;
        returnFailed = returnFailed || run->ReturnFailed();
        transferFailed = transferFailed || !run->ReturnFailed();
    }
    return transferFailed ? kTransferFailed : returnFailed ? kReturnFailed : kCompleted;
}

} // namespace UpgradeCli
