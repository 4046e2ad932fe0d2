#include "virtualhid.h"

#include <hidapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <list>
#include <map>
#include <thread>
#include <mutex>

// A handle as hidapi gives it out. Closed handles are kept (not freed) until
// reset(), so that a use after hid_close is counted instead of being
// undefined behaviour.
struct hid_device_
{
    std::shared_ptr<vhid::VirtualDevice> device;
    bool closed = false;
    bool nonblocking = false;
    std::wstring error;
};

namespace vhid {

struct Registry
{
    std::mutex mutex;
    std::vector<std::shared_ptr<VirtualDevice>> devices;
    // What is to happen at a time to come: a device plugged in
    // (addDeviceLater), or the device at a path pulled out (unplugLater).
    struct Due
    {
        std::chrono::steady_clock::time_point time;
        std::shared_ptr<VirtualDevice> plug; // null: pull out `path`
        std::string path;
    };
    std::vector<Due> later;
    std::list<hid_device_> handles;
    std::wstring globalError;
    bool enumerationFails = false;
    int callDelayMs = 0;
    bool notify = false;
    int lastListener = 0;
    std::map<int, ChangeListener> listeners;
    int closedHandleUses = 0;
    int initCalls = 0;
    int enumerateCalls = 0;
    int readCalls = 0;

    static Registry &get()
    {
        static Registry registry;
        return registry;
    }

    // Under the lock: what is due happens, in the order of its times.
    void applyDue()
    {
        const auto now = std::chrono::steady_clock::now();
        const auto notDue = std::stable_partition(later.begin(), later.end(),
                                                  [&](const Due &d) { return d.time <= now; });
        std::vector<Due> due(std::make_move_iterator(later.begin()), std::make_move_iterator(notDue));
        later.erase(later.begin(), notDue);
        std::stable_sort(due.begin(), due.end(), [](const Due &a, const Due &b) { return a.time < b.time; });
        for (Due &d : due) {
            if (d.plug)
                devices.push_back(std::move(d.plug));
            else
                unplug(d.path);
        }
    }

    // Under the lock.
    void unplug(const std::string &path)
    {
        auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const auto &d) { return d->info_.path == path; });
        if (it == devices.end())
            return;
        (*it)->unplugged_ = true;
        (*it)->input_.clear();
        // A read waiting on the device wakes and fails, as a hidraw node's
        // poll does when its device goes.
        (*it)->inputArrived_.notify_all();
        devices.erase(it);
    }
};

namespace {

// Tells the listeners of a change, outside the lock.
void notifyChange(int delayMs)
{
    std::vector<ChangeListener> told;
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.notify)
            return;
        for (const auto &l : r.listeners)
            told.push_back(l.second);
    }
    for (const ChangeListener &l : told)
        l(delayMs);
}

// A listing or an open that takes its time, outside the lock.
void callDelay()
{
    int ms;
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        ms = r.callDelayMs;
    }
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

wchar_t *dupWide(const std::optional<std::wstring> &text)
{
    if (!text)
        return nullptr;
    auto *copy = static_cast<wchar_t *>(std::malloc((text->size() + 1) * sizeof(wchar_t)));
    std::wmemcpy(copy, text->c_str(), text->size() + 1);
    return copy;
}

// True (and counted) when a call is made on a handle that was closed.
bool usedAfterClose(Registry &r, hid_device *dev)
{
    if (dev && dev->closed) {
        ++r.closedHandleUses;
        return true;
    }
    return false;
}

} // namespace

VirtualDevice::VirtualDevice(DeviceInfo info)
    : info_(std::move(info))
{
}

void VirtualDevice::queueInput(Bytes chunk)
{
    Registry &r = Registry::get();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        input_.push_back(std::move(chunk));
    }
    inputArrived_.notify_all();
}

size_t VirtualDevice::pendingInput() const
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    return input_.size();
}

std::vector<Bytes> VirtualDevice::writes() const
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    return writes_;
}

void VirtualDevice::clearWrites()
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    writes_.clear();
}

void VirtualDevice::setWriteResult(std::optional<int> result, std::wstring error)
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    writeResult_ = result;
    writeError_ = std::move(error);
}

void VirtualDevice::setWriteHandler(std::function<int(const Bytes &)> handler)
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    writeHandler_ = std::move(handler);
}

void VirtualDevice::setOpenFails(bool fails)
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    openFails_ = fails;
}

int VirtualDevice::openCount() const
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    return openCount_;
}

int VirtualDevice::openHandles() const
{
    std::lock_guard<std::mutex> lock(Registry::get().mutex);
    return openHandles_;
}

std::shared_ptr<VirtualDevice> addDevice(DeviceInfo info)
{
    auto device = std::make_shared<VirtualDevice>(std::move(info));
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.devices.push_back(device);
    }
    notifyChange(0);
    return device;
}

std::shared_ptr<VirtualDevice> addDeviceLater(DeviceInfo info, int ms)
{
    auto device = std::make_shared<VirtualDevice>(std::move(info));
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.later.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), device, {}});
    }
    notifyChange(ms);
    return device;
}

void unplug(const std::string &path)
{
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.unplug(path);
    }
    notifyChange(0);
}

void unplugLater(const std::string &path, int ms)
{
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.later.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), nullptr, path});
    }
    notifyChange(ms);
}

void reset()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.devices.clear();
    r.later.clear();
    r.handles.clear();
    r.globalError.clear();
    r.enumerationFails = false;
    r.callDelayMs = 0;
    r.notify = false;
    r.closedHandleUses = 0;
    r.initCalls = 0;
    r.enumerateCalls = 0;
    r.readCalls = 0;
}

void setCallDelay(int ms)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.callDelayMs = ms;
}

int addChangeListener(ChangeListener listener)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.listeners[++r.lastListener] = std::move(listener);
    return r.lastListener;
}

void removeChangeListener(int id)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.listeners.erase(id);
}

void setNotifications(bool on)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.notify = on;
}

bool notifications()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.notify;
}

void setEnumerationFails(bool fails)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.enumerationFails = fails;
}

int closedHandleUses()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.closedHandleUses;
}

int initCalls()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.initCalls;
}

int enumerateCalls()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.enumerateCalls;
}

int readCalls()
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.readCalls;
}

} // namespace vhid

using vhid::Registry;

extern "C" {

int HID_API_EXPORT hid_init(void)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.initCalls;
    return 0;
}

int HID_API_EXPORT hid_exit(void)
{
    return 0;
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                   unsigned short product_id)
{
    Registry &r = Registry::get();
    std::unique_lock<std::mutex> lock(r.mutex);
    ++r.enumerateCalls;
    if (r.enumerationFails) {
        lock.unlock();
        vhid::callDelay();
        return nullptr;
    }
    r.applyDue();
    hid_device_info *head = nullptr;
    hid_device_info **tail = &head;
    for (const auto &device : r.devices) {
        const vhid::DeviceInfo &d = device->info();
        if ((vendor_id && vendor_id != d.vendorId) || (product_id && product_id != d.productId))
            continue;
        auto *info = static_cast<hid_device_info *>(std::calloc(1, sizeof(hid_device_info)));
        info->path = strdup(d.path.c_str());
        info->vendor_id = d.vendorId;
        info->product_id = d.productId;
        info->serial_number = vhid::dupWide(d.serial);
        info->release_number = d.release;
        info->manufacturer_string = vhid::dupWide(d.manufacturer);
        info->product_string = vhid::dupWide(d.product);
        info->usage_page = 0xFF00;
        info->usage = 0x01;
        info->interface_number = d.interfaceNumber;
        info->bus_type = HID_API_BUS_USB;
        *tail = info;
        tail = &info->next;
    }
    // The devices are those of the call's beginning, however long it takes.
    lock.unlock();
    vhid::callDelay();
    return head;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    vhid::callDelay();
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.applyDue();
    for (const auto &device : r.devices) {
        if (path && device->info().path == path) {
            if (device->openFails_)
                break;
            r.handles.emplace_back();
            hid_device *handle = &r.handles.back();
            handle->device = device;
            ++device->openCount_;
            ++device->openHandles_;
            r.globalError.clear();
            return handle;
        }
    }
    r.globalError = L"Failed to open a device with path";
    return nullptr;
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t *serial_number)
{
    std::string path;
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto &device : r.devices) {
            const vhid::DeviceInfo &d = device->info();
            if (d.vendorId == vendor_id && d.productId == product_id
                && (!serial_number || (d.serial && *d.serial == serial_number))) {
                path = d.path;
                break;
            }
        }
    }
    return path.empty() ? nullptr : hid_open_path(path.c_str());
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!dev || vhid::usedAfterClose(r, dev))
        return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data, size_t length,
                                                 int milliseconds)
{
    Registry &r = Registry::get();
    std::unique_lock<std::mutex> lock(r.mutex);
    ++r.readCalls;
    if (!dev || vhid::usedAfterClose(r, dev))
        return -1;
    vhid::VirtualDevice &d = *dev->device;
    const auto ready = [&] { return d.unplugged_ || !d.input_.empty(); };
    if (milliseconds < 0)
        d.inputArrived_.wait(lock, ready);
    else if (milliseconds > 0)
        d.inputArrived_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    if (d.unplugged_) {
        dev->error = L"hid_read: device disconnected";
        return -1;
    }
    if (d.input_.empty())
        return 0;
    vhid::Bytes chunk = std::move(d.input_.front());
    d.input_.erase(d.input_.begin());
    const size_t n = std::min(length, chunk.size());
    std::memcpy(data, chunk.data(), n);
    dev->error.clear();
    return static_cast<int>(n);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    bool nonblocking = true;
    {
        Registry &r = Registry::get();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (dev && !dev->closed)
            nonblocking = dev->nonblocking;
    }
    return hid_read_timeout(dev, data, length, nonblocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    Registry &r = Registry::get();
    std::function<int(const vhid::Bytes &)> handler;
    vhid::Bytes frame(data, data + length);
    int result;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!dev || vhid::usedAfterClose(r, dev))
            return -1;
        vhid::VirtualDevice &d = *dev->device;
        if (d.unplugged_) {
            dev->error = L"hid_write: device disconnected";
            return -1;
        }
        if (d.writeResult_ && *d.writeResult_ < 0) {
            dev->error = d.writeError_;
            return -1;
        }
        d.writes_.push_back(frame);
        dev->error.clear();
        result = d.writeResult_ ? *d.writeResult_ : static_cast<int>(length);
        handler = d.writeHandler_;
    }
    if (handler) {
        result = handler(frame);
        if (result < 0) {
            std::lock_guard<std::mutex> lock(r.mutex);
            dev->error = L"hid_write: device refused the report";
            result = -1;
        }
    }
    return result;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!dev || vhid::usedAfterClose(r, dev))
        return;
    dev->closed = true;
    --dev->device->openHandles_;
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev)
{
    Registry &r = Registry::get();
    std::lock_guard<std::mutex> lock(r.mutex);
    // Like hidapi, never null: "Success" when the last call did not fail.
    if (!dev)
        return r.globalError.empty() ? L"Success" : r.globalError.c_str();
    if (vhid::usedAfterClose(r, dev))
        return L"hid_error on a closed handle";
    return dev->error.empty() ? L"Success" : dev->error.c_str();
}

} // extern "C"
