// The transport-independent part of the board programs (see board.h).
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace board {

const uint8_t kDescriptor[27] = {
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

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point g_start = Clock::now();
std::string g_program = "board";
FILE *g_trace = nullptr;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_unplugAll = 0;

void onStop(int) { g_stop = 1; }
void onUsr1(int) { g_unplugAll = 1; }

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
    uint32_t packets() const override { return model.verdict().packets; }
    bool judged() const override { return true; }
    bool good() const override { return model.verdict().good(); }
    std::string verdictText() const override { return model.verdictText(); }
    const Bytes *image() const override { return &model.verdict().image; }
    bool checksumTaken() const override { return model.verdict().checksumSeen; }

private:
    sim::OtaModel model;
};

std::unique_ptr<Handler> makeHandler(const DeviceConfig &cfg)
{
    if (cfg.mode == "echo")
        return std::make_unique<EchoHandler>();
    return std::make_unique<OtaHandler>(cfg.script);
}

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

std::string hexHead(const uint8_t *p, size_t n, size_t max)
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

} // namespace

double msSinceStart()
{
    return std::chrono::duration<double, std::milli>(Clock::now() - g_start).count();
}

void trace(const char *format, ...)
{
    if (!g_trace)
        return;
    std::fprintf(g_trace, "%.3f ", msSinceStart());
    va_list args;
    va_start(args, format);
    std::vfprintf(g_trace, format, args);
    va_end(args);
    std::fputc('\n', g_trace);
}

void usage(const std::string &why)
{
    std::fprintf(stderr, "%s: %s\n(see tests/e2e/board.h and the head of %s.cpp for the options)\n",
                 g_program.c_str(), why.c_str(), g_program.c_str());
    std::exit(2);
}

void fatal(const std::string &what)
{
    std::fprintf(stderr, "%s: ERROR: %s: %s\n", g_program.c_str(), what.c_str(), std::strerror(errno));
    std::exit(2);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
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

std::pair<std::string, std::string> findHidraw(const std::string &busMarker, const DeviceConfig &cfg,
                                               const std::string &name, const std::vector<std::string> &taken)
{
    DIR *dir = opendir("/sys/bus/hid/devices");
    if (!dir)
        return {};
    char id[64];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", cfg.vid, cfg.pid);
    std::pair<std::string, std::string> found;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/sys/bus/hid/devices/") + e->d_name;
        char real[4096];
        if (!realpath(base.c_str(), real) || !std::strstr(real, busMarker.c_str()))
            continue;
        const std::string uevent = readFile(base + "/uevent");
        if (uevent.find(id) == std::string::npos || uevent.find("HID_NAME=" + name + "\n") == std::string::npos
            || uevent.find("HID_UNIQ=" + cfg.uniq + "\n") == std::string::npos)
            continue;
        std::string node;
        if (DIR *h = opendir((base + "/hidraw").c_str())) {
            while (dirent *he = readdir(h))
                if (std::strncmp(he->d_name, "hidraw", 6) == 0)
                    node = std::string("/dev/") + he->d_name;
            closedir(h);
        }
        struct stat st;
        if (node.empty() || stat(node.c_str(), &st) != 0
            || std::find(taken.begin(), taken.end(), node) != taken.end())
            continue;
        found = {node, real};
        break;
    }
    closedir(dir);
    return found;
}

void Board::output(Device &d, const uint8_t *data, size_t len)
{
    ++d.outputs;
    trace("dev%d OUTPUT %zu bytes: %s", d.index, len, hexHead(data, len, 16).c_str());
    const bool hadChecksum = d.handler->checksumTaken();
    sendReply(d, d.handler->handleOutput(data, len));
    if (d.cfg.restartAfterMs >= 0 && !hadChecksum && d.handler->checksumTaken()) {
        // Its new image starts: the board goes at once, E4 answered.
        unplug(d, "restart");
        d.restartAt = msSinceStart() + d.cfg.restartAfterMs;
    } else if (d.handler->vanished()) {
        unplug(d, "vanish-after");
    } else if (d.cfg.stallAfter && d.reading && d.handler->packets() >= d.cfg.stallAfter) {
        d.reading = false;
        d.cfg.stallAfter = 0; // once: after "resume" it reads on
        trace("dev%d STALL after packet %u", d.index, d.handler->packets());
        std::fprintf(stderr, "%s: device %d stops reading after packet %u at %.0f ms\n", g_program.c_str(),
                     d.index, d.handler->packets(), msSinceStart());
    }
}

// Sends a reply as 64-byte input reports.  The device's input report has a
// fixed size and the host drops any shorter one ("Event data for report 0
// was too short"), so every piece is zero-filled to the report size.  The
// zero fill goes behind a piece, except when the next piece continues it (the
// piece does not end a line with CR and the next one does not begin a new
// line with 'A'): such a piece is placed at the end of its report, behind
// the fill, so that the line reads on across the report boundary.  A line
// reader discards the zeros before the 'A' anyway.  Pieces longer than a
// report are cut into reports.
void Board::sendReply(Device &d, const std::vector<Bytes> &pieces)
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
            if (d.fd < 0)
                return;
            transport.sendReport(d, report);
            ++d.inputs;
            trace("dev%d INPUT %zu bytes used: %s", d.index, n, hexHead(report, kReportSize, 24).c_str());
        }
    }
}

void Board::plug(Device &d)
{
    if (d.plugged)
        return;
    const bool restarted = d.restartAt >= 0;
    if (restarted) {
        // Back from its restart with its new release: the same board, its
        // model (and so its verdict and image) kept.
        d.restartAt = -1;
        ++d.restarts;
        if (d.cfg.restartRelease >= 0)
            d.cfg.release = d.cfg.restartRelease;
    } else if (d.plugs > 0) {
        // A board plugged in again lost its power: a fresh model, and the
        // scripted vanishing and stalling were its first life's.
        d.cfg.script.vanishAfterPacket = 0;
        d.cfg.stallAfter = 0;
        d.handler = makeHandler(d.cfg);
    }
    d.reading = true;
    d.ready = false;
    transport.plug(d);
    d.plugged = true;
    ++d.plugs;
    d.unpluggedBy = "no";
    changed = true;
    trace("dev%d PLUG %04x:%04x name='%s' uniq='%s' release=%d%s", d.index, d.cfg.vid, d.cfg.pid,
          d.cfg.name.c_str(), d.cfg.uniq.c_str(), d.cfg.release, restarted ? " (restarted)" : "");
    if (restarted)
        std::fprintf(stderr, "%s: device %d back from its restart at %.0f ms\n", g_program.c_str(), d.index,
                     msSinceStart());
}

void Board::unplug(Device &d, const std::string &why)
{
    if (!d.plugged)
        return;
    transport.unplug(d);
    d.plugged = false;
    d.ready = false;
    d.unpluggedBy = why;
    changed = true;
    trace("dev%d UNPLUG (%s)", d.index, why.c_str());
    std::fprintf(stderr, "%s: device %d unplugged (%s) at %.0f ms\n", g_program.c_str(), d.index, why.c_str(),
                 msSinceStart());
}

void Board::command(const std::string &line)
{
    trace("control '%s'", line.c_str());
    if (line == "quit") {
        g_stop = 1;
        return;
    }
    if (line == "verdict") {
        changed = true;
        return;
    }
    const size_t blank = line.find(' ');
    const std::string verb = line.substr(0, blank);
    const std::string which = blank == std::string::npos ? "" : line.substr(blank + 1);
    std::vector<Device *> targets;
    if (which == "all") {
        for (Device &d : devices)
            targets.push_back(&d);
    } else if (!which.empty() && which.size() < 6 && which.find_first_not_of("0123456789") == std::string::npos
               && std::stoul(which) < devices.size()) {
        targets.push_back(&devices[std::stoul(which)]);
    }
    const bool known = verb == "unplug" || verb == "destroy" || verb == "plug" || verb == "stall" || verb == "resume";
    if (!known || targets.empty()) {
        if (!line.empty())
            std::fprintf(stderr, "%s: unknown control command '%s'\n", g_program.c_str(), line.c_str());
        return;
    }
    for (Device *d : targets) {
        if (verb == "plug")
            plug(*d);
        else if (verb == "stall" || verb == "resume")
            d->reading = verb == "resume";
        else
            unplug(*d, "control");
    }
}

void Board::writeVerdict()
{
    if (verdictPath.empty())
        return;
    std::string text;
    char buf[512];
    for (const Device &d : devices) {
        std::snprintf(buf, sizeof buf, "device=%d vid=%04x pid=%04x uniq=%s mode=%s hidraw=%s plugs=%d restarts=%d %s",
                      d.index, d.cfg.vid, d.cfg.pid, d.cfg.uniq.c_str(), d.cfg.mode.c_str(),
                      d.hidraw.empty() ? "none" : d.hidraw.c_str(), d.plugs, d.restarts,
                      transport.verdictFields(d).c_str());
        text += buf;
        std::snprintf(buf, sizeof buf, "outputs=%u inputs=%u destroyed=%s stalled=%s sizes=", d.outputs, d.inputs,
                      d.unpluggedBy.c_str(), d.reading ? "no" : "yes");
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
    writeAtomically(verdictPath, text);
}

// The ready file exists exactly while every device is plugged in and found.
void Board::updateReady()
{
    std::vector<std::string> taken;
    for (const Device &d : devices)
        if (d.ready)
            taken.push_back(d.hidraw);
    for (Device &d : devices) {
        if (!d.plugged || d.ready || !transport.locate(d, taken))
            continue;
        d.ready = true;
        taken.push_back(d.hidraw);
        trace("dev%d ready at %s", d.index, d.hidraw.c_str());
    }
    const bool all = std::all_of(devices.begin(), devices.end(), [](const Device &d) { return d.ready; });
    if (all && !readyWritten) {
        std::string text;
        for (const Device &d : devices) {
            char line[256];
            std::snprintf(line, sizeof line, "%d %04x:%04x %s %s\n", d.index, d.cfg.vid, d.cfg.pid,
                          d.cfg.uniq.c_str(), d.hidraw.c_str());
            text += line;
        }
        if (!readyPath.empty())
            writeAtomically(readyPath, text);
        std::fprintf(stderr, "%s: %zu device(s) ready after %.0f ms\n", g_program.c_str(), devices.size(),
                     msSinceStart());
    } else if (!all && readyWritten && !readyPath.empty()) {
        unlink(readyPath.c_str());
    }
    readyWritten = all;
}

int Board::run(int argc, char **argv, Transport &transport)
{
    g_program = transport.program();
    Board board(transport);
    std::string controlPath, tracePath;
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
            board.readyPath = value(i);
        else if (a == "--verdict")
            board.verdictPath = value(i);
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
            configs.push_back(c);
        } else if (a == "--name")
            current("--name").name = value(i);
        else if (a == "--uniq")
            current("--uniq").uniq = value(i);
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
        else if (a == "--stall-after")
            current("--stall-after").stallAfter = uint32_t(parseNumber(value(i), 10, 0xFFFFFFFF, "packet number"));
        else if (a == "--restart-after-e4")
            current("--restart-after-e4").restartAfterMs = int(parseNumber(value(i), 10, 600000, "milliseconds"));
        else if (a == "--restart-release")
            current("--restart-release").restartRelease = int(parseNumber(value(i), 0, 0xFFFF, "release"));
        else if (a == "--padded")
            current("--padded").script.paddedReports = true;
        else if (a == "--image-out")
            current("--image-out").imageOut = value(i);
        else if (transport.takesOption(a)) {
            const std::string v = value(i);
            transport.setOption(a, v, configs.empty() ? nullptr : &configs.back());
        } else
            usage("unknown option '" + a + "'");
    }
    if (configs.empty())
        usage("no --dev given");
    if (configs.size() > transport.maxDevices())
        usage("at most " + std::to_string(transport.maxDevices()) + " device(s)");

    if (!tracePath.empty()) {
        g_trace = std::fopen(tracePath.c_str(), "w");
        if (!g_trace)
            fatal("open " + tracePath);
        setvbuf(g_trace, nullptr, _IOLBF, 0);
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

    std::vector<Device> &devices = board.devices;
    devices.resize(configs.size());
    for (size_t i = 0; i < configs.size(); ++i) {
        devices[i].index = int(i);
        devices[i].cfg = configs[i];
        devices[i].handler = makeHandler(configs[i]);
    }
    transport.setUp(devices);
    for (Device &d : devices)
        board.plug(d);

    bool everReady = false;
    int status = -1;
    std::string controlBuf;
    while (status < 0) {
        std::vector<pollfd> fds;
        bool waiting = false;
        for (const Device &d : devices) {
            fds.push_back({d.fd, short(d.plugged && d.reading && d.fd >= 0 ? POLLIN : 0), 0});
            waiting = waiting || (d.plugged && !d.ready) || d.restartAt >= 0;
        }
        if (control >= 0)
            fds.push_back({control, POLLIN, 0});
        const int n = poll(fds.data(), fds.size(), waiting ? 20 : 200);
        if (n < 0 && errno != EINTR)
            fatal("poll");

        for (Device &d : devices) {
            if (d.plugged && d.reading && d.fd >= 0)
                transport.service(d, board);
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
                board.command(line);
            }
        }
        for (Device &d : devices) {
            if (d.restartAt >= 0 && !d.plugged && msSinceStart() >= d.restartAt)
                board.plug(d);
        }
        if (g_unplugAll) {
            g_unplugAll = 0;
            for (Device &d : devices)
                board.unplug(d, "signal");
        }

        board.updateReady();
        everReady = everReady || std::all_of(devices.begin(), devices.end(), [](const Device &d) { return d.ready; });

        if (board.changed) {
            board.changed = false;
            board.writeVerdict();
        }

        const bool allGone = std::none_of(devices.begin(), devices.end(), [](const Device &d) { return d.plugged; });
        if (g_stop || (exitWhenGone && allGone)) {
            bool good = true;
            for (const Device &d : devices)
                good = good && (!d.handler->judged() || d.handler->good());
            status = good ? 0 : 1;
        } else if (msSinceStart() > timeoutS * 1000) {
            std::fprintf(stderr, "%s: TIMED OUT after %.0f s%s\n", g_program.c_str(), timeoutS,
                         everReady ? "" : " (the hidraw nodes never all appeared)");
            status = 3;
        }
    }

    board.writeVerdict();
    for (const Device &d : devices)
        std::fprintf(stderr, "%s: device %d: %s\n", g_program.c_str(), d.index, d.handler->verdictText().c_str());
    for (Device &d : devices) {
        if (d.plugged)
            transport.unplug(d);
    }
    transport.tearDown(devices);
    if (g_trace)
        std::fclose(g_trace);
    if (control >= 0) {
        close(control);
        unlink(controlPath.c_str());
    }
    if (!board.readyPath.empty())
        unlink(board.readyPath.c_str());
    return status;
}

} // namespace board
