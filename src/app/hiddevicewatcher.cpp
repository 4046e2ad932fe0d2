#include "hiddevicewatcher.h"

#include <QDebug>
#include <QFileInfo>
#include <QSocketNotifier>

#include <libudev.h>

namespace {

bool udevdRunning()
{
    return QFileInfo::exists(QStringLiteral("/run/udev/control"));
}

} // namespace

HidDeviceWatcher::HidDeviceWatcher(QObject *parent)
    : QObject(parent)
{
    udevContext = udev_new();
    if (!udevContext) {
        qDebug() << "HidDeviceWatcher: udev_new failed, no hotplug";
        return;
    }
    const char *src = udevdRunning() ? "udev" : "kernel";
    monitor = udev_monitor_new_from_netlink(udevContext, src);
    if (!monitor) {
        qDebug() << "HidDeviceWatcher: cannot create a" << src << "monitor, no hotplug";
        return;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0
        || udev_monitor_enable_receiving(monitor) < 0) {
        qDebug() << "HidDeviceWatcher: cannot listen to the" << src << "monitor, no hotplug";
        return;
    }
    const int fd = udev_monitor_get_fd(monitor);
    if (fd < 0) {
        qDebug() << "HidDeviceWatcher: monitor has no socket, no hotplug";
        return;
    }
    sourceName = QString::fromLatin1(src);
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &HidDeviceWatcher::readEvents);
}

HidDeviceWatcher::~HidDeviceWatcher()
{
    delete notifier;
    if (monitor)
        udev_monitor_unref(monitor);
    if (udevContext)
        udev_unref(udevContext);
}

void HidDeviceWatcher::readEvents()
{
    // Drain everything pending; each hidraw event is one notification.
    while (udev_device *dev = udev_monitor_receive_device(monitor)) {
        udev_device_unref(dev);
        emit devicesChanged();
    }
}
