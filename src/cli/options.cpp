#include "options.h"

#include "output.h"
#include "upgradecli.h"
#include "upgradeimage.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#ifndef TARNVIK_VERSION
#define TARNVIK_VERSION "unknown"
#endif

namespace UpgradeCli {

namespace {

const char *const kValueOptions[] = {"path",     "serial",      "device",         "index", "image",
                                     "interval", "ack-timeout", "retries",        "wait",  "log",
                                     "count",    "wait-replug", "expect-release"};

// The value of option `name` as seconds above 0, at most `most`; false,
// with `why`, for anything else.
bool seconds(const QCommandLineParser &parser, const char *name, double most, double &value, QString &why)
{
    bool ok = false;
    value = parser.value(name).toDouble(&ok);
    if (ok && value >= 0.001 && value <= most)
        return true;
    why = QString("--%1 must be a number of seconds above 0 (at most %2), not '%3'")
              .arg(name)
              .arg(most, 0, 'f', 0)
              .arg(parser.value(name));
    return false;
}

bool whole(const QCommandLineParser &parser, const char *name, int least, int most, int &value, QString &why)
{
    bool ok = false;
    value = parser.value(name).toInt(&ok, 10);
    if (ok && value >= least && value <= most)
        return true;
    why = QString("--%1 must be a whole number from %2 to %3, not '%4'")
              .arg(name)
              .arg(least)
              .arg(most)
              .arg(parser.value(name));
    return false;
}

// Every option a device must match; the reason it is refused, or nothing.
QString readSelection(const QCommandLineParser &parser, Selection &selection)
{
    if (parser.isSet("path") && (selection.path = parser.value("path")).isEmpty())
        return "--path is empty";
    if (parser.isSet("serial") && (selection.serial = parser.value("serial")).isEmpty())
        return "--serial is empty";
    if (parser.isSet("device")) {
        static const QRegularExpression pair(QStringLiteral("^([0-9A-Fa-f]{1,4}):([0-9A-Fa-f]{1,4})$"));
        const QRegularExpressionMatch m = pair.match(parser.value("device"));
        if (!m.hasMatch())
            return QString("--device must be VID:PID in hex, such as 1a2b:00ff, not '%1'").arg(parser.value("device"));
        selection.vendorId = m.captured(1).toInt(nullptr, 16);
        selection.productId = m.captured(2).toInt(nullptr, 16);
    }
    if (parser.isSet("index")) {
        bool ok = false;
        selection.index = parser.value("index").toInt(&ok, 10);
        if (!ok || selection.index < 0)
            return QString("--index must be a whole number from 0, not '%1'").arg(parser.value("index"));
    }
    return QString();
}

// The options of one command; the reason they are refused, or nothing.
QString read(const QCommandLineParser &parser, Options &o)
{
    const QStringList words = parser.positionalArguments();
    o.command = words.value(0);
    if (words.size() > 1)
        return QString("unexpected argument '%1'").arg(words.at(1));
    for (const char *name : kValueOptions) {
        if (parser.values(name).size() > 1)
            return QString("--%1 is given more than once").arg(name);
    }
    o.json = parser.isSet("json");
    o.quiet = parser.isSet("quiet");
    o.verbose = parser.isSet("verbose");
    const auto refusedFor = [&](const char *command, const QStringList &names) {
        for (const QString &name : names) {
            if (parser.isSet(name))
                return QString("%1 takes no --%2").arg(command, name);
        }
        return QString();
    };
    if (o.command == "list")
        return refusedFor("list", {"path", "serial", "device", "index", "image", "allow-empty", "interval",
                                   "ack-timeout", "all", "wait", "retries", "log", "count", "reflash", "wait-replug",
                                   "expect-release"});
    if (o.command != "upgrade" && o.command != "station")
        return o.command.isEmpty() ? QString("no command: give list, upgrade or station")
                                   : QString("unknown command '%1': give list, upgrade or station").arg(o.command);
    QString why = o.command == "station" ? refusedFor("station", {"all", "wait", "index"})
                                         : refusedFor("upgrade", {"count", "reflash"});
    if (why.isEmpty())
        why = readSelection(parser, o.selection);
    if (!why.isEmpty())
        return why;
    // An unset variable in a script: not the same as no --image at all.
    if (parser.isSet("image") && (o.image = parser.value("image")).isEmpty())
        return "the name given to --image is empty";
    o.allowEmpty = parser.isSet("allow-empty");
    if (parser.isSet("interval")) {
        bool ok = false;
        o.intervalMs = parser.value("interval").toInt(&ok, 10);
        if (!ok || o.intervalMs <= 0)
            return QString("--interval must be a whole number of milliseconds above 0, not '%1'")
                .arg(parser.value("interval"));
    } else {
        o.intervalMs = UpgradeImage::PacketInterval();
    }
    // At least a millisecond, at most a day: the timers count in int ms.
    if (parser.isSet("ack-timeout") && !seconds(parser, "ack-timeout", 86400, o.ackTimeoutS, why))
        return why;
    if (parser.isSet("retries") && !whole(parser, "retries", 0, 1000, o.retries, why))
        return why;
    o.all = parser.isSet("all");
    if ((o.wait = parser.isSet("wait")) && !parser.value("wait").isEmpty()
        && !seconds(parser, "wait", 86400 * 365, o.waitSeconds, why))
        return why;
    if (parser.isSet("wait-replug") && !seconds(parser, "wait-replug", 86400, o.replugS, why))
        return why;
    if (parser.isSet("expect-release")) {
        o.expectRelease = ParseRelease(parser.value("expect-release"));
        if (o.expectRelease < 0)
            return QString("--expect-release must be a release as USB writes it, such as 1.02, not '%1'")
                .arg(parser.value("expect-release"));
        if (o.replugS <= 0)
            return "--expect-release needs --wait-replug S: how long to wait for the board to come back";
    }
    if (parser.isSet("count") && !whole(parser, "count", 1, 1000000, o.count, why))
        return why;
    o.reflash = parser.isSet("reflash");
    o.log = parser.value("log");
    if (parser.isSet("log") && o.log.isEmpty())
        return "the name given to --log is empty";
    return QString();
}

} // namespace

int ParseOptions(const QStringList &arguments, Options &options, Output &output)
{
    QCommandLineParser parser;
    // Short options combine as getopt's do: -qs SN is -q -s SN.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOptions({
        {{"h", "help"}, "help"},
        {{"V", "version"}, "version"},
        {"json", "json"},
        {"path", "path", "P"},
        {{"s", "serial"}, "serial", "S"},
        {{"d", "device"}, "device", "VID:PID"},
        {"index", "index", "N"},
        {"image", "image", "FILE"},
        {"allow-empty", "allow-empty"},
        {"interval", "interval", "MS"},
        {"ack-timeout", "ack-timeout", "S"},
        {"all", "all"},
        {"wait", "wait", "SECONDS"},
        {"wait-replug", "wait-replug", "S"},
        {"expect-release", "expect-release", "R"},
        {"retries", "retries", "N"},
        {"count", "count", "N"},
        {"reflash", "reflash"},
        {"log", "log", "FILE"},
        {{"q", "quiet"}, "quiet"},
        {{"v", "verbose"}, "verbose"},
    });
    QStringList argv = arguments;
    // --wait takes an optional number of seconds: without one it waits for
    // ever ("--wait=" with nothing after the sign, for the parser).
    for (int i = 0; i < argv.size(); ++i) {
        if (argv.at(i) != QLatin1String("--wait"))
            continue;
        bool number = false;
        if (i + 1 < argv.size())
            argv.at(i + 1).toDouble(&number);
        if (number)
            argv[i] += "=" + argv.takeAt(i + 1);
        else
            argv[i] += "=";
    }
    argv.prepend(ProgramName());
    const auto refuse = [&](const QString &why) {
        output.Error(why + QString(" (see %1 --help)").arg(ProgramName()));
        return int(kBadArguments);
    };
    if (!parser.parse(argv))
        return refuse(parser.errorText());
    if (parser.isSet("help")) {
        output.Out(UsageText());
        return kCompleted;
    }
    if (parser.isSet("version")) {
        output.Out(QString("%1 %2\n").arg(ProgramName(), QStringLiteral(TARNVIK_VERSION)));
        return kCompleted;
    }
    const QString why = read(parser, options);
    return why.isEmpty() ? -1 : refuse(why);
}

QString UsageText()
{
    const QString usage = QStringLiteral(
        "Usage: %1 list [--json]\n"
        "       %1 upgrade SELECTION [--all] [--wait [S]] [--image FILE]\n"
        "                      [--allow-empty] [--interval MS] [--ack-timeout S] [--retries N]\n"
        "                      [--wait-replug S [--expect-release R]] [--json] [--log FILE] [-q] [-v]\n"
        "       %1 station SELECTION [--count N] [--reflash] [--image FILE] [--allow-empty]\n"
        "                      [--interval MS] [--ack-timeout S] [--retries N]\n"
        "                      [--wait-replug S [--expect-release R]] [--json] [--log FILE] [-q] [-v]\n"
        "       %1 -h | --help | -V | --version\n"
        "\n"
        "Upgrades the firmware of USB HID devices as the Tarnvik Upgrade Tool's window\n"
        "does: E1 and E2, acknowledged data packets of 60 bytes at least one interval\n"
        "apart, then E4 with the image's CRC-32.\n"
        "\n"
        "list              one line per HID device, in enumeration order, fields\n"
        "                  separated by tabs: index, label, VID:PID, serial number\n"
        "                  (- when none), path, release (1.02: USB's bcdDevice 0x0102)\n"
        "  --json          the same as a JSON array of objects: index, label,\n"
        "                  vendor_id, product_id (numbers), serial, manufacturer,\n"
        "                  product, path, release\n"
        "\n"
        "upgrade           sends the image to the chosen device. SELECTION is one or\n"
        "                  more of the following; a device must match all given:\n"
        "  --path P        the device's path, as list shows it\n"
        "  -s, --serial S  its serial number\n"
        "  -d, --device V:P its USB vendor and product id in hex, e.g. 1a2b:00ff\n"
        "  --index N       its position in list's output\n"
        "  --all           upgrade every device the selection matches, at once\n"
        "                  (without it, a selection that matches several is an error)\n"
        "  --wait [S]      wait until a device matches (at least one with --all), at\n"
        "                  most S seconds (for ever without S), then go on\n"
        "  --image FILE    the image (default: the first file of ./update, as the\n"
        "                  window takes it)\n"
        "  --allow-empty   send an empty image (refused otherwise)\n"
        "  --interval MS   the packet interval (default: load/sleep of ./config.ini,\n"
        "                  1000 without it)\n"
        "  --ack-timeout S end the transfer when a packet is not acknowledged within\n"
        "                  S seconds (default 5)\n"
        "  --retries N     begin a failed transfer again with E1, up to N more times\n"
        "                  (not for a board that was unplugged)\n"
        "  --wait-replug S after E4, wait up to S seconds for the board to come back\n"
        "                  (it starts its new image: it goes and comes back), and tell\n"
        "                  whether it did, when, and its release number\n"
        "  --expect-release R  with --wait-replug: a board that does not come back\n"
        "                  with release R (such as 1.02) fails (exit status 6)\n"
        "  --json          JSON Lines on stdout instead of the result lines: one\n"
        "                  object per event (start, progress, end, board-back; in\n"
        "                  station mode also board-present and board-gone)\n"
        "  --log FILE      append one JSON line per board to FILE, on disk before\n"
        "                  the board counts as done\n"
        "  -q, --quiet     no progress on stderr\n"
        "  -v, --verbose   the diagnostic lines (every report written and read)\n"
        "\n"
        "station           a production bench: upgrades every board that matches the\n"
        "                  selection (required, as for upgrade) once, as it is plugged\n"
        "                  in, several at a time, with a START line and a result line\n"
        "                  for each. A board that comes back after its upgrade (it\n"
        "                  restarts, or is plugged in again) is the same board and is\n"
        "                  not upgraded again: by its serial number, or without one by\n"
        "                  its path if it went within 2.5 s of E4 and came back within\n"
        "                  10 s (or --wait-replug S). A board that failed is upgraded\n"
        "                  again when it comes back. Until Ctrl-C, or:\n"
        "  --count N       end once N boards have ended (exit status 0 if every one\n"
        "                  is OK)\n"
        "  --reflash       upgrade a board every time it appears (rework benches)\n"
        "\n"
        "Results go to stdout, one line per device: OK, FAILED or INTERRUPTED, the\n"
        "device (label, serial, path), a tab, the details; progress and errors go to\n"
        "stderr: a bar on a terminal, otherwise a line per 10 %.\n"
        "OK means: every packet was acknowledged and E4 was written. The board never\n"
        "says whether it took the image; the nearest thing to its verdict is that it\n"
        "comes back with the new release (--wait-replug, --expect-release).\n"
        "\n"
        "Exit status:\n"
        "  0    the upgrade completed (on every device with --all; station --count:\n"
        "       on every board of the batch)\n"
        "  1    bad arguments\n"
        "  2    no device matches (within the --wait), no selection given, or several\n"
        "       devices match without --all (they are listed)\n"
        "  3    the device could not be opened (USB open fail)\n"
        "  4    the transfer failed: a write failed, no acknowledgement within the\n"
        "       time-out, or the device was unplugged (with --all, --count: on any)\n"
        "  5    no image, an empty one, or the image cannot be read\n"
        "  6    the transfer completed but the board did not come back with the\n"
        "       release --expect-release names, within --wait-replug\n"
        "  130  interrupted (Ctrl-C, SIGTERM, Ctrl-Break): the transfers were stopped\n"
        "       and the devices closed; a station without --count ends so\n");
    return usage.arg(ProgramName());
}

} // namespace UpgradeCli
