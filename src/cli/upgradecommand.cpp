// `list` and `upgrade`: the devices present, and the upgrade of the boards a
// selection names, at once, each with its own connection.
#include "boardlog.h"
#include "boardreport.h"
#include "command.h"
#include "devicelist.h"
#include "options.h"
#include "output.h"
#include "statusline.h"
#include "upgradecli.h"
#include "upgradeengine.h"
#include "upgradeimage.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>

#include <memory>
#include <vector>

namespace UpgradeCli {

int ReadImage(const Options &options, Output &output, QByteArray &image, QString &path)
{
    path = options.image.isEmpty() ? UpgradeImage::FirstImagePath() : options.image;
    if (path.isEmpty()) {
        output.Error("no image: ./update holds no file (or name one with --image)");
        return kNoImage;
    }
    QString why;
    if (!UpgradeImage::ReadImage(path, image, &why)) {
        output.Error(QString("cannot read the image %1: %2").arg(path, why));
        return kNoImage;
    }
    // A truncated build output must not be "flashed" without a word. (The
    // window sends an empty image as it is.)
    if (image.isEmpty() && !options.allowEmpty) {
        output.Error(QString("the image is empty: %1 (--allow-empty sends it all the same)").arg(path));
        return kNoImage;
    }
    return kCompleted;
}

RunSettings MakeRunSettings(const Options &options, const QByteArray &image)
{
    RunSettings s;
    s.image = image;
    s.crc = QHidUsbMgr::CalcCrc32(0xFFFFFFFFu, reinterpret_cast<const unsigned char *>(image.constData()),
                                  uint32_t(image.size()));
    s.intervalMs = options.intervalMs;
    s.ackTimeoutMs = int(options.ackTimeoutS * 1000 + 0.5);
    s.retries = options.retries;
    s.returnWaitMs = int(options.replugS * 1000 + 0.5);
    s.expectedRelease = options.expectRelease;
    return s;
}

int ListCommand(Output &output)
{
    QHidUsbMgr manager(QStringLiteral("list"));
    manager.EnumDevices();
    const QVector<DeviceId> ids = manager.Devices();
    if (!output.json) {
        for (int i = 0; i < ids.size(); ++i)
            output.Out(DeviceLine(i, ids.at(i)) + "\n");
        return kCompleted;
    }
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
            {"release", ReleaseText(id.release)},
        });
    }
    output.Out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
    return kCompleted;
}

namespace {

class Upgrade
{
public:
    Upgrade(const Options &o, Output &out, BoardLog &boardLog)
        : options(o)
        , output(out)
        , log(boardLog)
        , status(out)
    {
    }

    int Run();

private:
    int WaitForDevice();
    int Choose(QVector<DeviceId> &chosen);
    int Transfer(const QVector<DeviceId> &chosen);
    int Results();
    void Interrupt();

    const Options &options;
    Output &output;
    BoardLog &log;
    StatusLine status;
    QByteArray image;
    QString imagePath;
    std::vector<std::unique_ptr<BoardRun>> runs;
    QEventLoop loop;
    bool interrupted = false;
};

int Upgrade::Run()
{
    // The image first, then the devices: nothing is looked for, or waited
    // for, to send an image that cannot be sent.
    if (const int code = ReadImage(options, output, image, imagePath); code != kCompleted)
        return code;
    SetInterruptHandler([this]() { Interrupt(); });
    int code = options.wait && options.selection.Any() ? WaitForDevice() : kCompleted;
    QVector<DeviceId> chosen;
    if (code == kCompleted)
        code = Choose(chosen);
    if (code == kCompleted)
        code = Transfer(chosen);
    SetInterruptHandler(nullptr);
    return code;
}

void Upgrade::Interrupt()
{
    interrupted = true;
    for (auto &run : runs)
        run->Interrupt();
    loop.exit(kInterrupted);
}

int Upgrade::WaitForDevice()
{
    DeviceList devices;
    const auto present = [this](const QVector<DeviceId> &ids) {
        for (int i = 0; i < ids.size(); ++i) {
            if (options.selection.Matches(i, ids.at(i)))
                return true;
        }
        return false;
    };
    QHidUsbMgr lister(QStringLiteral("list"));
    lister.EnumDevices();
    if (present(lister.Devices()))
        return kCompleted;
    if (!options.quiet)
        output.Error("waiting for a device that matches the selection"
                     + (options.waitSeconds > 0 ? QString(" (at most %1 s)").arg(options.waitSeconds) : QString()));
    // Ctrl-C ends the wait with nothing touched.
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&devices, &DeviceList::Listed, &devices, [&](const QVector<DeviceId> &ids) {
        if (present(ids))
            loop.exit(kCompleted);
        else if (options.waitSeconds > 0 && waited.elapsed() >= options.waitSeconds * 1000)
            loop.exit(kNoDevice);
    });
    devices.Start();
    const int code = loop.exec();
    if (interrupted || code == kInterrupted) {
        output.Error("interrupted while waiting for a device; no device was touched");
        return kInterrupted;
    }
    if (code == kNoDevice)
        output.Error(QString("no HID device matched the selection within %1 s").arg(options.waitSeconds));
    return code;
}

int Upgrade::Choose(QVector<DeviceId> &chosen)
{
    QHidUsbMgr lister(QStringLiteral("list"));
    lister.EnumDevices();
    const QVector<DeviceId> ids = lister.Devices();
    QStringList present;
    QStringList matching;
    for (int i = 0; i < ids.size(); ++i) {
        present << DeviceLine(i, ids.at(i));
        if (options.selection.Any() && options.selection.Matches(i, ids.at(i))) {
            chosen << ids.at(i);
            matching << DeviceLine(i, ids.at(i));
        }
    }
    const auto listed = [](const QStringList &lines) {
        QString text;
        for (const QString &line : lines)
            text += "  " + line + "\n";
        return text;
    };
    const QString none = present.isEmpty() ? QStringLiteral("; no HID device is present") : QStringLiteral("; present:");
    if (!options.selection.Any()) {
        output.Error("no device chosen: name it with --path, --serial, --device or --index" + none);
        output.Err(listed(present));
        return kNoDevice;
    }
    if (chosen.isEmpty()) {
        output.Error("no HID device matches the selection" + none);
        output.Err(listed(present));
        return kNoDevice;
    }
    if (chosen.size() > 1 && !options.all) {
        output.Error(QString("%1 devices match; narrow the selection (--path, --serial, --index) or add --all:")
                         .arg(chosen.size()));
        output.Err(listed(matching));
        return kNoDevice;
    }
    return kCompleted;
}

int Upgrade::Transfer(const QVector<DeviceId> &chosen)
{
    const RunSettings settings = MakeRunSettings(options, image);
    BoardReport report(output, log, status, {QFileInfo(imagePath).fileName(), image.size(), settings.crc, options.intervalMs},
                       false);
    if (!options.quiet)
        output.Error(QString("%1, %2 bytes, %3 packets at %4 ms, to %5 %6")
                         .arg(imagePath)
                         .arg(image.size())
                         .arg(UpgradeEngine::PacketCountFor(image.size()))
                         .arg(options.intervalMs)
                         .arg(chosen.size())
                         .arg(chosen.size() == 1 ? "device" : "devices"));
    for (const DeviceId &id : chosen) {
        runs.push_back(std::make_unique<BoardRun>(id, settings));
        BoardRun *run = runs.back().get();
        report.Follow(run);
        QObject::connect(run, &BoardRun::Finished, &loop, [this]() {
            for (const auto &r : runs) {
                if (!r->Ended())
                    return;
            }
            loop.exit(kCompleted);
        });
    }
    // The return check watches the device list once the boards have begun.
    DeviceList devices;
    if (settings.returnWaitMs > 0) {
        QObject::connect(&devices, &DeviceList::Listed, &devices, [this, &devices](const QVector<DeviceId> &ids) {
            for (auto &run : runs)
                run->SeeList(ids, devices.ListedFrom());
        });
        devices.Start();
    }
    QElapsedTimer started;
    started.start();
    QTimer bar;
    if (output.Terminal() && !options.quiet) {
        QObject::connect(&bar, &QTimer::timeout, &bar,
                         [&]() { status.DrawUpgrade(runs, image.size(), started.elapsed() / 1000.0, false); });
        bar.start(200);
    }
    // The boards open on threads of their own (an open talks to the
    // device) and each starts once it is open, from the event loop: the
    // first turn of a program's event loop may take its time (under Wine it
    // brings up the window system, seconds in the test guest), and a board
    // must not wait that long between the size frame and packet 1.
    for (auto &run : runs) {
        run->Open();
        run->Start();
    }
    loop.exec();
    bar.stop();
    if (status.Drawn())
        status.DrawUpgrade(runs, image.size(), started.elapsed() / 1000.0, true);
    for (const auto &run : runs)
        report.Result(*run);
    if (interrupted) {
        output.Error("interrupted: the transfer was stopped and the device closed; no upgrade is claimed");
        return kInterrupted;
    }
    return Results();
}

int Upgrade::Results()
{
    bool transferFailed = false, returnFailed = false, openFailed = false;
    for (const auto &run : runs) {
        if (run->Result() == BoardRun::Outcome::Ok)
            continue;
        openFailed = openFailed || run->OpenFailed();
        returnFailed = returnFailed || run->ReturnFailed();
        transferFailed = transferFailed || (!run->OpenFailed() && !run->ReturnFailed());
    }
    return transferFailed ? kTransferFailed : returnFailed ? kReturnFailed : openFailed ? kOpenFailed : kCompleted;
}

} // namespace

int UpgradeCommand(const Options &options, Output &output, BoardLog &log)
{
    Upgrade upgrade(options, output, log);
    return upgrade.Run();
}

} // namespace UpgradeCli
