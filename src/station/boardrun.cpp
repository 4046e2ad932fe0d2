#include "boardrun.h"

#include "selection.h"
#include "upgradeengine.h"

namespace {

// A failed attempt begins again after this: a board that went shows it by
// then (its reader fails), and is not tried again.
constexpr int kRetryPauseMs = 300;

} // namespace

BoardRun::BoardRun(const DeviceId &board, const RunSettings &runSettings, QObject *parent)
    : QObject(parent)
    , id(board)
    , settings(runSettings)
{
    returnTimer.setSingleShot(true);
    connect(&returnTimer, &QTimer::timeout, this, [this]() { ReturnSettled(); });
}

BoardRun::~BoardRun()
{
    if (engine)
        engine->Stop();
    if (manager && manager->IsOpen())
        manager->CloseUsb();
    engine.reset();
}

void BoardRun::Open()
{
    // With several boards, each diagnostic line says whose it is.
    manager = std::make_unique<QHidUsbMgr>(id.serial.isEmpty() ? "path " + QString::fromLocal8Bit(id.path)
                                                               : "serial " + id.serial);
    connect(manager.get(), &QHidUsbMgr::OpenDoneSignal, this, &BoardRun::Opened);
    manager->OpenDeviceAsync(id);
}

void BoardRun::Opened(bool opened)
{
    if (Ended())
        return; // interrupted while it opened
    if (!opened) {
        openFailed = true;
        End(Outcome::Failed, QStringLiteral("USB open fail"));
        return;
    }
    engine = std::make_unique<UpgradeEngine>(manager.get());
    engine->SetStrict(true, settings.ackTimeoutMs);
    engine->LoadImage(settings.image);
    connect(engine.get(), &UpgradeEngine::Progress, this, [this]() {
        bytesSent = engine->BytesSent();
        emit Progress(bytesSent);
    });
    connect(engine.get(), &UpgradeEngine::Completed, this, [this]() { TransferCompleted(); });
    connect(engine.get(), &UpgradeEngine::Failed, this, [this](const QString &why) { TransferFailed(why); });
    // From the reader's thread, queued: the board is gone (unplugged, or
    // restarting once it has taken E4).
    connect(manager.get(), &QHidUsbMgr::ReadFailedSignal, this, [this]() {
        gone = true;
        if (engine->ChecksumSent() && goneMs < 0) {
            goneMs = checksumWritten ? sinceChecksum.elapsed() : 0;
            readerGoneAt = std::chrono::steady_clock::now();
        }
    });
    if (startWanted)
        FirstAttempt();
}

void BoardRun::Start()
{
    startWanted = true;
    if (engine && attempts == 0)
        FirstAttempt();
}

void BoardRun::FirstAttempt()
{
    clock.start();
    attempts = 1;
    emit AttemptStarted(attempts);
    engine->Start(settings.intervalMs);
}

double BoardRun::Seconds() const
{
    if (transferMs >= 0)
        return transferMs / 1000.0;
    return clock.isValid() ? clock.elapsed() / 1000.0 : 0.0;
}

void BoardRun::TransferFailed(const QString &why)
{
    if (Ended())
        return;
    if (attempts > settings.retries || gone) {
        End(Outcome::Failed, why);
        return;
    }
    emit AttemptFailed(attempts, why);
    bytesSent = 0;
    QTimer::singleShot(kRetryPauseMs, this, [this, why]() {
        if (Ended())
            return;
        if (gone || !manager->IsOpen()) {
            End(Outcome::Failed, why);
            return;
        }
        ++attempts;
        emit AttemptStarted(attempts);
        engine->Start(settings.intervalMs);
    });
}

void BoardRun::TransferCompleted()
{
    if (Ended())
        return;
    checksumWritten = true;
    transferMs = clock.elapsed();
    bytesSent = settings.image.size();
    sinceChecksum.start();
    // Closed at once, before the other boards are done, and so that the
    // board can start its new image.
    engine->Stop();
    manager->CloseUsb();
    emit ChecksumDone();
    if (settings.returnWaitMs > 0)
        returnTimer.start(settings.returnWaitMs);
    else
        End(Outcome::Ok);
}

void BoardRun::ReturnSettled()
{
    if (Ended())
        return;
    returnTimer.stop();
    const int expected = settings.expectedRelease;
    if (expected >= 0 && !Back()) {
        returnFailed = true;
        End(Outcome::Failed, QString("transfer completed, but the board did not come back within %1 s")
                                 .arg(settings.returnWaitMs / 1000.0));
    } else if (expected >= 0 && backRelease != expected) {
        returnFailed = true;
        End(Outcome::Failed,
            QString("transfer completed, but the board came back with release %1, not %2")
                .arg(ReleaseText(backRelease), ReleaseText(expected)));
    } else {
        End(Outcome::Ok);
    }
}

void BoardRun::End(Outcome result, const QString &why)
{
    if (Ended())
        return;
    outcome = result;
    reason = why;
    if (transferMs < 0 && clock.isValid())
        transferMs = clock.elapsed();
    returnTimer.stop();
    if (engine)
        engine->Stop();
    if (manager && manager->IsOpen())
        manager->CloseUsb();
    emit Finished();
}

void BoardRun::Interrupt()
{
    if (Ended())
        return;
    if (checksumWritten) {
        End(Outcome::Interrupted, QStringLiteral("interrupted while waiting for the board to come back"
                                                 " (its transfer completed)"));
        return;
    }
    const qint64 size = settings.image.size();
    QString why = QString("interrupted after %1 of %2 bytes").arg(bytesSent).arg(size);
    if (bytesSent == size && attempts > 0)
        why += QStringLiteral("; only the checksum frame was missing");
    End(Outcome::Interrupted, why);
}

bool BoardRun::SameBoard(const DeviceId &seen) const
{
    if (seen.vendorId != id.vendorId || seen.productId != id.productId)
        return false;
    return id.serial.isEmpty() ? seen.path == id.path : seen.serial == id.serial;
}

void BoardRun::SeeList(const QVector<DeviceId> &devices, std::chrono::steady_clock::time_point listedFrom)
{
    if (!engine || !engine->ChecksumSent() || returnOver)
        return;
    const DeviceId *found = nullptr;
    for (const DeviceId &d : devices) {
        if (SameBoard(d)) {
            found = &d;
            break;
        }
    }
    const bool serialLess = id.serial.isEmpty();
    if (!found) {
        if (goneMs < 0 || presentAgain) {
            goneMs = checksumWritten ? sinceChecksum.elapsed() : 0;
            presentAgain = false;
        }
        listedGone = true;
        // A board without a serial number that goes again after its return,
        // or goes later than a restart does, is no longer taken for this one.
        if (serialLess && (backMs >= 0 || goneMs > kRestartGoneMs))
            returnOver = true;
        return;
    }
    // Back only once E4 is written; still there since its return: nothing new.
    if (!checksumWritten || presentAgain)
        return;
    // A board on its way out may still be listed a moment with a release
    // that can no longer be read (0): that is not a return.
    const bool releaseUnread = found->release == 0 && id.release != 0;
    const bool reenumerated = found->path != id.path || (found->release != id.release && !releaseUnread);
    if (goneMs < 0 && !reenumerated)
        return; // it never went
    // Seen gone by its reader alone: a listing begun before then shows the
    // board as it was before it went (a listing takes its time), not back.
    if (!reenumerated && !listedGone && listedFrom <= readerGoneAt)
        return;
    if (serialLess && sinceChecksum.elapsed() > (settings.returnWaitMs > 0 ? settings.returnWaitMs : kSameBoardMs)) {
        returnOver = true;
        return;
    }
    presentAgain = true;
    backMs = sinceChecksum.elapsed();
    backRelease = found->release;
    emit BoardBack(*found, BackSeconds());
    if (returnTimer.isActive())
        ReturnSettled();
}

bool BoardRun::Claims(const DeviceId &seen) const
{
    if (openFailed || !SameBoard(seen))
        return false;
    if (outcome == Outcome::Running)
        return true; // its transfer runs, or it is awaited
    if (outcome != Outcome::Ok)
        return false; // a board that failed is upgraded again when it comes
    return !id.serial.isEmpty() || (presentAgain && !returnOver);
}
