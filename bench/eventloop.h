#ifndef BENCH_EVENTLOOP_H
#define BENCH_EVENTLOOP_H

// Running the GUI thread's event loop for a while or until something holds.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdint>

namespace bench {

// This polls: QCoreApplication::processEvents with a time limit drops
// WaitForMoreEvents, so the loop never sleeps while it waits.
template <typename Predicate>
bool runUntil(Predicate done, int64_t timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

inline void runFor(int64_t durationMs)
{
    QEventLoop loop;
    QTimer::singleShot(int(durationMs), &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace bench

#endif // BENCH_EVENTLOOP_H
