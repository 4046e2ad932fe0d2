#include "upgradeengine.h"

#include "otaframes.h"
#include "qhidusbmgr.h"
#include "replylines.h"
#include "replypacer.h"

#include <QTimer>

namespace {

// The lines that acknowledge a packet.
ReplyLines AckLines()
{
    return ReplyLines('A', OtaFrames::kMaxReplyLine, QByteArray(OtaFrames::kAckText));
}

} // namespace

UpgradeEngine::UpgradeEngine(QHidUsbMgr *manager, QObject *parent)
    : QObject(parent)
    , usbMgr(manager)
    , upgradeTimer(new QTimer(this))
    , ackTimer(new QTimer(this))
{
    lines = std::make_unique<ReplyLines>(AckLines());
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

UpgradeEngine::~UpgradeEngine()
{
    // Nothing of a transfer whose engine has gone is sent by the reader.
    if (pacer)
        pacer->End();
}

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

bool UpgradeEngine::Start(int interval)
{
    if (running || !usbMgr->IsOpen())
        return false;
    running = true;
    connection = usbMgr->Connection();
    pacer = usbMgr->Pacer();
    intervalMs = qMax(1, interval);
    acksFrom = 0;
    firstFailure.clear();
    pendingWrites.clear();
    watchedPacket = 0;
    checksumFrame = 0;
    packetIndex = 0;
    firstPacketWrite = 0;
    // A partial line of what came before is not this transfer's.
    lines->Clear();
    Send(OtaFrames::Start());
    if (running)
        Send(OtaFrames::Size(static_cast<uint32_t>(firmware.size())));
    if (!running)
        return true; // a strict transfer whose opening failed has ended already
    readyForNext = true;
    intervalPassed = false;
    upgradeTimer->start(intervalMs);
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
    if (pacer) {
        // A packet the reader sent is the transfer's too.
        for (const ReplyPacer::Sent &left : pacer->End())
            pendingWrites.append(left.ticket);
        pacer.reset();
    }
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
    TakeReaderPacket();
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
    TakeReaderPacket();
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
    // The reader sent the next packet on the acknowledgement: it came.
    if (TakeReaderPacket())
        return;
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
    if (TakeReaderPacket())
        return;
    // The acknowledgement is missing, or a frame before is still being
    // written: the interval has passed, and whichever comes last sends.
    if (!readyForNext || !pendingWrites.isEmpty()) {
        intervalPassed = true;
        return;
    }
    intervalPassed = false;

    // Nothing goes twice: the armed packet is taken back first (or, sent
    // by the reader meanwhile, counted).
    if (pacer && CountReaderPackets(pacer->Disarm()))
        return;

    const int size = firmware.size();
    const qint64 offset = qint64(packetIndex) * OtaFrames::kPacketPayload;
    if (offset < size) {
        const QByteArray frame = PacketFrame(packetIndex + 1);
        // The reader's lines start with what packet 1 is answered with.
        if (packetIndex == 0 && pacer)
            pacer->Begin(usbMgr->QueuedReports() + 1, AckLines());
        const auto sentAt = std::chrono::steady_clock::now();
        quint64 ticket = 0;
        if (!Send(frame, &ticket) && !running)
            return; // a strict transfer ended on it
        CountPacket(ticket);
        acksFrom = 0;
        if (packetIndex == 1)
            firstPacketWrite = usbMgr->QueuedReports();
        if (ticket != 0)
            ArmNext(usbMgr->QueuedReports(), sentAt);
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
    if (running && from == connection)
        TakeReaderPacket();
    if (from != lineConnection) {
        lines->Clear();
        lineConnection = from;
    }
    if (running && (from != connection || firstPacketWrite == 0 || writesBegun < firstPacketWrite))
        return;
    Scan(chunk, writesBegun);
}

void UpgradeEngine::ScanReply(QByteArray chunk)
{
    TakeReaderPacket();
    Scan(chunk, ~quint64(0));
}

void UpgradeEngine::Scan(const QByteArray &chunk, quint64 stamp)
{
    // Reply lines start with 'A' and end with CR (replylines.h); a line may
    // span several chunks, and a line of more than 240 bytes without CR is
    // dropped. A flag, not a counter: two acknowledgements in one chunk
    // free one packet.
    const bool acknowledged = lines->Feed(chunk) > 0 && stamp >= acksFrom;
    if (acknowledged) {
        readyForNext = true;
        ackTimer->stop();
    }
    // A late acknowledgement: the interval has passed, the next frame goes
    // now. (After the whole chunk: two lines in one chunk free one packet.)
    if (acknowledged && intervalPassed && running && pendingWrites.isEmpty())
        SendLate();
}

bool UpgradeEngine::TakeReaderPacket()
{
    return pacer && CountReaderPackets(pacer->TakeSent());
}

bool UpgradeEngine::CountReaderPackets(const QVector<ReplyPacer::Sent> &sent)
{
    if (sent.isEmpty())
        return false;
    // The acknowledgements that let them go were read: the packets before
    // are done with, whether or not those lines have reached this thread
    // yet. The ticks start again from now, so the next packet the engine
    // sends itself is an interval after.
    ackTimer->stop();
    upgradeTimer->start();
    for (const ReplyPacer::Sent &packet : sent) {
        pendingWrites.append(packet.ticket);
        CountPacket(packet.ticket);
    }
    acksFrom = sent.last().index;
    // The chain goes on: frames enough ahead of it.
    const int last = qMin(packetIndex + kAhead, PacketCount());
    while (offeredUpTo < last)
        pacer->Offer(PacketFrame(++offeredUpTo));
    return true;
}

void UpgradeEngine::CountPacket(quint64 ticket)
{
    readyForNext = false;
    intervalPassed = false;
    ++packetIndex;
    if (ticket != 0)
        watchedPacket = ticket;
    emit Progress(packetIndex, PacketCount());
}

QByteArray UpgradeEngine::PacketFrame(int number) const
{
    const qint64 offset = qint64(number - 1) * OtaFrames::kPacketPayload;
    const int n = int(qMin<qint64>(OtaFrames::kPacketPayload, firmware.size() - offset));
    return OtaFrames::DataPacket(uint32_t(number), firmware.mid(int(offset), n));
}

void UpgradeEngine::ArmNext(quint64 index, std::chrono::steady_clock::time_point sentAt)
{
    if (!pacer || !running)
        return;
    // E4 goes from here.
    QVector<QByteArray> chain;
    offeredUpTo = qMin(packetIndex + kAhead, PacketCount());
    for (int number = packetIndex + 1; number <= offeredUpTo; ++number)
        chain.append(PacketFrame(number));
    pacer->Arm(index, sentAt + std::chrono::milliseconds(intervalMs), intervalMs, chain);
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
