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
};

// The application's only gateway to the device: enumerates HID devices, opens
// one by its position in the last enumeration, reads input reports on its own
// thread and writes output reports.
class QHidUsbMgr : public QThread
{
    Q_OBJECT

public:
    QHidUsbMgr();
    ~QHidUsbMgr() override;

    // A name that starts each of this manager's diagnostic lines after it,
    // in brackets ("[serial S1] hid_write ..."), where several devices are
    // open at once; none by default. Set it while nothing is open.
    void SetLogName(const QString &name);

    // Labels "manufacturer(vid)-product(pid)" of every HID record present, in
    // enumeration order; rebuilds the device id list index-aligned with them.
    QStringList EnumDevices();
    // The records of the last enumeration, index-aligned with its labels
    // (emptied by every close, as the list the index refers to is).
    QVector<DeviceId> Devices() const { return deviceIds; }
    // The label the window shows for a record: "manufacturer(vid)-product(pid)".
    static QString Label(const DeviceId &id);
    // Opens entry `index` of the last enumeration and starts the reader.
    bool OpenUsb(int index);
    // Stops the reader, waits for it, closes the handle and forgets the list.
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
    // Announces `data` with SendBufSignal, then writes report `reportId` + data
    // (at most 64 data bytes). True when hidapi reported bytes written;
    // otherwise `error`, when given, gets hidapi's error text.
    bool SendBuf(QByteArray data, char reportId, bool log, QString *error = nullptr);

    // Byte codecs. They touch no member and may run on any thread.
    static QString ToHexString(QByteArray bytes);
    static QByteArray FromHexString(QString text);
    static char XorCheck(const char *data, int length);
    static uint32_t CalcCrc32(uint32_t crc, const unsigned char *data, uint32_t length);

    // The reflected CRC-32 table (polynomial 0xEDB88320).
    static const uint32_t crcTable[256];

signals:
    void RecvBufSignal(QByteArray arr);
    void SendBufSignal(QByteArray arr);
    // The reader's first failed read on a connection (a device that is gone
    // fails every read), with the connection's number; emitted on the reader
    // thread, once per connection. (No error text: hidapi keeps one per
    // device, which the writer's calls replace.)
    void ReadFailedSignal(quint64 connection);
    // A connection was closed (CloseUsb, also on the way to another open),
    // emitted on the caller's thread once its handle is closed.
    void ClosedSignal(quint64 connection);

protected:
    void run() override;

private:
    QDebug Diagnostic() const;

    QString logName;
    QVector<DeviceId> deviceIds;
    // The writer's handle (the caller's thread) and the reader's (its
    // thread's while it runs; it closes it when it ends).
    hid_device *device = nullptr;
    hid_device *readDevice = nullptr;
    std::atomic<bool> running{false};
    quint64 connection = 0;
    int openVendorId = -1;
    int openProductId = -1;
    QByteArray openPath;
};

#endif // QHIDUSBMGR_H
