// tarnvik-loopcost: what one hand-over between threads costs on this system,
// without a device, in the shapes the tool's packet path has. Under Wine
// every wake-up is a call to the Wine server; this tells how much of a
// packet's time beyond the floor (bench/floor.c) they can explain.
//
//   cv      a thread wakes another through a wait condition and is woken
//           back the same way: the floor's handover and relay modes, and
//           the engine's thread handing a frame to its writer;
//   posted  a thread without an event loop posts a call to an object on the
//           main thread's Qt event loop (as the reader's chunk and the
//           writer's report reach the engine, a queued signal), whose slot
//           wakes it back through a wait condition: one posted event and
//           one wait condition a round trip;
//   tick    a precise 1 ms QTimer on the main thread's loop (the engine's
//           pacing timer at its shortest interval): the periods delivered;
//   timers  what the engine does to its timers at a packet the reader sent
//           (and the command line's acknowledgement watch at each packet),
//           on the calling thread: a precise single-shot started and
//           stopped, and a running precise 1 ms timer started again.
//
//   tarnvik-loopcost [--rounds N] [--mode all|cv|posted|tick|timers] [--label TEXT]
//
// Prints per mode: N round trips (or periods), mean, p50, p90 and max in ms.
// Exit status 1 when a hand-over was not answered within 5 s.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr unsigned long kAnswerMs = 5000;

// A flag one thread raises and another waits for, as the tool's writer
// waits for a frame.
class Gate
{
public:
    void Raise()
    {
        std::lock_guard<std::mutex> hold(lock);
        raised = true;
        cond.notify_one();
    }
    bool Wait()
    {
        std::unique_lock<std::mutex> hold(lock);
        if (!cond.wait_for(hold, std::chrono::milliseconds(kAnswerMs), [this] { return raised; }))
            return false;
        raised = false;
        return true;
    }

private:
    std::mutex lock;
    std::condition_variable cond;
    bool raised = false;
};

void Report(const char *label, const char *mode, const char *what, std::vector<qint64> ns)
{
    if (ns.empty())
        return;
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (const qint64 v : ns)
        sum += double(v);
    const auto at = [&ns](double q) { return double(ns[size_t(q * double(ns.size() - 1))]) / 1e6; };
    std::printf("loopcost: %s: %s: %zu %s, mean %.3f ms, p50 %.3f, p90 %.3f, max %.3f\n", label, mode, ns.size(), what,
                sum / double(ns.size()) / 1e6, at(0.5), at(0.9), at(1.0));
}

void PrintMachine()
{
    QString wine;
#ifdef Q_OS_WIN
    typedef const char *(*WineVersion)();
    if (HMODULE ntdll = GetModuleHandleA("ntdll.dll"))
        if (auto v = reinterpret_cast<WineVersion>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version"))))
            wine = QStringLiteral(", under Wine ") + QString::fromLatin1(v());
#endif
    std::printf("loopcost: machine: %s, kernel %s %s, %s%s, %d logical CPUs\n", qPrintable(QSysInfo::prettyProductName()),
                qPrintable(QSysInfo::kernelType()), qPrintable(QSysInfo::kernelVersion()),
                qPrintable(QSysInfo::buildCpuArchitecture()), qPrintable(wine), QThread::idealThreadCount());
}

// cv: round trips between this thread and a plain one, each way a wait condition.
bool RunCv(QCoreApplication &, int rounds, std::vector<qint64> *out)
{
    Gate there, back;
    bool ok = true;
    QThread *other = QThread::create([&] {
        for (int i = 0; i < rounds; ++i) {
            if (!there.Wait())
                return;
            back.Raise();
        }
    });
    other->start();
    QElapsedTimer clock;
    for (int i = 0; i < rounds && ok; ++i) {
        clock.start();
        there.Raise();
        ok = back.Wait();
        out->push_back(clock.nsecsElapsed());
    }
    if (!ok)
        there.Raise(); // let it see the end
    other->wait();
    delete other;
    return ok;
}

// posted: a plain thread posts to the main thread's loop, whose slot wakes it back.
bool RunPosted(QCoreApplication &app, int rounds, std::vector<qint64> *out)
{
    Gate back;
    bool ok = true;
    QObject receiver; // on the main thread, served by app.exec()
    QThread *poster = QThread::create([&] {
        QElapsedTimer clock;
        for (int i = 0; i < rounds && ok; ++i) {
            clock.start();
            QMetaObject::invokeMethod(&receiver, [&back] { back.Raise(); }, Qt::QueuedConnection);
            ok = back.Wait();
            out->push_back(clock.nsecsElapsed());
        }
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    poster->start();
    app.exec();
    poster->wait();
    delete poster;
    return ok;
}

// tick: the periods a precise 1 ms timer on the main thread's loop delivers.
bool RunTick(QCoreApplication &app, int rounds, std::vector<qint64> *out)
{
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    QElapsedTimer clock;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (clock.isValid())
            out->push_back(clock.nsecsElapsed());
        clock.start();
        if (int(out->size()) >= rounds) {
            timer.stop();
            app.quit();
        }
    });
    // A guard: a timer that stops firing ends the run as failed. (Its own
    // object, gone with the run, so that it never ends a later one.)
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &app, &QCoreApplication::quit);
    guard.start(int(kAnswerMs) + rounds * 50);
    timer.start();
    app.exec();
    return int(out->size()) >= rounds;
}

// timers: a watch started and stopped, and a pacing timer started again.
bool RunTimers(QCoreApplication &, int rounds, std::vector<qint64> *out)
{
    QTimer watch, pacing;
    watch.setTimerType(Qt::PreciseTimer);
    watch.setSingleShot(true);
    pacing.setTimerType(Qt::PreciseTimer);
    pacing.start(1);
    QElapsedTimer clock;
    for (int i = 0; i < rounds; ++i) {
        clock.start();
        watch.start(5000);
        watch.stop();
        pacing.start();
        out->push_back(clock.nsecsElapsed());
    }
    pacing.stop();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rounds = 1000;
    QByteArray mode = "all", label = "here";
    for (int i = 1; i < argc; ++i) {
        const bool more = i + 1 < argc;
        if (!std::strcmp(argv[i], "--rounds") && more)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--mode") && more)
            mode = argv[++i];
        else if (!std::strcmp(argv[i], "--label") && more)
            label = argv[++i];
        else {
            std::fprintf(stderr, "usage: tarnvik-loopcost [--rounds N] [--mode all|cv|posted|tick|timers] [--label TEXT]\n");
            return 2;
        }
    }
    if (mode != "all" && mode != "cv" && mode != "posted" && mode != "tick" && mode != "timers") {
        std::fprintf(stderr, "tarnvik-loopcost: unknown mode %s\n", mode.constData());
        return 2;
    }
    PrintMachine();
    // Each mode: what it counts, and what its failure means.
    struct Run
    {
        const char *name;
        bool (*run)(QCoreApplication &, int, std::vector<qint64> *);
        const char *counted;
        const char *failure;
    };
    static const Run runs[] = {
        {"cv", RunCv, "round trips", "a wake-up was not answered within 5 s"},
        {"posted", RunPosted, "round trips", "a posted call was not answered within 5 s"},
        {"tick", RunTick, "periods of a 1 ms timer", "the timer stopped giving periods"},
        {"timers", RunTimers, "rounds of three timer calls", ""},
    };
    bool ok = true;
    for (const Run &r : runs) {
        if (mode != "all" && mode != r.name)
            continue;
        std::vector<qint64> ns;
        const bool done = r.run(app, rounds, &ns);
        Report(label.constData(), r.name, r.counted, ns);
        if (!done)
            std::printf("loopcost: %s: %s: %s (%zu of %d)\n", label.constData(), r.name, r.failure, ns.size(), rounds);
        ok = ok && done;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
