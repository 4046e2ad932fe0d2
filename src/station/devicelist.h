#ifndef DEVICELIST_H
#define DEVICELIST_H

#include "qhidusbmgr.h"

#include <QObject>
#include <QTimer>
#include <QVector>

#include <chrono>

class HidDeviceWatcher;

// The HID devices present, listed again whenever the system tells of a
// change (the device watcher) and, as a safety net, every few seconds: for
// those that wait for boards to come and go (a wait for a board, the check
// that a board comes back after its upgrade, a station). The listing runs
// on a thread of device calls, never the caller's. Without the system's
// notifications (no udev monitor, say) it lists four times a second.
// Lives on its caller's thread.
class DeviceList : public QObject
{
    Q_OBJECT

public:
    explicit DeviceList(QObject *parent = nullptr);
    ~DeviceList() override;

    // Lists at once, then on every change and every kRescanMs.
    void Start();
    void Stop();
    // The last list (empty before the first).
    const QVector<DeviceId> &Current() const { return devices; }
    // The last list's listing began no earlier than this: it shows the
    // devices as they were then or later, never from before.
    std::chrono::steady_clock::time_point ListedFrom() const { return listedFrom; }
    // The system tells of changes; false: the list is polled.
    bool Notified() const;

    static constexpr int kRescanMs = 5000;
    static constexpr int kPollMs = 250;

signals:
    void Listed(const QVector<DeviceId> &devices);

private:
    void List();

    QHidUsbMgr lister;
    HidDeviceWatcher *watcher = nullptr;
    QTimer rescan;
    QVector<DeviceId> devices;
    bool started = false;
    std::chrono::steady_clock::time_point asked; // the listing last asked for
    std::chrono::steady_clock::time_point listedFrom;
};

#endif // DEVICELIST_H
