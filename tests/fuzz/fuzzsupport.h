#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Shared pieces of the libFuzzer targets: a property check that stops the
// run with a readable reason, a reader of the input, a headless
// QApplication, a scratch folder that is removed at exit, a closer for the
// window's modal message boxes, a wait for the manager's writer thread, the
// write results held back from the engine, and the window connected to a
// virtual board.

#include "otasim.h"
#include "qhidusbmgr.h"
#include "simkit.h"
#include "upgradeengine.h"
#include "virtualhid.h"
#include "widget.h"

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTextEdit>
#include <QTimer>
#include <QVector>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <ftw.h>
#include <sys/stat.h>

// libFuzzer's two entry points for a target whose harness, the expression
// HARNESS, has init() and runOne(data, size).
#define FUZZ_TARGET_ENTRY(HARNESS)                                                                                 \
    extern "C" int LLVMFuzzerInitialize(int *, char ***) { return (HARNESS).init(), 0; }                          \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return (HARNESS).runOne(data, size), 0; }
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzz {

[[noreturn]] inline void fail(const char *file, int line, const char *condition, const QString &detail)
{
    std::fprintf(stderr, "\n==== property violated at %s:%d\n==== %s\n==== %s\n", file, line, condition,
                 detail.toLocal8Bit().constData());
    std::fflush(stderr);
    std::abort(); // libFuzzer saves the input as a crash artifact
}

// Stops the run when `cond` is false; `detail` (a QString expression) is
// only built then.
#define FUZZ_CHECK(cond, detail)                                                                   \
    do {                                                                                           \
        if (!(cond))                                                                               \
            ::fuzz::fail(__FILE__, __LINE__, #cond, (detail));                                     \
    } while (0)

inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// Reads the fuzzer's input front to back; past its end every read gives
// the fallback value (or nothing).
class Input
{
public:
    Input(const uint8_t *data, size_t size) : p(data), n(size) {}
    bool more() const { return pos < n; }
    uint8_t byte(uint8_t otherwise = 0) { return pos < n ? p[pos++] : otherwise; }
    // Up to `count` bytes.
    QByteArray take(int count)
    {
        const int k = int(qMin<size_t>(size_t(count), n - pos));
        QByteArray out(reinterpret_cast<const char *>(p + pos), k);
        pos += size_t(k);
        return out;
    }
    // All that is left.
    std::string rest()
    {
        std::string out(reinterpret_cast<const char *>(p + pos), n - pos);
        pos = n;
        return out;
    }

private:
    const uint8_t *p;
    size_t n;
    size_t pos = 0;
};

// Debug and info lines (every frame and chunk is logged by the tool) would
// drown libFuzzer's own output and cost most of the time; warnings stay.
inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    static int shown = 0;
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    // The offscreen platform says so for every window it shows.
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "Qt fatal: %s\n", message.toLocal8Bit().constData());
        std::abort();
    }
    if (shown < 20) {
        ++shown;
        std::fprintf(stderr, "Qt: %s\n", message.toLocal8Bit().constData());
    }
}

// TARNVIK_FUZZ_VERBOSE=1: one line per input saying what it did, for
// reading a reproducer.
inline bool verbose()
{
    static const bool on = qEnvironmentVariableIntValue("TARNVIK_FUZZ_VERBOSE") == 1;
    return on;
}

inline void note(const QString &line)
{
    if (verbose())
        std::fprintf(stderr, "[input] %s\n", line.toLocal8Bit().constData());
}

// A headless application that lives for the whole run.
inline QApplication *startApplication(const char *name)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(quietMessages);
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(name), nullptr};
    return new QApplication(argc, argv);
}

inline int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

inline void removeTree(const std::string &path)
{
    if (!path.empty())
        nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// A fresh folder under $TMPDIR (or /tmp), made the working directory.
inline std::string enterScratchDir(const char *name)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    const std::string dir(buffer.data());
    if (chdir(dir.c_str()) != 0) {
        std::perror("chdir");
        std::abort();
    }
    return dir;
}

// Waits until `settled` holds: the manager's writer thread has written what
// it was handed (WritesPending() locks the writer's mutex, so what the
// writer did before is seen here), a closed connection's writer has closed
// its handle. A writer that never gets there is a fault of its own (the
// virtual board never holds a write unless the target tells it to).
inline void waitUntil(const std::function<bool()> &settled, const char *what,
                      const std::function<QString()> &state = {})
{
    QElapsedTimer clock;
    clock.start();
    for (int spins = 0; !settled(); ++spins) {
        if (clock.elapsed() > 10000)
            fail(__FILE__, __LINE__, what, QString("still not so after 10 s") + (state ? ": " + state() : QString()));
        if (spins < 1000)
            std::this_thread::yield();
        else
            usleep(50);
    }
}

// Runs the event loop until the window's listing or connect, which run on
// its manager's thread of device calls, has ended and come back.
inline void waitForWindow(Widget *window, const char *what)
{
    QElapsedTimer clock;
    clock.start();
    while (window->Busy()) {
        if (clock.elapsed() > 10000)
            fail(__FILE__, __LINE__, what, QString("still busy after 10 s"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

// Every write result (SendDoneSignal) of a manager, taken on its writer
// thread and held here instead of going to the engine, which gets them when
// the target hands them over (Deliver calls the engine's slot as the queued
// connection would). What the engine sees between two steps then no longer
// depends on when the writer thread happens to finish.
class HeldResults
{
public:
    struct Result
    {
        quint64 ticket = 0;
        bool written = false;
        QString error;
        int tag = 0; // the target's, from `tagger`
    };

    // Called on the writer thread for each result, before it is held.
    std::function<int()> tagger;

    void attach(QHidUsbMgr *manager)
    {
        QObject::connect(
            manager, &QHidUsbMgr::SendDoneSignal, manager,
            [this](quint64 ticket, bool written, QString error) {
                Result r{ticket, written, error, tagger ? tagger() : 0};
                std::lock_guard<std::mutex> lock(mutex);
                arrived.push_back(std::move(r));
            },
            Qt::DirectConnection);
    }

    // The engine no longer hears from the manager's writer itself.
    static void detachEngine(QHidUsbMgr *manager, UpgradeEngine *engine)
    {
        FUZZ_CHECK(QObject::disconnect(manager, &QHidUsbMgr::SendDoneSignal, engine, &UpgradeEngine::WriteDone),
                   QString("the engine was not connected to the manager's write results"));
    }

    // Moves what the writer reported since the last call to the held queue
    // (call it with the writer settled); the number of results moved.
    int collect()
    {
        std::lock_guard<std::mutex> lock(mutex);
        const int n = int(arrived.size());
        for (Result &r : arrived)
            held.push_back(std::move(r));
        arrived.clear();
        return n;
    }

    bool empty() const { return held.empty(); }
    size_t size() const { return held.size(); }
    const Result &at(size_t i) const { return held.at(i); }

    Result pop()
    {
        Result r = held.front();
        held.pop_front();
        return r;
    }

    static void deliver(UpgradeEngine *engine, const Result &r) { engine->WriteDone(r.ticket, r.written, r.error); }

    void clear()
    {
        collect();
        held.clear();
    }

private:
    std::mutex mutex;
    std::deque<Result> arrived; // the writer thread's side
    std::deque<Result> held;    // the main thread's
};

// Closes every message box as soon as its own event loop runs, newest first,
// and keeps the texts of the boxes seen since the last take(). Boxes opened
// inside another box's loop (completion inside the Start box) are closed
// too, so no call into the window can block.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        poll.setInterval(0);
        connect(&poll, &QTimer::timeout, this, [this]() { sweep(); });
        poll.start();
    }

    QStringList take()
    {
        sweep();
        QStringList result = texts;
        texts.clear();
        return result;
    }

private:
    void sweep()
    {
        const QWidgetList widgets = QApplication::topLevelWidgets();
        for (int i = widgets.size() - 1; i >= 0; --i) {
            auto *box = qobject_cast<QMessageBox *>(widgets.at(i));
            if (!box || !box->isVisible())
                continue;
            bool known = false;
            for (const QPointer<QMessageBox> &seen : qAsConst(closed))
                known = known || seen == box;
            if (known)
                continue;
            closed.append(box);
            texts.append(box->text());
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->done(0);
        }
        for (int i = closed.size() - 1; i >= 0; --i) {
            if (!closed.at(i) || !closed.at(i)->isVisible())
                closed.remove(i);
        }
    }

    QTimer poll;
    QStringList texts;
    QVector<QPointer<QMessageBox>> closed;
};

// The window connected to one virtual board that keeps every report written
// to it and answers nothing (the targets feed the answers themselves, through
// receive()), with
// each message box closed as it opens. The write results go through
// `results`: settle() waits for the writer and hands the engine every
// result, as if the queued signal had been delivered at once. A target's
// harness derives from it.
class ConnectedWindow
{
public:
    // The progress bar is checked only where the target needs it.
    void connectBoard(bool barNeeded)
    {
        device = vhid::addDevice(sim::boardInfo("fuzz:board"));
        closer = new BoxCloser;
        window = new Widget;
        open = window->findChild<QPushButton *>("pushButtonOpen");
        load = window->findChild<QPushButton *>("pushButtonLoad");
        log = window->findChild<QTextEdit *>("textEdit");
        bar = window->findChild<QProgressBar *>("progressBar");
        timer = window->findChild<QTimer *>("upgradeTimer"); // the targets tick directly when there is none
        usbMgr = window->findChild<QHidUsbMgr *>("usbMgr");
        engine = window->findChild<UpgradeEngine *>();
        FUZZ_CHECK(open && load && log && (bar || !barNeeded) && usbMgr && engine,
                   QString("the window lacks a widget, its manager or its engine"));
        results.attach(usbMgr);
        HeldResults::detachEngine(usbMgr, engine);
        waitForWindow(window, "the window lists the board");
        open->click();
        waitForWindow(window, "the window connects");
        FUZZ_CHECK(device->openHandles() == 2, QString("connect did not open the device (its reader's handle and its writer's)"));
        simkit::takeWrites(*device);
        closer->take();
    }

    // Ends the reader thread before anything static goes.
    void disconnectBoard()
    {
        // A transfer ends with its connection and says so in a box, which
        // must not come while the process ends: it is stopped quietly first.
        if (window) {
            if (UpgradeEngine *engine = window->findChild<UpgradeEngine *>())
                engine->Stop();
        }
        if (device && device->openHandles() > 0)
            open->click();
        // The closed connection's writer closes its handle after the close
        // returned: it must be out of hidapi before the process ends.
        if (device)
            waitUntil([this]() { return device->openHandles() == 0; }, "the writer closes its handle");
    }

    // A chunk from the board, as the manager hands it on: to the window's log
    // (RecvBufSignal), then to the transfer (ChunkSignal) with the open
    // connection and the last report whose write began (all of them, once
    // the writer has settled).
    void receive(const QByteArray &chunk)
    {
        window->RecvBufSlot(chunk);
        engine->ScanChunk(usbMgr->Connection(), usbMgr->QueuedReports(), chunk);
    }

    // Waits for the writer to write all it was handed, then hands the engine
    // every result, oldest first; a result that lets the engine send the
    // next frame is waited for and handed over too. The frames written are
    // on the device's list (simkit::takeWrites).
    void settle()
    {
        for (int round = 0;; ++round) {
            FUZZ_CHECK(round < 1000, QString("the write results never stop coming"));
            waitUntil([this]() { return usbMgr->WritesPending() == 0; }, "the writer writes what it was handed");
            results.collect();
            if (results.empty())
                return;
            while (!results.empty())
                HeldResults::deliver(engine, results.pop());
        }
    }

protected:
    std::shared_ptr<vhid::VirtualDevice> device;
    BoxCloser *closer = nullptr;
    Widget *window = nullptr;
    QPushButton *open = nullptr;
    QPushButton *load = nullptr;
    QTextEdit *log = nullptr;
    QProgressBar *bar = nullptr;
    QTimer *timer = nullptr;
    QHidUsbMgr *usbMgr = nullptr;
    UpgradeEngine *engine = nullptr;
    HeldResults results;
};

} // namespace fuzz

#endif // FUZZSUPPORT_H
