#ifndef VIRTUALHID_H
#define VIRTUALHID_H

// A scriptable set of virtual HID devices behind the hidapi C interface.
// Linked instead of the real hidapi library, it lets the application's own
// code enumerate, open, read and write devices that exist only in memory.
// Every hidapi call is thread-safe, as the real library is for distinct
// calls; the scripting calls below may be made from any thread.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vhid {

using Bytes = std::vector<uint8_t>;

struct DeviceInfo
{
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    // A missing string is reported to the application as a null pointer.
    std::optional<std::wstring> manufacturer;
    std::optional<std::wstring> product;
    std::optional<std::wstring> serial;
    uint16_t release = 0;
    int interfaceNumber = -1;
};

class VirtualDevice
{
public:
    explicit VirtualDevice(DeviceInfo info);

    const DeviceInfo &info() const { return info_; }

    // Input: each chunk (1..64 bytes) is delivered by exactly one hid_read,
    // in order. A read with a smaller buffer gets the chunk truncated.
    void queueInput(Bytes chunk);
    size_t pendingInput() const;

    // Output reports as handed to hid_write, report id included.
    std::vector<Bytes> writes() const;
    void clearWrites();

    // The result of every following hid_write: none for the normal one (the
    // frame's length), 0 or a positive value as it is, a negative value -1
    // with `error` as hid_error's text. A write that returns -1 is not
    // captured and does not reach the write handler.
    void setWriteResult(std::optional<int> result, std::wstring error = {});
    // Called for every successful write (outside the stand-in's lock, so it
    // may queue input or unplug); its return value is hid_write's result,
    // a negative one failing the write with an error text.
    // A device model hooks in here.
    void setWriteHandler(std::function<int(const Bytes &frame)> handler);

    // Makes hid_open_path fail for this device.
    void setOpenFails(bool fails);

    int openCount() const;  // successful opens so far
    int openHandles() const; // handles open right now

    // The stand-in's own state, guarded by its lock. Scripts use the calls
    // above; the hidapi functions work on these directly.
    DeviceInfo info_;
    std::vector<Bytes> input_;
    std::vector<Bytes> writes_;
    std::function<int(const Bytes &)> writeHandler_;
    std::optional<int> writeResult_;
    std::wstring writeError_;
    bool openFails_ = false;
    bool unplugged_ = false;
    // Reads on this device wait here for its input or its unplug; each
    // device has its own, so that a report wakes only its own reader.
    std::condition_variable inputArrived_;
    int openCount_ = 0;
    int openHandles_ = 0;
};

// Plugs a device in: from now on it is enumerated and can be opened.
std::shared_ptr<VirtualDevice> addDevice(DeviceInfo info);
// Plugs a device in `ms` milliseconds from now, as a board that restarts
// comes back: it appears at the first enumeration or open after that time.
// reset() forgets it.
std::shared_ptr<VirtualDevice> addDeviceLater(DeviceInfo info, int ms);
// Pulls a device out: it leaves the enumeration, and reads and writes on
// handles still open to it fail with -1, as they do for a real device.
void unplug(const std::string &path);
// Pulls the device at `path` out `ms` milliseconds from now, as
// addDeviceLater plugs one in: at the first enumeration or open after that
// time (a handle open to it meanwhile reads and writes on). What is due by
// then happens in the order of its times: a device plugged in later than the
// unplug stays. reset() forgets it.
void unplugLater(const std::string &path, int ms);
// Forgets all devices, handles and counters. No thread may be inside a
// hidapi call when this runs.
void reset();

// hid_enumerate returns null (as it does on failure or with no devices).
void setEnumerationFails(bool fails);
// hid_enumerate and hid_open_path take this long (a board that does not
// answer the requests a listing or an open makes on Windows while it
// erases flash), outside the stand-in's lock. A listing returns the devices
// present when it began, as the system's does (it takes the set of devices,
// then asks each for its strings).
void setCallDelay(int ms);

// The system's device notifications: whom plugging and pulling a device is
// told of, on the thread that does it, with the delay after which the
// change happens (a device plugged in later). Off until turned on: suites
// that drive device changes by hand want none of their own. reset() turns
// them off; listeners stay until removed.
using ChangeListener = std::function<void(int delayMs)>;
int addChangeListener(ChangeListener listener);
void removeChangeListener(int id);
void setNotifications(bool on);
// Whether they are on: without them the device watcher is not active.
bool notifications();

// Number of hidapi calls made with a handle after hid_close on it.
int closedHandleUses();
int initCalls();
int enumerateCalls();
// Number of hid_read / hid_read_timeout calls so far.
int readCalls();

} // namespace vhid

#endif // VIRTUALHID_H
