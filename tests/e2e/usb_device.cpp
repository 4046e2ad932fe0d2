// usb_device: a real USB HID device on the guest's own USB bus, for the
// end-to-end tests in the test guest. A configfs HID gadget on dummy_hcd's
// device controller is enumerated by the guest's USB host side like a board
// plugged into a port: usbcore, usbhid and hid-generic bind to it and a
// hidraw node appears whose parent is a USB device with idVendor/idProduct
// and the manufacturer, product and serial strings given here.
//
// The gadget has the report descriptor of the upgrade target
// (board::kDescriptor) and an interrupt OUT endpoint, so output reports
// travel over it. The device side is /dev/hidgN: a 65-byte hidraw write
// (report id 0 and 64 bytes) arrives there as ONE 64-byte read without the
// report-id byte (usbhid leaves it out); a shorter write arrives with its own
// length. Input reports are written whole (64 bytes); the host drops shorter
// ones. "Unplugging" unbinds the gadget from the device controller, which
// the host sees as a real USB disconnect; plugging binds it again, with the
// release (bcdDevice, 0x0100 unless --restart-release raised it) it has then.
//
// usage: usb_device [options] --dev VID:PID [device options]
// The options are those of board.h (one device: one device controller), and:
//   --manufacturer TEXT   the USB manufacturer string (default "Tarnvik E2E")
//   --udc NAME            the device controller (default: the first one in
//                         /sys/class/udc)
// --name is the product string, --uniq the serial number string. The verdict
// line adds speed= (the host's view: 480 high speed, 12 full speed; dummy_hcd
// is high speed unless loaded with is_high_speed=0) and lost_inputs= (input
// reports the host did not take within 2 s).

#include "board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using board::Device;

const char kConfigfs[] = "/sys/kernel/config";
const char kGadget[] = "/sys/kernel/config/usb_gadget/tarnvik-e2e";
constexpr int kInputWaitMs = 2000;

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void writeAttr(const std::string &path, const std::string &value)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        board::fatal("open " + path);
    const ssize_t r = write(fd, value.data(), value.size());
    if (r < 0 || size_t(r) != value.size())
        board::fatal("write '" + value + "' to " + path);
    close(fd);
}

void makeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        board::fatal("mkdir " + path);
}

std::string hex4(uint16_t v)
{
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v);
    return b;
}

std::string firstUdc()
{
    std::string name;
    if (DIR *dir = opendir("/sys/class/udc")) {
        while (dirent *e = readdir(dir))
            if (e->d_name[0] != '.' && name.empty())
                name = e->d_name;
        closedir(dir);
    }
    return name;
}

class GadgetTransport : public board::Transport
{
public:
    const char *program() const override { return "usb_device"; }
    size_t maxDevices() const override { return 1; }
    bool takesOption(const std::string &option) const override
    {
        return option == "--manufacturer" || option == "--udc";
    }
    void setOption(const std::string &option, const std::string &value, board::DeviceConfig *device) override
    {
        if (option == "--udc") {
            udc = value;
            return;
        }
        if (!device)
            board::usage(option + " before any --dev");
        device->manufacturer = value;
    }

    void setUp(std::vector<Device> &devices) override
    {
        if (!exists(std::string(kConfigfs) + "/usb_gadget")) {
            // The test guest's chroot does not mount configfs.
            if (mount("none", kConfigfs, "configfs", 0, nullptr) != 0 && errno != EBUSY)
                board::fatal(std::string("mount configfs on ") + kConfigfs);
            if (!exists(std::string(kConfigfs) + "/usb_gadget"))
                board::fatal("no usb_gadget in configfs (is libcomposite loaded?)");
        }
        if (udc.empty())
            udc = firstUdc();
        if (udc.empty()) {
            errno = ENODEV;
            board::fatal("no USB device controller in /sys/class/udc (is dummy_hcd loaded?)");
        }
        removeGadget(); // left over by a run that was killed
        board::DeviceConfig &cfg = devices.front().cfg;
        if (cfg.manufacturer.empty())
            cfg.manufacturer = "Tarnvik E2E";
        const std::string g = kGadget;
        makeDir(g);
        writeAttr(g + "/idVendor", hex4(cfg.vid));
        writeAttr(g + "/idProduct", hex4(cfg.pid));
        writeAttr(g + "/bcdDevice", hex4(uint16_t(cfg.release >= 0 ? cfg.release : 0x0100)));
        writeAttr(g + "/bcdUSB", "0x0200");
        makeDir(g + "/strings/0x409");
        writeAttr(g + "/strings/0x409/manufacturer", cfg.manufacturer);
        writeAttr(g + "/strings/0x409/product", cfg.name);
        writeAttr(g + "/strings/0x409/serialnumber", cfg.uniq);
        const std::string f = g + "/functions/hid.usb0";
        makeDir(f);
        writeAttr(f + "/protocol", "0");
        writeAttr(f + "/subclass", "0");
        writeAttr(f + "/report_length", std::to_string(board::kReportSize));
        writeAttr(f + "/report_desc",
                  std::string(reinterpret_cast<const char *>(board::kDescriptor), sizeof board::kDescriptor));
        makeDir(g + "/configs/c.1");
        if (symlink(f.c_str(), (g + "/configs/c.1/hid.usb0").c_str()) != 0)
            board::fatal("link the HID function into the configuration");
        // The function's character device: major:minor, /dev/hidg<minor>.
        const std::string dev = board::readFile(f + "/dev");
        const size_t colon = dev.find(':');
        if (colon == std::string::npos)
            board::fatal("no device number in " + f + "/dev");
        hidg = "/dev/hidg" + std::to_string(std::stoul(dev.substr(colon + 1)));
    }

    // Bound with the release it has now (a restart may have raised it).
    void plug(Device &d) override
    {
        if (d.cfg.release >= 0)
            writeAttr(std::string(kGadget) + "/bcdDevice", hex4(uint16_t(d.cfg.release)));
        writeAttr(std::string(kGadget) + "/UDC", udc);
    }

    void unplug(Device &d) override
    {
        if (d.fd >= 0)
            close(d.fd);
        d.fd = -1;
        writeAttr(std::string(kGadget) + "/UDC", "\n");
    }

    bool locate(Device &d, const std::vector<std::string> &taken) override
    {
        if (d.fd < 0) {
            d.fd = open(hidg.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (d.fd < 0)
                return false; // not there yet after the bind
        }
        const std::string name = d.cfg.manufacturer + " " + d.cfg.name; // as usbhid names it
        const auto [node, sysfs] = board::findHidraw("/dummy_hcd.", d.cfg, name, taken);
        if (node.empty())
            return false;
        d.hidraw = node;
        d.sysfs = sysfs;
        // .../usb1/1-1/1-1:1.0/0003:1A2B:00FF.0001: the USB device is two up.
        const std::string usbDevice = sysfs.substr(0, sysfs.rfind('/', sysfs.rfind('/') - 1));
        speed = board::readFile(usbDevice + "/speed");
        while (!speed.empty() && (speed.back() == '\n' || speed.back() == ' '))
            speed.pop_back();
        return true;
    }

    void service(Device &d, board::Board &board) override
    {
        uint8_t buf[2 * board::kReportSize];
        while (d.fd >= 0 && d.plugged && d.reading) {
            const ssize_t r = read(d.fd, buf, sizeof buf);
            if (r < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    board::trace("dev%d read /dev/hidg: %s", d.index, std::strerror(errno));
                return;
            }
            if (r == 0)
                return;
            ++d.sizes[unsigned(r)];
            board.output(d, buf, size_t(r));
        }
    }

    // The gadget holds one input report at a time until the host takes it;
    // the next write waits for that.
    void sendReport(Device &d, const uint8_t *report) override
    {
        const double until = board::msSinceStart() + kInputWaitMs;
        for (;;) {
            const ssize_t r = write(d.fd, report, board::kReportSize);
            if (r == ssize_t(board::kReportSize))
                return;
            const double left = until - board::msSinceStart();
            if ((r < 0 && errno != EAGAIN && errno != EINTR) || left <= 0) {
                ++lostInputs;
                board::trace("dev%d input report lost: %s", d.index, r < 0 ? std::strerror(errno) : "short write");
                std::fprintf(stderr, "usb_device: an input report was not taken by the host (%s)\n",
                             r < 0 ? std::strerror(errno) : "short write");
                return;
            }
            pollfd p{d.fd, POLLOUT, 0};
            poll(&p, 1, int(left) + 1);
        }
    }

    std::string verdictFields(const Device &) const override
    {
        return "speed=" + (speed.empty() ? std::string("unknown") : speed)
               + " lost_inputs=" + std::to_string(lostInputs) + " ";
    }

    void tearDown(std::vector<Device> &) override { removeGadget(); }

private:
    static void removeGadget()
    {
        const std::string g = kGadget;
        if (!exists(g))
            return;
        if (!board::readFile(g + "/UDC").empty() && board::readFile(g + "/UDC") != "\n")
            writeAttr(g + "/UDC", "\n");
        unlink((g + "/configs/c.1/hid.usb0").c_str());
        for (const char *dir : {"/configs/c.1", "/functions/hid.usb0", "/strings/0x409", ""}) {
            if (exists(g + dir) && rmdir((g + dir).c_str()) != 0)
                board::fatal("remove " + g + dir);
        }
    }

    std::string udc;
    std::string hidg;
    std::string speed;
    unsigned lostInputs = 0;
};

} // namespace

int main(int argc, char **argv)
{
    GadgetTransport transport;
    return board::Board::run(argc, argv, transport);
}
