#ifndef QHIDUSBMGR_H
#define QHIDUSBMGR_H

#include <QByteArray>
#include <QDebug>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

struct hid_device_;
typedef struct hid_device_ hid_device;

// One enumerated HID record: the USB vendor/product pair and the platform path
// of that very record, so that the entry the operator picked is the one opened
// even when several records (interfaces, identical devices) share the pair.
struct DeviceId
{
    int vendorId = 0;
    int productId = 0;
    QByteArray path;
    // The record's strings as the platform reports them (empty when absent).
    QString serial;
    QString manufacturer;
    QString product;
    // The device's release number, USB's bcdDevice (0x0102: release 1.02).
    int release = 0;
};

Q_DECLARE_METATYPE(DeviceId)

class HidCalls;
class HidWriter;
class ReplyPacer;

// The application's only gateway to the device: enumerates HID devices, opens
// one by its position in the last enumeration, reads input reports on its own
// thread (hidreader.cpp) and writes output reports on a writer thread of the
// connection (hidwriter.h), so that the caller's thread never waits on the
// device (a board that takes nothing holds a write for the backend's
// time-out, 5 s). Listing and opening, which talk to the devices too, run
// on a thread of device calls (hidcalls.h) when asked for with
// EnumDevicesAsync and OpenUsbAsync; the synchronous EnumDevices and
// OpenUsb are for callers that may wait (a listing on the command line).
class QHidUsbMgr : public QThread
{
    Q_OBJECT

public:
    // `logName`: see SetLogName (the construction's own line has it too).
    explicit QHidUsbMgr(const QString &logName = QString());
    ~QHidUsbMgr() override;

    // A name that starts each of this manager's diagnostic lines after it,
    // in brackets ("[serial S1] hid_write ..."), where several devices are
    // open at once; none by default. Set it while nothing is open.
    void SetLogName(const QString &name);

    // Labels "manufacturer(vid)-product(pid)" of every HID record present, in
    // enumeration order; rebuilds the device id list index-aligned with them.
    QStringList EnumDevices();
    // The same on the thread of device calls: the list is rebuilt, and
    // EnumDoneSignal emitted with the labels, on this thread when the
    // listing ends. Asked for while one runs, one more follows it.
    void EnumDevicesAsync();
    // Every HID record present (any thread; it talks to the devices).
    static QVector<DeviceId> ListDevices();
    static QStringList Labels(const QVector<DeviceId> &ids);
    // The records of the last enumeration, index-aligned with its labels
    // (emptied by every close, as the list the index refers to is).
    QVector<DeviceId> Devices() const { return deviceIds; }
    // The label the window shows for a record: "manufacturer(vid)-product(pid)".
    static QString Label(const DeviceId &id);
    // Opens entry `index` of the last enumeration and starts the reader.
    bool OpenUsb(int index);
    // The same, the opening on the thread of device calls: OpenDoneSignal
    // comes back on this thread (false at once, queued, for an index not in
    // the list; false when a close came first).
    void OpenUsbAsync(int index);
    // The same for a record of a listing made elsewhere (found by its path).
    void OpenDeviceAsync(const DeviceId &id);
    // A listing or an open of the thread of device calls is under way.
    bool Busy() const;
    // Stops the reader (waits for it: at most one read's wait, 50 ms), drops
    // the writes not yet begun and forgets the list. It does not wait for a
    // write in progress: the connection's writer logs that write's result
    // when it comes and then closes both handles itself.
    bool CloseUsb();
    bool IsOpen() const;
    // A number that names the open connection, new at every open; 0 while
    // nothing is open. What was meant for one connection is never written
    // to the next, even to the same board opened again.
    quint64 Connection() const { return device ? connection : 0; }
    // True when no record of the list is the open device: none has its path
    // and its vendor/product pair. With several identical boards the pair
    // alone would keep a pulled board counted as present.
    bool DeviceRemoved() const;
    // Announces `data` with SendBufSignal, then hands report `reportId` +
    // data (at most 64 data bytes) to the connection's writer thread and
    // returns at once. True when the report was queued; `ticket`, when
    // given, then names it in SendDoneSignal. False, with nothing queued,
    // when nothing is open or the data is too long, or when `onConnection`
    // (not 0) is not the open connection. Reports are written in the order
    // they were handed over.
    bool SendBuf(QByteArray data, char reportId, bool log, quint64 *ticket = nullptr, quint64 onConnection = 0);
    // Takes back a report that the writer has not begun to write; false when
    // it is being written or done (its SendDoneSignal comes, or came).
    bool CancelBuf(quint64 ticket);
    // Reports of the open connection queued or being written, whose
    // SendDoneSignal has not been emitted yet.
    int WritesPending() const;
    // The reports queued on the open connection so far: the index of the
    // last one (ChunkSignal's stamps count the same way).
    quint64 QueuedReports() const { return queuedReports; }
    // The open connection's reader sends frames that a reply releases
    // through this (replypacer.h); null while nothing is open. Its frames
    // are announced with SendBufSignal on the reader's thread.
    std::shared_ptr<ReplyPacer> Pacer() const { return pacer; }

    // Byte codecs. They touch no member and may run on any thread.
    static QString ToHexString(QByteArray bytes);
    static QByteArray FromHexString(QString text);
    static char XorCheck(const char *data, int length);
    static uint32_t CalcCrc32(uint32_t crc, const unsigned char *data, uint32_t length);

    // The reflected CRC-32 table (polynomial 0xEDB88320).
    static const uint32_t crcTable[256];

signals:
    void RecvBufSignal(QByteArray arr);
    // The same chunk, emitted right after it on the reader thread, with the
    // connection it was read on and the index of the report whose write
    // had begun last when it was read: what was read before a report's
    // write began cannot answer that report.
    void ChunkSignal(quint64 connection, quint64 writesBegun, QByteArray chunk);
    void SendBufSignal(QByteArray arr);
    // An EnumDevicesAsync ended: the list's labels (Devices() has them all).
    void EnumDoneSignal(QStringList labels);
    // An OpenUsbAsync ended: the device is open, or not.
    void OpenDoneSignal(bool opened);
    // The thread of device calls to the manager (queued to it): a listing,
    // an open (its handles, null when it failed). Not for others.
    void ListedSignal(QVector<DeviceId> ids);
    void OpenedSignal(quint64 request, DeviceId id, quintptr writeHandle, quintptr readHandle);
    // The reader's first failed read on a connection (a device that is gone
    // fails every read), with the connection's number; emitted on the reader
    // thread, once per connection. (No error text: hidapi keeps one per
    // device, which the writer's calls replace.)
    void ReadFailedSignal(quint64 connection);
    // A connection is being closed (CloseUsb, also on the way to another
    // open), emitted on the caller's thread once its reader has ended and
    // before the reports queued on it are taken back: CancelBuf still
    // tells a report not begun from one being written.
    void ClosedSignal(quint64 connection);
    // The report queued as `ticket` was written (hidapi reported bytes
    // written) or not, with hidapi's error text then; emitted on the
    // writer's thread. A report being written when its connection closed
    // is reported when its write ends; one taken back never is.
    void SendDoneSignal(quint64 ticket, bool written, QString error);

protected:
    void run() override;

private:
    struct Link;

    QDebug Diagnostic() const;
    // Once the reader has ended: hands both handles to the writer to close.
    void ReleaseHandles();
    HidCalls &Calls();
    void EnumDone(const QVector<DeviceId> &ids);
    void OpenDone(quint64 request, const DeviceId &id, quintptr writeHandle, quintptr readHandle);
    // Queues a report on the open connection's writer (any thread; the
    // reports' indexes follow the order they are queued in). Its ticket, 0
    // when nothing could be queued.
    quint64 QueueReport(const QByteArray &data, char reportId, bool log, bool afterWritten, quint64 onConnection,
                        quint64 *index);
    static void OpenHandles(const QByteArray &path, hid_device *&writeHandle, hid_device *&readHandle);
    // Makes the handles of a fresh open the connection (false, with the
    // diagnostic line, when there are none).
    bool Adopt(const DeviceId &id, hid_device *writeHandle, hid_device *readHandle);

    // How long one read waits for input: the bound on how long a close waits
    // for the reader, and, connected and idle, the reader's wake-ups (20 a
    // second).
    static constexpr int kReadWaitMs = 50;

    QString logName;
    QVector<DeviceId> deviceIds;
    // The writer's handle (its writer thread's; it closes it when it ends)
    // and the reader's (its thread's while it runs; then the writer closes
    // it with its own).
    hid_device *device = nullptr;
    hid_device *readDevice = nullptr;
    // The open connection's writer, and the writers of closed connections
    // that may still be finishing a write (joined when the manager goes).
    std::shared_ptr<HidWriter> writer;
    std::vector<std::shared_ptr<HidWriter>> closedWriters;
    // The connection's reports so far, and the index of the one whose write
    // began last (its writer's, read by its reader).
    std::atomic<quint64> queuedReports{0};
    // Queuing a report takes its index and hands it over in one step: the
    // caller's thread and the reader's (its pacer) both queue.
    std::mutex sendMutex;
    std::shared_ptr<ReplyPacer> pacer;
    std::shared_ptr<std::atomic<quint64>> writesBegun = std::make_shared<std::atomic<quint64>>(0);
    // The thread of device calls (made at the first), what it hands back
    // through, and what runs there: a listing, an open (its number).
    std::shared_ptr<HidCalls> calls;
    std::shared_ptr<Link> link;
    bool enumerating = false;
    bool enumerateAgain = false;
    quint64 openRequest = 0;
    quint64 lastOpenRequest = 0;
    std::atomic<bool> running{false};
    quint64 connection = 0;
    int openVendorId = -1;
    int openProductId = -1;
    QByteArray openPath;
};

#endif // QHIDUSBMGR_H
