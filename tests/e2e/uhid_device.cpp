// uhid_device: one or more virtual USB HID devices made with the kernel's uhid
// driver, for the end-to-end tests in the test guest.
//
// Each device has the vendor-defined report descriptor of the upgrade target:
// one 64-byte input report and one 64-byte output report, without report ids.
// hidraw hands every write on to uhid as it was written, so an output report
// arrives as the report-id byte 0x00 followed by the data; this program strips
// that byte, as a USB device stack would, and gives the data to the device's
// protocol handler:
//   ota   the upgrade protocol's device model (sim::OtaModel): reassembly,
//         acknowledgement lines, CRC check, scripted replies and vanishing;
//   echo  answers every output report with one 64-byte input report holding
//         the data length in byte 0 and the data (at most 63 bytes) after it;
//         used to look at the raw stack.
// Replies go back with UHID_INPUT2 as whole 64-byte input reports (see
// sendReply).
//
// usage: uhid_device [global options] --dev VID:PID [device options] [--dev ...]
// global options:
//   --ready FILE     written once every device's hidraw node exists, one line
//                    per device: INDEX VID:PID UNIQ /dev/hidrawN
//   --verdict FILE   rewritten whenever a device is destroyed or closed and at
//                    exit, one line of key=value pairs per device
//   --control PATH   a FIFO made by this program; it reads lines from it:
//                    "destroy N", "destroy all", "verdict", "quit"
//   --trace FILE     one line per uhid event, with milliseconds since start
//   --timeout S      give up after S seconds (default 300): exit status 3
//   --exit-when-gone exit once every device has been destroyed
// device options (for the latest --dev):
//   --name TEXT --uniq TEXT --phys TEXT       the uhid strings
//   --mode ota|echo                           protocol handler (default ota)
//   --reply MODE          default reply to data packets: normal split noise
//                         doubleack nak silent longline longlineack
//   --reply-at N=MODE     reply to packet N only
//   --vanish-after N      destroy the device after answering data packet N
//   --padded              the model accepts zero padding after frames
//   --image-out FILE      write the reassembled image there with the verdict
// SIGTERM and SIGINT end the program (verdict written, status 0 or 1);
// SIGUSR1 destroys every device.  The exit status is 0 when every device in
// ota mode judged its transfer good, 1 otherwise, 2 on a usage or system
// error, 3 on time-out.

#include "otamodel.h"

#include <linux/uhid.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Clock::time_point g_start = Clock::now();

double msSinceStart()
{
    return std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
}

// Vendor-defined usage page 0xFF00, one application collection with a 64-byte
// input report and a 64-byte output report, no report ids.
const uint8_t kDescriptor[] = {
    0x06, 0x00, 0xFF, // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,       // Usage (1)
    0xA1, 0x01,       // Collection (Application)
    0x15, 0x00,       //   Logical Minimum (0)
    0x26, 0xFF, 0x00, //   Logical Maximum (255)
    0x75, 0x08,       //   Report Size (8)
    0x95, 0x40,       //   Report Count (64)
    0x09, 0x01,       //   Usage (1)
    0x81, 0x02,       //   Input (Data, Var, Abs)
    0x95, 0x40,       //   Report Count (64)
    0x09, 0x01,       //   Usage (1)
    0x91, 0x02,       //   Output (Data, Var, Abs)
    0xC0,             // End Collection
};
constexpr size_t kReportSize = 64;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_destroyAll = 0;

void onStop(int) { g_stop = 1; }
void onUsr1(int) { g_destroyAll = 1; }

[[noreturn]] void usage(const std::string &why)
{
    std::fprintf(stderr, "uhid_device: %s\n(see the head of uhid_device.cpp for the options)\n", why.c_str());
    std::exit(2);
}

[[noreturn]] void fatal(const std::string &what)
{
    std::fprintf(stderr, "uhid_device: ERROR: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

// The protocol side of a device: takes the data of one output report (without
// the report-id byte) and returns the input reports to send back.
class Handler
{
public:
    virtual ~Handler() = default;
    virtual std::vector<Bytes> handleOutput(const uint8_t *data, size_t len) = 0;
    virtual bool vanished() const { return false; }
    virtual bool judged() const { return false; } // has a verdict that counts
    virtual bool good() const { return true; }
    virtual std::string verdictText() const = 0;
    virtual const Bytes *image() const { return nullptr; }
};

class EchoHandler : public Handler
{
public:
    std::vector<Bytes> handleOutput(const uint8_t *data, size_t len) override
    {
        Bytes report(kReportSize, 0);
        report[0] = uint8_t(len);
        std::memcpy(report.data() + 1, data, std::min(len, kReportSize - 1));
        ++answered;
        return {report};
    }
    std::string verdictText() const override { return "ECHO answered=" + std::to_string(answered); }

private:
    unsigned answered = 0;
};

class OtaHandler : public Handler
{
public:
    explicit OtaHandler(sim::Script script)
        : model(std::move(script))
    {
    }
    std::vector<Bytes> handleOutput(const uint8_t *data, size_t len) override { return model.handleOutput(data, len); }
    bool vanished() const override { return model.vanished(); }
    bool judged() const override { return true; }
    bool good() const override { return model.verdict().good(); }
    std::string verdictText() const override { return model.verdictText(); }
    const Bytes *image() const override { return &model.verdict().image; }

private:
    sim::OtaModel model;
};

struct DeviceConfig
{
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string name;
    std::string uniq;
    std::string phys;
    std::string mode = "ota";
    sim::Script script;
    std::string imageOut;
};

struct Device
{
    int index = 0;
    DeviceConfig cfg;
    std::unique_ptr<Handler> handler;
    int fd = -1;
    bool started = false;
    int opens = 0;
    int closes = 0;
    bool isOpen = false;
    unsigned outputs = 0;
    unsigned badReportId = 0; // output reports whose first byte was not 0x00
    unsigned inputs = 0;
    std::map<unsigned, unsigned> sizes; // UHID_OUTPUT size -> count
    std::string destroyedBy;            // empty while the device exists
    std::string hidraw;                 // /dev/hidrawN once found
};

sim::Reply parseReply(const std::string &s)
{
    static const std::map<std::string, sim::Reply> names = {
        {"normal", sim::Reply::Normal},     {"split", sim::Reply::Split},
        {"noise", sim::Reply::Noise},       {"doubleack", sim::Reply::DoubleAck},
        {"nak", sim::Reply::Nak},           {"silent", sim::Reply::Silent},
        {"longline", sim::Reply::LongLine}, {"longlineack", sim::Reply::LongLineThenAck},
    };
    const auto it = names.find(s);
    if (it == names.end())
        usage("unknown reply mode '" + s + "'");
    return it->second;
}

unsigned long parseNumber(const std::string &s, int base, unsigned long max, const char *what)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s.c_str(), &end, base);
    if (s.empty() || *end || errno || v > max)
        usage(std::string("bad ") + what + " '" + s + "'");
    return v;
}

void copyString(uint8_t *dst, size_t cap, const std::string &s)
{
    std::memset(dst, 0, cap);
    std::memcpy(dst, s.data(), std::min(s.size(), cap - 1));
}

void writeEvent(Device &d, const uhid_event &ev, size_t size)
{
    const ssize_t r = write(d.fd, &ev, size);
    if (r < 0 || size_t(r) != size)
        fatal("write to /dev/uhid for device " + std::to_string(d.index));
}

void create(Device &d)
{
    d.fd = open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (d.fd < 0)
        fatal("open /dev/uhid (is the uhid module loaded?)");
    uhid_event ev{};
    ev.type = UHID_CREATE2;
    copyString(ev.u.create2.name, sizeof ev.u.create2.name, d.cfg.name);
    copyString(ev.u.create2.phys, sizeof ev.u.create2.phys, d.cfg.phys);
    copyString(ev.u.create2.uniq, sizeof ev.u.create2.uniq, d.cfg.uniq);
    ev.u.create2.rd_size = sizeof kDescriptor;
    ev.u.create2.bus = 0x03; // BUS_USB: hidapi's hidraw backend lists USB and Bluetooth only
    ev.u.create2.vendor = d.cfg.vid;
    ev.u.create2.product = d.cfg.pid;
    ev.u.create2.version = 0;
    ev.u.create2.country = 0;
    std::memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
    writeEvent(d, ev, sizeof ev);
}

void destroy(Device &d, const std::string &why, FILE *trace)
{
    if (!d.destroyedBy.empty())
        return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    writeEvent(d, ev, sizeof ev.type);
    close(d.fd);
    d.fd = -1;
    d.destroyedBy = why;
    if (trace)
        std::fprintf(trace, "%.3f dev%d DESTROY (%s)\n", msSinceStart(), d.index, why.c_str());
    std::fprintf(stderr, "uhid_device: device %d destroyed (%s) at %.0f ms\n", d.index, why.c_str(), msSinceStart());
}

std::string hexHead(const uint8_t *p, size_t n, size_t max = 16)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && i < max; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        if (i)
            s += ' ';
        s += b;
    }
    if (n > max)
        s += " ...";
    return s;
}

void sendReport(Device &d, const uint8_t *data, FILE *trace, size_t used)
{
    uhid_event ev{};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = uint16_t(kReportSize);
    std::memcpy(ev.u.input2.data, data, kReportSize);
    writeEvent(d, ev, sizeof ev.type + sizeof ev.u.input2.size + kReportSize);
    ++d.inputs;
    if (trace)
        std::fprintf(trace, "%.3f dev%d INPUT2 %zu bytes used: %s\n", msSinceStart(), d.index, used,
                     hexHead(data, kReportSize, 24).c_str());
}

// Sends a reply as 64-byte input reports.  The device's input report has a
// fixed size and the kernel drops any shorter one ("Event data for report 0
// was too short"), so every piece is zero-filled to the report size.  The
// zero fill goes behind a piece, except when the next piece continues it (the
// piece does not end a line with CR and the next one does not begin a new
// line with 'A'): such a piece is placed at the end of its report, behind
// the fill, so that the line reads on across the report boundary.  A line
// reader discards the zeros before the 'A' anyway.  Pieces longer than a
// report are cut into reports.
void sendReply(Device &d, const std::vector<Bytes> &pieces, FILE *trace)
{
    for (size_t p = 0; p < pieces.size(); ++p) {
        const Bytes &piece = pieces[p];
        for (size_t at = 0; at < piece.size(); at += kReportSize) {
            const size_t n = std::min(kReportSize, piece.size() - at);
            uint8_t report[kReportSize] = {};
            const bool lastOfPiece = at + n == piece.size();
            const bool continued = lastOfPiece && p + 1 < pieces.size() && piece.back() != '\r'
                                   && !pieces[p + 1].empty() && pieces[p + 1].front() != 'A';
            std::memcpy(report + (continued ? kReportSize - n : 0), piece.data() + at, n);
            sendReport(d, report, trace, n);
        }
    }
}

// Handles every pending event of one device.
void service(Device &d, FILE *trace)
{
    for (;;) {
        if (d.fd < 0)
            return;
        uhid_event ev{};
        const ssize_t r = read(d.fd, &ev, sizeof ev);
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            fatal("read from /dev/uhid for device " + std::to_string(d.index));
        }
        if (r == 0)
            return;
        switch (ev.type) {
        case UHID_START:
            d.started = true;
            if (trace)
                std::fprintf(trace, "%.3f dev%d START flags=%llx\n", msSinceStart(), d.index,
                             (unsigned long long)ev.u.start.dev_flags);
            break;
        case UHID_STOP:
            d.started = false;
            if (trace)
                std::fprintf(trace, "%.3f dev%d STOP\n", msSinceStart(), d.index);
            break;
        case UHID_OPEN:
            ++d.opens;
            d.isOpen = true;
            if (trace)
                std::fprintf(trace, "%.3f dev%d OPEN\n", msSinceStart(), d.index);
            break;
        case UHID_CLOSE:
            ++d.closes;
            d.isOpen = false;
            if (trace)
                std::fprintf(trace, "%.3f dev%d CLOSE\n", msSinceStart(), d.index);
            break;
        case UHID_OUTPUT: {
            const size_t size = ev.u.output.size;
            ++d.outputs;
            ++d.sizes[unsigned(size)];
            if (trace)
                std::fprintf(trace, "%.3f dev%d OUTPUT rtype=%u size=%zu data=%s\n", msSinceStart(), d.index,
                             unsigned(ev.u.output.rtype), size, hexHead(ev.u.output.data, size).c_str());
            if (size == 0)
                break;
            // The device has no report ids: the first byte is the report id 0
            // that the host put in front of the data.
            if (ev.u.output.data[0] != 0)
                ++d.badReportId;
            if (!d.destroyedBy.empty())
                break;
            const std::vector<Bytes> replies = d.handler->handleOutput(ev.u.output.data + 1, size - 1);
            sendReply(d, replies, trace);
            if (d.handler->vanished())
                destroy(d, "vanish-after", trace);
            break;
        }
        case UHID_GET_REPORT: {
            uhid_event rep{};
            rep.type = UHID_GET_REPORT_REPLY;
            rep.u.get_report_reply.id = ev.u.get_report.id;
            rep.u.get_report_reply.err = EIO;
            writeEvent(d, rep, sizeof rep);
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event rep{};
            rep.type = UHID_SET_REPORT_REPLY;
            rep.u.set_report_reply.id = ev.u.set_report.id;
            rep.u.set_report_reply.err = EIO;
            writeEvent(d, rep, sizeof rep);
            break;
        }
        default:
            if (trace)
                std::fprintf(trace, "%.3f dev%d event %u\n", msSinceStart(), d.index, ev.type);
            break;
        }
    }
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Finds the hidraw node of every created device that has none yet, through
// sysfs: the hid device's uevent names its id, name and uniq.
void locateHidraw(std::vector<Device> &devices)
{
    DIR *dir = opendir("/sys/bus/hid/devices");
    if (!dir)
        return;
    std::vector<std::string> taken;
    for (const Device &d : devices)
        if (!d.hidraw.empty())
            taken.push_back(d.hidraw);
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/sys/bus/hid/devices/") + e->d_name;
        char real[4096];
        const ssize_t n = readlink(base.c_str(), real, sizeof real - 1);
        if (n <= 0)
            continue;
        real[n] = 0;
        if (!std::strstr(real, "/uhid/"))
            continue;
        std::string node;
        if (DIR *h = opendir((base + "/hidraw").c_str())) {
            while (dirent *he = readdir(h))
                if (std::strncmp(he->d_name, "hidraw", 6) == 0)
                    node = std::string("/dev/") + he->d_name;
            closedir(h);
        }
        struct stat st;
        if (node.empty() || stat(node.c_str(), &st) != 0)
            continue;
        bool already = false;
        for (const std::string &t : taken)
            already = already || t == node;
        if (already)
            continue;
        const std::string uevent = readFile(base + "/uevent");
        for (Device &d : devices) {
            if (!d.hidraw.empty() || !d.destroyedBy.empty())
                continue;
            char id[64];
            std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", d.cfg.vid, d.cfg.pid);
            if (uevent.find(id) == std::string::npos || uevent.find("HID_NAME=" + d.cfg.name + "\n") == std::string::npos
                || uevent.find("HID_UNIQ=" + d.cfg.uniq + "\n") == std::string::npos)
                continue;
            d.hidraw = node;
            taken.push_back(node);
            break;
        }
    }
    closedir(dir);
}

void writeAtomically(const std::string &path, const std::string &text)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            fatal("write " + tmp);
    }
    if (rename(tmp.c_str(), path.c_str()) != 0)
        fatal("rename " + tmp);
}

void writeVerdict(const std::string &path, const std::vector<Device> &devices)
{
    if (path.empty())
        return;
    std::string text;
    char buf[256];
    for (const Device &d : devices) {
        std::snprintf(buf, sizeof buf, "device=%d vid=%04x pid=%04x uniq=%s mode=%s hidraw=%s opens=%d closes=%d ",
                      d.index, d.cfg.vid, d.cfg.pid, d.cfg.uniq.c_str(), d.cfg.mode.c_str(),
                      d.hidraw.empty() ? "none" : d.hidraw.c_str(), d.opens, d.closes);
        text += buf;
        std::snprintf(buf, sizeof buf, "outputs=%u inputs=%u bad_report_id=%u destroyed=%s sizes=", d.outputs,
                      d.inputs, d.badReportId, d.destroyedBy.empty() ? "no" : d.destroyedBy.c_str());
        text += buf;
        std::string sizes;
        for (const auto &[size, count] : d.sizes)
            sizes += (sizes.empty() ? "" : ",") + std::to_string(size) + "x" + std::to_string(count);
        text += (sizes.empty() ? "none" : sizes) + " verdict=" + d.handler->verdictText() + "\n";
        if (!d.cfg.imageOut.empty() && d.handler->image()) {
            const Bytes &img = *d.handler->image();
            writeAtomically(d.cfg.imageOut, std::string(img.begin(), img.end()));
        }
    }
    writeAtomically(path, text);
}

} // namespace

int main(int argc, char **argv)
{
    std::string readyPath, verdictPath, controlPath, tracePath;
    double timeoutS = 300;
    bool exitWhenGone = false;
    std::vector<DeviceConfig> configs;

    auto value = [&](int &i) -> std::string {
        if (i + 1 >= argc)
            usage(std::string("option ") + argv[i] + " needs a value");
        return argv[++i];
    };
    auto current = [&](const char *opt) -> DeviceConfig & {
        if (configs.empty())
            usage(std::string(opt) + " before any --dev");
        return configs.back();
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--ready")
            readyPath = value(i);
        else if (a == "--verdict")
            verdictPath = value(i);
        else if (a == "--control")
            controlPath = value(i);
        else if (a == "--trace")
            tracePath = value(i);
        else if (a == "--timeout")
            timeoutS = double(parseNumber(value(i), 10, 86400, "timeout"));
        else if (a == "--exit-when-gone")
            exitWhenGone = true;
        else if (a == "--dev") {
            const std::string v = value(i);
            const size_t colon = v.find(':');
            if (colon == std::string::npos)
                usage("--dev wants VID:PID in hex");
            DeviceConfig c;
            c.vid = uint16_t(parseNumber(v.substr(0, colon), 16, 0xFFFF, "vendor id"));
            c.pid = uint16_t(parseNumber(v.substr(colon + 1), 16, 0xFFFF, "product id"));
            c.name = "E2E Device " + std::to_string(configs.size());
            c.uniq = "E2E-" + std::to_string(configs.size());
            c.phys = "uhid-e2e/" + std::to_string(configs.size());
            configs.push_back(c);
        } else if (a == "--name")
            current("--name").name = value(i);
        else if (a == "--uniq")
            current("--uniq").uniq = value(i);
        else if (a == "--phys")
            current("--phys").phys = value(i);
        else if (a == "--mode") {
            const std::string m = value(i);
            if (m != "ota" && m != "echo")
                usage("unknown mode '" + m + "'");
            current("--mode").mode = m;
        } else if (a == "--reply")
            current("--reply").script.reply = parseReply(value(i));
        else if (a == "--reply-at") {
            const std::string v = value(i);
            const size_t eq = v.find('=');
            if (eq == std::string::npos)
                usage("--reply-at wants N=MODE");
            current("--reply-at").script.perPacket[uint32_t(parseNumber(v.substr(0, eq), 10, 0xFFFFFFFF, "packet"))] =
                parseReply(v.substr(eq + 1));
        } else if (a == "--vanish-after")
            current("--vanish-after").script.vanishAfterPacket =
                uint32_t(parseNumber(value(i), 10, 0xFFFFFFFF, "packet number"));
        else if (a == "--padded")
            current("--padded").script.paddedReports = true;
        else if (a == "--image-out")
            current("--image-out").imageOut = value(i);
        else
            usage("unknown option '" + a + "'");
    }
    if (configs.empty())
        usage("no --dev given");

    FILE *trace = nullptr;
    if (!tracePath.empty()) {
        trace = std::fopen(tracePath.c_str(), "w");
        if (!trace)
            fatal("open " + tracePath);
        setvbuf(trace, nullptr, _IOLBF, 0);
    }

    struct sigaction sa{};
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = onUsr1;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int control = -1;
    if (!controlPath.empty()) {
        unlink(controlPath.c_str());
        if (mkfifo(controlPath.c_str(), 0600) != 0)
            fatal("mkfifo " + controlPath);
        // Opened for writing too, so that the FIFO never reports end of file
        // when a writer goes away.
        control = open(controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (control < 0)
            fatal("open " + controlPath);
    }

    std::vector<Device> devices(configs.size());
    for (size_t i = 0; i < configs.size(); ++i) {
        Device &d = devices[i];
        d.index = int(i);
        d.cfg = configs[i];
        if (d.cfg.mode == "echo")
            d.handler = std::make_unique<EchoHandler>();
        else
            d.handler = std::make_unique<OtaHandler>(d.cfg.script);
        create(d);
        if (trace)
            std::fprintf(trace, "%.3f dev%d CREATE2 %04x:%04x name='%s' uniq='%s'\n", msSinceStart(), d.index,
                         d.cfg.vid, d.cfg.pid, d.cfg.name.c_str(), d.cfg.uniq.c_str());
    }

    bool ready = false;
    int status = -1;
    size_t destroyedCount = 0;
    std::string controlBuf;
    while (status < 0) {
        std::vector<pollfd> fds;
        for (const Device &d : devices)
            fds.push_back({d.fd, short(d.fd >= 0 ? POLLIN : 0), 0});
        if (control >= 0)
            fds.push_back({control, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), ready ? 200 : 20);
        if (n < 0 && errno != EINTR)
            fatal("poll");

        bool changed = false;
        for (Device &d : devices) {
            const bool wasOpen = d.isOpen;
            service(d, trace);
            changed = changed || (wasOpen && !d.isOpen);
        }

        if (control >= 0 && n > 0 && (fds.back().revents & POLLIN)) {
            char buf[256];
            const ssize_t r = read(control, buf, sizeof buf);
            if (r > 0)
                controlBuf.append(buf, size_t(r));
            size_t nl;
            while ((nl = controlBuf.find('\n')) != std::string::npos) {
                const std::string line = controlBuf.substr(0, nl);
                controlBuf.erase(0, nl + 1);
                if (trace)
                    std::fprintf(trace, "%.3f control '%s'\n", msSinceStart(), line.c_str());
                if (line == "quit")
                    g_stop = 1;
                else if (line == "verdict")
                    changed = true;
                else if (line == "destroy all")
                    g_destroyAll = 1;
                else if (line.rfind("destroy ", 0) == 0) {
                    const int which = std::atoi(line.c_str() + 8);
                    if (which >= 0 && size_t(which) < devices.size()) {
                        destroy(devices[size_t(which)], "control", trace);
                        changed = true;
                    } else {
                        std::fprintf(stderr, "uhid_device: no device %d to destroy\n", which);
                    }
                } else if (!line.empty()) {
                    std::fprintf(stderr, "uhid_device: unknown control command '%s'\n", line.c_str());
                }
            }
        }
        if (g_destroyAll) {
            g_destroyAll = 0;
            for (Device &d : devices)
                destroy(d, "signal", trace);
            changed = true;
        }
        size_t destroyedNow = 0;
        for (const Device &d : devices)
            destroyedNow += d.destroyedBy.empty() ? 0 : 1;
        if (destroyedNow != destroyedCount) {
            destroyedCount = destroyedNow;
            changed = true;
        }

        if (!ready) {
            locateHidraw(devices);
            bool all = true;
            for (const Device &d : devices)
                all = all && !d.hidraw.empty();
            if (all) {
                ready = true;
                std::string text;
                for (const Device &d : devices) {
                    char line[256];
                    std::snprintf(line, sizeof line, "%d %04x:%04x %s %s\n", d.index, d.cfg.vid, d.cfg.pid,
                                  d.cfg.uniq.c_str(), d.hidraw.c_str());
                    text += line;
                }
                if (!readyPath.empty())
                    writeAtomically(readyPath, text);
                std::fprintf(stderr, "uhid_device: %zu device(s) ready after %.0f ms\n", devices.size(),
                             msSinceStart());
                if (trace)
                    std::fprintf(trace, "%.3f ready\n", msSinceStart());
            }
        }

        bool allGone = true;
        for (const Device &d : devices)
            allGone = allGone && !d.destroyedBy.empty();
        if (changed || allGone)
            writeVerdict(verdictPath, devices);

        if (g_stop || (exitWhenGone && allGone)) {
            bool good = true;
            for (const Device &d : devices)
                good = good && (!d.handler->judged() || d.handler->good());
            status = good ? 0 : 1;
        } else if (msSinceStart() > timeoutS * 1000) {
            std::fprintf(stderr, "uhid_device: TIMED OUT after %.0f s%s\n", timeoutS,
                         ready ? "" : " (the hidraw nodes never all appeared)");
            status = 3;
        }
    }

    writeVerdict(verdictPath, devices);
    for (Device &d : devices)
        std::fprintf(stderr, "uhid_device: device %d: %s\n", d.index, d.handler->verdictText().c_str());
    for (Device &d : devices)
        destroy(d, "exit", nullptr);
    if (trace)
        std::fclose(trace);
    if (control >= 0) {
        close(control);
        unlink(controlPath.c_str());
    }
    return status;
}
