// The upgrade engine under schedules of events: the real device manager (on
// the virtual HID devices, with its reader thread) and the engine, driven
// the way the window drives it (patient), the way the command line drives
// it (strict, with an acknowledgement time-out, one transfer and exit), or
// through the window itself, against a simulated board, through one
// transfer or several.
//
// The input is a header and then a schedule, one event per opcode byte:
// timer ticks, acknowledgements held back, delivered, split, padded, wrapped
// in noise, doubled or lost, the results of the writes, failing and short
// writes and writes the board holds, unplug and replug, device-change
// notifications, Stop and Start (the command line's retry of a failed
// attempt), disconnect and connect, another image or interval, ticks that
// arrive after a Stop, replies of an attempt before the running one that
// arrive late, and raw chunks.
//
// The clock is the schedule's. The engine's timers never fire by themselves
// (an event filter swallows their timer events); a tick is the pacing
// timer's timeout invoked directly, and the clock jumps to the deadline of
// whichever timer is due first. The board's replies are not queued on the
// virtual device for the manager's reader to pick up, but kept here and
// handed to the tool as the manager hands a chunk on (the window's log, then
// the engine's ScanChunk) when the schedule says so: what the reader
// delivered between two events would depend on the threads' timing. Each
// chunk carries the reader's stamp: the connection it came on and the report
// whose write had begun when the board sent it (the packet it answers). The
// reader thread still runs on every open device; its
// report of a failed read reaches a driven engine when the schedule says
// (ReadFailed), and the window's through its queued signal (a patient
// engine ignores it).
//
// Writes happen on the manager's writer thread. After every event the
// harness waits (bounded) until the writer has written what the event
// handed it, so the frames are the event's; the board's side of hid_write
// only records them under a lock, and the harness checks them on its own
// thread. The results of the writes (SendDoneSignal) do not go to the engine
// by themselves: the harness takes them off the writer thread and the
// schedule hands them to the engine's WriteDone, oldest first, as an event
// of its own (everything at once where the schedule needs progress: the
// runs of ticks and the end of the input). So an input always runs the same
// way.
//
// A write the board holds is the blocking write of this model: the writer
// stays in hid_write, what is queued behind it waits, and the schedule's
// clock moves on with the other events until an event ends the write (done,
// or failed as after its time-out), the clock then standing at least the
// write's time after it began.
//
// Invariants, checked after every event (a breach aborts with "property
// violated"):
//  - a tick writes at most one frame, a data packet or E4; a chunk received
//    writes at most one, and only when it holds an acknowledgement line, a
//    tick since the last frame found none to send and every frame of the
//    transfer has its result delivered; a delivered result writes at most
//    one, and only when it was the transfer's last result outstanding and a
//    tick since the last frame found none. Then, the acknowledgement in (a
//    line since the last packet, or no packet yet), the chunk or the result
//    must send the next frame (the late send; on the transfer's own
//    connection, its board plugged). The end of a held write writes only
//    what was queued behind it; Start writes E1 and E2 and nothing else;
//    other events write nothing. Ticks keep their phase; only a frame sent
//    between ticks starts the pacing timer again (the schedule's clock
//    follows that);
//  - a frame is written only within a transfer, only to the connection the
//    transfer started on, and never after its Stop, its connection's close
//    or its device's unplug. A write the board holds at a Stop or a close
//    was begun before it and may end after it: a Stop leaves nothing in the
//    writer but that write (what was queued behind it is taken back and
//    never reaches the board), and after a close its result is still
//    reported, to its own transfer (E4's decides it);
//  - within a transfer the frames come in order: E1, E2 with the image's
//    size, packets 1..N each once with the image's bytes, E4 with the CRC-32
//    of that image; packet k > 1 only after an acknowledgement line was
//    received since packet k - 1 went out (as a reference scanner counts
//    them), E4 only after one since packet N. What a running transfer
//    receives counts only when it came on its connection and the board
//    sent it after the transfer's first packet was written; Start empties
//    the line being assembled, a chunk of another connection starts it
//    afresh. A late reply of an attempt before (stamped then) frees no
//    packet of the running transfer and sends nothing;
//  - completion (the "Upgrade Completed" box, or the Completed signal, the
//    command line's exit 0) only for a transfer in which all of that went
//    out, no write failed, its connection stayed open and its device
//    plugged until E4 was on it, and the board its frames went to (not one
//    plugged in since) holds exactly the image with a matching CRC,
//    and only in the event that delivers the result of its last write (E4);
//    a result of another transfer's write, or of none, changes nothing;
//  - the acknowledgement watch starts only in an event that delivers a
//    write's result;
//  - strict: the event that delivers a failed write's result, reports the
//    read error (before E4 was queued: after, E4's write decides) or fires
//    the acknowledgement time-out ends the transfer as failed; a failed
//    attempt is made again (twice at most) on the same connection, as the
//    command line does, unless the read failed or the connection went; at
//    the end of the input a strict transfer with a time-out ends within a
//    bounded number of events;
//  - no use of a closed handle; no crash or sanitizer report (libFuzzer's
//    -timeout and -rss_limit_mb catch schedules that never end and
//    unbounded memory; every input's schedule has at most one event per
//    byte, a few hundred ticks per macro event).
//
// A board that misbehaves. An acknowledgement carries no packet number, so
// the tool cannot tell which packet a line answers: a doubled line, or one
// that was late across a Stop and Start, frees the next packet before the
// board has acknowledged the current one, and the protocol allows that. A
// refusal ("E3:0") frees nothing. What must still hold for any board: every
// packet is freed by a line received after the packet before it went out
// (one line frees at most one packet), one packet per tick, the order and
// the bytes, E4 only after a line received after the last packet, and no
// completion unless the board received exactly the image. For a board that
// behaved (every line it sent answered a packet of the running transfer,
// once) the line that freed packet k is the board's answer to packet k - 1.
#include "fuzzsupport.h"
#include "otamodel.h"
#include "qhidusbmgr.h"
#include "simkit.h"
#include "upgradeengine.h"
#include "virtualhid.h"
#include "widget.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QTextEdit>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kPayload = 60;
const QByteArray kAckLine("AT+OTA=E3:1\r");
const QByteArray kNakLine("AT+OTA=E3:0\r");
const char kBoardPath[] = "fuzz:engine-board";

const int kSizes[] = {0, 1, 59, 60, 61, 119, 120, 121, 180, 600, 601, 1799, 3000, 6007};
const int kIntervals[] = {1, 2, 5, 10, 20, 50, 100, 1000};
const int kAckTimeouts[] = {0, 1, 10, 50, 200, 1000, 3000, 5};
const QString kResultEvent = QStringLiteral("write result");

// The reply rule written from the protocol: a line starts at 'A', ends at CR
// and holds at most 240 bytes before it; it counts as an acknowledgement
// when "AT+OTA=E3:1" occurs in it.
class ReplyScanner
{
public:
    // Acknowledgement lines completed by `chunk`.
    int feed(const QByteArray &chunk)
    {
        int acks = 0;
        for (const char c : chunk) {
            if (line.isEmpty()) {
                if (c == 'A')
                    line.append(c);
                continue;
            }
            if (c == '\r') {
                if (line.contains("AT+OTA=E3:1"))
                    ++acks;
                line.clear();
                continue;
            }
            if (line.size() == 240) {
                line.clear();
                continue;
            }
            line.append(c);
        }
        return acks;
    }
    QByteArray line;
};

// Swallows the timer events of the engine's timers: they tick only when the
// schedule says.
class NoRealTime : public QObject
{
protected:
    bool eventFilter(QObject *, QEvent *event) override { return event->type() == QEvent::Timer; }
};

// A chunk the board has sent and the tool has not yet received.
struct Chunk
{
    QByteArray bytes;
    int transfer = 0;     // the transfer whose packet it answers
    uint32_t packet = 0;  // the packet it answers
    bool endsAck = false; // it completes the board's answer to that packet
    bool extra = false;   // a copy or a second line: the board misbehaved
    // As the manager's reader stamps it: the connection it came on, and the
    // report whose write had begun last when the board sent it.
    quint64 conn = 0;
    quint64 stamp = 0;
};

enum class Style { Padded, Bare, Split, Noise, Double, Nak, Silent, PaddedSplit };

// A frame as the board took it, on the writer thread; the harness looks at
// it on its own thread once the writer has settled.
struct Tapped
{
    int index = 0;        // the board (devices[index])
    QByteArray frame;     // without the report id
    int result = 0;       // what hid_write returned
    int transfer = 0;     // the transfer running when the frame was written (0: none)
    int heldMs = 0;       // the board holds this write until told (0: it does not)
};

// Set by the board when it takes a frame, read by the result that the same
// writer thread reports next: that result is this frame's. A result with no
// frame before it (a write that failed before reaching the board, as on an
// unplugged device) belongs to the transfer running then.
thread_local int writerTag = -1;

struct Transfer
{
    int id = 0;
    int conn = 0; // the harness's number of the connection it started on
    quint64 mgrConn = 0;    // the manager's number of it
    quint64 firstWrite = 0; // packet 1's index among the connection's reports (0: not yet written)
    QByteArray image;
    int packets = 0;     // N
    int board = -1;      // the board its frames went to (devices[board])
    int stage = 0;       // 0 E1 due, 1 E2 due, 2 data or E4 due, 3 E4 written
    int nextPacket = 1;
    int acksSince = 0;   // lines received since the last data packet went out
    uint32_t boardAcked = 0; // highest packet whose own answer was received
    bool behaved = true; // no foreign, doubled or raw line received during it
    bool failedWrite = false; // a frame did not go out (as the board saw it, or as reported)
    bool closed = false; // its connection closed or its device unplugged
    QString why;         // the first thing that went wrong in it
};

struct Device
{
    std::shared_ptr<vhid::VirtualDevice> device;
    std::shared_ptr<sim::OtaModel> model;
};

class Harness
{
public:
    static Harness &get()
    {
        static Harness h;
        return h;
    }

    void init()
    {
        fuzz::startApplication("fuzz_engine");
        manager = std::make_unique<QHidUsbMgr>();
        scratch = fuzz::enterScratchDir("fuzz_engine");
        QDir().mkdir("update");
        closer = new fuzz::BoxCloser;
        window = new Widget;
        openButton = window->findChild<QPushButton *>("pushButtonOpen");
        scanButton = window->findChild<QPushButton *>("pushButtonScan");
        loadButton = window->findChild<QPushButton *>("pushButtonLoad");
        log = window->findChild<QTextEdit *>("textEdit");
        windowEngine = window->findChild<UpgradeEngine *>();
        windowMgr = window->findChild<QHidUsbMgr *>("usbMgr");
        FUZZ_CHECK(openButton && scanButton && loadButton && log && windowEngine && windowMgr,
                   QString("the window lacks a widget, its manager or its engine"));
        windowEngine->Timer()->installEventFilter(&noRealTime);
        windowEngine->AckTimer()->installEventFilter(&noRealTime);
        // The results of the writes come to the schedule, which hands them
        // to the engine when it says.
        results.tagger = [this]() {
            int tag = writerTag;
            writerTag = -1;
            if (tag < 0) {
                std::lock_guard<std::mutex> lock(tapMutex);
                tag = tapLive;
            }
            return tag;
        };
        results.attach(manager.get());
        results.attach(windowMgr);
        fuzz::HeldResults::detachEngine(windowMgr, windowEngine);
        std::atexit([]() { get().shutdown(); });
    }

    void shutdown()
    {
        // The window itself stays: Qt's own statics are going by now.
        endInput();
        closeAll();
        manager.reset();
        fuzz::removeTree(scratch);
    }

    void runOne(const uint8_t *data, size_t size)
    {
        fuzz::Input in(data, size);
        // Header: bits 0-3 the driver (0 to 7 the engine as the window
        // drives it, 8 to 14 as the command line does, 15 the window
        // itself, whose message boxes make a run some ten times slower),
        // bits 4-6 the acknowledgement time-out of the command line, bit 7
        // clear: a transfer starts before the first event. Then the first
        // image's size and seed, and the packet interval.
        const uint8_t head = in.byte();
        viaWindow = (head & 15) == 15;
        strict = !viaWindow && (head & 15) >= 8;
        ackTimeoutMs = kAckTimeouts[(head >> 4) & 7];
        image = simkit::image(kSizes[in.byte() % std::size(kSizes)], in.byte());
        intervalMs = pickInterval(in);
        beginInput();
        if (!(head & 0x80))
            startTransfer();
        int events = 0;
        while (in.more()) {
            event(in);
            ++events;
        }
        if (!exited)
            settleResults();
        drain();
        fuzz::note(QString("%1 events, %2 transfers, %3 completed").arg(events).arg(transfers).arg(completions));
        endInput();
    }

private:
    // ---- the input's world ------------------------------------------------

    void beginInput()
    {
        outbox.clear();
        style = Style::Padded;
        splitAt = 7;
        {
            std::lock_guard<std::mutex> lock(tapMutex);
            failNext = 0;
            shortNext = 0;
            holdNextMs = 0;
            holdFails = false;
            tapped.clear();
            tapLive = 0;
        }
        results.clear();
        parkedConn = 0;
        parkedMgr = nullptr;
        now = 0;
        lastTick = 0;
        tickFoundNone = false;
        ackStart = -1;
        epoch = 0;
        openEpoch = 0;
        readFailureReported = true;
        exited = false;
        ticks = 0;
        costlyEvents = 0;
        transfers = 0;
        completions = 0;
        t = Transfer();
        live = false;
        scanner = ReplyScanner();
        scannerConn = 0;
        lastAnswer = Chunk();
        earlier = Chunk();
        retriesLeft = kRetries;
        retryDue = false;
        goneSeen = false;

        // Every input starts connected to a fresh board with nothing running.
        // A connection the previous input left open on a board that is
        // still there is kept (its board restarted: a new model), since an
        // open and a close cost a reader thread; otherwise everything is
        // closed, forgotten and opened again.
        const Holder wanted = viaWindow ? Holder::Window : Holder::Engine;
        const bool keep = holder == wanted && boardPresent && !unpluggedOpen && !devices.empty()
                          && devices.back().device->openHandles() == 2;
        if (keep) {
            devices.erase(devices.begin(), devices.end() - 1);
            bindModel(0);
            devices.back().device->clearWrites();
        } else {
            closeAll();
            vhid::reset();
            devices.clear();
            boardPresent = false;
            unpluggedOpen = false;
            plug();
        }
        knownOpens = totalOpens();
        if (viaWindow) {
            log->clear(); // the traffic log would grow for the whole run
            // Ends whatever reply line the previous input left open, in the
            // window's engine and in the reference scanner alike.
            windowEngine->ScanReply("\r");
            closer->take();
            writeImageFile();
            simkit::writeInterval(intervalMs);
        } else {
            engine = std::make_unique<UpgradeEngine>(manager.get());
            engine->SetStrict(strict, ackTimeoutMs);
            engine->Timer()->installEventFilter(&noRealTime);
            engine->AckTimer()->installEventFilter(&noRealTime);
            fuzz::HeldResults::detachEngine(manager.get(), engine.get());
            QObject::connect(engine.get(), &UpgradeEngine::Completed, [this](uint32_t crc) { engineEnded(true, crc); });
            QObject::connect(engine.get(), &UpgradeEngine::Failed, [this](const QString &) { engineEnded(false, 0); });
        }
        if (keep) {
            openEpoch = ++epoch;
            readFailureReported = false;
        } else {
            connect();
        }
        FUZZ_CHECK(openEpoch != 0, QString("the board could not be opened"));
        holder = wanted;
    }

    void endInput()
    {
        // (The window's engine directly: with the device closed the
        // window's Stop button does nothing.)
        if (engine)
            engine->Stop();
        if (window)
            windowEngine->Stop();
        live = false;
        // A write the board still holds ends now; whatever was queued behind
        // it was taken back by the Stop and must not reach the board.
        if (parkedNow())
            releaseHeld("the held write ends after the input");
        engine.reset();
        results.clear();
        closer->take();
        FUZZ_CHECK(vhid::closedHandleUses() == 0,
                   QString("%1 hidapi calls on a closed handle").arg(vhid::closedHandleUses()));
        if (!anyOpen())
            holder = Holder::None;
    }

    // Closes whatever is open, so that no reader thread is left in hidapi.
    void closeAll()
    {
        if (manager && manager->IsOpen())
            manager->CloseUsb();
        if (window && windowMgr->IsOpen())
            openButton->click();
        closer->take();
        // A closed connection's writer closes its handle after the close.
        fuzz::waitUntil([this]() { return !anyHandleOpen(); }, "a closed connection's writer closes its handle");
        holder = Holder::None;
    }

    // A board on the one path: a new board (a replug is a board that
    // restarted) whose writes come through here.
    void plug()
    {
        Device d;
        d.device = vhid::addDevice(sim::boardInfo(kBoardPath));
        devices.push_back(d);
        bindModel(int(devices.size()) - 1);
        boardPresent = true;
    }

    void bindModel(int index)
    {
        sim::Script script;
        script.reply = sim::Reply::Silent; // the answers are made here
        devices[size_t(index)].model = std::make_shared<sim::OtaModel>(script);
        devices[size_t(index)].device->setWriteHandler([this, index](const vhid::Bytes &frame) { return written(index, frame); });
    }

    // A connection is open (a board's handles may outlive it a while: the
    // writer of a closed connection closes its own after its last write).
    bool anyOpen() const { return manager->IsOpen() || windowMgr->IsOpen(); }

    bool anyHandleOpen() const
    {
        for (const Device &d : devices) {
            if (d.device->openHandles() > 0)
                return true;
        }
        return false;
    }

    int totalOpens() const
    {
        int n = 0;
        for (const Device &d : devices)
            n += d.device->openCount();
        return n;
    }

    // ---- what the board sees ----------------------------------------------

    // The board's side of hid_write, on the manager's writer thread: it
    // decides the write's result as the schedule said, keeps the frame for
    // the harness and, when told to, holds the write until the schedule ends
    // it. It touches nothing but what tapMutex guards.
    int written(int index, const vhid::Bytes &raw)
    {
        std::unique_lock<std::mutex> lock(tapMutex);
        Tapped w;
        w.index = index;
        w.frame = simkit::toQByteArray(raw).mid(1); // without the report id
        w.transfer = tapLive;
        w.result = int(raw.size());
        if (holdNextMs > 0 && !parked) {
            w.heldMs = holdNextMs;
            holdNextMs = 0;
            if (holdFails)
                w.result = -1; // as after the backend's time-out
        } else if (failNext > 0) {
            --failNext;
            w.result = -1;
        } else if (shortNext > 0) {
            --shortNext;
            w.result = 0; // hidapi reports no byte written
        }
        const int result = w.result;
        const bool hold = w.heldMs > 0;
        tapped.push_back(std::move(w));
        writerTag = tapLive;
        if (hold) {
            parked = true;
            tapWake.wait(lock, [this]() { return releaseParked; });
            releaseParked = false;
            parked = false;
        }
        return result;
    }

    // A frame the board took, seen on the harness's thread in the order of
    // the writes.
    void took(const Tapped &w)
    {
        ++writesThisEvent;
        // A frame the engine sent now (what a held write kept queued was
        // sent before, and Start forgets the ticks before it).
        if (!releasing)
            tickFoundNone = false;
        const bool data = !w.frame.startsWith("AT+OTA=E");
        if (data)
            ++packetsThisEvent;
        if (w.heldMs > 0) {
            parkedAt = now;
            parkedMs = w.heldMs;
            parkedMgr = mgr();
            parkedConn = mgr()->Connection();
        }
        checkFrame(w.index, w.frame, w.result > 0, w.transfer);
        if (w.result <= 0)
            return;
        Device &d = devices[size_t(w.index)];
        const uint32_t before = d.model->verdict().packets;
        d.model->handleOutput(reinterpret_cast<const uint8_t *>(w.frame.constData()), size_t(w.frame.size()));
        if (data && d.model->verdict().packets > before)
            answer(uint32_t(d.model->verdict().packets), w.transfer);
    }

    // The board's answer to a packet it took, as the current style says.
    void answer(uint32_t packet, int id)
    {
        auto pad = [](QByteArray b) { return b.size() < 64 ? b + QByteArray(64 - b.size(), '\0') : b; };
        // Sent as soon as the board took the packet: read on this connection
        // after that packet's write began.
        const quint64 conn = mgr()->Connection();
        const quint64 stamp = begunNow();
        lastAnswer = Chunk{pad(kAckLine), id, packet, true, true, conn, stamp};
        auto push = [&](QByteArray bytes, bool ends, bool extra = false) {
            outbox.push_back(Chunk{bytes, id, packet, ends, extra, conn, stamp});
        };
        switch (style) {
        case Style::Padded:
            push(pad(kAckLine), true);
            break;
        case Style::Bare:
            push(kAckLine, true);
            break;
        case Style::Split:
        case Style::PaddedSplit: {
            const int at = 1 + splitAt % (kAckLine.size() - 1);
            const bool padded = style == Style::PaddedSplit;
            // A padded first part puts the zeros in front, as a device that
            // sends whole reports must.
            QByteArray first = kAckLine.left(at);
            if (padded)
                first = QByteArray(64 - first.size(), '\0') + first;
            push(first, false);
            push(padded ? pad(kAckLine.mid(at)) : kAckLine.mid(at), true);
            break;
        }
        case Style::Noise:
            push(pad(QByteArray("\r\n\0\0\n", 5) + kAckLine + QByteArray("\r\n")), true);
            break;
        case Style::Double:
            push(pad(kAckLine + kAckLine), true, true);
            break;
        case Style::Nak:
            push(pad(kNakLine), false);
            break;
        case Style::Silent:
            break;
        }
    }

    // Every frame the tool tries to write, in the order it writes them.
    void checkFrame(int index, const QByteArray &frame, bool goesOut, int transfer)
    {
        FUZZ_CHECK(allowWrites, QString("[%1] written by an event that writes nothing (%2)").arg(fuzz::hex(frame.left(12)), what));
        FUZZ_CHECK(transfer != 0 && transfer == t.id,
                   QString("[%1] written with no transfer running (%2)").arg(fuzz::hex(frame.left(12)), what));
        FUZZ_CHECK(!t.closed, QString("[%1] written after the transfer's connection closed or its device went (%2)")
                                  .arg(fuzz::hex(frame.left(12)), what));
        FUZZ_CHECK(openEpoch == t.conn && index == int(devices.size()) - 1,
                   QString("[%1] written to connection %2, the transfer started on %3").arg(fuzz::hex(frame.left(12))).arg(openEpoch).arg(t.conn));
        const QString at = QString("transfer %1, %2").arg(t.id).arg(what);
        if (!goesOut && !t.failedWrite) {
            t.failedWrite = true;
            if (t.why.isEmpty())
                t.why = "a write failed";
        }
        switch (t.stage) {
        case 0:
            FUZZ_CHECK(frame == simkit::startReport().mid(1), QString("first frame [%1], E1 due (%2)").arg(fuzz::hex(frame), at));
            t.board = index;
            t.stage = 1;
            return;
        case 1:
            FUZZ_CHECK(frame == simkit::sizeReport(uint32_t(t.image.size())).mid(1),
                       QString("second frame [%1], E2 with %2 due (%3)").arg(fuzz::hex(frame)).arg(t.image.size()).arg(at));
            t.stage = 2;
            return;
        case 2:
            break;
        default:
            FUZZ_CHECK(false, QString("[%1] written after E4 (%2)").arg(fuzz::hex(frame.left(12)), at));
        }
        if (t.nextPacket <= t.packets) {
            const int k = t.nextPacket;
            FUZZ_CHECK(frame == simkit::packetReport(t.image, k).mid(1),
                       QString("[%1] where packet %2 of %3 was due (%4)").arg(fuzz::hex(frame.left(12))).arg(k).arg(t.packets).arg(at));
            FUZZ_CHECK(k == 1 || t.acksSince > 0, QString("packet %1 went out with no acknowledgement since packet %2 (%3)").arg(k).arg(k - 1).arg(at));
            FUZZ_CHECK(k == 1 || !t.behaved || t.boardAcked >= uint32_t(k - 1),
                       QString("packet %1 went out before the board acknowledged packet %2 (%3)").arg(k).arg(k - 1).arg(at));
            if (k == 1)
                t.firstWrite = begunNow();
            ++t.nextPacket;
            t.acksSince = 0;
            return;
        }
        FUZZ_CHECK(frame == simkit::checksumReport(simkit::crc32(t.image)).mid(1),
                   QString("[%1] where E4 with CRC-32 %2 was due (%3)").arg(fuzz::hex(frame)).arg(simkit::crc32(t.image), 8, 16, QChar('0')).arg(at));
        FUZZ_CHECK(t.packets == 0 || t.acksSince > 0, QString("E4 went out with no acknowledgement since the last packet (%1)").arg(at));
        FUZZ_CHECK(t.packets == 0 || !t.behaved || t.boardAcked >= uint32_t(t.packets),
                   QString("E4 went out before the board acknowledged the last packet (%1)").arg(at));
        t.stage = 3;
    }

    // ---- what the tool reports ----------------------------------------------

    void ended(bool completed, const QString &how)
    {
        FUZZ_CHECK(!endedThisEvent, QString("%1: the transfer ended twice (%2)").arg(how, what));
        endedThisEvent = true;
        if (!completed) {
            FUZZ_CHECK(live, QString("a failure reported with no transfer running (%1)").arg(what));
            live = false;
            return;
        }
        FUZZ_CHECK(live, QString("%1 with no transfer running (%2)").arg(how, what));
        const QString at = QString("%1 in transfer %2 (%3)").arg(how).arg(t.id).arg(what);
        FUZZ_CHECK(what == kResultEvent && deliveringLast, QString("%1, but not on the result of its last write").arg(at));
        FUZZ_CHECK(t.stage == 3, QString("%1, but E4 was not written (%2 of %3 packets)").arg(at).arg(t.nextPacket - 1).arg(t.packets));
        FUZZ_CHECK(!t.failedWrite && !t.closed, QString("%1, but %2").arg(at, t.why));
        const sim::OtaModel &board = *devices[size_t(t.board)].model;
        const sim::Verdict &v = board.verdict();
        FUZZ_CHECK(v.good() && simkit::toQByteArray(v.image) == t.image,
                   QString("%1, but its board holds %2 of %3 bytes: %4")
                       .arg(at).arg(v.image.size()).arg(t.image.size()).arg(QString::fromStdString(board.verdictText())));
        ++completions;
        live = false;
    }

    void engineEnded(bool completed, uint32_t crc)
    {
        if (completed)
            FUZZ_CHECK(crc == simkit::crc32(t.image), QString("Completed with CRC-32 %1").arg(crc, 8, 16, QChar('0')));
        ended(completed, completed ? "Completed" : "Failed");
        if (!strict)
            return;
        // A failed attempt is made again on the same connection and engine
        // (the schedule's Start event is the retry), unless the board's read
        // failed or its connection went. Otherwise the command line closes
        // the device and exits: the rest of the schedule is for nobody. (The
        // close is left out: the next input would open the board again, and
        // a reader thread costs milliseconds.)
        if (!completed && retriesLeft > 0 && !goneSeen && isOpen()) {
            --retriesLeft;
            retryDue = true;
        } else {
            exited = true;
        }
    }

    void boxes()
    {
        for (const QString &text : closer->take()) {
            if (text == "Upgrade Completed")
                ended(true, "\"Upgrade Completed\"");
            else if (text.startsWith("Upgrade Failed: "))
                ended(false, text);
            else if (text == "Start Upgrade" || text == "Stop Upgrade" || text.startsWith("USB open fail"))
                continue;
            else
                FUZZ_CHECK(false, QString("unexpected box \"%1\" (%2)").arg(text, what));
        }
    }

    UpgradeEngine *eng() const { return viaWindow ? windowEngine : engine.get(); }
    QHidUsbMgr *mgr() const { return viaWindow ? windowMgr : manager.get(); }
    bool isOpen() const { return mgr()->IsOpen(); }

    // ---- events --------------------------------------------------------------

    // Runs one action of the tool and checks what it did.
    template <typename F>
    void act(const QString &name, bool writes, F &&action)
    {
        what = name;
        allowWrites = writes;
        writesThisEvent = 0;
        packetsThisEvent = 0;
        resultsThisEvent = 0;
        endedThisEvent = false;
        UpgradeEngine *e = eng();
        const bool watching = e && e->AckTimer()->isActive();
        {
            std::lock_guard<std::mutex> lock(tapMutex);
            tapLive = live ? t.id : 0;
        }
        action();
        settleWriter();
        if (fuzz::verbose())
            fuzz::note(QString("at %1 ms %2: %3 frames written, %4 results reported, %5 held")
                           .arg(now).arg(what).arg(writesThisEvent).arg(resultsThisEvent).arg(parkedNow() ? "a write" : "nothing"));
        if (viaWindow)
            boxes();
        allowWrites = false;
        noticeConnection();
        FUZZ_CHECK(vhid::closedHandleUses() == 0, QString("a closed handle was used (%1)").arg(what));
        // The acknowledgement watch starts when a packet's write is reported
        // done, and only then.
        if (e && e->IsRunning() && e->AckTimer()->isActive() && !watching) {
            FUZZ_CHECK(what == kResultEvent, QString("the acknowledgement watch started on an event that reports no write (%1)").arg(what));
            ackStart = now;
        }
        // A transfer ends with Completed or Failed, or on a Stop.
        if (live && !e->IsRunning())
            FUZZ_CHECK(stopping, QString("transfer %1 ended without a word (%2)").arg(t.id).arg(what));
        if (live && stopping)
            live = false;
        stopping = false;
    }

    // Waits until the writers have written what they were handed (or the
    // board holds a write, with what came after it queued behind it) and a
    // closed connection's handles are closed (its writer closes them after
    // its last write: not while the board holds that write); then takes
    // what the board saw and the results the writer reported, in order.
    void settleWriter()
    {
        // Held, by a closed connection, writes pending, handles open,
        // handles of the open connections.
        const auto state = [this]() {
            bool held;
            {
                std::lock_guard<std::mutex> lock(tapMutex);
                held = parked;
            }
            int handles = 0;
            for (const Device &d : devices)
                handles += d.device->openHandles();
            return std::make_tuple(held, held && parkedByClosed(), manager->WritesPending() + windowMgr->WritesPending(),
                                   handles, (manager->IsOpen() ? 2 : 0) + (windowMgr->IsOpen() ? 2 : 0));
        };
        fuzz::waitUntil(
            [&]() {
                const auto s = state();
                const int handles = std::get<3>(s), open = std::get<4>(s);
                // (A write held by a closed connection's writer holds up
                // nothing of the open one's.)
                return (std::get<2>(s) == 0 || (std::get<0>(s) && !std::get<1>(s)))
                       && (std::get<1>(s) ? handles > open && handles <= open + 2 : handles == open);
            },
            "the writer settles",
            [&]() {
                const auto s = state();
                return QString("after %1: %2, %3 writes pending, %4 handles open, %5 of open connections")
                    .arg(what).arg(std::get<1>(s) ? "a closed connection's write held" : std::get<0>(s) ? "a write held" : "none held")
                    .arg(std::get<2>(s)).arg(std::get<3>(s)).arg(std::get<4>(s));
            });
        std::vector<Tapped> seen;
        {
            std::lock_guard<std::mutex> lock(tapMutex);
            seen.swap(tapped);
        }
        for (const Tapped &w : seen)
            took(w);
        resultsThisEvent += results.collect();
    }

    bool parkedNow()
    {
        std::lock_guard<std::mutex> lock(tapMutex);
        return parked;
    }

    // The held write is one of a connection closed since it began.
    bool parkedByClosed() const { return parkedMgr && parkedMgr->Connection() != parkedConn; }

    // The board ends the write it holds: the clock stands at least the
    // write's time after it began; the write succeeds or fails as the
    // schedule said, and the frames queued behind it are written now.
    void releaseHeld(const QString &name)
    {
        FUZZ_CHECK(parkedMgr, QString("a write is held that no event saw begin"));
        const bool closedOne = parkedByClosed();
        const int behind = closedOne ? 0 : qMax(0, parkedMgr->WritesPending() - 1);
        now = qMax(now, parkedAt + parkedMs);
        // (A frame queued behind it may be held in turn: took() notes it.)
        parkedMgr = nullptr;
        parkedConn = 0;
        releasing = true;
        act(name, behind > 0, [this]() {
            {
                std::lock_guard<std::mutex> lock(tapMutex);
                releaseParked = true;
            }
            tapWake.notify_all();
            fuzz::waitUntil(
                [this]() {
                    std::lock_guard<std::mutex> lock(tapMutex);
                    return !releaseParked;
                },
                "the board lets the held write go");
        });
        releasing = false;
        if (fuzz::verbose())
            fuzz::note(QString("%1: %2 queued behind it, %3 written now, %4 results%5")
                           .arg(name).arg(behind).arg(writesThisEvent).arg(resultsThisEvent)
                           .arg(closedOne ? ", its connection closed" : ""));
        FUZZ_CHECK(writesThisEvent <= behind,
                   QString("%1 frames written when the held write ended, %2 were queued behind it").arg(writesThisEvent).arg(behind));
        // A closed connection's writer still reports the write that was in
        // progress at the close (E4's decides its transfer).
        if (closedOne)
            FUZZ_CHECK(resultsThisEvent == 1, QString("the write in progress at its connection's close was not reported"));
    }

    // The oldest write result the writer reported reaches the engine (as the
    // queued signal would). A result of the running transfer's write may
    // send the next frame, at most one: when it was the last of the
    // transfer's frames not yet reported, a tick since the last frame found
    // none to send and (checked with the frame) the acknowledgement is in.
    void deliverResult()
    {
        if (results.empty())
            return;
        const fuzz::HeldResults::Result r = results.pop();
        const bool mine = live && r.tag == t.id;
        int others = 0;
        for (size_t i = 0; i < results.size(); ++i)
            others += results.at(i).tag == r.tag ? 1 : 0;
        const bool last = mine && others == 0 && mgr()->WritesPending() == 0;
        if (mine && !r.written) {
            t.failedWrite = true;
            if (t.why.isEmpty())
                t.why = "a write failed";
        }
        deliveringLast = last;
        const bool due = last && tickFoundNone && sendable() && (t.nextPacket == 1 || t.acksSince > 0)
                         && (r.written || !strict);
        if (fuzz::verbose())
            fuzz::note(QString("result of write %1 (%2, transfer %3%4)")
                           .arg(r.ticket).arg(r.written ? "written" : "failed").arg(r.tag).arg(last ? ", its last" : ""));
        act(kResultEvent, last && tickFoundNone, [&]() { fuzz::HeldResults::deliver(eng(), r); });
        deliveringLast = false;
        FUZZ_CHECK(writesThisEvent <= 1, QString("one write result sent %1 frames").arg(writesThisEvent));
        FUZZ_CHECK(writesThisEvent == 1 || !due, QString("the late result sent nothing (transfer %1)").arg(t.id));
        if (writesThisEvent > 0)
            lastTick = now; // the pacing timer starts again with the packet
        if (!mine)
            FUZZ_CHECK(!endedThisEvent, QString("a result of another transfer's write (or of none) ended transfer %1").arg(t.id));
        // Strict: the failed write's result ends the transfer.
        if (mine && !r.written && strict)
            FUZZ_CHECK(endedThisEvent && !eng()->IsRunning(),
                       QString("strict transfer %1 goes on after a failed write was reported (%2)").arg(t.id).arg(r.error));
    }

    // Everything the writer has to say: the held write ends, every result
    // reaches the engine (and those of what they sent, in turn).
    void settleResults()
    {
        for (int i = 0; !exited; ++i) {
            FUZZ_CHECK(i < 64, QString("the write results keep coming (%1 held)").arg(results.size()));
            if (parkedNow())
                releaseHeld("the board ends the held write");
            else if (!results.empty())
                deliverResult();
            else
                break;
        }
    }

    // Opens and closes as the harness sees them: a new connection is a new
    // open of a board; a close or an unplug ends the transfer's connection.
    void noticeConnection()
    {
        const int opens = totalOpens();
        if (opens > knownOpens) {
            knownOpens = opens;
            openEpoch = ++epoch;
            readFailureReported = false;
        }
        if (!anyOpen())
            unpluggedOpen = false;
        if (openEpoch && !anyOpen()) {
            // Once E4 is on the board, its write decides (the board may go
            // as soon as it has taken it).
            if (live && t.conn == openEpoch && t.stage != 3)
                markClosed("its connection was closed");
            openEpoch = 0;
        }
    }

    void markClosed(const QString &why)
    {
        if (!t.closed) {
            t.closed = true;
            if (t.why.isEmpty())
                t.why = why;
        }
    }

    void startTransfer()
    {
        UpgradeEngine *e = eng();
        if (e->IsRunning() || !isOpen())
            return; // the window ignores the button then; the engine refuses
        // The command line's retry sends the image of the attempt before.
        const QByteArray sent = strict && retryDue ? t.image : image;
        retryDue = false;
        if (lastAnswer.transfer != 0)
            earlier = lastAnswer; // an answer of an attempt before this one
        t = Transfer();
        t.id = ++transfers;
        t.conn = openEpoch;
        t.mgrConn = mgr()->Connection();
        t.image = sent;
        t.packets = int((sent.size() + kPayload - 1) / kPayload);
        t.closed = openEpoch == 0 || unpluggedOpen;
        if (t.closed)
            t.why = "its device was gone";
        live = true;
        ackStart = -1;
        tickFoundNone = false;
        scanner.line.clear(); // Start empties the line being assembled
        act("Start", true, [&]() {
            if (viaWindow) {
                loadButton->click();
            } else {
                engine->LoadImage(sent);
                engine->Start(intervalMs);
            }
        });
        lastTick = now;
        if (!endedThisEvent)
            FUZZ_CHECK(eng()->IsRunning(), QString("Start did not start"));
        if (live)
            FUZZ_CHECK(e->Timer()->interval() == qMax(1, intervalMs),
                       QString("pacing at %1 ms, %2 ms asked").arg(e->Timer()->interval()).arg(intervalMs));
    }

    void stopTransfer()
    {
        // The window's Stop button does nothing while the device is closed.
        if (!eng()->IsRunning() || (viaWindow && !isOpen()))
            return;
        stopping = true;
        act("Stop", false, [&]() {
            if (viaWindow)
                loadButton->click();
            else
                engine->Stop();
        });
        // The command line's interrupt stops, closes and exits (the close
        // left out as above).
        if (strict)
            exited = true;
        FUZZ_CHECK(!eng()->IsRunning() && !eng()->Timer()->isActive(), QString("Stop left the transfer running"));
        // Only a write the board holds may still be in the writer; what was
        // queued behind it is taken back and never reaches the board.
        const int held = parkedNow() && !parkedByClosed() && parkedMgr == mgr() ? 1 : 0;
        FUZZ_CHECK(mgr()->WritesPending() == held,
                   QString("Stop left %1 writes in the writer (%2 held by the board)").arg(mgr()->WritesPending()).arg(held));
    }

    // One tick of the pacing timer, or the acknowledgement time-out when it
    // falls due first.
    void tick()
    {
        UpgradeEngine *e = eng();
        const int interval = qMax(1, e->Timer()->interval());
        const qint64 next = qMax(now, lastTick + interval);
        if (strict && e->AckTimer()->isActive() && ackStart >= 0 && ackStart + ackTimeoutMs <= next) {
            now = qMax(now, ackStart + ackTimeoutMs);
            ackTimeout();
            return;
        }
        now = next;
        if (!e->Timer()->isActive() || ++ticks > kMaxTicks)
            return;
        lastTick = now;
        act("tick", true, [&]() { QMetaObject::invokeMethod(e->Timer(), "timeout", Qt::DirectConnection); });
        // (A missing acknowledgement or a frame not yet reported written: the
        // next frame is left to whichever of them comes last.)
        if (writesThisEvent == 0 && e->IsRunning())
            tickFoundNone = true;
        FUZZ_CHECK(packetsThisEvent <= 1, QString("one tick wrote %1 data packets").arg(packetsThisEvent));
        FUZZ_CHECK(writesThisEvent <= 1, QString("one tick wrote %1 frames").arg(writesThisEvent));
    }

    void ackTimeout()
    {
        UpgradeEngine *e = eng();
        if (!e->AckTimer()->isActive())
            return;
        const bool wasWaiting = e->IsRunning() && !e->ReadyForNext();
        act("acknowledgement time-out", false,
            [&]() { QMetaObject::invokeMethod(e->AckTimer(), "timeout", Qt::DirectConnection); });
        if (wasWaiting)
            FUZZ_CHECK(!e->IsRunning() && endedThisEvent, QString("the acknowledgement time-out did not end the transfer"));
        ackStart = -1;
    }

    // A late reply across a retry: the board's answer to a packet of an
    // attempt before the running one (on this connection or one closed
    // since), stamped when the board sent it, comes only now. It is none of
    // the running transfer's business: it frees no packet of it, and sends
    // nothing.
    void lateReply()
    {
        if (!live || earlier.transfer == 0)
            return;
        UpgradeEngine *e = eng();
        const bool readyBefore = e->ReadyForNext();
        const uint32_t packet = uint32_t(t.nextPacket - 1);
        deliver(earlier);
        FUZZ_CHECK(writesThisEvent == 0, QString("a reply to packet %1 of transfer %2 sent a frame of transfer %3")
                                             .arg(earlier.packet).arg(earlier.transfer).arg(t.id));
        FUZZ_CHECK(!e->IsRunning() || e->ReadyForNext() == readyBefore,
                   QString("a reply to packet %1 of transfer %2 freed the packet after packet %3 of transfer %4")
                       .arg(earlier.packet).arg(earlier.transfer).arg(packet).arg(t.id));
    }

    // A tick that comes after all (one queued before a Stop).
    void staleTick()
    {
        if (eng()->IsRunning())
            return;
        act("tick after the end", false, [&]() { eng()->SendNextPacket(); });
    }

    void deliver(const Chunk &c)
    {
        // A chunk of another connection than the line being assembled starts
        // the line afresh. While a transfer runs, a chunk of another
        // connection than its own, or one the board sent before the
        // transfer's first packet was written, is none of its business.
        if (c.conn != scannerConn) {
            scanner.line.clear();
            scannerConn = c.conn;
        }
        const bool counts = !eng()->IsRunning() || (c.conn == t.mgrConn && t.firstWrite != 0 && c.stamp >= t.firstWrite);
        const int acks = counts ? scanner.feed(c.bytes) : 0;
        if (live) {
            // A line that answers no packet of this transfer, or answers one
            // twice, is a board misbehaving or a late answer across a Stop.
            if (acks > 0 && (c.transfer != t.id || c.extra || acks > 1))
                t.behaved = false;
            t.acksSince += acks;
            if (c.endsAck && c.transfer == t.id)
                t.boardAcked = qMax(t.boardAcked, c.packet);
        }
        const qint64 at = now;
        // Sends at once only when nothing of the transfer waits for its result.
        const bool late = live && tickFoundNone && acks > 0 && outstanding() == 0;
        const bool due = late && sendable();
        act("a chunk received", late, [&]() {
            // As the manager hands it on: the window logs it, then the
            // transfer scans it.
            if (viaWindow)
                window->RecvBufSlot(c.bytes);
            eng()->ScanChunk(c.conn, c.stamp, c.bytes);
        });
        FUZZ_CHECK(writesThisEvent <= 1, QString("one chunk received wrote %1 frames").arg(writesThisEvent));
        FUZZ_CHECK(writesThisEvent == 1 || !due, QString("the late acknowledgement sent nothing (transfer %1)").arg(t.id));
        if (writesThisEvent > 0)
            lastTick = at; // the pacing timer starts again with the packet
    }

    // The index of the report whose write began last on the open connection
    // (the reader's stamp), with the writer settled: every report queued so
    // far, but those queued behind a write the board holds.
    quint64 begunNow()
    {
        QHidUsbMgr *m = mgr();
        const int held = parkedNow() && !parkedByClosed() && parkedMgr == m ? 1 : 0;
        return m->QueuedReports() - quint64(qMax(0, m->WritesPending() - held));
    }

    // A frame (a packet or E4) is due and can go: connection open, board plugged.
    bool sendable() const { return live && !t.closed && t.stage == 2; }

    // Frames of the running transfer whose results have not reached the
    // engine: held here, or still in the writer (a write the board holds,
    // and what is queued behind it).
    int outstanding() const
    {
        int n = mgr()->WritesPending();
        for (size_t i = 0; i < results.size(); ++i)
            n += results.at(i).tag == t.id ? 1 : 0;
        return n;
    }

    void deliverNext()
    {
        if (outbox.empty())
            return;
        const Chunk c = outbox.front();
        outbox.erase(outbox.begin());
        deliver(c);
    }

    void unplugBoard()
    {
        if (!boardPresent)
            return;
        boardPresent = false;
        if (devices.back().device->openHandles() > 0) {
            unpluggedOpen = true;
            // Once E4 is on the board the image is whole: the result of its
            // write, reported after the unplug, may still complete it.
            if (live && t.conn == openEpoch && t.stage != 3)
                markClosed("its device was unplugged");
        }
        vhid::unplug(kBoardPath);
        outbox.clear(); // the reports in flight go with it
    }

    // Out (when in) and in again: a new board, as one that restarted. A
    // handle the tool still has to the old one stays dead.
    void replug()
    {
        unplugBoard();
        plug();
    }

    void deviceChanged()
    {
        if (!viaWindow)
            return; // the command line has no such notification
        act("device change", false, [&]() {
            window->DeviceChanged();
            fuzz::waitForWindow(window, "the window lists the boards after a device change");
        });
    }

    // The reader's report of its first failed read on the open connection.
    void readFailed()
    {
        if (!unpluggedOpen || readFailureReported || !isOpen())
            return;
        readFailureReported = true;
        if (viaWindow)
            return; // the window's reader reports through its queued signal, which the window ignores
        // Once E4 is queued, its write decides: the board may go as soon as
        // it has taken it.
        const bool running = engine->IsRunning() && live && t.conn == openEpoch && !engine->ChecksumSent();
        goneSeen = true;
        act("read failure", false, [&]() { engine->ReadFailed(manager->Connection()); });
        if (running && strict)
            FUZZ_CHECK(!engine->IsRunning(), QString("the strict transfer goes on after its read failed"));
    }

    void toggleConnection()
    {
        if (isOpen())
            disconnect();
        else
            connect();
    }

    void disconnect()
    {
        act("disconnect", false, [&]() {
            if (!viaWindow)
                manager->CloseUsb();
            else if (windowMgr->IsOpen())
                openButton->click();
        });
        unpluggedOpen = false;
    }

    void connect()
    {
        act("connect", false, [&]() {
            if (viaWindow) {
                // Listing and opening run on the window's thread of device
                // calls; the event is over when both have come back.
                scanButton->click();
                fuzz::waitForWindow(window, "the window lists the boards");
                openButton->click();
                fuzz::waitForWindow(window, "the window connects");
            } else {
                manager->EnumDevices();
                manager->OpenUsb(0);
            }
        });
        if (anyOpen())
            unpluggedOpen = false;
    }

    void writeImageFile()
    {
        FUZZ_CHECK(simkit::writeFile("update/image.bin", image), QString("cannot write the image"));
    }

    int pickInterval(fuzz::Input &in)
    {
        const uint8_t b = in.byte();
        return b < 0xC0 ? kIntervals[b % std::size(kIntervals)] : 1 + (b & 0x3F) * 37;
    }

    void event(fuzz::Input &in)
    {
        const uint8_t op = in.byte();
        if (exited)
            return;
        switch (op % 24) {
        case 0: case 1: case 2: case 3:
            tick();
            break;
        case 4: // the oldest write result reaches the engine, or else the held write ends
            if (!results.empty())
                deliverResult();
            else if (parkedNow())
                releaseHeld("the board ends the held write");
            break;
        case 5: case 6:
            deliverNext();
            break;
        case 7: // every write ends and every result reaches the engine
            settleResults();
            break;
        case 8: { // several ticks, each after whatever the board and the writer said
            const int n = 1 + in.byte() % 128;
            for (int i = 0; i < n && eng()->IsRunning() && !exited; ++i) {
                while (!outbox.empty())
                    deliverNext();
                settleResults();
                if (!exited)
                    tick();
            }
            break;
        }
        case 9: // the next chunk is lost
            if (!outbox.empty())
                outbox.erase(outbox.begin());
            break;
        case 10: // the next chunk comes twice
            if (!outbox.empty()) {
                Chunk copy = outbox.front();
                copy.extra = true;
                outbox.insert(outbox.begin(), copy);
            }
            break;
        case 11: {
            const uint8_t b = in.byte();
            style = Style(b % 8);
            splitAt = b >> 3;
            break;
        }
        case 12: { // writes that fail, write nothing, or that the board holds
            const uint8_t b = in.byte();
            std::lock_guard<std::mutex> lock(tapMutex);
            switch (b & 3) {
            case 0: failNext = 1 + (b >> 2) % 3; break;
            case 1: shortNext = 1; break;
            default:
                holdNextMs = 1 + (b >> 2) * 40;
                holdFails = (b & 3) == 3;
            }
            break;
        }
        case 13:
            unplugBoard();
            break;
        case 14:
            replug();
            break;
        case 15:
            if (!viaWindow || costly())
                deviceChanged();
            break;
        case 16:
            readFailed();
            break;
        case 17:
            if (viaWindow && !costly())
                break;
            if (eng()->IsRunning())
                stopTransfer();
            else
                startTransfer();
            break;
        case 18:
            if (costly())
                toggleConnection();
            break;
        case 19: // another image for the next transfer
            image = simkit::image(kSizes[in.byte() % std::size(kSizes)], in.byte());
            if (viaWindow)
                writeImageFile();
            break;
        case 20:
            intervalMs = pickInterval(in);
            if (viaWindow)
                simkit::writeInterval(intervalMs);
            break;
        case 21: // something late: a tick after the end, or a reply of an attempt before
            if (eng()->IsRunning())
                lateReply();
            else
                staleTick();
            break;
        case 22: { // raw bytes from the device
            Chunk c;
            c.bytes = in.take(1 + in.byte() % 64);
            c.extra = true;
            c.conn = mgr()->Connection();
            c.stamp = begunNow();
            deliver(c);
            break;
        }
        case 23:
            ackTimeout();
            break;
        }
    }

    // Start and Stop in the window (a message box each) and opens and closes
    // (a reader thread each) take milliseconds: an input gets a few of them,
    // so that the run keeps its pace and no input runs into libFuzzer's
    // time-out.
    bool costly() { return ++costlyEvents <= kMaxCostlyEvents; }

    // At the end of an input: a strict transfer that can time out must end
    // within a bounded number of steps, whatever the board does now.
    void drain()
    {
        if (!strict || !engine->IsRunning() || ackTimeoutMs == 0)
            return;
        const int bound = 2 * (t.packets + 4);
        for (int i = 0; i < bound && engine->IsRunning(); ++i) {
            while (!outbox.empty())
                deliverNext();
            settleResults();
            if (!engine->IsRunning())
                break;
            if (!engine->ReadyForNext() && engine->AckTimer()->isActive())
                ackTimeout();
            else
                tick();
        }
        FUZZ_CHECK(!engine->IsRunning(), QString("a strict transfer with a %1 ms time-out did not end within %2 steps (packet %3 of %4, ready %5)")
                                             .arg(ackTimeoutMs).arg(bound).arg(engine->PacketIndex()).arg(engine->PacketCount()).arg(engine->ReadyForNext()));
    }

    std::string scratch;
    fuzz::BoxCloser *closer = nullptr;
    Widget *window = nullptr;
    QPushButton *openButton = nullptr;
    QPushButton *scanButton = nullptr;
    QPushButton *loadButton = nullptr;
    QTextEdit *log = nullptr;
    UpgradeEngine *windowEngine = nullptr;
    NoRealTime noRealTime;

    QHidUsbMgr *windowMgr = nullptr;
    std::unique_ptr<QHidUsbMgr> manager;
    std::unique_ptr<UpgradeEngine> engine;

    enum class Holder { None, Engine, Window };
    Holder holder = Holder::None; // whose manager has the board open
    bool viaWindow = false;
    bool strict = false;
    int ackTimeoutMs = 0;
    int intervalMs = 1;
    QByteArray image;

    std::vector<Device> devices;
    std::vector<Chunk> outbox;
    Style style = Style::Padded;
    int splitAt = 7;

    // The board's side, shared with the writer thread: how the next writes
    // end, the frames it took, the transfer running (for what it takes),
    // and the write it holds.
    std::mutex tapMutex;
    std::condition_variable tapWake;
    int failNext = 0;
    int shortNext = 0;
    int holdNextMs = 0;
    bool holdFails = false;
    std::vector<Tapped> tapped;
    int tapLive = 0;
    bool parked = false;
    bool releaseParked = false;
    // The held write, as the harness saw it begin.
    qint64 parkedAt = 0;
    int parkedMs = 0;
    QHidUsbMgr *parkedMgr = nullptr;
    quint64 parkedConn = 0;

    fuzz::HeldResults results;

    qint64 now = 0;
    qint64 lastTick = 0;
    // A tick since the last frame went found no acknowledgement: the next
    // acknowledgement line sends at once.
    bool tickFoundNone = false;
    qint64 ackStart = -1;

    int epoch = 0;
    int openEpoch = 0;
    int knownOpens = 0;
    bool boardPresent = false;
    bool unpluggedOpen = false; // the open handle's device was unplugged
    bool readFailureReported = true;
    int ticks = 0;
    static constexpr int kMaxTicks = 20000; // per input: bounds a run's time
    int costlyEvents = 0;
    static constexpr int kMaxCostlyEvents = 4;

    ReplyScanner scanner;
    quint64 scannerConn = 0; // whose bytes the scanner's line holds
    // The board's last answer, and the last of an attempt before the
    // running one (a copy of it is the late reply).
    Chunk lastAnswer;
    Chunk earlier;
    // The command line's retries: a failed attempt is made again.
    static constexpr int kRetries = 2;
    int retriesLeft = kRetries;
    bool retryDue = false;
    bool goneSeen = false; // the engine was told of a failed read
    Transfer t;
    bool live = false;
    int transfers = 0;
    int completions = 0;

    QString what;
    bool allowWrites = false;
    int writesThisEvent = 0;
    int packetsThisEvent = 0;
    int resultsThisEvent = 0;
    bool deliveringLast = false; // the event hands the engine its transfer's last outstanding result
    bool releasing = false;      // the event ends a held write
    bool endedThisEvent = false;
    bool stopping = false;
    bool exited = false; // the command line's transfer has ended
};

} // namespace

FUZZ_TARGET_ENTRY(Harness::get())
