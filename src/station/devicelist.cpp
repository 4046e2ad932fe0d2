#include "devicelist.h"

#include "hiddevicewatcher.h"

DeviceList::DeviceList(QObject *parent)
    : QObject(parent)
    , lister(QStringLiteral("list"))
{
    connect(&rescan, &QTimer::timeout, this, [this]() {
        // A listing under way is fresh enough for a rescan, which nothing
        // asked for: asked again, a listing slower than the rescan's period
        // would be begun again forever and never delivered.
        if (!lister.Busy())
            List();
    });
    connect(&lister, &QHidUsbMgr::EnumDoneSignal, this, [this]() {
        if (!started)
            return; // stopped since
        // The lister delivers only a listing begun after the last ask.
        listedFrom = asked;
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
    if (!started)
        return;
    asked = std::chrono::steady_clock::now();
    lister.EnumDevicesAsync();
}
