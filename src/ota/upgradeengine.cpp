#include "upgradeengine.h"

#include "otaframes.h"
#include "qhidusbmgr.h"

#include <QTimer>

UpgradeEngine::UpgradeEngine(QHidUsbMgr *manager, QObject *parent)
    : QObject(parent)
    , usbMgr(manager)
    , upgradeTimer(new QTimer(this))
    , ackTimer(new QTimer(this))
{
    // The reply line's room, kept for good (see ScanReply).
    rxBuffer.reserve(OtaFrames::kMaxReplyLine + 1);
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
    // A partial line of what came before is not this transfer's.
    rxBuffer.resize(0);
    Send(OtaFrames::Start());
    if (running)
        Send(OtaFrames::Size(static_cast<uint32_t>(firmware.size())));
    if (!running)
        return true; // a strict transfer whose opening failed has ended already
    readyForNext = true;
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

bool UpgradeEngine::Send(const QByteArray &frame, quint64 *ticketOut)
{
    // A frame of this transfer goes only to the connection it started on:
    // never to a device opened since, even the same board plugged in again.
    // (Otherwise the manager announces the frame and writes nothing.)
    quint64 ticket = 0;
    if (usbMgr->SendBuf(frame, 0, true, &ticket, connection)) {
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
    if (ticket == watchedPacket && written && !readyForNext && ackTimeoutMs > 0)
        ackTimer->start(ackTimeoutMs);
    // The interval passed and the acknowledgement came while this write was
    // still being reported: the next frame goes now.
    if (pendingWrites.isEmpty() && intervalPassed && readyForNext)
        SendLate();
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
    if (running && !readyForNext)
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
    if (!readyForNext || !pendingWrites.isEmpty()) {
        intervalPassed = true;
        return;
    }
    intervalPassed = false;

    const int size = firmware.size();
    const qint64 offset = qint64(packetIndex) * OtaFrames::kPacketPayload;
    if (offset < size) {
        const int n = int(qMin<qint64>(OtaFrames::kPacketPayload, size - offset));
        const QByteArray payload = firmware.mid(int(offset), n);
        readyForNext = false;
        ++packetIndex;
        if (!Send(OtaFrames::DataPacket(uint32_t(packetIndex), payload), &watchedPacket) && !running)
            return; // a strict transfer ended on it
        if (packetIndex == 1)
            firstPacketWrite = usbMgr->QueuedReports();
        emit Progress(packetIndex, PacketCount());
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
        rxBuffer.resize(0);
        lineConnection = from;
    }
    if (running && (from != connection || firstPacketWrite == 0 || writesBegun < firstPacketWrite))
        return;
    Scan(chunk);
}

void UpgradeEngine::ScanReply(QByteArray chunk)
{
    Scan(chunk);
}

void UpgradeEngine::Scan(const QByteArray &chunk)
{
    // Reply lines start with 'A' and end with CR; anything before an 'A' (the
    // zero padding of input reports, stray CR/LF) is dropped byte by byte. A
    // line may span several chunks. A line of more than 240 bytes without CR
    // is dropped. Bytes outside a line are never stored, and a line is
    // emptied with resize(0), which keeps the room reserved for it: a reply
    // costs no allocation (a padded report is some fifty bytes dropped).
    bool acknowledged = false;
    for (const char byte : qAsConst(chunk)) {
        if (rxBuffer.isEmpty() && byte != 'A')
            continue;
        rxBuffer.append(byte);
        if (byte == '\r') {
            if (rxBuffer.contains(OtaFrames::kAckText)) {
                readyForNext = true;
                acknowledged = true;
                ackTimer->stop();
            }
            rxBuffer.resize(0);
        } else if (rxBuffer.size() > OtaFrames::kMaxReplyLine) {
            rxBuffer.resize(0);
        }
    }
    // A late acknowledgement: the interval has passed, the next frame goes
    // now. (After the whole chunk: two lines in one chunk free one packet.)
    if (acknowledged && intervalPassed && running && pendingWrites.isEmpty())
        SendLate();
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
