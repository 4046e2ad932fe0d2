// The console program on simulated boards: the same command line and code as
// tarnvik-upgrade, linked against the virtual HID devices instead of hidapi,
// with boards (1a2b:00ff) that speak the upgrade protocol. Its own options
// (--sim-...) say how many boards there are, when they come and go and how
// they answer; they are taken off the command line, and the rest is read as
// tarnvik-upgrade reads it. For trying the command line and a station
// without hardware:
//   tarnvik-upgrade-sim list
//   tarnvik-upgrade-sim upgrade --device 1a2b:00ff --all --image FILE --interval 5
//   tarnvik-upgrade-sim station -d 1a2b:00ff --image FILE --interval 2 --sim-boards 10 --sim-every 2 --sim-unplug 3
#include "otasim.h"
#include "selection.h"
#include "upgradecli.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

// A board that restarts after E4 is back this long after it went.
constexpr int kRestartBackMs = 1000;
constexpr int kMostBoards = 1000;

const char kUsage[] =
    "Simulated boards: %s's own options, taken off the command line\n"
    "before the rest is read as tarnvik-upgrade reads it (anywhere before --):\n"
    "  --sim-boards N      N boards (default 3): 1a2b:00ff, Tarnvik's Demo Board,\n"
    "                      paths sim:board-1 to sim:board-N, serials SIM-1 to SIM-N\n"
    "  --sim-every S       plug them in one after another, S seconds apart, the\n"
    "                      first at once (default: all of them from the start)\n"
    "  --sim-unplug S      pull each board out S seconds (at least 0.5) after it has\n"
    "                      taken E4, after its return with --sim-restart (a board\n"
    "                      that never takes E4 stays)\n"
    "  --sim-release R     their release (bcdDevice) as plugged in (default 1.00)\n"
    "  --sim-restart R     each board starts its new image once it has taken E4: it\n"
    "                      goes at once and is back 1 s later with release R\n"
    "  --sim-silent LIST   these boards never acknowledge a packet\n"
    "  --sim-no-serial LIST  these boards have no serial number\n"
    "  --sim-help          this part of the usage alone\n"
    "LIST: board numbers and ranges, such as 2 or 1,3-5, or all.\n";

struct Boards
{
    int count = 3;
    double everyS = 0;
    double unplugS = 0;      // 0: they stay
    int release = 0x0100;
    int restartRelease = -1; // -1: they stay after E4
    std::vector<bool> silent;   // by board number (1..count)
    std::vector<bool> noSerial;
};

bool number(const std::string &text, double least, double most, double &value)
{
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= least && value <= most;
}

// "all", or board numbers and ranges ("2,5-7") from 1 to `count`.
bool boardList(const std::string &text, int count, std::vector<bool> &chosen)
{
    chosen.assign(count + 1, text == "all");
    if (text.empty() || text == "all")
        return true;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        int first = 0;
        int last = 0;
        char extra = 0;
        const int range = std::sscanf(item.c_str(), "%d-%d%c", &first, &last, &extra);
        if (range == 1 && std::sscanf(item.c_str(), "%d%c", &first, &extra) == 1)
            last = first;
        else if (range != 2)
            return false;
        if (first < 1 || last < first || last > count)
            return false;
        std::fill(chosen.begin() + first, chosen.begin() + last + 1, true);
        at = comma + 1;
    }
    return true;
}

// Takes the simulator's options off the command line (up to a "--"); the
// rest, with the program's name, is left in `rest`. Returns why they are
// refused (empty when they are not).
std::string takeOptions(int argc, char *argv[], Boards &b, bool &help, std::vector<char *> &rest)
{
    rest.assign(argv, argv + 1);
    std::set<std::string> seen;
    std::string silent;
    std::string noSerial;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options || word.compare(0, 6, "--sim-") != 0) {
            options = options && word != "--";
            rest.push_back(argv[i]);
            continue;
        }
        const size_t sign = word.find('=');
        const std::string name = word.substr(0, sign);
        if (name == "--sim-help") {
            if (sign != std::string::npos)
                return "--sim-help takes no value";
            help = true;
            continue;
        }
        if (!seen.insert(name).second)
            return name + " is given more than once";
        std::string value;
        if (sign != std::string::npos)
            value = word.substr(sign + 1);
        else if (i + 1 < argc)
            value = argv[++i];
        else
            return name + " needs a value";
        const auto refused = [&](const std::string &what) { return name + " must be " + what + ", not '" + value + "'"; };
        double n = 0;
        if (name == "--sim-boards") {
            if (!number(value, 1, kMostBoards, n) || n != std::floor(n))
                return refused("a whole number from 1 to " + std::to_string(kMostBoards));
            b.count = int(n);
        } else if (name == "--sim-every") {
            if (!number(value, 0, 600, b.everyS))
                return refused("a number of seconds from 0 to 600");
        } else if (name == "--sim-unplug") {
            // Long enough for a station, which lists the devices four times
            // a second, to see a board that came back before it goes.
            if (!number(value, 0.5, 86400, b.unplugS))
                return refused("a number of seconds from 0.5 to 86400");
        } else if (name == "--sim-release" || name == "--sim-restart") {
            const int release = ParseRelease(QString::fromLocal8Bit(value.c_str()));
            if (release < 0)
                return refused("a release as USB writes it, such as 1.02");
            (name == "--sim-release" ? b.release : b.restartRelease) = release;
        } else if (name == "--sim-silent") {
            silent = value;
        } else if (name == "--sim-no-serial") {
            noSerial = value;
        } else {
            return "unknown option " + name;
        }
    }
    const std::string list = "board numbers from 1 to " + std::to_string(b.count) + ", such as 1,3-5, or all";
    if (!boardList(silent, b.count, b.silent))
        return "--sim-silent must be " + list + ", not '" + silent + "'";
    if (!boardList(noSerial, b.count, b.noSerial))
        return "--sim-no-serial must be " + list + ", not '" + noSerial + "'";
    return {};
}

// The boards are plugged in as their schedule says, each at the first
// enumeration after its time (the station lists the devices four times a
// second); one that is pulled out after its upgrade is gone the same way.
void plugBoards(const Boards &b)
{
    for (int i = 1; i <= b.count; ++i) {
        vhid::DeviceInfo info = sim::boardInfo("sim:board-" + std::to_string(i), 0x1a2b, 0x00ff, L"Demo Board");
        if (!b.noSerial[i])
            info.serial = L"SIM-" + std::to_wstring(i);
        info.release = uint16_t(b.release);
        sim::Script script;
        if (b.silent[i])
            script.reply = sim::Reply::Silent;
        if (b.restartRelease >= 0) {
            script.restartGoneMs = kRestartBackMs;
            script.restartRelease = uint16_t(b.restartRelease);
        }
        sim::WriteTap tap;
        if (b.unplugS > 0) {
            const int afterMs = int(std::lround(b.unplugS * 1000)) + (b.restartRelease >= 0 ? kRestartBackMs : 0);
            tap = [path = info.path, afterMs](const vhid::Bytes &frame) {
                static const std::string checksum = "AT+OTA=E4:";
                if (frame.size() > checksum.size()
                    && std::equal(checksum.begin(), checksum.end(), frame.begin() + 1))
                    vhid::unplugLater(path, afterMs);
            };
        }
        const int plugMs = int(std::lround((i - 1) * b.everyS * 1000));
        sim::attach(vhid::addDeviceLater(info, plugMs), std::make_shared<sim::OtaModel>(script), tap);
    }
}

// Whether tarnvik-upgrade reads these words as asking for its usage: -h,
// --help, or h among combined short options (-qh; in -sh the h is -s's
// value).
bool asksForHelp(const std::vector<char *> &words)
{
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string w = words[i];
        if (w == "--")
            break;
        if (w == "--help")
            return true;
        if (w.size() < 2 || w[0] != '-' || w[1] == '-')
            continue;
        for (size_t c = 1; c < w.size() && w[c] != 's' && w[c] != 'd'; ++c) {
            if (w[c] == 'h')
                return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *const program = "tarnvik-upgrade-sim";
    Boards boards;
    bool help = false;
    std::vector<char *> rest;
    const std::string why = takeOptions(argc, argv, boards, help, rest);
    if (!why.empty()) {
        std::fprintf(stderr, "%s: %s (see %s --sim-help)\n", program, why.c_str(), program);
        return UpgradeCli::kBadArguments;
    }
    if (help) {
        std::printf(kUsage, program);
        return UpgradeCli::kCompleted;
    }
    // Boards come and go as the system tells of real ones.
    vhid::setNotifications(true);
    plugBoards(boards);
    UpgradeCli::SetProgramName(QString::fromLatin1(program));
    int restCount = int(rest.size());
    const bool usage = asksForHelp(rest);
    rest.push_back(nullptr);
    const int code = UpgradeCli::Main(restCount, rest.data());
    if (usage && code == UpgradeCli::kCompleted) {
        std::printf("\n");
        std::printf(kUsage, program);
    }
    return code;
}
