#ifndef HIDWRITER_H
#define HIDWRITER_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

class QHidUsbMgr;
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
        // Written only if the report before it was (a frame that follows
        // on that report's reply).
        bool afterWritten = false;
    };

    // `writesBegun` is the connection's: the index of the report whose
    // write began last, read by its reader to stamp what it reads.
    static std::shared_ptr<HidWriter> Start(QHidUsbMgr *owner, hid_device *handle, const QString &logName,
                                            std::shared_ptr<std::atomic<quint64>> writesBegun);

    void Queue(Report report);
    int Pending();
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

    // std's own, which the thread sanitizer sees (Qt's are not built for it).
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable ended;
    std::deque<Report> reports;
    bool writing = false;
    bool detached = false;
    bool finished = false;
    // The last report taken was written (this thread's).
    bool lastWritten = true;
    // Whom results are reported to: the manager, until it goes.
    QHidUsbMgr *owner;
    hid_device *alsoClose = nullptr;
    hid_device *const handle;
    const QString logName;
    const std::shared_ptr<std::atomic<quint64>> writesBegun;
};

#endif // HIDWRITER_H
