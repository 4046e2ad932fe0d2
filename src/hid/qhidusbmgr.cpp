#include "qhidusbmgr.h"

#include <hidapi.h>

#include <QDebug>

#include <algorithm>
#include <cwchar>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

constexpr int kMaxReportData = 64; // data bytes of one output report, without the id
constexpr int kReadSize = 64;      // bytes asked for by one read
// How long one read waits for input: the bound on how long a close waits
// for the reader, and, connected and idle, the reader's wake-ups (20 a
// second).
constexpr int kReadWaitMs = 50;

QString fromWide(const wchar_t *text)
{
    return text ? QString::fromWCharArray(text, static_cast<int>(std::wcslen(text))) : QString();
}

// A diagnostic line, started with "[name]" when the manager has a name.
QDebug diagnostic(const QString &name)
{
    QDebug line = qDebug();
    if (!name.isEmpty())
        line.noquote() << QStringLiteral("[%1]").arg(name);
    return line.quote();
}

// Every report, of every connection, gets a number of its own.
std::atomic<quint64> lastTicket{0};

} // namespace

// The writer of one connection: a thread that takes the reports handed to
// SendBuf in order and writes each on the connection's write handle, which
// it alone uses and closes. A write may wait for the backend's time-out
// (5 s on every platform the tool runs on) when the board takes nothing;
// only this thread waits. Closing the connection takes back the reports not
// yet begun and detaches the writer: the write in progress ends as the
// backend ends it, its result is logged and still reported (a board that
// restarts as soon as it has taken the last frame is closed before that
// frame's write is done), and the handle is closed after it.
class HidWriter : public QThread
{
public:
    HidWriter(QHidUsbMgr *owner, hid_device *handle, const QString &logName)
        : owner(owner)
        , handle(handle)
        , logName(logName)
    {
    }

    struct Report
    {
        quint64 ticket;
        QByteArray frame; // report id first
        bool log;
    };

    void Queue(Report report)
    {
        std::unique_lock<std::mutex> lock(mutex);
        reports.push_back(std::move(report));
        wake.notify_one();
    }

    int Pending()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return int(reports.size()) + (writing ? 1 : 0);
    }

    bool Cancel(quint64 ticket)
    {
        Report dropped;
        {
            std::unique_lock<std::mutex> lock(mutex);
            auto it = std::find_if(reports.begin(), reports.end(),
                                   [ticket](const Report &r) { return r.ticket == ticket; });
            if (it == reports.end())
                return false;
            dropped = std::move(*it);
            reports.erase(it);
        }
        LogDropped(dropped);
        return true;
    }

    // No more reports; those not begun are dropped (not reported), the one
    // being written is reported when it ends. `readHandle` (the ended
    // reader's, or null) is closed with the writer's own handle, after the
    // last write.
    void Detach(hid_device *readHandle)
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

    // The manager goes: nothing more is reported to it.
    void Orphan()
    {
        std::unique_lock<std::mutex> lock(mutex);
        owner = nullptr;
    }

protected:
    void run() override
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
            const int written = hid_write(handle, reinterpret_cast<const unsigned char *>(report.frame.constData()),
                                          static_cast<size_t>(report.frame.size()));
            QString error;
            if (report.log || written <= 0)
                error = fromWide(hid_error(handle));
            if (report.log)
                diagnostic(logName).noquote() << "hid_write" << written << QHidUsbMgr::ToHexString(report.frame)
                                              << error;
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
    }

private:
    void LogDropped(const Report &r) const
    {
        if (r.log)
            diagnostic(logName).noquote() << "hid_write not written (closed or stopped)"
                                          << QHidUsbMgr::ToHexString(r.frame);
    }

    // std's own, which the thread sanitizer sees (Qt's are not built for it).
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Report> reports;
    bool writing = false;
    bool detached = false;
    // Whom results are reported to: the manager, until it goes.
    QHidUsbMgr *owner;
    hid_device *alsoClose = nullptr;
    hid_device *const handle;
    const QString logName;
};

// Reflected CRC-32, polynomial 0xEDB88320 (the CRC of zlib and IEEE 802.3).
const uint32_t QHidUsbMgr::crcTable[256] = {
    0x00000000u, 0x77073096u, 0xEE0E612Cu, 0x990951BAu, 0x076DC419u, 0x706AF48Fu,
    0xE963A535u, 0x9E6495A3u, 0x0EDB8832u, 0x79DCB8A4u, 0xE0D5E91Eu, 0x97D2D988u,
    0x09B64C2Bu, 0x7EB17CBDu, 0xE7B82D07u, 0x90BF1D91u, 0x1DB71064u, 0x6AB020F2u,
    0xF3B97148u, 0x84BE41DEu, 0x1ADAD47Du, 0x6DDDE4EBu, 0xF4D4B551u, 0x83D385C7u,
    0x136C9856u, 0x646BA8C0u, 0xFD62F97Au, 0x8A65C9ECu, 0x14015C4Fu, 0x63066CD9u,
    0xFA0F3D63u, 0x8D080DF5u, 0x3B6E20C8u, 0x4C69105Eu, 0xD56041E4u, 0xA2677172u,
    0x3C03E4D1u, 0x4B04D447u, 0xD20D85FDu, 0xA50AB56Bu, 0x35B5A8FAu, 0x42B2986Cu,
    0xDBBBC9D6u, 0xACBCF940u, 0x32D86CE3u, 0x45DF5C75u, 0xDCD60DCFu, 0xABD13D59u,
    0x26D930ACu, 0x51DE003Au, 0xC8D75180u, 0xBFD06116u, 0x21B4F4B5u, 0x56B3C423u,
    0xCFBA9599u, 0xB8BDA50Fu, 0x2802B89Eu, 0x5F058808u, 0xC60CD9B2u, 0xB10BE924u,
    0x2F6F7C87u, 0x58684C11u, 0xC1611DABu, 0xB6662D3Du, 0x76DC4190u, 0x01DB7106u,
    0x98D220BCu, 0xEFD5102Au, 0x71B18589u, 0x06B6B51Fu, 0x9FBFE4A5u, 0xE8B8D433u,
    0x7807C9A2u, 0x0F00F934u, 0x9609A88Eu, 0xE10E9818u, 0x7F6A0DBBu, 0x086D3D2Du,
    0x91646C97u, 0xE6635C01u, 0x6B6B51F4u, 0x1C6C6162u, 0x856530D8u, 0xF262004Eu,
    0x6C0695EDu, 0x1B01A57Bu, 0x8208F4C1u, 0xF50FC457u, 0x65B0D9C6u, 0x12B7E950u,
    0x8BBEB8EAu, 0xFCB9887Cu, 0x62DD1DDFu, 0x15DA2D49u, 0x8CD37CF3u, 0xFBD44C65u,
    0x4DB26158u, 0x3AB551CEu, 0xA3BC0074u, 0xD4BB30E2u, 0x4ADFA541u, 0x3DD895D7u,
    0xA4D1C46Du, 0xD3D6F4FBu, 0x4369E96Au, 0x346ED9FCu, 0xAD678846u, 0xDA60B8D0u,
    0x44042D73u, 0x33031DE5u, 0xAA0A4C5Fu, 0xDD0D7CC9u, 0x5005713Cu, 0x270241AAu,
    0xBE0B1010u, 0xC90C2086u, 0x5768B525u, 0x206F85B3u, 0xB966D409u, 0xCE61E49Fu,
    0x5EDEF90Eu, 0x29D9C998u, 0xB0D09822u, 0xC7D7A8B4u, 0x59B33D17u, 0x2EB40D81u,
    0xB7BD5C3Bu, 0xC0BA6CADu, 0xEDB88320u, 0x9ABFB3B6u, 0x03B6E20Cu, 0x74B1D29Au,
    0xEAD54739u, 0x9DD277AFu, 0x04DB2615u, 0x73DC1683u, 0xE3630B12u, 0x94643B84u,
    0x0D6D6A3Eu, 0x7A6A5AA8u, 0xE40ECF0Bu, 0x9309FF9Du, 0x0A00AE27u, 0x7D079EB1u,
    0xF00F9344u, 0x8708A3D2u, 0x1E01F268u, 0x6906C2FEu, 0xF762575Du, 0x806567CBu,
    0x196C3671u, 0x6E6B06E7u, 0xFED41B76u, 0x89D32BE0u, 0x10DA7A5Au, 0x67DD4ACCu,
    0xF9B9DF6Fu, 0x8EBEEFF9u, 0x17B7BE43u, 0x60B08ED5u, 0xD6D6A3E8u, 0xA1D1937Eu,
    0x38D8C2C4u, 0x4FDFF252u, 0xD1BB67F1u, 0xA6BC5767u, 0x3FB506DDu, 0x48B2364Bu,
    0xD80D2BDAu, 0xAF0A1B4Cu, 0x36034AF6u, 0x41047A60u, 0xDF60EFC3u, 0xA867DF55u,
    0x316E8EEFu, 0x4669BE79u, 0xCB61B38Cu, 0xBC66831Au, 0x256FD2A0u, 0x5268E236u,
    0xCC0C7795u, 0xBB0B4703u, 0x220216B9u, 0x5505262Fu, 0xC5BA3BBEu, 0xB2BD0B28u,
    0x2BB45A92u, 0x5CB36A04u, 0xC2D7FFA7u, 0xB5D0CF31u, 0x2CD99E8Bu, 0x5BDEAE1Du,
    0x9B64C2B0u, 0xEC63F226u, 0x756AA39Cu, 0x026D930Au, 0x9C0906A9u, 0xEB0E363Fu,
    0x72076785u, 0x05005713u, 0x95BF4A82u, 0xE2B87A14u, 0x7BB12BAEu, 0x0CB61B38u,
    0x92D28E9Bu, 0xE5D5BE0Du, 0x7CDCEFB7u, 0x0BDBDF21u, 0x86D3D2D4u, 0xF1D4E242u,
    0x68DDB3F8u, 0x1FDA836Eu, 0x81BE16CDu, 0xF6B9265Bu, 0x6FB077E1u, 0x18B74777u,
    0x88085AE6u, 0xFF0F6A70u, 0x66063BCAu, 0x11010B5Cu, 0x8F659EFFu, 0xF862AE69u,
    0x616BFFD3u, 0x166CCF45u, 0xA00AE278u, 0xD70DD2EEu, 0x4E048354u, 0x3903B3C2u,
    0xA7672661u, 0xD06016F7u, 0x4969474Du, 0x3E6E77DBu, 0xAED16A4Au, 0xD9D65ADCu,
    0x40DF0B66u, 0x37D83BF0u, 0xA9BCAE53u, 0xDEBB9EC5u, 0x47B2CF7Fu, 0x30B5FFE9u,
    0xBDBDF21Cu, 0xCABAC28Au, 0x53B39330u, 0x24B4A3A6u, 0xBAD03605u, 0xCDD70693u,
    0x54DE5729u, 0x23D967BFu, 0xB3667A2Eu, 0xC4614AB8u, 0x5D681B02u, 0x2A6F2B94u,
    0xB40BBE37u, 0xC30C8EA1u, 0x5A05DF1Bu, 0x2D02EF8Du,
};

QHidUsbMgr::QHidUsbMgr(const QString &name)
    : QThread(nullptr)
    , logName(name)
{
    Diagnostic() << "QHidUsbMgr" << QThread::currentThreadId();
    hid_init();
}

QHidUsbMgr::~QHidUsbMgr()
{
    // A QThread must not be destroyed while it runs, and the handle must not
    // outlive the manager: finish the close steps first.
    running = false;
    wait();
    ReleaseHandles();
    // A writer may still be in a write to a board that takes nothing; the
    // backend ends it within its time-out. Its result goes to nobody.
    for (const auto &w : closedWriters) {
        w->Orphan();
        w->wait();
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

QStringList QHidUsbMgr::EnumDevices()
{
    deviceIds.clear();
    QStringList labels;
    hid_device_info *head = hid_enumerate(0, 0);
    if (!head)
        return labels;
    for (hid_device_info *info = head; info; info = info->next) {
        DeviceId id;
        id.vendorId = info->vendor_id;
        id.productId = info->product_id;
        id.path = QByteArray(info->path ? info->path : "");
        id.serial = fromWide(info->serial_number);
        id.manufacturer = fromWide(info->manufacturer_string);
        id.product = fromWide(info->product_string);
        id.release = info->release_number;
        deviceIds.append(id);
        labels.append(Label(id));
    }
    hid_free_enumeration(head);
    return labels;
}

QString QHidUsbMgr::Label(const DeviceId &id)
{
    // One substitution pass: a device string that itself holds "%2" or the
    // like must appear as it is, not be substituted into.
    return QString("%1(%2)-%3(%4)")
        .arg(id.manufacturer, QString("%1").arg(id.vendorId, 4, 16, QChar('0')), id.product,
             QString("%1").arg(id.productId, 4, 16, QChar('0')));
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
    running = false;
    // Two handles on the device: the reader's, on which only the reader
    // thread calls (it waits for input in hid_read_timeout), and the
    // writer's. hidapi keeps state per handle that a read and a write on one
    // handle would share unguarded (its error text), and a lock around the
    // waiting read would hold up every write; both systems give each open
    // handle every input report (docs/development.md, "Device I/O").
    device = hid_open_path(id.path.constData());
    readDevice = device ? hid_open_path(id.path.constData()) : nullptr;
    if (!readDevice) {
        if (device)
            hid_close(device);
        device = nullptr;
        Diagnostic() << "unable to open device\n";
        return false;
    }
    static quint64 connections = 0; // GUI thread only, like every open
    connection = ++connections;
    // Writers of closed connections that have ended are done with.
    closedWriters.erase(std::remove_if(closedWriters.begin(), closedWriters.end(),
                                       [](const std::shared_ptr<HidWriter> &w) { return w->isFinished(); }),
                        closedWriters.end());
    writer = std::make_shared<HidWriter>(this, device, logName);
    writer->start();
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

bool QHidUsbMgr::SendBuf(QByteArray data, char reportId, bool log, quint64 *ticket)
{
    // The announcement comes first, whether or not the report can be written.
    emit SendBufSignal(data);
    if (data.size() > kMaxReportData || !writer)
        return false;
    HidWriter::Report report;
    report.ticket = ++lastTicket;
    report.frame.reserve(1 + data.size());
    report.frame.append(reportId);
    report.frame.append(data);
    report.log = log;
    if (ticket)
        *ticket = report.ticket;
    writer->Queue(std::move(report));
    return true;
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
}

void QHidUsbMgr::run()
{
    unsigned char buffer[kReadSize];
    bool readFailed = false;
    const quint64 reading = connection; // set before the thread started
    hid_device *handle = readDevice;    // this thread's alone while it runs
    while (running && handle) {
        memset(buffer, 0, sizeof buffer);
        const int n = hid_read_timeout(handle, buffer, sizeof buffer, kReadWaitMs);
        if (n < 0) {
            if (!readFailed) {
                readFailed = true;
                emit ReadFailedSignal(reading);
            }
            // A device that is gone fails every read at once.
            QThread::msleep(kReadWaitMs);
            continue;
        }
        if (n == 0)
            continue;
        const QByteArray chunk(reinterpret_cast<const char *>(buffer), n);
        emit RecvBufSignal(chunk);
        Diagnostic().noquote() << "RecvBufSignal" << ToHexString(chunk);
    }
    // The handle stays open: the connection's writer closes it (on Windows
    // the patched hid_close cancels a read left pending by this thread and
    // waits for its end).
}

QString QHidUsbMgr::ToHexString(QByteArray bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString text(bytes.size() * 3, Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : qAsConst(bytes)) {
        const auto b = static_cast<unsigned char>(c);
        *out++ = QLatin1Char(digits[b >> 4]);
        *out++ = QLatin1Char(digits[b & 0x0F]);
        *out++ = QLatin1Char(' ');
    }
    return text;
}

QByteArray QHidUsbMgr::FromHexString(QString text)
{
    QByteArray result;
    QString token;
    const auto convert = [&]() {
        bool ok = false;
        const ushort value = token.toUShort(&ok, 16);
        if (ok)
            result.append(static_cast<char>(value & 0xFF));
        token.clear();
    };
    for (const QChar c : qAsConst(text)) {
        if (c != QLatin1Char(' ')) {
            token.append(c);
            if (token.size() == 2)
                convert();
        } else if (token.size() == 1) {
            convert();
        }
    }
    if (token.size() == 1)
        convert();
    return result;
}

char QHidUsbMgr::XorCheck(const char *data, int length)
{
    if (!data)
        return 0;
    char check = 0;
    for (int i = 0; i < length; ++i)
        check ^= data[i];
    return check;
}

uint32_t QHidUsbMgr::CalcCrc32(uint32_t crc, const unsigned char *data, uint32_t length)
{
    if (!data)
        return crc ^ 0xFFFFFFFFu;
    for (uint32_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ crcTable[(crc ^ data[i]) & 0xFFu];
    return crc ^ 0xFFFFFFFFu;
}
