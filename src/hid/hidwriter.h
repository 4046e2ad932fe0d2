#ifndef HIDWRITER_H
#define HIDWRITER_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class QHidUsbMgr;
class ReplyWatch;
struct hid_device_;
typedef struct hid_device_ hid_device;

// The writer of one connection: a thread that takes the reports handed to
// SendBuf in order and writes each on the connection's write handle, which
// it alone uses and closes. A write may wait for the backend's time-out
// (5 s on every platform the tool runs on) when the board takes nothing;
// only this thread waits. Closing the connection takes back the reports not
// yet begun and detaches the writer: the write in progress ends as the
// backend ends it, its result is logged and still reported (a board that
// restarts as soon as it has taken the last frame is closed before that
// frame's write is done), and the handle is closed after it.
//
// A report may be held for the device's answer to an earlier one: it is
// written once the connection's reader has read an answer after that
// report's write began (ReplyWatch decides what is an answer), by this
// thread, woken by the reader: the answer does not wait for the caller's
// thread to see it first. Reports behind a held one wait behind it.
//
// The thread owns the writer with its caller: whoever waits for it waits
// with a deadline, and a writer still in a write past it goes on alone,
// its handle and buffers alive until the write ends.
class HidWriter : public std::enable_shared_from_this<HidWriter>
{
public:
    struct Report
    {
        quint64 ticket;
        quint64 index;    // its place among the connection's reports, from 1
        QByteArray frame; // report id first
        bool log;
        // Held until an answer to report `answering` is read (0: not held).
        quint64 answering = 0;
    };

    // `writesBegun` is the connection's: the index of the report whose
    // write began last, read by its reader to stamp what it reads.
    static std::shared_ptr<HidWriter> Start(QHidUsbMgr *owner, hid_device *handle, const QString &logName,
                                            std::shared_ptr<std::atomic<quint64>> writesBegun);

    void Queue(Report report);
    // Reports queued or being written, those held for an answer not yet
    // read left out; and those held.
    int Pending();
    int Awaiting();
    // From now on what the reader reads from report `fromIndex` on (stamped
    // so) goes to `watch`, and only its answers release held reports.
    void Watch(std::shared_ptr<ReplyWatch> watch, quint64 fromIndex);
    // The reader read `chunk` while report `stamp`'s write was the last
    // begun (the reader's thread); true when that released a waiting
    // report. Then the reader calls HandedOn once it has emitted the
    // chunk's signals: the released report is announced after them, so a
    // log shows the answer before the report it released.
    bool Read(quint64 stamp, const QByteArray &chunk);
    void HandedOn();
    // Milliseconds since report `ticket`'s write began, when it is the one
    // begun last; -1 otherwise.
    qint64 MsSinceBegun(quint64 ticket);
    bool Cancel(quint64 ticket);
    // No more reports; those not begun are dropped (not reported), the one
    // being written is reported when it ends. `readHandle` (the ended
    // reader's, or null) is closed with the writer's own handle, after the
    // last write.
    void Detach(hid_device *readHandle);
    // The manager goes: nothing more is reported to it.
    void Orphan();
    // Waits until the thread has closed its handles and ended, at most
    // `ms`; true when it has.
    bool WaitFinished(int ms);
    bool Finished();

    HidWriter(QHidUsbMgr *owner, hid_device *handle, const QString &logName,
              std::shared_ptr<std::atomic<quint64>> writesBegun);

private:
    void Run();
    void LogDropped(const Report &r) const;
    bool Releasable(const Report &r) const { return r.answering == 0 || answered >= r.answering; }

    // std's own, which the thread sanitizer sees (Qt's are not built for it).
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::condition_variable handed;
    bool handingOn = false;
    quint64 lastBegun = 0;
    std::chrono::steady_clock::time_point lastBegunAt;
    std::deque<Report> reports;
    bool writing = false;
    bool detached = false;
    bool finished = false;
    // What tells answers, from which report on, and the latest report
    // answered (the stamp of the last chunk that completed an answer).
    std::shared_ptr<ReplyWatch> watch;
    quint64 watchFrom = 0;
    quint64 answered = 0;
    // Whom results are reported to: the manager, until it goes.
    QHidUsbMgr *owner;
    hid_device *alsoClose = nullptr;
    hid_device *const handle;
    const QString logName;
    const std::shared_ptr<std::atomic<quint64>> writesBegun;
};

#endif // HIDWRITER_H
