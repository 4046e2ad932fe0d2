#include "upgradeengine.h"

#include "otaframes.h"
#include "qhidusbmgr.h"

#include <QTimer>

#include <algorithm>

AckScanner::AckScanner()
{
    // The line's room, kept for good: a reply costs no allocation.
    line.reserve(OtaFrames::kMaxReplyLine + 1);
}

bool AckScanner::Answers(const QByteArray &chunk)
{
    // Bytes outside a line are never stored, and a line is emptied with
    // resize(0), which keeps its room (a padded report is some fifty bytes
    // dropped).
    bool acknowledged = false;
    for (const char byte : chunk) {
        if (line.isEmpty() && byte != 'A')
            continue;
        line.append(byte);
        if (byte == '\r') {
            if (line.contains(OtaFrames::kAckText))
                acknowledged = true;
            line.resize(0);
        } else if (line.size() > OtaFrames::kMaxReplyLine) {
            line.resize(0);
        }
    }
    return acknowledged;
}

UpgradeEngine::UpgradeEngine(QHidUsbMgr *manager, QObject *parent)
    : QObject(parent)
    , usbMgr(manager)
    , upgradeTimer(new QTimer(this))
    , ackTimer(new QTimer(this))
{
    upgradeTimer->setObjectName(QStringLiteral("upgradeTimer"));
    // The packet interval is the operator's (load/sleep), often 1 to 50 ms.
    // On Windows a coarse timer of 20 ms or more runs on SetTimer, which the
    // system rounds up to its tick (15.6 ms by default): 20 ms would become
    // about 31, 50 about 62. A precise timer is a multimedia timer there at
    // any interval. On Linux both kinds keep such intervals alike.
    upgradeTimer->setTimerType(Qt::PreciseTimer);
    connect(upgradeTimer, &QTimer::timeout, this, &UpgradeEngine::SendNextPacket);
    ackTimer->setObjectName(QStringLiteral("ackTimer"));
    ackTimer->setSingleShot(true);
    // A coarse timer may fire up to 5 % early: never before the time-out.
    ackTimer->setTimerType(Qt::PreciseTimer);
    connect(ackTimer, &QTimer::timeout, this, &UpgradeEngine::AckTimedOut);
    // The reader's report comes from its own thread: by signature, queued,
    // as every signal of the reader reaches its receivers. A close is
    // reported on the thread that closed, which is this one.
    connect(usbMgr, SIGNAL(ReadFailedSignal(quint64)), this, SLOT(ReadFailed(quint64)));
    connect(usbMgr, &QHidUsbMgr::ClosedSignal, this, &UpgradeEngine::ConnectionClosed);
    // From the writer's thread, queued.
    connect(usbMgr, &QHidUsbMgr::SendDoneSignal, this, &UpgradeEngine::WriteDone, Qt::QueuedConnection);
    // From the reader's thread, queued, each chunk after the RecvBufSignal
    // of it (so a window logs a chunk before the transfer sees it).
    connect(usbMgr, &QHidUsbMgr::ChunkSignal, this, &UpgradeEngine::ScanChunk, Qt::QueuedConnection);
}

UpgradeEngine::~UpgradeEngine() = default;

void UpgradeEngine::SetStrict(bool on, int timeoutMs)
{
    strict = on;
    ackTimeoutMs = on ? qMax(0, timeoutMs) : 0;
}

bool UpgradeEngine::LoadImage(const QByteArray &image)
{
    if (running)
        return false;
    firmware = image;
    packetIndex = 0;
    return true;
}

int UpgradeEngine::PacketCountFor(qint64 size)
{
    return int((size + OtaFrames::kPacketPayload - 1) / OtaFrames::kPacketPayload);
}

qint64 UpgradeEngine::BytesSent() const
{
    return qMin<qint64>(qint64(packetIndex) * OtaFrames::kPacketPayload, firmware.size());
}

bool UpgradeEngine::IsRunning() const
{
    return running;
}

bool UpgradeEngine::Start(int intervalMs)
{
    if (running || !usbMgr->IsOpen())
        return false;
    running = true;
    connection = usbMgr->Connection();
    firstFailure.clear();
    pendingWrites.clear();
    watchedPacket = 0;
    checksumFrame = 0;
    packetIndex = 0;
    firstPacketWrite = 0;
    awaited = 0;
    answered = 0;
    early = 0;
    // A partial line of what came before is not this transfer's.
    lines.Clear();
    Send(OtaFrames::Start());
    if (running)
        Send(OtaFrames::Size(static_cast<uint32_t>(firmware.size())));
    if (!running)
        return true; // a strict transfer whose opening failed has ended already
    intervalPassed = false;
    upgradeTimer->start(qMax(1, intervalMs));
    return true;
}

void UpgradeEngine::Stop()
{
    running = false;
    upgradeTimer->stop();
    ackTimer->stop();
    TakeBackWrites();
}

void UpgradeEngine::TakeBackWrites()
{
    for (const quint64 ticket : qAsConst(pendingWrites))
        usbMgr->CancelBuf(ticket);
    pendingWrites.clear();
}

void UpgradeEngine::Went(quint64 ticket, quint64 index)
{
    ++packetIndex;
    watchedPacket = ticket;
    awaited = index;
    if (packetIndex == 1)
        firstPacketWrite = index;
    emit Progress(packetIndex, PacketCount());
}

bool UpgradeEngine::Send(const QByteArray &frame, quint64 *ticketOut, quint64 answering)
{
    // A frame of this transfer goes only to the connection it started on:
    // never to a device opened since, even the same board plugged in again.
    // (Otherwise the manager announces the frame and writes nothing.)
    quint64 ticket = 0;
    if (usbMgr->SendBuf(frame, 0, true, &ticket, connection, answering)) {
        pendingWrites.append(ticket);
        if (ticketOut)
            *ticketOut = ticket;
        return true;
    }
    WriteFailed(QStringLiteral("the device was closed"));
    return false;
}

void UpgradeEngine::WriteDone(quint64 ticket, bool written, const QString &error)
{
    if (!pendingWrites.removeOne(ticket))
        return; // another sender's, or of a transfer that has ended
    if (ticket == early) {
        // The acknowledgement released it between ticks: it went, and the
        // ticks start again from it. When a whole interval has passed since
        // its write began (the write and this report took that long), the
        // next one may go as soon as its acknowledgement is in.
        early = 0;
        const qint64 ago = usbMgr->MsSinceBegun(ticket);
        Went(ticket, earlyIndex);
        upgradeTimer->start();
        intervalPassed = ago >= upgradeTimer->interval();
    }
    if (!written)
        WriteFailed(error.isEmpty() ? QStringLiteral("a write failed") : QStringLiteral("a write failed: ") + error);
    if (!running)
        return; // a strict transfer ended on that write
    if (ticket == checksumFrame) {
        // Every frame before E4 was reported already (one writer, in order).
        // E4 written decides: a failed read, a close or an unplug since it
        // was queued is the board starting its new image.
        if (firstFailure.isEmpty())
            Finish(true, QString(), checksum);
        else
            Finish(false, firstFailure);
        return;
    }
    if (ticket == watchedPacket && written && !ReadyForNext() && ackTimeoutMs > 0)
        ackTimer->start(ackTimeoutMs);
    // The interval passed and the acknowledgement came while this write was
    // still being reported: the next frame goes now.
    SendIfDue();
    HandEarly();
}

void UpgradeEngine::SendIfDue()
{
    if (!running || !intervalPassed || !ReadyForNext())
        return;
    if (early != 0) {
        // The writer writes it after the frames before it. Alone, and not
        // begun by the writer, it is taken back and sent from here (one
        // being written is reported when it is done).
        if (pendingWrites.size() > 1 || !usbMgr->CancelBuf(early))
            return;
        pendingWrites.removeOne(early);
        early = 0;
    }
    if (pendingWrites.isEmpty())
        SendLate();
}

void UpgradeEngine::HandEarly()
{
    if (running && intervalPassed && !ReadyForNext() && early == 0 && checksumFrame == 0 &&
        BytesSent() < firmware.size())
        SendNext(awaited);
}

void UpgradeEngine::WriteFailed(const QString &reason)
{
    if (firstFailure.isEmpty())
        firstFailure = reason;
    if (strict && running)
        Finish(false, reason);
}

void UpgradeEngine::ReadFailed(quint64 failed)
{
    // A read tells nothing of what the device took: only a strict transfer
    // ends on it, as the sign of a device that has gone. Once E4 is queued,
    // its write decides (the board may go as soon as it has taken E4, and
    // its reader may fail before the write is reported).
    if (!strict || !running || failed != connection || checksumFrame != 0)
        return;
    Finish(false, QStringLiteral("the device is gone (a read failed)"));
}

void UpgradeEngine::ConnectionClosed(quint64 closed)
{
    if (!running || closed != connection)
        return;
    // E4 being written, or written and not yet reported: its write decides,
    // and its result still comes. Taken back before it began: failed.
    if (checksumFrame != 0 && pendingWrites.contains(checksumFrame) && !usbMgr->CancelBuf(checksumFrame))
        return;
    Finish(false, firstFailure.isEmpty() ? QStringLiteral("the device was closed") : firstFailure);
}

void UpgradeEngine::Finish(bool completed, const QString &reason, uint32_t crc)
{
    running = false;
    upgradeTimer->stop();
    ackTimer->stop();
    TakeBackWrites();
    if (completed)
        emit Completed(crc);
    else
        emit Failed(reason);
}

void UpgradeEngine::AckTimedOut()
{
    if (running && !ReadyForNext())
        Finish(false, QStringLiteral("packet %1 was not acknowledged within %2 s")
                          .arg(packetIndex)
                          .arg(ackTimeoutMs / 1000.0));
}

void UpgradeEngine::SendNextPacket()
{
    // Ticks come from the timer only while a transfer runs; one that comes
    // anyway (queued before a Stop) sends nothing. Once E4 is queued the
    // transfer waits for its write alone.
    if (!running || checksumFrame != 0)
        return;
    // The acknowledgement is missing, or a frame before is still being
    // written: the interval has passed, and whichever comes last sends.
    if (!ReadyForNext() || !pendingWrites.isEmpty()) {
        intervalPassed = true;
        SendIfDue();
        HandEarly();
        return;
    }
    intervalPassed = false;
    SendNext(0);
}

void UpgradeEngine::SendNext(quint64 answering)
{
    const int size = firmware.size();
    const qint64 offset = qint64(packetIndex) * OtaFrames::kPacketPayload;
    if (offset < size) {
        const int n = int(qMin<qint64>(OtaFrames::kPacketPayload, size - offset));
        const QByteArray payload = firmware.mid(int(offset), n);
        // The writer's look-out for acknowledgements sees what this engine
        // scans: the connection's chunks from packet 1's write on, from an
        // empty line.
        if (packetIndex == 0)
            usbMgr->WatchReplies(std::make_shared<AckScanner>(), usbMgr->QueuedReports() + 1);
        quint64 ticket = 0;
        const bool queued = Send(OtaFrames::DataPacket(uint32_t(packetIndex + 1), payload), &ticket, answering);
        if (!queued && !running)
            return; // a strict transfer ended on it
        if (queued && answering != 0) {
            early = ticket;
            earlyIndex = usbMgr->QueuedReports();
            return;
        }
        Went(ticket, usbMgr->QueuedReports());
        return;
    }

    // Every packet went out and the last one was acknowledged: E4, and the
    // transfer completes when it is written.
    upgradeTimer->stop();
    checksum = usbMgr->CalcCrc32(0xFFFFFFFFu, reinterpret_cast<const unsigned char *>(firmware.constData()),
                                 uint32_t(size));
    if (!Send(OtaFrames::Checksum(checksum), &checksumFrame) && running)
        Finish(false, firstFailure.isEmpty() ? QStringLiteral("the checksum frame was not written") : firstFailure);
}

void UpgradeEngine::ScanChunk(quint64 from, quint64 writesBegun, QByteArray chunk)
{
    if (from != lineConnection) {
        lines.Clear();
        lineConnection = from;
    }
    if (running && (from != connection || firstPacketWrite == 0 || writesBegun < firstPacketWrite))
        return;
    Scan(chunk, writesBegun);
}

void UpgradeEngine::ScanReply(QByteArray chunk)
{
    // Handed in now: it may answer whatever was handed to the writer so far.
    Scan(chunk, usbMgr->QueuedReports());
}

void UpgradeEngine::Scan(const QByteArray &chunk, quint64 stamp)
{
    // Two lines in one chunk free one packet.
    if (!lines.Answers(chunk))
        return;
    answered = std::max(answered, stamp);
    if (!ReadyForNext())
        return; // read before the packet sent last began to be written
    ackTimer->stop();
    // A late acknowledgement: the interval has passed, the next frame goes
    // now (the writer's, when it waits there).
    SendIfDue();
}

void UpgradeEngine::SendLate()
{
    // The ticks keep their phase while each packet goes on a tick (a late
    // tick's lag is not carried into the next interval). A frame that goes
    // between ticks starts them again, so that the next one is a whole
    // interval after it.
    upgradeTimer->start();
    SendNextPacket();
}
