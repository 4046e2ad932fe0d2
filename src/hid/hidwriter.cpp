#include "hidwriter.h"

#include "hidsupport.h"
#include "qhidusbmgr.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <thread>

using hidsupport::diagnostic;
using hidsupport::fromWide;

HidWriter::HidWriter(QHidUsbMgr *manager, hid_device *writeHandle, const QString &name,
                     std::shared_ptr<std::atomic<quint64>> begun)
    : owner(manager)
    , handle(writeHandle)
    , logName(name)
    , writesBegun(std::move(begun))
{
}

std::shared_ptr<HidWriter> HidWriter::Start(QHidUsbMgr *owner, hid_device *handle, const QString &logName,
                                            std::shared_ptr<std::atomic<quint64>> writesBegun)
{
    auto writer = std::make_shared<HidWriter>(owner, handle, logName, std::move(writesBegun));
    // The thread holds the writer as long as it runs: it may outlive its
    // manager, in a write that the backend has not ended yet.
    std::thread([writer]() { writer->Run(); }).detach();
    return writer;
}

void HidWriter::Queue(Report report)
{
    std::unique_lock<std::mutex> lock(mutex);
    reports.push_back(std::move(report));
    wake.notify_one();
}

int HidWriter::Pending()
{
    std::unique_lock<std::mutex> lock(mutex);
    return int(reports.size()) + (writing ? 1 : 0);
}

bool HidWriter::Cancel(quint64 ticket)
{
    Report dropped;
    {
        std::unique_lock<std::mutex> lock(mutex);
        auto it = std::find_if(reports.begin(), reports.end(), [ticket](const Report &r) { return r.ticket == ticket; });
        if (it == reports.end())
            return false;
        dropped = std::move(*it);
        reports.erase(it);
    }
    LogDropped(dropped);
    return true;
}

void HidWriter::Detach(hid_device *readHandle)
{
    std::deque<Report> dropped;
    {
        std::unique_lock<std::mutex> lock(mutex);
        detached = true;
        alsoClose = readHandle;
        dropped.swap(reports);
        wake.notify_one();
    }
    for (const Report &r : dropped)
        LogDropped(r);
}

void HidWriter::Orphan()
{
    std::unique_lock<std::mutex> lock(mutex);
    owner = nullptr;
}

bool HidWriter::WaitFinished(int ms)
{
    std::unique_lock<std::mutex> lock(mutex);
    return ended.wait_for(lock, std::chrono::milliseconds(ms), [this]() { return finished; });
}

bool HidWriter::Finished()
{
    std::unique_lock<std::mutex> lock(mutex);
    return finished;
}

void HidWriter::Run()
{
    for (;;) {
        Report report;
        {
            std::unique_lock<std::mutex> lock(mutex);
            while (reports.empty() && !detached)
                wake.wait(lock);
            if (reports.empty())
                break; // detached, and nothing left
            report = std::move(reports.front());
            reports.pop_front();
            writing = true;
        }
        int written = 0;
        QString error;
        if (report.afterWritten && !lastWritten) {
            error = QStringLiteral("not written: the report before it failed");
            if (report.log)
                diagnostic(logName).noquote() << "hid_write" << error << QHidUsbMgr::ToHexString(report.frame);
        } else {
            // What the reader reads from now on may answer this report.
            writesBegun->store(report.index);
            written = hid_write(handle, reinterpret_cast<const unsigned char *>(report.frame.constData()),
                                static_cast<size_t>(report.frame.size()));
            if (report.log || written <= 0)
                error = fromWide(hid_error(handle));
            if (report.log)
                diagnostic(logName).noquote() << "hid_write" << written << QHidUsbMgr::ToHexString(report.frame) << error;
        }
        lastWritten = written > 0;
        std::unique_lock<std::mutex> lock(mutex);
        // Under the lock: the manager cannot go while this is emitted.
        if (owner)
            emit owner->SendDoneSignal(report.ticket, written > 0, written > 0 ? QString() : error);
        writing = false;
    }
    // Linux's hidraw closes a handle only once no write runs on any
    // hidraw device (its release takes the lock that every write holds
    // for as long as the board keeps it): both handles are closed here,
    // after this connection's last write, never on the caller's thread.
    std::unique_lock<std::mutex> lock(mutex);
    hid_device *readHandle = alsoClose;
    lock.unlock();
    if (readHandle)
        hid_close(readHandle);
    hid_close(handle);
    lock.lock();
    finished = true;
    ended.notify_all();
}

void HidWriter::LogDropped(const Report &r) const
{
    if (r.log)
        diagnostic(logName).noquote() << "hid_write not written (closed or stopped)" << QHidUsbMgr::ToHexString(r.frame);
}
