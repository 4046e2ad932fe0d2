#ifndef BOARDRUN_H
#define BOARDRUN_H

#include "qhidusbmgr.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <chrono>
#include <cstdint>
#include <memory>

class UpgradeEngine;

// How every board of a command is upgraded.
struct RunSettings
{
    QByteArray image;
    uint32_t crc = 0; // of the whole image
    int intervalMs = 1000;
    int ackTimeoutMs = 5000;
    // A failed transfer begins again with E1, this many more times at most
    // (not on a board that is gone).
    int retries = 0;
    // The return check: after E4 the run waits up to this long for the
    // board to come back (0: the run ends with E4's write). With
    // expectedRelease (not -1), a board that does not come back, or comes
    // back with another release, fails the run.
    int returnWaitMs = 0;
    int expectedRelease = -1;
};

// One board's upgrade: its own connection (manager, reader and writer
// threads) and engine, a strict transfer with its retries, and whether the
// board comes back after E4, as a board that starts its new image does.
// Lives on the thread that drives it; several run side by side.
//
// Which board is "the same board": one with the same serial number and
// VID:PID; for a board without a serial number, one with the same path and
// VID:PID that went within kRestartGoneMs of E4 and is back within the
// return wait (kSameBoardMs without one). A board with a serial number that
// appears again at another path, or with another release, was re-enumerated:
// it restarted.
class BoardRun : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Running, Ok, Failed, Interrupted };

    BoardRun(const DeviceId &id, const RunSettings &settings, QObject *parent = nullptr);
    ~BoardRun() override;

    // Opens the board, on the manager's thread of device calls. When it
    // cannot be opened the run ends, failed ("USB open fail").
    void Open();
    // The first attempt: at once when the board is open, or once it is.
    void Start();
    // Ctrl-C: the transfer stops, the board is closed, the run ends as
    // interrupted (if it had not ended).
    void Interrupt();
    // The devices present, as listed after the run began, by a listing
    // begun no earlier than `listedFrom`: how the run learns that its board
    // went and came back.
    void SeeList(const QVector<DeviceId> &devices, std::chrono::steady_clock::time_point listedFrom);
    // Whether the board `seen`, appearing, is this run's board: its
    // transfer runs, or it ended ok and this is its return.
    bool Claims(const DeviceId &seen) const;

    const DeviceId &Id() const { return id; }
    Outcome Result() const { return outcome; }
    bool Ended() const { return outcome != Outcome::Running; }
    // Why it failed or was interrupted (empty when ok).
    QString Reason() const { return reason; }
    bool OpenFailed() const { return openFailed; }
    // The run failed on the return check, its transfer completed.
    bool ReturnFailed() const { return returnFailed; }
    int Attempts() const { return attempts; }
    qint64 BytesSent() const { return bytesSent; }
    // The transfer's time: from the first attempt's start to E4 written,
    // or to the end of the run.
    double Seconds() const;
    bool ChecksumWritten() const { return checksumWritten; }
    bool ReturnChecked() const { return settings.returnWaitMs > 0; }
    // The board came back since E4: after how long, with which release.
    bool Back() const { return backMs >= 0; }
    double BackSeconds() const { return backMs / 1000.0; }
    int BackRelease() const { return backRelease; }
    int ReturnWaitMs() const { return settings.returnWaitMs; }

    // A board without a serial number is taken for this one back only if
    // it went within this time of E4 (a restart; an operator takes longer
    // to see the result and pull the board)...
    static constexpr int kRestartGoneMs = 2500;
    // ...and is back within the return wait, or this without one.
    static constexpr int kSameBoardMs = 10000;

signals:
    void AttemptStarted(int attempt);
    void Progress(qint64 bytesSent);
    // The attempt failed; another begins shortly.
    void AttemptFailed(int attempt, const QString &reason);
    // E4 was written; with a return check the run now waits for the board.
    void ChecksumDone();
    // The board is back (`seen` as it is listed now), this long after E4.
    void BoardBack(const DeviceId &seen, double seconds);
    void Finished();

private:
    void TransferFailed(const QString &why);
    void TransferCompleted();
    void End(Outcome result, const QString &why = QString());
    void ReturnSettled();
    void Opened(bool opened);
    void FirstAttempt();
    bool SameBoard(const DeviceId &seen) const;

    DeviceId id;
    RunSettings settings;
    std::unique_ptr<QHidUsbMgr> manager;
    std::unique_ptr<UpgradeEngine> engine;
    Outcome outcome = Outcome::Running;
    QString reason;
    bool openFailed = false;
    bool startWanted = false;
    bool returnFailed = false;
    bool gone = false; // its reader failed
    int attempts = 0;
    qint64 bytesSent = 0;
    QElapsedTimer clock;
    qint64 transferMs = -1; // once the transfer is over
    bool checksumWritten = false;
    // The return: since E4 was handed over; gone since (noticed when);
    // back (when, with what); a board without a serial number, once gone
    // again after its return, is no longer taken for this one.
    QElapsedTimer sinceChecksum;
    qint64 goneMs = -1;
    // How it was seen gone: by a listing, or by its reader alone (when).
    bool listedGone = false;
    std::chrono::steady_clock::time_point readerGoneAt;
    qint64 backMs = -1;
    int backRelease = 0;
    bool presentAgain = false;
    bool returnOver = false;
    QTimer returnTimer;
};

#endif // BOARDRUN_H
