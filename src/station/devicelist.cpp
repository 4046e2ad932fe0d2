#include "devicelist.h"

#include "hiddevicewatcher.h"

DeviceList::DeviceList(QObject *parent)
    : QObject(parent)
    , lister(QStringLiteral("list"))
{
    connect(&rescan, &QTimer::timeout, this, &DeviceList::List);
    connect(&lister, &QHidUsbMgr::EnumDoneSignal, this, [this]() {
        if (!started)
            return; // stopped since
        devices = lister.Devices();
        emit Listed(devices);
    });
}

DeviceList::~DeviceList() = default;

void DeviceList::Start()
{
    started = true;
    if (!watcher) {
        watcher = new HidDeviceWatcher(this);
        connect(watcher, &HidDeviceWatcher::devicesChanged, this, &DeviceList::List);
    }
    rescan.start(watcher->isActive() ? kRescanMs : kPollMs);
    List();
}

void DeviceList::Stop()
{
    started = false;
    rescan.stop();
}

bool DeviceList::Notified() const
{
    return watcher && watcher->isActive();
}

void DeviceList::List()
{
    // A burst of notifications is one listing more at most.
    if (started)
        lister.EnumDevicesAsync();
}
