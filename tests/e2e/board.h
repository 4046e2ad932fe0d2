// The board programs of the end-to-end tests: devices that run the upgrade
// protocol's device model (sim::OtaModel, the one the in-process stand-in
// runs too) behind a real kernel transport. What a board does with the data
// of an output report, how its replies become 64-byte input reports, its
// options, control FIFO, ready and verdict files are the same for every
// transport and live here; a transport (uhid_device.cpp: /dev/uhid,
// usb_device.cpp: a USB gadget's /dev/hidgN) only makes the device, moves
// reports and finds the host's hidraw node.
//
// Options common to the board programs:
//   --ready FILE     written whenever every device is plugged in and its
//                    hidraw node exists, one line per device:
//                    INDEX VID:PID UNIQ /dev/hidrawN; removed on any unplug
//   --verdict FILE   rewritten whenever a device is unplugged or closed and
//                    at exit, one line of key=value pairs per device
//   --control PATH   a FIFO made by the program; it reads lines from it:
//                    "unplug N|all" ("destroy" is the same), "plug N|all",
//                    "stall N|all", "resume N|all", "verdict", "quit"
//   --trace FILE     one line per event, with milliseconds since start
//   --timeout S      give up after S seconds (default 300): exit status 3
//   --exit-when-gone exit once every device is unplugged
//   --dev VID:PID    a further device; the options below apply to the latest
// device options:
//   --name TEXT --uniq TEXT   product name and serial number
//   --mode ota|echo           protocol handler (default ota):
//       ota   the upgrade protocol's device model: reassembly,
//             acknowledgement lines, CRC check, scripted replies;
//       echo  answers every output report with one input report holding the
//             data length in byte 0 and the data (at most 63 bytes) after it
//   --reply MODE          default reply to data packets: normal split noise
//                         doubleack nak silent longline longlineack
//   --reply-at N=MODE     reply to packet N only
//   --vanish-after N      unplug the device after answering data packet N
//   --stall-after N       stop reading output reports after answering data
//                         packet N (a board whose firmware hangs)
//   --padded              the model accepts zero padding after frames
//   --restart-after-e4 MS the board starts its new image once it has taken
//                         E4: gone at once, back MS ms later, the same board
//                         (the model and its verdict kept), after each E4
//   --restart-release R   the release (bcdDevice, such as 0x0101) it comes
//                         back with (default: the one it had)
//   --image-out FILE      write the reassembled image there with the verdict
// Plugging a device in again after an unplug starts a fresh model, as a
// board that lost power does, without --vanish-after and --stall-after
// (not after a restart, which keeps its model).
// SIGTERM and SIGINT end the program (verdict written, status 0 or 1);
// SIGUSR1 unplugs every device. The exit status is 0 when every device in
// ota mode judged its (latest) transfer good, 1 otherwise, 2 on a usage or
// system error, 3 on time-out.
#ifndef E2E_BOARD_H
#define E2E_BOARD_H

#include "otamodel.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace board {

using Bytes = std::vector<uint8_t>;

constexpr size_t kReportSize = 64;
// Vendor-defined usage page 0xFF00, one application collection with a
// 64-byte input report and a 64-byte output report, no report ids.
extern const uint8_t kDescriptor[27];

double msSinceStart();
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void usage(const std::string &why);
[[noreturn]] void fatal(const std::string &what); // with strerror(errno)
std::string readFile(const std::string &path);
void writeAtomically(const std::string &path, const std::string &text);

// The protocol side of a device: takes the data of one output report (without
// any report-id byte) and returns the pieces of reply to send back.
class Handler
{
public:
    virtual ~Handler() = default;
    virtual std::vector<Bytes> handleOutput(const uint8_t *data, size_t len) = 0;
    virtual bool vanished() const { return false; }
    virtual uint32_t packets() const { return 0; } // data packets taken
    virtual bool judged() const { return false; }  // has a verdict that counts
    virtual bool good() const { return true; }
    virtual std::string verdictText() const = 0;
    virtual const Bytes *image() const { return nullptr; }
    virtual bool checksumTaken() const { return false; } // E4 seen
};

struct DeviceConfig
{
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string name;
    std::string uniq;
    std::string phys;         // uhid only
    std::string manufacturer; // USB only
    std::string mode = "ota";
    sim::Script script;
    uint32_t stallAfter = 0;
    std::string imageOut;
    int release = -1;          // bcdDevice (uhid: the version); -1: the transport's own
    int restartAfterMs = -1;   // -1: no restart after E4
    int restartRelease = -1;   // -1: the release stays
};

struct Device
{
    int index = 0;
    DeviceConfig cfg;
    std::unique_ptr<Handler> handler;
    int fd = -1;            // the transport's file, -1 while unplugged
    bool plugged = false;
    int plugs = 0;
    bool reading = true;    // false while stalled
    bool ready = false;     // plugged and the host's hidraw node found
    std::string hidraw;     // /dev/hidrawN while ready
    std::string sysfs;      // the hid device's sysfs path while ready
    std::string unpluggedBy = "never plugged";
    double restartAt = -1;  // ms since start at which a restarting board comes back
    int restarts = 0;
    unsigned outputs = 0;
    unsigned inputs = 0;
    // Output reports by size as they reached the transport (uhid: with the
    // report-id byte) -> count; the transport counts them.
    std::map<unsigned, unsigned> sizes;
    // uhid only
    int opens = 0;
    int closes = 0;
    unsigned badReportId = 0; // output reports whose first byte was not 0x00
};

class Board;

// How devices reach the host.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual const char *program() const = 0;
    virtual size_t maxDevices() const = 0;
    // Options of this transport only; all take a value. `device` is the
    // latest --dev, null before the first.
    virtual bool takesOption(const std::string &option) const = 0;
    virtual void setOption(const std::string &option, const std::string &value, DeviceConfig *device) = 0;
    virtual void setUp(std::vector<Device> &) {}
    virtual void plug(Device &d) = 0;
    virtual void unplug(Device &d) = 0;
    // Once plugged: true when the device is usable and d.hidraw names the
    // host's node for it. `taken` holds the nodes of the other devices.
    virtual bool locate(Device &d, const std::vector<std::string> &taken) = 0;
    // Reads what is pending on d.fd; hands each output report to board.output.
    virtual void service(Device &d, Board &board) = 0;
    virtual void sendReport(Device &d, const uint8_t *report) = 0;
    // Extra key=value pairs for the verdict line (each followed by a blank).
    virtual std::string verdictFields(const Device &d) const = 0;
    virtual void tearDown(std::vector<Device> &) {}
};

// The hidraw node of a hid device whose sysfs path contains `busMarker`,
// whose uevent names vid:pid, `name` and `uniq`, and which is not in `taken`:
// {"/dev/hidrawN", sysfs path of the hid device}, or empty strings.
std::pair<std::string, std::string> findHidraw(const std::string &busMarker, const DeviceConfig &cfg,
                                               const std::string &name, const std::vector<std::string> &taken);

class Board
{
public:
    // Parses the command line (exits with status 2 on a usage error), runs
    // the devices until told to stop and returns the exit status.
    static int run(int argc, char **argv, Transport &transport);

    // The transport hands over the data of one output report (report-id
    // byte removed) of a plugged-in device.
    void output(Device &d, const uint8_t *data, size_t len);
    // The verdict file is to be rewritten (the host closed the device, ...).
    void markChanged() { changed = true; }

private:
    explicit Board(Transport &t)
        : transport(t)
    {
    }
    void sendReply(Device &d, const std::vector<Bytes> &pieces);
    void plug(Device &d);
    void unplug(Device &d, const std::string &why);
    void command(const std::string &line);
    void writeVerdict();
    void restartDue();
    void updateReady();

    Transport &transport;
    std::vector<Device> devices;
    std::string readyPath;
    std::string verdictPath;
    bool changed = false;
    bool readyWritten = false;
};

} // namespace board

#endif // E2E_BOARD_H
