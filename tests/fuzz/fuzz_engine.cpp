// The upgrade engine under schedules of events: the real device manager (on
// the virtual HID devices, with its reader thread) and the engine, driven
// the way the window drives it (patient), the way the command line drives
// it (strict, with an acknowledgement time-out, one transfer and exit), or
// through the window itself, against a simulated board, through one
// transfer or several.
//
// The input is a header and then a schedule, one event per opcode byte:
// timer ticks, acknowledgements held back, delivered, split, padded, wrapped
// in noise, doubled or lost, failing, short and blocking writes, unplug and
// replug, device-change notifications, Stop and Start, disconnect and
// connect, another image or interval, ticks that arrive after a Stop, and
// raw chunks.
//
// The clock is the schedule's. The engine's timers never fire by themselves
// (an event filter swallows their timer events); a tick is the pacing
// timer's timeout invoked directly, and the clock jumps to the deadline of
// whichever timer is due first. The board's replies are not queued on the
// virtual device for the manager's reader to pick up, but kept here and
// handed to the tool (the window's RecvBufSlot, or the engine's ScanReply)
// when the schedule says so: what the reader delivered between two events
// would depend on the threads' timing. The reader thread still runs on every open device; its
// report of a failed read reaches a driven engine when the schedule says
// (ReadFailed), and the window's through its queued signal (a patient
// engine ignores it). So an input always runs the same way.
//
// A blocking write is a write during which the schedule's clock moves on:
// the write returns (done, or failed after its time-out), and the timers
// that fell due meanwhile fire at the next events, a periodic one once.
//
// Invariants, checked after every event (a breach aborts with "property
// violated"):
//  - a tick writes at most one data packet; a chunk received writes at most
//    one frame, and only when it holds an acknowledgement line and a tick
//    since the last packet found none (a late acknowledgement sends at
//    once; the pacing timer starts again with every packet); other events
//    than these and Start write nothing; Start writes E1 and E2 and nothing
//    else;
//  - a frame is written only within a transfer, only to the connection the
//    transfer started on, and never after its Stop, its connection's close
//    or its device's unplug;
//  - within a transfer the frames come in order: E1, E2 with the image's
//    size, packets 1..N each once with the image's bytes, E4 with the CRC-32
//    of that image; packet k > 1 only after an acknowledgement line was
//    received since packet k - 1 went out (as a reference scanner counts
//    them), E4 only after one since packet N;
//  - completion (the "Upgrade Completed" box, or the Completed signal, the
//    command line's exit 0) only for a transfer in which all of that went
//    out, no write failed, its connection stayed open and its device
//    plugged, and the board holds exactly the image with a matching CRC;
//  - strict: the event in which a write fails, the read error is reported
//    or the acknowledgement time-out fires ends the transfer as failed; at
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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPayload = 60;
const QByteArray kAckLine("AT+OTA=E3:1\r");
const QByteArray kNakLine("AT+OTA=E3:0\r");
const char kBoardPath[] = "fuzz:engine-board";

const int kSizes[] = {0, 1, 59, 60, 61, 119, 120, 121, 180, 600, 601, 1799, 3000, 6007};
const int kIntervals[] = {1, 2, 5, 10, 20, 50, 100, 1000};
const int kAckTimeouts[] = {0, 1, 10, 50, 200, 1000, 3000, 5};

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
};

enum class Style { Padded, Bare, Split, Noise, Double, Nak, Silent, PaddedSplit };

struct Transfer
{
    int id = 0;
    int conn = 0; // the harness's number of the connection it started on
    QByteArray image;
    int packets = 0;     // N
    int stage = 0;       // 0 E1 due, 1 E2 due, 2 data or E4 due, 3 E4 written
    int nextPacket = 1;
    int acksSince = 0;   // lines received since the last data packet went out
    uint32_t boardAcked = 0; // highest packet whose own answer was received
    bool behaved = true; // no foreign, doubled or raw line received during it
    bool failedWrite = false;
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
        FUZZ_CHECK(openButton && scanButton && loadButton && log && windowEngine,
                   QString("the window lacks a widget or its engine"));
        windowEngine->Timer()->installEventFilter(&noRealTime);
        windowEngine->AckTimer()->installEventFilter(&noRealTime);
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
        failNext = 0;
        shortNext = 0;
        blockNextMs = 0;
        blockedMs = 0;
        blockFails = false;
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
            window->RecvBufSlot("\r");
            closer->take();
            writeImageFile();
            simkit::writeInterval(intervalMs);
        } else {
            engine = std::make_unique<UpgradeEngine>(manager.get());
            engine->SetStrict(strict, ackTimeoutMs);
            engine->Timer()->installEventFilter(&noRealTime);
            engine->AckTimer()->installEventFilter(&noRealTime);
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
        engine.reset();
        closer->take();
        FUZZ_CHECK(vhid::closedHandleUses() == 0,
                   QString("%1 hidapi calls on a closed handle").arg(vhid::closedHandleUses()));
        if (!anyHandleOpen())
            holder = Holder::None;
    }

    // Closes whatever is open, so that no reader thread is left in hidapi.
    void closeAll()
    {
        if (manager && manager->IsOpen())
            manager->CloseUsb();
        if (window && anyHandleOpen())
            openButton->click();
        closer->take();
        FUZZ_CHECK(!anyHandleOpen(), QString("a handle stayed open after the close"));
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

    int written(int index, const vhid::Bytes &raw)
    {
        const QByteArray frame = simkit::toQByteArray(raw).mid(1); // without the report id
        ++writesThisEvent;
        tickFoundNone = false;
        const bool data = !frame.startsWith("AT+OTA=E");
        if (data)
            ++packetsThisEvent;
        int result = int(raw.size());
        bool failed = false;
        if (blockNextMs > 0) {
            blockedMs += blockNextMs;
            blockNextMs = 0;
            failed = blockFails;
        }
        if (failNext > 0) {
            --failNext;
            failed = true;
        } else if (shortNext > 0) {
            --shortNext;
            result = 0; // hidapi reports no byte written
        }
        if (failed)
            result = -1;
        checkFrame(index, frame, result > 0);
        if (result <= 0)
            return result;

        Device &d = devices[size_t(index)];
        const uint32_t before = d.model->verdict().packets;
        d.model->handleOutput(reinterpret_cast<const uint8_t *>(frame.constData()), size_t(frame.size()));
        if (data && d.model->verdict().packets > before)
            answer(uint32_t(d.model->verdict().packets));
        return result;
    }

    // The board's answer to a packet it took, as the current style says.
    void answer(uint32_t packet)
    {
        const int id = live ? t.id : 0;
        auto push = [&](QByteArray bytes, bool ends, bool extra = false) {
            outbox.push_back(Chunk{bytes, id, packet, ends, extra});
        };
        auto pad = [](QByteArray b) { return b.size() < 64 ? b + QByteArray(64 - b.size(), '\0') : b; };
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
    void checkFrame(int index, const QByteArray &frame, bool goesOut)
    {
        FUZZ_CHECK(allowWrites, QString("[%1] written by an event that writes nothing (%2)").arg(fuzz::hex(frame.left(12)), what));
        FUZZ_CHECK(live, QString("[%1] written with no transfer running (%2)").arg(fuzz::hex(frame.left(12)), what));
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
        FUZZ_CHECK(t.stage == 3, QString("%1, but E4 was not written (%2 of %3 packets)").arg(at).arg(t.nextPacket - 1).arg(t.packets));
        FUZZ_CHECK(!t.failedWrite && !t.closed, QString("%1, but %2").arg(at, t.why));
        FUZZ_CHECK(openEpoch == t.conn, QString("%1, but its connection is not open").arg(at));
        const sim::Verdict &v = devices.back().model->verdict();
        FUZZ_CHECK(v.good() && simkit::toQByteArray(v.image) == t.image,
                   QString("%1, but the board holds %2 of %3 bytes: %4")
                       .arg(at).arg(v.image.size()).arg(t.image.size()).arg(QString::fromStdString(devices.back().model->verdictText())));
        ++completions;
        live = false;
    }

    void engineEnded(bool completed, uint32_t crc)
    {
        if (completed)
            FUZZ_CHECK(crc == simkit::crc32(t.image), QString("Completed with CRC-32 %1").arg(crc, 8, 16, QChar('0')));
        ended(completed, completed ? "Completed" : "Failed");
        // The command line closes the device and exits: the rest of the
        // schedule is for nobody. (The close is left out: the next input
        // would open the board again, and a reader thread costs
        // milliseconds.)
        if (strict)
            exited = true;
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
    bool isOpen() const { return viaWindow ? anyHandleOpen() : manager->IsOpen(); }

    // ---- events --------------------------------------------------------------

    // Runs one action of the tool and checks what it did.
    template <typename F>
    void act(const QString &name, bool writes, F &&action)
    {
        what = name;
        allowWrites = writes;
        writesThisEvent = 0;
        packetsThisEvent = 0;
        endedThisEvent = false;
        const bool failedBefore = t.failedWrite;
        action();
        if (viaWindow)
            boxes();
        allowWrites = false;
        now += blockedMs;
        blockedMs = 0;
        noticeConnection();
        FUZZ_CHECK(vhid::closedHandleUses() == 0, QString("a closed handle was used (%1)").arg(what));
        // A strict transfer ends in the event that failed it.
        if (strict && live && t.failedWrite && !failedBefore)
            FUZZ_CHECK(false, QString("strict transfer %1 goes on after a failed write (%2)").arg(t.id).arg(what));
        UpgradeEngine *e = eng();
        if (strict && e && e->IsRunning() && e->AckTimer()->isActive() && packetsThisEvent > 0)
            ackStart = now;
        // A transfer ends with Completed or Failed, or on a Stop.
        if (live && !e->IsRunning())
            FUZZ_CHECK(stopping, QString("transfer %1 ended without a word (%2)").arg(t.id).arg(what));
        if (live && stopping)
            live = false;
        stopping = false;
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
        if (!anyHandleOpen())
            unpluggedOpen = false;
        if (openEpoch && !anyHandleOpen()) {
            if (live && t.conn == openEpoch)
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
        t = Transfer();
        t.id = ++transfers;
        t.conn = openEpoch;
        t.image = image;
        t.packets = int((image.size() + kPayload - 1) / kPayload);
        t.closed = openEpoch == 0 || unpluggedOpen;
        if (t.closed)
            t.why = "its device was gone";
        live = true;
        ackStart = -1;
        act("Start", true, [&]() {
            if (viaWindow) {
                loadButton->click();
            } else {
                engine->LoadImage(image);
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
        const bool waiting = e->IsRunning() && !e->ReadyForNext();
        act("tick", true, [&]() { QMetaObject::invokeMethod(e->Timer(), "timeout", Qt::DirectConnection); });
        if (waiting && writesThisEvent == 0 && e->IsRunning())
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

    // A tick that comes after all (one queued before a Stop).
    void staleTick()
    {
        if (eng()->IsRunning())
            return;
        act("tick after the end", false, [&]() { eng()->SendNextPacket(); });
    }

    void deliver(const Chunk &c)
    {
        const int acks = scanner.feed(c.bytes);
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
        act("a chunk received", live && tickFoundNone && acks > 0, [&]() {
            if (viaWindow)
                window->RecvBufSlot(c.bytes);
            else
                engine->ScanReply(c.bytes);
        });
        FUZZ_CHECK(writesThisEvent <= 1, QString("one chunk received wrote %1 frames").arg(writesThisEvent));
        if (writesThisEvent > 0)
            lastTick = at; // the pacing timer starts again with the packet
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
            if (live && t.conn == openEpoch)
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
        act("device change", false, [&]() { window->DeviceChanged(); });
    }

    // The reader's report of its first failed read on the open connection.
    void readFailed()
    {
        if (!unpluggedOpen || readFailureReported || !isOpen())
            return;
        readFailureReported = true;
        if (viaWindow)
            return; // the window's reader reports through its queued signal, which the window ignores
        const bool running = engine->IsRunning() && live && t.conn == openEpoch;
        act("read failure", false, [&]() { engine->ReadFailed(manager->Connection()); });
        if (running && strict)
            FUZZ_CHECK(!engine->IsRunning(), QString("the strict transfer goes on after its read failed"));
    }

    void toggleConnection()
    {
        if (isOpen() || anyHandleOpen())
            disconnect();
        else
            connect();
    }

    void disconnect()
    {
        act("disconnect", false, [&]() {
            if (!viaWindow)
                manager->CloseUsb();
            else if (anyHandleOpen())
                openButton->click();
        });
        unpluggedOpen = false;
    }

    void connect()
    {
        act("connect", false, [&]() {
            if (viaWindow) {
                scanButton->click();
                openButton->click();
            } else {
                manager->EnumDevices();
                manager->OpenUsb(0);
            }
        });
        if (anyHandleOpen())
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
        case 0: case 1: case 2: case 3: case 4:
            tick();
            break;
        case 5: case 6: case 7:
            deliverNext();
            break;
        case 8: { // several ticks, each after whatever the board sent
            const int n = 1 + in.byte() % 128;
            for (int i = 0; i < n && eng()->IsRunning(); ++i) {
                while (!outbox.empty())
                    deliverNext();
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
        case 12: { // writes that fail, write nothing, or block
            const uint8_t b = in.byte();
            switch (b & 3) {
            case 0: failNext = 1 + (b >> 2) % 3; break;
            case 1: shortNext = 1; break;
            default:
                blockNextMs = 1 + (b >> 2) * 40;
                blockFails = (b & 3) == 3;
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
        case 21:
            staleTick();
            break;
        case 22: { // raw bytes from the device
            Chunk c;
            c.bytes = in.take(1 + in.byte() % 64);
            c.extra = true;
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
    int failNext = 0;
    int shortNext = 0;
    int blockNextMs = 0;
    bool blockFails = false;
    qint64 blockedMs = 0;

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
    Transfer t;
    bool live = false;
    int transfers = 0;
    int completions = 0;

    QString what;
    bool allowWrites = false;
    int writesThisEvent = 0;
    int packetsThisEvent = 0;
    bool endedThisEvent = false;
    bool stopping = false;
    bool exited = false; // the command line's transfer has ended
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Harness::get().init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Harness::get().runOne(data, size);
    return 0;
}
