#ifndef HIDDEVICEWATCHER_H
#define HIDDEVICEWATCHER_H

#include <QObject>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// Tells the GUI thread whenever a hidraw node comes or goes, through a udev
// monitor read by a socket notifier in the thread that owns the watcher.
// When udevd runs, its events are used, since they come after the rules
// (permissions) have been applied; otherwise the kernel's own events.
// A watcher that cannot be set up says so on the debug stream and stays
// silent; the tool then works without hotplug.
class HidDeviceWatcher : public QObject
{
    Q_OBJECT

public:
    explicit HidDeviceWatcher(QObject *parent = nullptr);
    ~HidDeviceWatcher() override;

    bool isActive() const { return notifier != nullptr; }
    // "udev" or "kernel", or empty when inactive.
    QString source() const { return sourceName; }

signals:
    void devicesChanged();

private:
    void readEvents();

    struct udev *udevContext = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
    QString sourceName;
};

#endif // HIDDEVICEWATCHER_H
