#ifndef HIDDEVICEWATCHER_H
#define HIDDEVICEWATCHER_H

#include <QObject>
#include <QString>

#include <memory>

// Tells the thread that owns it whenever a HID device may have come or gone,
// from the system's own notifications: on Linux a udev monitor on the hidraw
// subsystem (udevd's events when it runs, which come after its rules have
// given the node its permissions, otherwise the kernel's); on Windows a
// message-only window registered for the HID interface class, which a
// console program can have too. The notification carries no detail: list
// the devices again.
//
// Which of them is linked in is the program's choice, as hidapi is: the
// programs link the system's (tarnvik_hidwatch), the tests and the
// simulators the virtual devices' (sim/virtualwatch.cpp), which tells of
// every virtual device plugged in or pulled out.
//
// A watcher that cannot be set up says so on the debug stream and stays
// silent; whoever relies on it then lists the devices often instead.
class HidDeviceWatcher : public QObject
{
    Q_OBJECT

public:
    explicit HidDeviceWatcher(QObject *parent = nullptr);
    ~HidDeviceWatcher() override;

    bool isActive() const;
    // Where the notifications come from ("udev", "kernel", "windows",
    // "virtual"), or empty when inactive.
    QString source() const;

signals:
    void devicesChanged();

private:
    struct Backend;
    std::unique_ptr<Backend> backend;
};

#endif // HIDDEVICEWATCHER_H
