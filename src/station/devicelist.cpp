#include "devicelist.h"

DeviceList::DeviceList(QObject *parent)
    : QObject(parent)
    , lister(QStringLiteral("list"))
{
    connect(&timer, &QTimer::timeout, this, &DeviceList::List);
}

void DeviceList::Start(int periodMs)
{
    timer.start(periodMs);
    QTimer::singleShot(0, this, &DeviceList::List);
}

void DeviceList::Stop()
{
    timer.stop();
}

void DeviceList::List()
{
    if (!timer.isActive())
        return; // stopped since
    lister.EnumDevices();
    devices = lister.Devices();
    emit Listed(devices);
}
