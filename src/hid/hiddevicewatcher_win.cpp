// The device watcher on Windows: a message-only window, registered for
// device notifications of the HID interface class. A console program has no
// top-level window to be sent WM_DEVICECHANGE, but a message-only window of
// its own thread gets the notifications it registered for; the thread's
// event loop (Qt's dispatcher pumps every window of the thread) runs its
// window procedure.
#include "hiddevicewatcher.h"

#include <QDebug>

#include <windows.h>
#include <dbt.h>

namespace {

// The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
const GUID kHidInterface = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const wchar_t kWindowClass[] = L"TarnvikHidDeviceWatcher";

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
        auto *watcher = reinterpret_cast<HidDeviceWatcher *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (watcher)
            emit watcher->devicesChanged();
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

struct HidDeviceWatcher::Backend
{
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;

    ~Backend()
    {
        if (notification)
            UnregisterDeviceNotification(notification);
        if (window)
            DestroyWindow(window);
    }
};

HidDeviceWatcher::HidDeviceWatcher(QObject *parent)
    : QObject(parent)
    , backend(std::make_unique<Backend>())
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    // A second watcher finds the class registered already.
    if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        qDebug() << "HidDeviceWatcher: cannot register its window class, no hotplug" << GetLastError();
        return;
    }
    backend->window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (!backend->window) {
        qDebug() << "HidDeviceWatcher: cannot create its window, no hotplug" << GetLastError();
        return;
    }
    SetWindowLongPtrW(backend->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterface;
    backend->notification = RegisterDeviceNotificationW(backend->window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!backend->notification)
        qDebug() << "HidDeviceWatcher: cannot register for HID device notifications, no hotplug" << GetLastError();
}

HidDeviceWatcher::~HidDeviceWatcher()
{
    if (backend->window)
        SetWindowLongPtrW(backend->window, GWLP_USERDATA, 0);
}

bool HidDeviceWatcher::isActive() const
{
    return backend->notification != nullptr;
}

QString HidDeviceWatcher::source() const
{
    return isActive() ? QStringLiteral("windows") : QString();
}
