// The device watcher on the virtual devices: it tells of every virtual
// device plugged in or pulled out (vhid::setNotifications turns the
// notifications on), as the system's watcher tells of real ones. Linked
// instead of the system's, with the virtual devices instead of hidapi.
#include "hiddevicewatcher.h"
#include "virtualhid.h"

#include <QMetaObject>
#include <QTimer>

#include <mutex>

namespace {

// Whom a notification goes to, while the watcher lives.
struct Guard
{
    std::mutex mutex;
    HidDeviceWatcher *watcher = nullptr;
};

} // namespace

struct HidDeviceWatcher::Backend
{
    std::shared_ptr<Guard> guard = std::make_shared<Guard>();
    int listener = -1;
};

HidDeviceWatcher::HidDeviceWatcher(QObject *parent)
    : QObject(parent)
    , backend(std::make_unique<Backend>())
{
    const std::shared_ptr<Guard> guard = backend->guard;
    guard->watcher = this;
    backend->listener = vhid::addChangeListener([guard](int delayMs) {
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (!guard->watcher)
            return;
        HidDeviceWatcher *w = guard->watcher;
        // On the watcher's thread; a device plugged in later is told of
        // when its time comes.
        QMetaObject::invokeMethod(
            w,
            [w, delayMs]() {
                // (A little after it: the device appears at the first
                // listing after its time, and a coarse timer may be early.)
                if (delayMs > 0)
                    QTimer::singleShot(delayMs + 5, Qt::PreciseTimer, w, [w]() { emit w->devicesChanged(); });
                else
                    emit w->devicesChanged();
            },
            Qt::QueuedConnection);
    });
}

HidDeviceWatcher::~HidDeviceWatcher()
{
    {
        std::lock_guard<std::mutex> lock(backend->guard->mutex);
        backend->guard->watcher = nullptr;
    }
    vhid::removeChangeListener(backend->listener);
}

bool HidDeviceWatcher::isActive() const
{
    return true;
}

QString HidDeviceWatcher::source() const
{
    return QStringLiteral("virtual");
}
