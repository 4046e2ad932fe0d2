// uhid_device: one or more virtual USB HID devices made with the kernel's uhid
// driver, for the end-to-end tests in the test guest.
//
// Each device has the vendor-defined report descriptor of the upgrade target
// (board::kDescriptor): one 64-byte input report and one 64-byte output
// report, without report ids. hidraw hands every write on to uhid as it was
// written, so an output report arrives as the report-id byte 0x00 followed by
// the data; this program strips that byte, as a USB device stack would, and
// gives the data to the device's protocol handler (board.h). Replies go back
// with UHID_INPUT2 as whole 64-byte input reports. "Unplugging" a device
// destroys it (UHID_DESTROY), plugging it in creates it again. The release
// (--restart-release) is the uhid device's version, which hidapi's hidraw
// backend does not report (it reads bcdDevice from a USB parent; a uhid
// device has none): a uhid board lists with release 0.
//
// usage: uhid_device [options] --dev VID:PID [device options] [--dev ...]
// The options are those of board.h, and for a device:
//   --phys TEXT    the uhid phys string (default uhid-e2e/INDEX)
// The verdict line adds opens=, closes= (hidraw opens and closes seen) and
// bad_report_id= (output reports whose first byte was not 0x00).

#include "board.h"

#include <linux/uhid.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using board::Device;

void copyString(uint8_t *dst, size_t cap, const std::string &s)
{
    std::memset(dst, 0, cap);
    std::memcpy(dst, s.data(), std::min(s.size(), cap - 1));
}

void writeEvent(Device &d, const uhid_event &ev, size_t size)
{
    const ssize_t r = write(d.fd, &ev, size);
    if (r < 0 || size_t(r) != size)
        board::fatal("write to /dev/uhid for device " + std::to_string(d.index));
}

class UhidTransport : public board::Transport
{
public:
    const char *program() const override { return "uhid_device"; }
    size_t maxDevices() const override { return 64; }
    bool takesOption(const std::string &option) const override { return option == "--phys"; }
    void setOption(const std::string &option, const std::string &value, board::DeviceConfig *device) override
    {
        if (!device)
            board::usage(option + " before any --dev");
        device->phys = value;
    }

    void plug(Device &d) override
    {
        d.fd = open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (d.fd < 0)
            board::fatal("open /dev/uhid (is the uhid module loaded?)");
        uhid_event ev{};
        ev.type = UHID_CREATE2;
        const std::string phys = d.cfg.phys.empty() ? "uhid-e2e/" + std::to_string(d.index) : d.cfg.phys;
        copyString(ev.u.create2.name, sizeof ev.u.create2.name, d.cfg.name);
        copyString(ev.u.create2.phys, sizeof ev.u.create2.phys, phys);
        copyString(ev.u.create2.uniq, sizeof ev.u.create2.uniq, d.cfg.uniq);
        ev.u.create2.rd_size = sizeof board::kDescriptor;
        ev.u.create2.bus = 0x03; // BUS_USB: hidapi's hidraw backend lists USB and Bluetooth only
        ev.u.create2.vendor = d.cfg.vid;
        ev.u.create2.product = d.cfg.pid;
        ev.u.create2.version = d.cfg.release >= 0 ? uint32_t(d.cfg.release) : 0;
        ev.u.create2.country = 0;
        std::memcpy(ev.u.create2.rd_data, board::kDescriptor, sizeof board::kDescriptor);
        writeEvent(d, ev, sizeof ev);
    }

    void unplug(Device &d) override
    {
        uhid_event ev{};
        ev.type = UHID_DESTROY;
        writeEvent(d, ev, sizeof ev.type);
        close(d.fd);
        d.fd = -1;
    }

    bool locate(Device &d, const std::vector<std::string> &taken) override
    {
        const auto [node, sysfs] = board::findHidraw("/uhid/", d.cfg, d.cfg.name, taken);
        d.hidraw = node.empty() ? d.hidraw : node;
        d.sysfs = sysfs;
        return !node.empty();
    }

    void service(Device &d, board::Board &board) override
    {
        while (d.fd >= 0 && d.plugged && d.reading) {
            uhid_event ev{};
            const ssize_t r = read(d.fd, &ev, sizeof ev);
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return;
                board::fatal("read from /dev/uhid for device " + std::to_string(d.index));
            }
            if (r == 0)
                return;
            switch (ev.type) {
            case UHID_START:
                board::trace("dev%d START flags=%llx", d.index, (unsigned long long)ev.u.start.dev_flags);
                break;
            case UHID_STOP:
                board::trace("dev%d STOP", d.index);
                break;
            case UHID_OPEN:
                ++d.opens;
                board::trace("dev%d OPEN", d.index);
                break;
            case UHID_CLOSE:
                ++d.closes;
                board.markChanged();
                board::trace("dev%d CLOSE", d.index);
                break;
            case UHID_OUTPUT: {
                const size_t size = ev.u.output.size;
                board::trace("dev%d UHID_OUTPUT rtype=%u size=%zu", d.index, unsigned(ev.u.output.rtype), size);
                ++d.sizes[unsigned(size)];
                if (size == 0)
                    break;
                // The device has no report ids: the first byte is the report
                // id 0 that the host put in front of the data.
                if (ev.u.output.data[0] != 0)
                    ++d.badReportId;
                board.output(d, ev.u.output.data + 1, size - 1);
                break;
            }
            case UHID_GET_REPORT:
            case UHID_SET_REPORT: {
                // Feature and control-pipe reports are no part of the
                // protocol: refuse them.
                uhid_event rep{};
                if (ev.type == UHID_GET_REPORT) {
                    rep.type = UHID_GET_REPORT_REPLY;
                    rep.u.get_report_reply = {ev.u.get_report.id, EIO, 0, {}};
                } else {
                    rep.type = UHID_SET_REPORT_REPLY;
                    rep.u.set_report_reply = {ev.u.set_report.id, EIO};
                }
                writeEvent(d, rep, sizeof rep);
                break;
            }
            default:
                board::trace("dev%d event %u", d.index, ev.type);
                break;
            }
        }
    }

    void sendReport(Device &d, const uint8_t *report) override
    {
        uhid_event ev{};
        ev.type = UHID_INPUT2;
        ev.u.input2.size = uint16_t(board::kReportSize);
        std::memcpy(ev.u.input2.data, report, board::kReportSize);
        writeEvent(d, ev, sizeof ev.type + sizeof ev.u.input2.size + board::kReportSize);
    }

    std::string verdictFields(const Device &d) const override
    {
        return "opens=" + std::to_string(d.opens) + " closes=" + std::to_string(d.closes)
               + " bad_report_id=" + std::to_string(d.badReportId) + " ";
    }
};

} // namespace

int main(int argc, char **argv)
{
    UhidTransport transport;
    return board::Board::run(argc, argv, transport);
}
