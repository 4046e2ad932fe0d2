#ifndef REALBOARD_H
#define REALBOARD_H

// What the suites that drive the window against boards on a real HID stack
// share: the Linux guest's suite (tests/e2e, hidraw) and the Windows build's
// (tests/windows, hidapi's Windows backend under Wine). Both link the real
// hidapi.

#include <hidapi.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPair>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <chrono>

namespace guest {

inline qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs the event loop until done() or the time-out; returns done(). The
// thread sleeps in the event loop between events (a 2 ms timer wakes it to
// look again): a loop that polled would keep a CPU busy, and in the emulated
// guest and under Wine (one wineserver for every thread's calls) slow down
// the very threads being measured.
template <typename Predicate>
bool runUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(2);
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

inline void waitMs(int ms)
{
    runUntil([] { return false; }, ms);
}

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Index, in hidapi's enumeration order (which the window's list follows),
// of the record with this serial number; -1 if there is none.
inline int indexOfSerial(const QString &serial)
{
    int index = 0;
    int found = -1;
    hid_device_info *head = hid_enumerate(0, 0);
    for (hid_device_info *i = head; i; i = i->next, ++index) {
        if (i->serial_number && QString::fromWCharArray(i->serial_number) == serial)
            found = index;
    }
    hid_free_enumeration(head);
    return found;
}

// The result hidapi gave for each write, from the manager's "hid_write"
// debug lines ("hid_write RESULT BYTES... ERROR").
inline QList<int> writeResults(const QVector<QPair<qint64, QString>> &lines)
{
    QList<int> results;
    for (const auto &line : lines)
        results.append(line.second.section(' ', 1, 1).toInt());
    return results;
}

// Records every pause of the GUI thread longer than 200 ms, and the largest
// gap between two ticks: a 5 ms timer that notes when its ticks come late.
class GuiProbe : public QObject
{
public:
    struct Pause
    {
        qint64 fromNs;
        qint64 toNs;
    };

    GuiProbe()
    {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, [this]() {
            const qint64 now = steadyNs();
            largestGapNs = qMax(largestGapNs, now - last);
            if (now - last > 200000000)
                pauses.append({last, now});
            last = now;
        });
        reset();
        timer.start();
    }
    void reset()
    {
        last = steadyNs();
        largestGapNs = 0;
        pauses.clear();
    }
    // The largest gap between two ticks since the last reset.
    double largestGapMs() const { return largestGapNs / 1e6; }
    // The pause during which `ns` fell, or null.
    const Pause *pauseAt(qint64 ns) const
    {
        for (const Pause &p : pauses)
            if (p.fromNs <= ns && ns <= p.toNs)
                return &p;
        return nullptr;
    }
    double longestMs(qint64 sinceNs = 0) const
    {
        qint64 longest = 0;
        for (const Pause &p : pauses)
            if (p.fromNs >= sinceNs)
                longest = qMax(longest, p.toNs - p.fromNs);
        return longest / 1e6;
    }
    // How long each write held up the GUI thread, from the times of its
    // "hid_write" line: a write began after the previous one ended and
    // within the pause that it ended; -1 for a write that ended outside any
    // pause (it did not hold the thread up past 200 ms).
    QVector<double> heldMs(const QVector<QPair<qint64, QString>> &writes) const
    {
        QVector<double> held;
        qint64 previousNs = 0;
        for (const auto &w : writes) {
            const Pause *pause = pauseAt(w.first);
            held.append(pause ? (w.first - qMax(previousNs, pause->fromNs)) / 1e6 : -1);
            previousNs = w.first;
        }
        return held;
    }

    QVector<Pause> pauses;

private:
    QTimer timer;
    qint64 last = 0;
    qint64 largestGapNs = 0;
};

} // namespace guest

#endif // REALBOARD_H
