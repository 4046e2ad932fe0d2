#include "qhidusbmgr.h"

#include "hidcalls.h"
#include "hidsupport.h"
#include "hidwriter.h"
#include "replypacer.h"

#include <hidapi.h>

#include <QDebug>

#include <algorithm>

using hidsupport::diagnostic;
using hidsupport::fromWide;

namespace {

constexpr int kMaxReportData = 64; // data bytes of one output report, without the id
// How long the manager's end waits for the threads that may be in a call
// on a device: a writer in a write ends within the backend's time-out (5 s
// on every platform the tool runs on), so a little more; on Windows a
// cancel that the driver does not carry out adds up to 1 s, and past our
// wait that writer simply goes on alone. A listing or an open is not waited
// for long, it only looks. Past them, a thread goes on alone with its
// handles and buffers, which are never freed while the system may still
// write into them.
constexpr int kWriterExitWaitMs = 5500;
constexpr int kCallsExitWaitMs = 300;

// Every report, of every connection, gets a number of its own.
std::atomic<quint64> lastTicket{0};

} // namespace

// How the thread of device calls hands its results to the manager's thread
// while the manager lives: a signal of the manager's, queued to it (emitted
// under the lock, so that the manager cannot go meanwhile).
struct QHidUsbMgr::Link
{
    std::mutex mutex;
    QHidUsbMgr *manager = nullptr;

    // Runs `emission` with the manager; false when the manager has gone.
    bool Emit(const std::function<void(QHidUsbMgr *)> &emission)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!manager)
            return false;
        emission(manager);
        return true;
    }
};

QHidUsbMgr::QHidUsbMgr(const QString &name)
    : QThread(nullptr)
    , logName(name)
    , link(std::make_shared<Link>())
{
    link->manager = this;
    qRegisterMetaType<DeviceId>("DeviceId");
    qRegisterMetaType<QVector<DeviceId>>("QVector<DeviceId>");
    connect(this, &QHidUsbMgr::ListedSignal, this, &QHidUsbMgr::EnumDone, Qt::QueuedConnection);
    connect(this, &QHidUsbMgr::OpenedSignal, this, &QHidUsbMgr::OpenDone, Qt::QueuedConnection);
    Diagnostic() << "QHidUsbMgr" << QThread::currentThreadId();
    hid_init();
}

QHidUsbMgr::~QHidUsbMgr()
{
    {
        std::unique_lock<std::mutex> lock(link->mutex);
        link->manager = nullptr;
    }
    if (calls && !calls->Stop(kCallsExitWaitMs))
        Diagnostic() << "QHidUsbMgr: a listing or an open still runs; it ends on its own";
    // A QThread must not be destroyed while it runs, and the handle must not
    // outlive the manager: finish the close steps first. The reader ends
    // within one read's wait.
    running = false;
    wait();
    ReleaseHandles();
    // A writer may still be in a write to a board that takes nothing; the
    // backend ends it within its time-out. Its result goes to nobody.
    for (const auto &w : closedWriters) {
        w->Orphan();
        if (!w->WaitFinished(kWriterExitWaitMs))
            Diagnostic() << "QHidUsbMgr: a write still runs; its handle stays open until it ends";
    }
}

void QHidUsbMgr::SetLogName(const QString &name)
{
    logName = name;
}

QDebug QHidUsbMgr::Diagnostic() const
{
    return diagnostic(logName);
}

QVector<DeviceId> QHidUsbMgr::ListDevices()
{
    QVector<DeviceId> ids;
    hid_device_info *head = hid_enumerate(0, 0);
    for (hid_device_info *info = head; info; info = info->next) {
        DeviceId id;
        id.vendorId = info->vendor_id;
        id.productId = info->product_id;
        id.path = QByteArray(info->path ? info->path : "");
        id.serial = fromWide(info->serial_number);
        id.manufacturer = fromWide(info->manufacturer_string);
        id.product = fromWide(info->product_string);
        id.release = info->release_number;
        ids.append(id);
    }
    if (head)
        hid_free_enumeration(head);
    return ids;
}

QStringList QHidUsbMgr::Labels(const QVector<DeviceId> &ids)
{
    QStringList labels;
    for (const DeviceId &id : ids)
        labels.append(Label(id));
    return labels;
}

QStringList QHidUsbMgr::EnumDevices()
{
    deviceIds.clear();
    deviceIds = ListDevices();
    return Labels(deviceIds);
}

QString QHidUsbMgr::Label(const DeviceId &id)
{
    // One substitution pass: a device string that itself holds "%2" or the
    // like must appear as it is, not be substituted into.
    return QString("%1(%2)-%3(%4)")
        .arg(id.manufacturer, QString("%1").arg(id.vendorId, 4, 16, QChar('0')), id.product,
             QString("%1").arg(id.productId, 4, 16, QChar('0')));
}

HidCalls &QHidUsbMgr::Calls()
{
    if (!calls)
        calls = HidCalls::Start();
    return *calls;
}

void QHidUsbMgr::EnumDevicesAsync()
{
    // One listing at a time; asked again meanwhile, one more follows it.
    if (enumerating) {
        enumerateAgain = true;
        return;
    }
    enumerating = true;
    const std::shared_ptr<Link> to = link;
    Calls().Run([to]() {
        const QVector<DeviceId> ids = ListDevices();
        to->Emit([&ids](QHidUsbMgr *m) { emit m->ListedSignal(ids); });
    });
}

void QHidUsbMgr::EnumDone(const QVector<DeviceId> &ids)
{
    enumerating = false;
    if (enumerateAgain) {
        // What was asked for since is newer than this list.
        enumerateAgain = false;
        EnumDevicesAsync();
        return;
    }
    deviceIds = ids;
    emit EnumDoneSignal(Labels(deviceIds));
}

bool QHidUsbMgr::Busy() const
{
    return enumerating || openRequest != 0;
}

bool QHidUsbMgr::OpenUsb(int index)
{
    // Opening while open closes first; the close forgets the device list, so
    // the index check below then fails and the caller must rescan.
    if (device)
        CloseUsb();
    if (index < 0 || index >= deviceIds.size())
        return false;
    const DeviceId id = deviceIds.at(index);
    hid_device *writeHandle = nullptr;
    hid_device *readHandle = nullptr;
    OpenHandles(id.path, writeHandle, readHandle);
    return Adopt(id, writeHandle, readHandle);
}

void QHidUsbMgr::OpenUsbAsync(int index)
{
    if (device)
        CloseUsb();
    if (index < 0 || index >= deviceIds.size()) {
        QMetaObject::invokeMethod(this, [this]() { emit OpenDoneSignal(false); }, Qt::QueuedConnection);
        return;
    }
    OpenDeviceAsync(deviceIds.at(index));
}

void QHidUsbMgr::OpenDeviceAsync(const DeviceId &id)
{
    if (device)
        CloseUsb();
    const quint64 request = ++lastOpenRequest;
    openRequest = request;
    const std::shared_ptr<Link> to = link;
    Calls().Run([to, id, request]() {
        hid_device *writeHandle = nullptr;
        hid_device *readHandle = nullptr;
        OpenHandles(id.path, writeHandle, readHandle);
        const bool taken = to->Emit([&](QHidUsbMgr *m) {
            emit m->OpenedSignal(request, id, quintptr(writeHandle), quintptr(readHandle));
        });
        if (!taken && readHandle) {
            hid_close(readHandle);
            hid_close(writeHandle);
        }
    });
}

void QHidUsbMgr::OpenDone(quint64 request, const DeviceId &id, quintptr writeAddress, quintptr readAddress)
{
    auto *writeHandle = reinterpret_cast<hid_device *>(writeAddress);
    auto *readHandle = reinterpret_cast<hid_device *>(readAddress);
    if (request != openRequest || device) {
        // A close (or another open) came since: nobody wants these. They are
        // closed off this thread, as every handle is.
        if (readHandle)
            Calls().Run([writeHandle, readHandle]() {
                hid_close(readHandle);
                hid_close(writeHandle);
            });
        return;
    }
    openRequest = 0;
    emit OpenDoneSignal(Adopt(id, writeHandle, readHandle));
}

void QHidUsbMgr::OpenHandles(const QByteArray &path, hid_device *&writeHandle, hid_device *&readHandle)
{
    // Two handles on the device: the reader's, on which only the reader
    // thread calls (it waits for input in hid_read_timeout), and the
    // writer's. hidapi keeps state per handle that a read and a write on one
    // handle would share unguarded (its error text), and a lock around the
    // waiting read would hold up every write; both systems give each open
    // handle every input report (docs/development.md, "Device I/O").
    writeHandle = hid_open_path(path.constData());
    readHandle = writeHandle ? hid_open_path(path.constData()) : nullptr;
    if (!readHandle && writeHandle) {
        hid_close(writeHandle);
        writeHandle = nullptr;
    }
}

bool QHidUsbMgr::Adopt(const DeviceId &id, hid_device *writeHandle, hid_device *readHandle)
{
    running = false;
    if (!readHandle) {
        Diagnostic() << "unable to open device\n";
        return false;
    }
    device = writeHandle;
    readDevice = readHandle;
    static quint64 connections = 0; // the caller's thread only, like every open
    connection = ++connections;
    queuedReports = 0;
    writesBegun = std::make_shared<std::atomic<quint64>>(0);
    // Writers of closed connections that have ended are done with.
    closedWriters.erase(std::remove_if(closedWriters.begin(), closedWriters.end(),
                                       [](const std::shared_ptr<HidWriter> &w) { return w->Finished(); }),
                        closedWriters.end());
    writer = HidWriter::Start(this, device, logName, writesBegun);
    const quint64 opened = connection;
    pacer = std::make_shared<ReplyPacer>([this, opened](const QByteArray &frame, quint64 *index) {
        return QueueReport(frame, 0, true, true, opened, index);
    });
    running = true;
    if (!isRunning())
        start(QThread::InheritPriority);
    Diagnostic() << "OpenUsb end";
    openVendorId = id.vendorId;
    openProductId = id.productId;
    openPath = id.path;
    return true;
}

bool QHidUsbMgr::CloseUsb()
{
    const quint64 closing = Connection();
    if (openRequest != 0) {
        // An open under way is not wanted any more.
        openRequest = 0;
        QMetaObject::invokeMethod(this, [this]() { emit OpenDoneSignal(false); }, Qt::QueuedConnection);
    }
    openVendorId = -1;
    openProductId = -1;
    openPath.clear();
    running = false;
    // The reader ends within one read's wait; the writer is not waited for.
    wait();
    // Told while the writer still holds what is queued: a receiver can take
    // back a report, or learn that its write has begun.
    if (closing != 0)
        emit ClosedSignal(closing);
    deviceIds.resize(0);
    ReleaseHandles();
    Diagnostic() << "CloseUsb";
    return true;
}

bool QHidUsbMgr::IsOpen() const
{
    return running;
}

bool QHidUsbMgr::DeviceRemoved() const
{
    for (const DeviceId &id : deviceIds) {
        if (id.path == openPath && id.vendorId == openVendorId && id.productId == openProductId)
            return false;
    }
    return true;
}

bool QHidUsbMgr::SendBuf(QByteArray data, char reportId, bool log, quint64 *ticket, quint64 onConnection)
{
    // The announcement comes first, whether or not the report can be written.
    emit SendBufSignal(data);
    const quint64 queued = QueueReport(data, reportId, log, false, onConnection, nullptr);
    if (ticket && queued)
        *ticket = queued;
    return queued != 0;
}

quint64 QHidUsbMgr::QueueReport(const QByteArray &data, char reportId, bool log, bool afterWritten,
                                quint64 onConnection, quint64 *index)
{
    // The writer and the connection change only on the caller's thread, and
    // only while the reader is not running.
    if (data.size() > kMaxReportData || !writer || (onConnection != 0 && onConnection != connection))
        return 0;
    HidWriter::Report report;
    report.frame.reserve(1 + data.size());
    report.frame.append(reportId);
    report.frame.append(data);
    report.log = log;
    report.afterWritten = afterWritten;
    std::lock_guard<std::mutex> lock(sendMutex);
    report.ticket = ++lastTicket;
    report.index = ++queuedReports;
    if (index)
        *index = report.index;
    const quint64 ticket = report.ticket;
    writer->Queue(std::move(report));
    return ticket;
}

bool QHidUsbMgr::CancelBuf(quint64 ticket)
{
    return writer && writer->Cancel(ticket);
}

int QHidUsbMgr::WritesPending() const
{
    return writer ? writer->Pending() : 0;
}

void QHidUsbMgr::ReleaseHandles()
{
    // The reader has ended: its handle goes to the writer, which closes both
    // after its last write (a write in progress is not waited for here).
    if (writer) {
        writer->Detach(readDevice);
        closedWriters.push_back(std::move(writer));
    } else if (readDevice) {
        hid_close(readDevice);
    }
    readDevice = nullptr;
    device = nullptr;
    pacer.reset();
}
