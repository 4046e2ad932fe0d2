#ifndef DEVICELIST_H
#define DEVICELIST_H

#include "qhidusbmgr.h"

#include <QObject>
#include <QTimer>
#include <QVector>

// The HID devices present, listed again and again for those that wait for
// boards to come and go: a wait for a board, the check that a board comes
// back after its upgrade, a station. Lives on its caller's thread.
class DeviceList : public QObject
{
    Q_OBJECT

public:
    explicit DeviceList(QObject *parent = nullptr);

    // Lists at the next turn of the event loop, then every `periodMs`.
    void Start(int periodMs = kPeriodMs);
    void Stop();
    // The last list (empty before the first).
    const QVector<DeviceId> &Current() const { return devices; }

    static constexpr int kPeriodMs = 250;

signals:
    void Listed(const QVector<DeviceId> &devices);

private:
    void List();

    QHidUsbMgr lister;
    QTimer timer;
    QVector<DeviceId> devices;
};

#endif // DEVICELIST_H
