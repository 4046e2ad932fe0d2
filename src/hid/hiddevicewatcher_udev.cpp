// The device watcher on Linux: a udev monitor on the hidraw subsystem, read
// by a socket notifier in the thread that owns the watcher.
#include "hiddevicewatcher.h"

#include <QDebug>
#include <QFileInfo>
#include <QSocketNotifier>

#include <libudev.h>

struct HidDeviceWatcher::Backend
{
    struct udev *udevContext = nullptr;
    struct udev_monitor *monitor = nullptr;
    QSocketNotifier *notifier = nullptr;
    QString sourceName;

    ~Backend()
    {
        delete notifier;
        if (monitor)
            udev_monitor_unref(monitor);
        if (udevContext)
            udev_unref(udevContext);
    }
};

HidDeviceWatcher::HidDeviceWatcher(QObject *parent)
    : QObject(parent)
    , backend(std::make_unique<Backend>())
{
    Backend &b = *backend;
    b.udevContext = udev_new();
    if (!b.udevContext) {
        qDebug() << "HidDeviceWatcher: udev_new failed, no hotplug";
        return;
    }
    // udevd's events come after its rules (permissions) were applied.
    const char *src = QFileInfo::exists(QStringLiteral("/run/udev/control")) ? "udev" : "kernel";
    b.monitor = udev_monitor_new_from_netlink(b.udevContext, src);
    if (!b.monitor) {
        qDebug() << "HidDeviceWatcher: cannot create a" << src << "monitor, no hotplug";
        return;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(b.monitor, "hidraw", nullptr) < 0
        || udev_monitor_enable_receiving(b.monitor) < 0) {
        qDebug() << "HidDeviceWatcher: cannot listen to the" << src << "monitor, no hotplug";
        return;
    }
    const int fd = udev_monitor_get_fd(b.monitor);
    if (fd < 0) {
        qDebug() << "HidDeviceWatcher: monitor has no socket, no hotplug";
        return;
    }
    b.sourceName = QString::fromLatin1(src);
    b.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(b.notifier, &QSocketNotifier::activated, this, [this]() {
        // Drain everything pending; each hidraw event is one notification.
        while (udev_device *dev = udev_monitor_receive_device(backend->monitor)) {
            udev_device_unref(dev);
            emit devicesChanged();
        }
    });
}

HidDeviceWatcher::~HidDeviceWatcher() = default;

bool HidDeviceWatcher::isActive() const
{
    return backend->notifier != nullptr;
}

QString HidDeviceWatcher::source() const
{
    return backend->sourceName;
}
