// The device watcher on the virtual devices: it tells of every virtual
// device plugged in or pulled out (vhid::setNotifications turns the
// notifications on), as the system's watcher tells of real ones. Linked
// instead of the system's, with the virtual devices instead of hidapi.
#include "hiddevicewatcher.h"
#include "virtualhid.h"

#include <QTimer>

#include <mutex>

namespace {

// Hands a notification from the thread that plugged or pulled a device to
// the watcher's thread, as a queued signal.
class Relay : public QObject
{
    Q_OBJECT
public:
    explicit Relay(HidDeviceWatcher *watcher)
        : QObject(watcher)
    {
        connect(this, &Relay::changed, this, &Relay::deliver, Qt::QueuedConnection);
        connect(this, &Relay::due, watcher, &HidDeviceWatcher::devicesChanged);
    }

signals:
    void changed(int delayMs);
    void due();

private:
    void deliver(int delayMs)
    {
        // A device plugged in later is told of when its time comes (a
        // little after it: the device appears at the first listing after
        // its time, and a coarse timer may be early).
        if (delayMs > 0)
            QTimer::singleShot(delayMs + 5, Qt::PreciseTimer, this, [this]() { emit due(); });
        else
            emit due();
    }
};

// Whom a notification goes to, while the watcher lives.
struct Guard
{
    std::mutex mutex;
    Relay *relay = nullptr;
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
    guard->relay = new Relay(this);
    backend->listener = vhid::addChangeListener([guard](int delayMs) {
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (guard->relay)
            emit guard->relay->changed(delayMs);
    });
}

HidDeviceWatcher::~HidDeviceWatcher()
{
    {
        std::lock_guard<std::mutex> lock(backend->guard->mutex);
        backend->guard->relay = nullptr;
    }
    vhid::removeChangeListener(backend->listener);
}

bool HidDeviceWatcher::isActive() const
{
    return vhid::notifications();
}

QString HidDeviceWatcher::source() const
{
    return QStringLiteral("virtual");
}

#include "virtualwatch.moc"
