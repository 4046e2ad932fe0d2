#ifndef QHIDUSBMGR_H
#define QHIDUSBMGR_H

#include <QByteArray>
#include <QMutex>
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

    // Labels "manufacturer(vid)-product(pid)" of every HID record present, in
    // enumeration order; rebuilds the device id list index-aligned with them.
    QStringList EnumDevices();
    // Opens entry `index` of the last enumeration and starts the reader.
    bool OpenUsb(int index);
    // Stops the reader, waits for it, closes the handle and forgets the list.
    bool CloseUsb();
    bool IsOpen() const;
    // True when no record of the list is the open device: none has its path
    // and its vendor/product pair. With several identical boards the pair
    // alone would keep a pulled board counted as present.
    bool DeviceRemoved() const;
    // Announces `data` with SendBufSignal, then writes report `reportId` + data
    // (at most 64 data bytes). True when hidapi reported bytes written.
    bool SendBuf(QByteArray data, char reportId, bool log);

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

protected:
    void run() override;

private:
    QVector<DeviceId> deviceIds;
    hid_device *device = nullptr;
    std::atomic<bool> running{false};
    QMutex ioMutex;
    int openVendorId = -1;
    int openProductId = -1;
    QByteArray openPath;
};

#endif // QHIDUSBMGR_H
