#ifndef UPGRADEENGINE_H
#define UPGRADEENGINE_H

#include "replypacer.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

#include <chrono>
#include <cstdint>
#include <memory>

class QHidUsbMgr;
class ReplyLines;
class QTimer;

// The over-the-air transfer of one image to the device that a manager has
// open: E1 and E2 at Start, then numbered data packets, each only after the
// device acknowledged the one before with the line "AT+OTA=E3:1" CR, and E4
// with the CRC-32 of the image after the last acknowledgement. The window and
// the command line drive it alike; it needs Qt Core only.
//
// Writes: every frame is handed to the manager's writer thread, and its
// result comes back later (SendDoneSignal); nothing here waits on the
// device. A packet (or E4) goes only once every frame before it has been
// written, so a board that holds a write for a while never finds the next
// packet queued behind it. The transfer completes when E4's write is done.
//
// Pacing: a packet (or E4) goes on a tick of the pacing timer when the
// acknowledgement of the one before is in by then. An acknowledgement that
// comes after a tick found none sends at once, instead of waiting for a tick
// more, and the ticks start again from that packet, so the next one is a
// whole interval after it. While packets go on ticks the ticks keep their
// phase: one tick's lateness is not carried into the next interval.
//
// It owns the transfer's state (the image, the packet count, the reply line
// being assembled, the permission to send) and the pacing timer, and lives on
// the thread of its manager's caller; received chunks are handed to
// ScanReply in the order they came.
//
// The next data packets go out faster than an acknowledgement can reach
// this thread: they are armed with the connection's reader (replypacer.h),
// a few ahead, and the reader sends each itself when it reads the
// acknowledgement of the one before late enough, an interval after that one
// went (as a tick that found none would have it sent at once). The engine
// counts such packets as its own the next time it runs, before anything
// else, and starts its ticks again from then; for the last of them only an
// acknowledgement read after its write began counts. Every packet it sends
// itself it sends after taking the armed ones back, so no packet goes
// twice.
//
// A transfer is tied to the connection it started on. When that connection
// is closed (the operator's disconnect, an unplug the platform noticed) the
// transfer ends at once as failed, and no frame of it is ever written to
// another connection, not even to the same board opened again. Once E4 is
// on its way, its write decides: a board starts its new image as soon as
// it has taken E4 and goes, and its going (a failed read, the close of the
// connection) may reach the engine before E4's write is reported. E4
// written completes the transfer whatever came since; E4 taken back before
// its write began (the close came first) fails it.
//
// Two ways of taking failures:
//  - patient (the window's): a failed write or a failed read does not end
//    the transfer; a data packet that did not go out is never acknowledged,
//    so it waits for the operator's Stop (or the close of its connection),
//    and an acknowledgement that comes anyway cannot turn it into a
//    completion: a transfer in which any frame failed ends with Failed,
//    never with Completed;
//  - strict (a script's): the first failed write, a read error or an
//    acknowledgement later than the time-out ends it at once with Failed.
class UpgradeEngine : public QObject
{
    Q_OBJECT

public:
    explicit UpgradeEngine(QHidUsbMgr *manager, QObject *parent = nullptr);
    ~UpgradeEngine() override;

    // Strict: end the transfer at the first failed write, lost connection
    // or read error; ackTimeoutMs > 0 also ends it when a data packet is not
    // acknowledged within that time (0: wait for ever).
    void SetStrict(bool strict, int ackTimeoutMs = 0);

    // The image of the next transfer; the packet count starts again at 0.
    // Refused (false, nothing changes) while a transfer runs: its packets
    // are numbered and cut from the image it started with.
    bool LoadImage(const QByteArray &image);
    const QByteArray &Image() const { return firmware; }

    // Starts a transfer of the loaded image on the manager's open device:
    // E1 and E2 are queued at once, the first data packet at the first tick.
    // False, with nothing sent, when no device is open or a transfer runs.
    bool Start(int intervalMs);
    // Ends the running transfer; nothing more is written (frames queued and
    // not yet begun are taken back; one being written ends as the backend
    // ends it).
    void Stop();
    bool IsRunning() const;
    // E4 was handed to the writer in this transfer (or the last one).
    bool ChecksumSent() const { return checksumFrame != 0; }

    // One tick of the pacing timer: at most one data packet, or E4 and the
    // end of the transfer. A tick that finds the acknowledgement still
    // missing leaves the next packet to that acknowledgement.
    void SendNextPacket();

    int PacketIndex() const { return packetIndex; }
    int PacketCount() const { return PacketCountFor(firmware.size()); }
    // The image bytes that the data packets sent so far carried.
    qint64 BytesSent() const;
    // The number of data packets an image of `size` bytes is sent in.
    static int PacketCountFor(qint64 size);
    bool ReadyForNext() const { return readyForNext; }

    // The pacing timer ("upgradeTimer") and the acknowledgement watch
    // ("ackTimer"), for those who drive the clock themselves.
    QTimer *Timer() const { return upgradeTimer; }
    QTimer *AckTimer() const { return ackTimer; }

public slots:
    // A chunk handed in as the open connection's, read now (whether or not
    // a transfer runs).
    void ScanReply(QByteArray chunk);
    // Every chunk the manager's reader reads, with the connection it was
    // read on and the index of the report whose write had begun last
    // (connected to the manager's ChunkSignal by the engine, queued). A
    // chunk of another connection than the running transfer's, or read
    // before the transfer's first packet was written, is none of its
    // business (a late reply of a transfer before); one of another
    // connection than the line being assembled starts the line afresh.
    void ScanChunk(quint64 connection, quint64 writesBegun, QByteArray chunk);
    // The manager's reader could not read on `connection` (the device is
    // gone); a report about another connection than the transfer's is old.
    // The engine connects its manager's ReadFailedSignal here itself.
    void ReadFailed(quint64 connection);
    // The manager closed `connection`; a transfer on it ends as failed.
    // (Connected to the manager's ClosedSignal by the engine.)
    void ConnectionClosed(quint64 connection);
    // The manager's writer reports a frame's write (connected by the engine;
    // tickets of other senders and of ended transfers are ignored).
    void WriteDone(quint64 ticket, bool written, const QString &error);

signals:
    // A data packet went out: `sent` packets of `total` so far.
    void Progress(int sent, int total);
    // E4 went out and every frame of the transfer was written.
    void Completed(uint32_t crc);
    // The transfer ended without completing (the reason in a few words).
    void Failed(const QString &reason);

private:
    // Queues one frame of the running transfer; false when it could not be
    // handed to the writer (the transfer's connection is closed).
    bool Send(const QByteArray &frame, quint64 *ticket = nullptr);
    void TakeBackWrites();
    void WriteFailed(const QString &reason);
    void Finish(bool completed, const QString &reason, uint32_t crc = 0);
    void AckTimedOut();
    // `stamp`: the index of the report whose write had begun when the
    // chunk was read (unknown: the largest).
    void Scan(const QByteArray &chunk, quint64 stamp);
    // Counts the packets the reader sent, if it did (true).
    bool TakeReaderPacket();
    bool CountReaderPackets(const QVector<ReplyPacer::Sent> &sent);
    void CountPacket(quint64 ticket);
    // Arms the packets after the one just counted, which has `index` among
    // its connection's reports and went at `sentAt`.
    void ArmNext(quint64 index, std::chrono::steady_clock::time_point sentAt);
    QByteArray PacketFrame(int number) const;
    // The next frame, sent when its acknowledgement or its predecessor's
    // write report comes after a tick found it missing.
    void SendLate();

    QHidUsbMgr *usbMgr;
    QByteArray firmware;
    int packetIndex = 0;
    std::unique_ptr<ReplyLines> lines; // the reply line being assembled
    quint64 lineConnection = 0;        // whose bytes it holds
    // The transfer's connection's reader, which sends the armed packet.
    std::shared_ptr<ReplyPacer> pacer;
    int intervalMs = 1;
    // Packets the reader may send ahead of this thread, and the last one it
    // has been given.
    static constexpr int kAhead = 4;
    int offeredUpTo = 0;
    // An acknowledgement counts only when read after this report's write
    // began (the packet the reader sent; 0 for the others).
    quint64 acksFrom = 0;
    bool readyForNext = false;
    // A tick came since the last packet went and found no acknowledgement:
    // the interval has passed, the acknowledgement sends the next one.
    bool intervalPassed = false;
    QTimer *upgradeTimer;
    QTimer *ackTimer;
    bool strict = false;
    int ackTimeoutMs = 0;
    bool running = false;
    // The connection the transfer runs on, and what failed in it so far.
    quint64 connection = 0;
    QString firstFailure;
    // The transfer's frames queued and not yet reported written, in order;
    // the data packet whose write starts the acknowledgement watch; E4's
    // frame once queued, and the image's CRC-32 it carries.
    QVector<quint64> pendingWrites;
    quint64 watchedPacket = 0;
    // Packet 1's index among its connection's reports (0: not yet queued).
    quint64 firstPacketWrite = 0;
    quint64 checksumFrame = 0;
    uint32_t checksum = 0;
};

#endif // UPGRADEENGINE_H
