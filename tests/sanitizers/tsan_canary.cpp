// A deliberate data race, built and run in the ThreadSanitizer build only. The
// test passes when ThreadSanitizer reports it, so a stage that stopped
// instrumenting, or a handoff annotation that hid more than Qt's own queue,
// shows up as a failure instead of a quiet green run.
//
// The shape is the reader thread's: a worker emits a chunk to an object on the
// main thread through a queued connection, and the main thread takes it in its
// event loop. Then the worker writes a plain int after that emission, and the
// main thread reads it after the delivery, ordered only by a relaxed flag: no
// happens-before edge, a real race, reported on every run.

#include <QByteArray>
#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <atomic>
#include <cstdio>

namespace {

int shared = 0;
std::atomic<bool> written{false};
// The worker stays in run() until the main thread has read: the finished()
// emission at its end must not come between the write and the read.
std::atomic<bool> readDone{false};

class Worker : public QThread
{
    Q_OBJECT
signals:
    void chunk(QByteArray bytes);

protected:
    void run() override
    {
        emit chunk(QByteArray("\x01\x02\x03", 3));
        writeAfterHandoff();
        while (!readDone.load(std::memory_order_relaxed))
            QThread::yieldCurrentThread();
    }

private:
    __attribute__((noinline)) static void writeAfterHandoff()
    {
        shared = 42;
        written.store(true, std::memory_order_relaxed);
    }
};

class Receiver : public QObject
{
    Q_OBJECT
public:
    bool delivered = false;
public slots:
    void take(QByteArray bytes) { delivered = bytes.size() == 3; }
};

__attribute__((noinline)) int readAfterHandoff()
{
    return shared;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Receiver receiver;
    Worker worker;
    QObject::connect(&worker, &Worker::chunk, &receiver, &Receiver::take, Qt::QueuedConnection);
    worker.start();
    while (!receiver.delivered || !written.load(std::memory_order_relaxed))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const int seen = readAfterHandoff();
    readDone.store(true, std::memory_order_relaxed);
    worker.wait();
    std::printf("canary: chunk delivered, read %d\n", seen);
    return 0;
}

#include "tsan_canary.moc"
