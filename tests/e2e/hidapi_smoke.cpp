// hidapi_smoke: looks at a uhid device through the real hidapi hidraw library
// and the kernel's hotplug events, inside the test guest.
//
//   hidapi_smoke probe --vid VID --pid PID [--serial S] [--product NAME] [--rounds N]
//       Enumerates, opens the device by its path and exchanges reports with a
//       device in echo mode (uhid_device --mode echo answers each output
//       report with its data length in byte 0 and the data after it).
//       Checks what comes back and prints what hidapi reports, the reply
//       lengths and the write/read round-trip times.
//   hidapi_smoke upload --vid VID --pid PID [--serial S] --file IMAGE [--ack-timeout-ms T]
//       Runs the upgrade protocol against a device in ota mode, as fast as the
//       acknowledgements allow, and prints the packet rate.
//   hidapi_smoke monitor --out FILE [--ready FILE] [--source kernel|udev]
//                        [--removes N] [--timeout S]
//       Prints the hid and hidraw events of a libudev monitor, one line each
//       ("MS ACTION SUBSYSTEM SYSNAME DEVNODE"), until N hid devices have
//       been removed (default 1; the hid device's "remove" is the last event
//       of an unplug); exit status 1 on time-out.
//
// Every failed check prints "FAIL: ..." and makes the exit status 1.

#include <hidapi.h>
#include <libudev.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <poll.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int g_failures = 0;

void fail(const std::string &what)
{
    std::printf("FAIL: %s\n", what.c_str());
    std::fflush(stdout);
    ++g_failures;
}

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "hidapi_smoke: %s (see the head of hidapi_smoke.cpp)\n", why);
    std::exit(2);
}

std::string narrow(const wchar_t *w)
{
    if (!w)
        return "(null)";
    std::string s = "\"";
    for (; *w; ++w)
        s += (*w >= 0x20 && *w < 0x7f) ? char(*w) : '?';
    return s + "\"";
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += (i ? " " : "") + std::string(b);
    }
    return s;
}

struct Args
{
    unsigned vid = 0, pid = 0;
    std::string serial, product, file, out, ready, source = "kernel";
    int rounds = 200;
    int removes = 1;
    int timeoutS = 30;
    int ackTimeoutMs = 2000;
    bool verbose = false;
};

Args parse(int argc, char **argv)
{
    Args a;
    for (int i = 2; i < argc; ++i) {
        const std::string k = argv[i];
        if (k == "--verbose") {
            a.verbose = true;
            continue;
        }
        if (i + 1 >= argc)
            usage("option without value");
        const char *v = argv[++i];
        if (k == "--vid")
            a.vid = unsigned(std::strtoul(v, nullptr, 16));
        else if (k == "--pid")
            a.pid = unsigned(std::strtoul(v, nullptr, 16));
        else if (k == "--serial")
            a.serial = v;
        else if (k == "--product")
            a.product = v;
        else if (k == "--rounds")
            a.rounds = std::atoi(v);
        else if (k == "--file")
            a.file = v;
        else if (k == "--out")
            a.out = v;
        else if (k == "--ready")
            a.ready = v;
        else if (k == "--source")
            a.source = v;
        else if (k == "--removes")
            a.removes = std::atoi(v);
        else if (k == "--timeout")
            a.timeoutS = std::atoi(v);
        else if (k == "--ack-timeout-ms")
            a.ackTimeoutMs = std::atoi(v);
        else
            usage("unknown option");
    }
    return a;
}

std::wstring widen(const std::string &s)
{
    return std::wstring(s.begin(), s.end());
}

// Enumerates the devices with the given ids and opens the one whose serial
// matches (any, when no serial is asked for). Prints every entry.
hid_device *openDevice(const Args &a, bool printAll)
{
    if (printAll) {
        int total = 0;
        hid_device_info *all = hid_enumerate(0, 0);
        for (hid_device_info *d = all; d; d = d->next)
            ++total;
        hid_free_enumeration(all);
        std::printf("enumerate(0,0): %d device(s)\n", total);
    }
    hid_device_info *list = hid_enumerate((unsigned short)a.vid, (unsigned short)a.pid);
    std::string path;
    int matches = 0, count = 0;
    for (hid_device_info *d = list; d; d = d->next) {
        ++count;
        if (printAll)
            std::printf("  path=%s vid=%04x pid=%04x serial=%s manufacturer=%s product=%s release=%u interface=%d "
                        "usage_page=%04x usage=%04x bus_type=%d\n",
                        d->path, d->vendor_id, d->product_id, narrow(d->serial_number).c_str(),
                        narrow(d->manufacturer_string).c_str(), narrow(d->product_string).c_str(),
                        d->release_number, d->interface_number, d->usage_page, d->usage, int(d->bus_type));
        if (!a.serial.empty() && (!d->serial_number || widen(a.serial) != d->serial_number))
            continue;
        ++matches;
        path = d->path;
        if (printAll) {
            if (!a.product.empty() && (!d->product_string || widen(a.product) != d->product_string))
                fail("product string " + narrow(d->product_string) + ", expected \"" + a.product + "\"");
            if (d->usage_page != 0xFF00 || d->usage != 0x0001)
                fail("usage page/usage not ff00/0001");
        }
    }
    hid_free_enumeration(list);
    if (matches != 1) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "%d device(s) %04x:%04x, %d with serial '%s'; expected exactly one", count,
                      a.vid, a.pid, matches, a.serial.c_str());
        fail(msg);
        return nullptr;
    }
    hid_device *dev = hid_open_path(path.c_str());
    if (!dev) {
        fail("hid_open_path(" + path + ") failed: " + narrow(hid_error(nullptr)));
        return nullptr;
    }
    std::printf("opened %s\n", path.c_str());
    return dev;
}

double usSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

// Writes report id 0 + data and reads the echo device's answer.
bool echoExchange(hid_device *dev, const Bytes &data, const char *what, bool verbose, double *roundTripUs = nullptr)
{
    Bytes frame(1, 0);
    frame.insert(frame.end(), data.begin(), data.end());
    const auto t = Clock::now();
    const int w = hid_write(dev, frame.data(), frame.size());
    if (w != int(frame.size())) {
        fail(std::string(what) + ": hid_write of " + std::to_string(frame.size()) + " bytes returned "
             + std::to_string(w) + " " + narrow(hid_error(dev)));
        return false;
    }
    uint8_t in[256];
    const int r = hid_read_timeout(dev, in, sizeof in, 2000);
    if (roundTripUs)
        *roundTripUs = usSince(t);
    if (verbose)
        std::printf("%s: hid_write(%zu bytes) = %d; hid_read = %d bytes: %s\n", what, frame.size(), w, r,
                    r > 0 ? hex(in, size_t(std::min(r, 16))).c_str() : "");
    if (r <= 0) {
        fail(std::string(what) + ": no reply (hid_read returned " + std::to_string(r) + ")");
        return false;
    }
    if (r != 64)
        fail(std::string(what) + ": reply of " + std::to_string(r) + " bytes, expected one 64-byte input report");
    if (in[0] != data.size()) {
        fail(std::string(what) + ": the device saw " + std::to_string(in[0]) + " data bytes, " +
             std::to_string(data.size()) + " were written");
        return false;
    }
    const size_t cmp = std::min<size_t>(data.size(), 63);
    if (std::memcmp(in + 1, data.data(), cmp) != 0) {
        fail(std::string(what) + ": the device saw other bytes than were written");
        return false;
    }
    return true;
}

int probe(const Args &a)
{
    if (hid_init() != 0)
        usage("hid_init failed");
    hid_device *dev = openDevice(a, true);
    if (!dev)
        return 1;
    wchar_t buf[256];
    buf[0] = 0;
    int r = hid_get_manufacturer_string(dev, buf, 255);
    std::printf("hid_get_manufacturer_string: %d %s\n", r, narrow(r == 0 ? buf : nullptr).c_str());
    buf[0] = 0;
    r = hid_get_product_string(dev, buf, 255);
    std::printf("hid_get_product_string: %d %s\n", r, narrow(r == 0 ? buf : nullptr).c_str());
    buf[0] = 0;
    r = hid_get_serial_number_string(dev, buf, 255);
    std::printf("hid_get_serial_number_string: %d %s\n", r, narrow(r == 0 ? buf : nullptr).c_str());

    // Nothing has been written yet: a non-blocking read finds nothing.
    hid_set_nonblocking(dev, 1);
    uint8_t in[64];
    r = hid_read(dev, in, sizeof in);
    std::printf("non-blocking hid_read on an idle device: %d\n", r);
    if (r != 0)
        fail("non-blocking read on an idle device returned " + std::to_string(r));
    hid_set_nonblocking(dev, 0);

    const Bytes e1 = {0x41, 0x54, 0x2B, 0x4F, 0x54, 0x41, 0x3D, 0x45, 0x31, 0x3A, 0x31, 0x0D};
    echoExchange(dev, e1, "E1 (12 data bytes)", true);
    Bytes full(64);
    full[0] = 1;
    for (size_t i = 4; i < full.size(); ++i)
        full[i] = uint8_t(i * 7);
    echoExchange(dev, full, "data packet (64 data bytes)", true);
    const Bytes shortPacket = {2, 0, 0, 0, 0xAB};
    echoExchange(dev, shortPacket, "data packet (5 data bytes)", true);

    // A frame of the report-id byte alone.
    const uint8_t zero = 0;
    r = hid_write(dev, &zero, 1);
    std::printf("hid_write of the report-id byte alone: %d %s\n", r, r < 0 ? narrow(hid_error(dev)).c_str() : "");
    if (r > 0) {
        const int rr = hid_read_timeout(dev, in, sizeof in, 1000);
        std::printf("  the device answered %d bytes, saw %d data bytes\n", rr, rr > 0 ? in[0] : -1);
    }

    // Round trips: full reports, each numbered so a stale reply is caught.
    std::vector<double> times;
    for (int i = 0; i < a.rounds; ++i) {
        Bytes p(64, uint8_t(i));
        p[0] = uint8_t(i);
        p[1] = uint8_t(i >> 8);
        double us = 0;
        if (!echoExchange(dev, p, "round trip", false, &us))
            break;
        times.push_back(us);
    }
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        double sum = 0;
        for (double t : times)
            sum += t;
        const auto pct = [&](double q) { return times[std::min(times.size() - 1, size_t(q * double(times.size())))]; };
        std::printf("round trip (65-byte write, 64-byte read) over %zu rounds: min %.0f us, p10 %.0f us, "
                    "median %.0f us, p90 %.0f us, mean %.0f us, max %.0f us\n",
                    times.size(), times.front(), pct(0.1), pct(0.5), pct(0.9), sum / double(times.size()),
                    times.back());
    }
    if (int(times.size()) != a.rounds)
        fail("only " + std::to_string(times.size()) + " of " + std::to_string(a.rounds) + " round trips completed");
    hid_close(dev);
    hid_exit();
    std::printf(g_failures ? "PROBE FAILED (%d)\n" : "PROBE OK\n", g_failures);
    return g_failures ? 1 : 0;
}

uint32_t crc32(const uint8_t *p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

Bytes command(const char *text, uint32_t value)
{
    Bytes f(text, text + std::strlen(text));
    const uint8_t v[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    f.insert(f.end(), v, v + 4);
    f.push_back(uint8_t(v[0] ^ v[1] ^ v[2] ^ v[3]));
    f.push_back('\r');
    return f;
}

bool writeFrame(hid_device *dev, const Bytes &data, const std::string &what)
{
    Bytes frame(1, 0);
    frame.insert(frame.end(), data.begin(), data.end());
    const int w = hid_write(dev, frame.data(), frame.size());
    if (w != int(frame.size())) {
        fail("write of " + what + " (" + std::to_string(frame.size()) + " bytes) returned " + std::to_string(w) + " "
             + narrow(hid_error(dev)));
        return false;
    }
    return true;
}

enum class Ack { Seen, TimedOut, ReadFailed };

// Reads until an acknowledgement line ("AT+OTA=E3:1" in a line that starts
// with 'A' and ends with CR) has been seen.
Ack awaitAck(hid_device *dev, std::string &line, int timeoutMs, bool verbose)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < until) {
        uint8_t in[64];
        const int r = hid_read_timeout(dev, in, sizeof in, 100);
        if (r < 0)
            return Ack::ReadFailed;
        if (verbose && r > 0)
            std::printf("  input report of %d bytes: %s\n", r, hex(in, size_t(r)).c_str());
        for (int i = 0; i < r; ++i) {
            line += char(in[i]);
            if (line[0] != 'A') {
                line.clear();
                continue;
            }
            if (line.back() == '\r') {
                const bool ack = line.find("AT+OTA=E3:1") != std::string::npos;
                line.clear();
                if (ack)
                    return Ack::Seen;
            }
            if (line.size() > 240)
                line.clear();
        }
    }
    return Ack::TimedOut;
}

int upload(const Args &a)
{
    std::ifstream in(a.file, std::ios::binary);
    if (!in)
        usage("cannot read --file");
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (hid_init() != 0)
        usage("hid_init failed");
    hid_device *dev = openDevice(a, false);
    if (!dev)
        return 1;
    const auto t0 = Clock::now();
    writeFrame(dev, {0x41, 0x54, 0x2B, 0x4F, 0x54, 0x41, 0x3D, 0x45, 0x31, 0x3A, 0x31, 0x0D}, "E1");
    writeFrame(dev, command("AT+OTA=E2:", uint32_t(image.size())), "E2");
    std::string line;
    uint32_t packets = 0;
    double slowestAckUs = 0;
    for (size_t off = 0; off < image.size(); off += 60) {
        const size_t n = std::min<size_t>(60, image.size() - off);
        ++packets;
        Bytes p = {uint8_t(packets), uint8_t(packets >> 8), uint8_t(packets >> 16), uint8_t(packets >> 24)};
        p.insert(p.end(), image.begin() + long(off), image.begin() + long(off + n));
        if (!writeFrame(dev, p, "packet " + std::to_string(packets)))
            break;
        const auto sent = Clock::now();
        const Ack ack = awaitAck(dev, line, a.ackTimeoutMs, a.verbose);
        const double us = usSince(sent);
        if (ack == Ack::TimedOut) {
            fail("no acknowledgement for packet " + std::to_string(packets) + " within "
                 + std::to_string(a.ackTimeoutMs) + " ms");
            break;
        }
        if (ack == Ack::ReadFailed) {
            fail("hid_read failed awaiting the acknowledgement for packet " + std::to_string(packets) + " "
                 + narrow(hid_error(dev)));
            break;
        }
        slowestAckUs = std::max(slowestAckUs, us);
    }
    writeFrame(dev, command("AT+OTA=E4:", crc32(image.data(), image.size())), "E4");
    const double s = usSince(t0) / 1e6;
    std::printf("upload: %zu bytes in %u packets, %.2f s, %.0f packets/s (no pacing), slowest acknowledgement %.1f ms\n",
                image.size(), packets, s, packets / s, slowestAckUs / 1000);
    hid_close(dev);
    hid_exit();
    std::printf(g_failures ? "UPLOAD FAILED (%d)\n" : "UPLOAD OK\n", g_failures);
    return g_failures ? 1 : 0;
}

int monitor(const Args &a)
{
    if (a.out.empty())
        usage("monitor needs --out");
    if (a.source != "kernel" && a.source != "udev")
        usage("--source is kernel or udev");
    FILE *out = std::fopen(a.out.c_str(), "w");
    if (!out)
        usage("cannot write --out");
    udev *u = udev_new();
    udev_monitor *mon = u ? udev_monitor_new_from_netlink(u, a.source.c_str()) : nullptr;
    if (!mon) {
        std::fprintf(stderr, "FAIL: cannot create a libudev '%s' monitor\n", a.source.c_str());
        return 1;
    }
    udev_monitor_filter_add_match_subsystem_devtype(mon, "hidraw", nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(mon, "hid", nullptr);
    if (udev_monitor_enable_receiving(mon) < 0) {
        std::fprintf(stderr, "FAIL: cannot enable the libudev monitor\n");
        return 1;
    }
    if (!a.ready.empty())
        std::ofstream(a.ready) << "listening\n";
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::seconds(a.timeoutS);
    int removes = 0;
    pollfd pfd = {udev_monitor_get_fd(mon), POLLIN, 0};
    while (removes < a.removes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            break;
        if (poll(&pfd, 1, int(left)) <= 0)
            continue;
        udev_device *d = udev_monitor_receive_device(mon);
        if (!d)
            continue;
        const char *action = udev_device_get_action(d);
        const char *subsystem = udev_device_get_subsystem(d);
        const char *node = udev_device_get_devnode(d);
        std::fprintf(out, "%.1f %s %s %s %s\n", usSince(t0) / 1000, action ? action : "-",
                     subsystem ? subsystem : "-", udev_device_get_sysname(d), node ? node : "-");
        std::fflush(out);
        if (action && subsystem && !std::strcmp(action, "remove") && !std::strcmp(subsystem, "hid"))
            ++removes;
        udev_device_unref(d);
    }
    std::fclose(out);
    udev_monitor_unref(mon);
    udev_unref(u);
    if (removes < a.removes) {
        std::fprintf(stderr, "FAIL: monitor timed out after %d s with %d of %d hid device removals seen\n", a.timeoutS,
                     removes, a.removes);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage("no subcommand");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string cmd = argv[1];
    const Args a = parse(argc, argv);
    if (cmd == "probe")
        return probe(a);
    if (cmd == "upload")
        return upload(a);
    if (cmd == "monitor")
        return monitor(a);
    usage("unknown subcommand");
}
