// The reply scanner, fed chunk by chunk as the manager hands chunks on (the
// window's log, then the engine's ScanChunk with the connection and the last
// report whose write began) while the window
// is idle, sending and ready, or sending and awaiting an acknowledgement.
//
// The device answers every data packet with the line "AT+OTA=E3:1" CR. A
// line starts at an 'A'; bytes outside a line are dropped one by one; a line
// is examined when its CR arrives and counts as an acknowledgement when the
// text occurs anywhere in it; a line holds at most 240 bytes before its CR,
// and the byte that would make it 241 without being a CR drops the line.
// An acknowledgement raises one permission (a flag, not a counter) to send
// the next packet at the next tick.
//
// The window's line buffer and flag are private. They are observed through
// what the device receives: the data packets written per tick. A reference
// scanner below, written from the rule above, predicts at every tick whether
// a packet goes; the product must agree on every input, including lines cut
// at any point, noise, and lines near and beyond the 240-byte limit.
//
// The input's first byte picks the mode (low two bits, 3 counting as 0) and
// the window's state (bit 2: a transfer runs; bit 3, mode 0 only: a packet
// may go):
//   mode 0: arbitrary chunks, ticks, long lines and reply variants, checked
//           against the reference scanner;
//   mode 1: acknowledgement lines with noise between them, cut at arbitrary
//           points: each completed line releases exactly one packet, and no
//           tick before a line is complete releases one;
//   mode 2: 'A', L filler bytes, then "AT+OTA=E3:1" CR: the line is 13 + L
//           bytes long, so it counts for L <= 228; for 229 <= L <= 239 the
//           limit cuts through the acknowledgement text and nothing counts;
//           for L >= 240 the limit falls in the filler and the text that
//           follows is a whole line of its own again.
// Ticks are the upgrade timer's own timeout while a transfer runs and direct
// SendNextPacket calls while idle, which must send nothing: the lines still
// go through the scanner. Start empties the line being assembled, and what
// is received while a transfer runs and before its first packet was written
// is none of its business (the reference scanner skips it too). Start and
// Stop are clicks on the button. Modes 1 and 2 run
// during a transfer. After every step the target waits for the writer thread
// to write what the step handed it and gives the engine the results of those
// writes at once (held back from the window's queued connection), so the
// engine never waits for a write when the next step comes, and a completion
// (E4's write done) falls in the step that sent E4.
#include "fuzzsupport.h"
#include "simkit.h"
#include "virtualhid.h"
#include "widget.h"

#include <QDir>
#include <QTextEdit>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

constexpr int kMaxLine = 240;             // bytes of a reply line before its CR
constexpr int kIntervalMs = 100000000;    // the timer never fires by itself
const char kAckText[] = "AT+OTA=E3:1";
const QByteArray kAckLine("AT+OTA=E3:1\r");

// The reference scanner.
class ReplyModel
{
public:
    void feed(const QByteArray &chunk)
    {
        for (const char c : chunk)
            feed(static_cast<unsigned char>(c));
    }

    void feed(unsigned char b)
    {
        if (line.empty()) {
            if (b == 'A')
                line.push_back(char(b));
            return;
        }
        if (b == '\r') {
            line.push_back(char(b));
            if (line.find(kAckText) != std::string::npos)
                ready = true;
            line.clear();
            return;
        }
        if (line.size() == size_t(kMaxLine)) {
            line.clear();
            return;
        }
        line.push_back(char(b));
    }

    std::string line;
    bool ready = false;
};

struct Tick
{
    bool released;  // the product wrote a data packet
    bool predicted; // the reference scanner expected one
};

class Harness : public fuzz::ConnectedWindow
{
public:
    void init()
    {
        fuzz::startApplication("fuzz_reply");
        scratch = fuzz::enterScratchDir("fuzz_reply");
        // 1000 full packets and a last one of 17 bytes, under 64 KiB so that
        // the closing checksum covers all of it.
        image = simkit::image(60 * 1000 + 17, 7);
        QDir().mkdir("update");
        FUZZ_CHECK(simkit::writeFile("update/image.bin", image) && simkit::writeInterval(kIntervalMs),
                   QString("cannot write the image or config.ini"));

        connectBoard(false);
        std::atexit([]() { harness().shutdown(); });
        clickLoad(); // starts a transfer
    }

    void shutdown()
    {
        disconnectBoard();
        fuzz::removeTree(scratch);
    }

    static Harness &harness()
    {
        static Harness h;
        return h;
    }

    int packetsLeft() const { return simkit::packetCount(image) - (nextPacket - 1); }

    void feedChunk(const QByteArray &chunk)
    {
        receive(chunk);
        settle();
        const bool readyBefore = model.ready;
        if (!running || packetOut)
            model.feed(chunk);
        const QList<QByteArray> writes = simkit::takeWrites(*device);
        const QStringList boxes = closer->take();
        // A late acknowledgement (a tick since the last packet found none)
        // sends the next packet, or E4, at once: it is checked as the next
        // tick's, which then runs no timer (the engine's next tick is one
        // interval after that packet).
        if (running && intervalPassed && !readyBefore && model.ready && !early.pending) {
            intervalPassed = false;
            early = {true, packetsLeft() > 0, packetsLeft() == 0, writes, boxes};
            packetOut = packetOut || !writes.isEmpty();
            model.ready = false;
            return;
        }
        FUZZ_CHECK(writes.isEmpty(), QString("receiving [%1] wrote %2 reports").arg(fuzz::hex(chunk)).arg(writes.size()));
        FUZZ_CHECK(boxes.isEmpty(), QString("receiving opened the box \"%1\"").arg(boxes.join("\", \"")));
    }

    // Start or Stop through the button.
    void clickLoad()
    {
        const bool wasRunning = running;
        load->click();
        settle();
        const QList<QByteArray> writes = simkit::takeWrites(*device);
        const QStringList boxes = closer->take();
        if (wasRunning) {
            FUZZ_CHECK(writes.isEmpty(), QString("Stop wrote %1 reports").arg(writes.size()));
            FUZZ_CHECK(boxes == QStringList{"Stop Upgrade"}, QString("Stop showed \"%1\"").arg(boxes.join("\", \"")));
            running = false;
        } else {
            const QList<QByteArray> expected{simkit::startReport(), simkit::sizeReport(uint32_t(image.size()))};
            FUZZ_CHECK(writes == expected, QString("Start wrote %1 reports, first [%2]").arg(writes.size())
                                               .arg(writes.isEmpty() ? QString() : fuzz::hex(writes.first())));
            FUZZ_CHECK(boxes == QStringList{"Start Upgrade"}, QString("Start showed \"%1\"").arg(boxes.join("\", \"")));
            running = true;
            packetOut = false;
            model.line.clear();
            model.ready = true;
            intervalPassed = false;
            early = Early();
            nextPacket = 1;
            if (timer)
                FUZZ_CHECK(timer->interval() == kIntervalMs, QString("interval %1 ms").arg(timer->interval()));
        }
        checkButton();
    }

    Tick tick()
    {
        if (!running) {
            // No frame of a stopped transfer goes out, whatever the scanner saw.
            window->SendNextPacket();
            settle();
            const QList<QByteArray> writes = simkit::takeWrites(*device);
            FUZZ_CHECK(writes.isEmpty(), QString("a tick while idle wrote %1 reports").arg(writes.size()));
            const QStringList boxes = closer->take();
            FUZZ_CHECK(boxes.isEmpty(), QString("a tick while idle showed \"%1\"").arg(boxes.join("\", \"")));
            checkButton();
            return {false, false};
        }
        bool predicted = model.ready && packetsLeft() > 0;
        bool completes = model.ready && packetsLeft() == 0;
        QList<QByteArray> writes;
        QStringList boxes;
        // The model's state after the early packet: a line since then counts.
        const bool fromEarly = early.pending;
        const bool readyAfterEarly = model.ready;
        if (fromEarly) {
            predicted = early.predicted;
            completes = early.completes;
            writes = early.writes;
            boxes = early.boxes;
            early = Early();
        } else {
            if (timer) {
                FUZZ_CHECK(timer->isActive(), QString("the upgrade timer stopped during a transfer"));
                QMetaObject::invokeMethod(timer, "timeout", Qt::DirectConnection);
            } else {
                window->SendNextPacket();
            }
            settle();
            writes = simkit::takeWrites(*device);
            boxes = closer->take();
        }
        bool released = false;
        if (completes) {
            FUZZ_CHECK(writes == QList<QByteArray>{simkit::checksumReport(simkit::crc32(image))},
                       QString("the tick after the last packet wrote %1 reports").arg(writes.size()));
            FUZZ_CHECK(boxes == QStringList{"Upgrade Completed"}, QString("completion showed \"%1\"").arg(boxes.join("\", \"")));
            running = false;
        } else {
            FUZZ_CHECK(writes.size() <= 1, QString("one tick wrote %1 reports").arg(writes.size()));
            FUZZ_CHECK(boxes.isEmpty(), QString("a tick showed \"%1\"").arg(boxes.join("\", \"")));
            released = writes.size() == 1;
            packetOut = packetOut || released;
            // A tick that finds no acknowledgement leaves the next packet to it.
            intervalPassed = !released && !model.ready;
            if (released && predicted) {
                FUZZ_CHECK(writes.first() == simkit::packetReport(image, nextPacket),
                           QString("packet %1 was [%2]").arg(nextPacket).arg(fuzz::hex(writes.first().left(12))));
                ++nextPacket;
                model.ready = fromEarly && readyAfterEarly;
            }
        }
        checkButton();
        return {released, predicted};
    }

    // A tick whose outcome must match the reference scanner.
    bool checkedTick(const QString &context)
    {
        const Tick t = tick();
        FUZZ_CHECK(t.released == t.predicted,
                   QString("%1: the tool %2 a packet, the reply rule says it %3 (line held: %4 bytes [%5])")
                       .arg(context, t.released ? "released" : "did not release", t.predicted ? "may go" : "must wait")
                       .arg(model.line.size())
                       .arg(fuzz::hex(QByteArray::fromStdString(model.line).right(24))));
        return t.released;
    }

    void checkButton()
    {
        const QString text = running ? "Stop Upgrade" : "Start Upgrade";
        FUZZ_CHECK(load->text() == text, QString("button says \"%1\", expected \"%2\"").arg(load->text(), text));
        if (timer)
            FUZZ_CHECK(timer->isActive() == running, QString("timer active %1").arg(timer->isActive()));
    }

    // Brings the window to a transfer state with the given permission.
    void prepare(bool wantRunning, bool wantReady)
    {
        if (packetsLeft() < 4) { // begin a fresh transfer rather than run dry
            if (running)
                clickLoad();
            clickLoad();
        }
        if (wantRunning != running)
            clickLoad();
        if (wantReady && !model.ready) {
            feedChunk(kAckLine);
            if (early.pending) { // it went at once: one more makes it ready
                checkedTick("a late acknowledgement");
                feedChunk(kAckLine);
            }
        }
        if (!wantReady && model.ready && running)
            checkedTick("moving to awaiting");
        if (early.pending)
            checkedTick("a late acknowledgement");
    }

    void runRaw(fuzz::Input &in)
    {
        while (in.more()) {
            const uint8_t op = in.byte();
            if (op < 0xC0) {
                feedChunk(in.take((op & 0x3F) + 1));
            } else if (op < 0xE0) {
                checkedTick("after arbitrary chunks");
            } else if (op < 0xF0) {
                // A long line of one repeated byte, then maybe a CR, in chunks.
                const int length = ((op & 0x0F) << 5 | (in.byte() & 0x1F)) + 200;
                QByteArray line = "A" + QByteArray(length - 1, char(in.byte('x')));
                if (in.byte() & 1)
                    line.append('\r');
                feedInChunks(line, in);
            } else {
                static const char *const variants[] = {
                    "AT+OTA=E3:1\r", "AT+OTA=E3:10\r", "AT+OTA=E3:0\r", "AXYZAT+OTA=E3:1\r",
                    "AT+OTA=E3:1",   "\rAT+OTA=E3:1\r", "T+OTA=E3:1\r",  "\0\0AT+OTA=E3:1\r\0\0",
                };
                const int v = op & 7;
                // The last one carries zero bytes around the line.
                const QByteArray reply = v == 7 ? QByteArray(variants[v], 16) : QByteArray(variants[v]);
                feedInChunks(reply, in);
            }
        }
    }

    void feedInChunks(const QByteArray &bytes, fuzz::Input &in)
    {
        int pos = 0;
        while (pos < bytes.size()) {
            const int length = qMin(in.byte(63) % 64 + 1, bytes.size() - pos);
            feedChunk(bytes.mid(pos, length));
            pos += length;
        }
    }

    void runAckStream(fuzz::Input &in)
    {
        int line = 0;
        while (in.more() && packetsLeft() > 0) {
            QByteArray stream;
            const int noise = in.byte() % 8;
            for (int i = 0; i < noise; ++i) {
                const uint8_t b = in.byte();
                stream.append(char(b == 'A' ? 0 : b));
            }
            stream.append(kAckLine);
            ++line;
            int pos = 0;
            while (pos < stream.size()) {
                const int length = qMin(in.byte(63) % 64 + 1, stream.size() - pos);
                feedChunk(stream.mid(pos, length));
                pos += length;
                if (pos == stream.size()) {
                    const Tick t = tick();
                    fuzz::note(QString("acknowledgement line %1 (%2 noise bytes): %3")
                                   .arg(line).arg(noise).arg(t.released ? "released" : "held"));
                    FUZZ_CHECK(t.released, QString("acknowledgement line %1 released no packet").arg(line));
                    FUZZ_CHECK(t.predicted, QString("reference scanner missed line %1").arg(line));
                } else if (!early.pending && (in.byte() & 1)) {
                    const Tick t = tick();
                    FUZZ_CHECK(!t.released, QString("a packet went before acknowledgement line %1 was complete").arg(line));
                    FUZZ_CHECK(!t.predicted, QString("reference scanner released early in line %1").arg(line));
                }
            }
        }
    }

    void runLongLine(fuzz::Input &in)
    {
        const int fill = ((in.byte() << 8) | in.byte()) % 512;
        QByteArray line("A");
        for (int i = 0; i < fill; ++i) {
            char b = char(in.byte('x'));
            if (b == 'A' || b == '\r')
                b = char(b + 0x20);
            line.append(b);
        }
        line.append(kAckLine);
        feedInChunks(line, in);
        const bool counts = fill <= kMaxLine - 12 || fill >= kMaxLine;
        const Tick t = tick();
        fuzz::note(QString("line of %1 bytes: %2").arg(line.size()).arg(t.released ? "released" : "held"));
        FUZZ_CHECK(t.released == counts, QString("a line of %1 bytes (%2 filler) %3 a packet")
                                              .arg(line.size()).arg(fill).arg(t.released ? "released" : "did not release"));
        FUZZ_CHECK(t.predicted == counts, QString("reference scanner disagrees on %1 filler bytes").arg(fill));
        // Whatever was left behind, the next plain acknowledgement counts.
        feedChunk(kAckLine);
        FUZZ_CHECK(tick().released, QString("no packet after a plain acknowledgement following %1 filler bytes").arg(fill));
    }

    void runOne(const uint8_t *data, size_t size)
    {
        log->clear(); // the traffic log would otherwise grow for the whole run
        feedChunk("\r"); // ends whatever line the previous input left open
        fuzz::Input in(data, size);
        const uint8_t setup = in.byte();
        const int mode = (setup & 3) % 3;
        const bool wantRunning = mode != 0 || ((setup >> 2) & 1);
        const bool wantReady = mode == 0 && ((setup >> 3) & 1);
        prepare(wantRunning, wantReady);
        if (mode == 0)
            runRaw(in);
        else if (mode == 1)
            runAckStream(in);
        else
            runLongLine(in);
        checkedTick("at the end of the input");
        fuzz::note(QString("mode %1, %2, next packet %3, line held %4 bytes")
                       .arg(mode)
                       .arg(running ? "sending" : "idle")
                       .arg(nextPacket)
                       .arg(model.line.size()));
        QCoreApplication::processEvents();
    }

private:
    std::string scratch;
    QByteArray image;
    ReplyModel model;
    bool running = false;
    bool intervalPassed = false; // a tick since the last packet found no acknowledgement
    // What a late acknowledgement sent, checked as the next tick's.
    struct Early
    {
        bool pending = false;
        bool predicted = false;
        bool completes = false;
        QList<QByteArray> writes;
        QStringList boxes;
    };
    Early early;
    int nextPacket = 1;
    bool packetOut = false; // the running transfer's first packet was written
};

} // namespace

FUZZ_TARGET_ENTRY(Harness::harness())
