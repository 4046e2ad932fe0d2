// Loading of the upgrade image and of the packet interval, with a ./update
// folder and a ./config.ini made from the input.
//
// The image is the first entry of ./update that is a file (no folder, no
// hidden entry, nothing that is not a regular file; a link counts as what it
// points to), the names compared in lower case code unit by code unit. A
// name that is not valid UTF-8 has no text form, so it is never listed. The
// interval is load/sleep of config.ini read as a base-10 integer; a missing
// file or key, a value that does not convert, or one not above zero gives
// 1000 ms.
//
// Every input builds the folder (regular files with contents from the input,
// a subfolder, a FIFO, links, names with odd bytes, dots, case variants and
// characters whose lower case differs in UTF-16) and config.ini (none, a
// generated one with sections, BOM, duplicate keys, huge and signed numbers,
// comments and non-UTF-8 bytes, arbitrary bytes, a link to a generated one,
// or a folder or a FIFO in its place),
// then presses Start with the device open. Checked:
//  - no candidate: the box "No Upgrade file", nothing written, no transfer;
//  - otherwise E1, then E2 with the size of the first candidate, the box
//    "Start Upgrade", the interval computed here (for arbitrary bytes: above
//    zero, and 1000 when no key can be named in them), and, driving the
//    transfer to its end with one acknowledgement per packet, packets 1..n
//    that carry exactly that file's bytes, E4 with their CRC-32, the box
//    "Upgrade Completed" and the progress bar at n of size/60 + 1.
// After Start and after each acknowledged tick the target waits for the
// writer thread and hands the engine the results of the writes (held back
// from the window's queued connection): the next packet waits for them, and
// the completion comes with E4's result.
// A FIFO that were opened would block, so a hang is a failure too.
#include "fuzzsupport.h"
#include "simkit.h"
#include "virtualhid.h"
#include "widget.h"

#include <QDir>
#include <QProgressBar>
#include <QTextEdit>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace {

// One piece of a file name: its bytes and, when they are valid UTF-8, the
// UTF-16 code units of its lower case.
struct NamePiece
{
    const char *bytes;
    std::u16string lower;
    bool valid;
};

const std::vector<NamePiece> &oddPieces()
{
    static const std::vector<NamePiece> pieces = {
        {"\xc3\x89", u"\u00e9", true},      // É
        {"\xc3\xa9", u"\u00e9", true},      // é
        {"\xce\xa9", u"\u03c9", true},      // Ω
        {"\xcf\x89", u"\u03c9", true},      // ω
        {"\xd0\x94", u"\u0434", true},      // Д
        {"\xc3\x9f", u"\u00df", true},      // ß
        {"\xef\xbc\xa1", u"\uff41", true},  // fullwidth A
        {"\xef\xbd\x81", u"\uff41", true},  // fullwidth a
        {"\xe2\x84\xaa", u"k", true},       // Kelvin sign
        {"\xe2\x84\xab", u"\u00e5", true},  // Angstrom sign
        {"\xef\xbb\xbf", u"\ufeff", true},  // byte order mark as a character
        {"\xc2\xa0", u"\u00a0", true},      // no-break space
        {"\xf0\x9f\x98\x80", u"\U0001F600", true}, // beyond the BMP: a surrogate pair
        {"\xf0\x90\x90\x80", u"\U00010428", true}, // Deseret capital, lower case also a pair
        {"\xf0\x90\x90\xa8", u"\U00010428", true},
        {"\xe2\x80\xae", u"\u202e", true},  // right-to-left override
        // Never valid UTF-8, whatever surrounds them.
        {"\xff", u"", false},
        {"\xfe", u"", false},
        {"\xc0\xaf", u"", false},           // overlong '/'
        {"\xed\xa0\x80", u"", false},       // a surrogate encoded on its own
        {"\xf8\x88\x80\x80\x80", u"", false},
    };
    return pieces;
}

void appendPiece(std::string &name, std::u16string &lower, bool &valid, uint8_t b, fuzz::Input &in)
{
    static const char ascii[] = "0123456789._[ ~-`^{}#%@!=+,;'()$&\t\n\x01\x7f\\*?:<>|\"";
    const int k = b % 64;
    if (k < 26) {
        name += char('a' + k);
        lower += char16_t('a' + k);
    } else if (k < 52) {
        name += char('A' + k - 26);
        lower += char16_t('a' + k - 26);
    } else if (k < 60) {
        const char c = ascii[in.byte() % (sizeof ascii - 1)];
        name += c;
        lower += char16_t(static_cast<unsigned char>(c));
    } else {
        const NamePiece &piece = oddPieces()[in.byte() % oddPieces().size()];
        name += piece.bytes;
        lower += piece.lower;
        valid = valid && piece.valid;
    }
}

struct Entry
{
    std::string name;
    std::u16string lower;
    bool validName = true;
    bool fifo = false;
};

struct Expectation
{
    std::vector<std::string> first; // contents of the tied first candidates
    std::optional<int> interval;    // exact, when it follows from the file
    bool anyCandidate = false;
};

bool writeBytes(const std::string &path, const std::string &content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    ::close(fd);
    return done == content.size();
}

std::optional<std::string> readRegular(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    ::close(fd);
    return out;
}

// Base-10 integer with an optional sign, nothing else, within int range.
std::optional<int> parseInt(const std::string &text)
{
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
        if (value > int64_t(1) << 32)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return int(value);
}

std::string trimBlanks(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

// Free text for comments and other keys' values: any byte but line ends,
// NUL and the characters that quote, escape or split INI values, and no
// lower-case s or percent sign, so that it can never spell the key.
std::string freeText(fuzz::Input &in, int length)
{
    std::string out;
    for (int i = 0; i < length; ++i) {
        char c = char(in.byte('z'));
        if (c == '\n' || c == '\r' || c == '\0' || c == '\\' || c == '"' || c == ',' || c == 's' || c == '%')
            c = 'x';
        out += c;
    }
    return out;
}

std::string numberText(fuzz::Input &in)
{
    std::string digits;
    const int length = in.byte() % 12 + 1;
    for (int i = 0; i < length; ++i)
        digits += char('0' + in.byte() % 10);
    static const char *const fixed[] = {"2147483647", "2147483648", "-2147483648", "0", "-0", "1",
                                        "99999999999999999999", "4294967296"};
    switch (in.byte() % 8) {
    case 0: return digits;
    case 1: return "-" + digits;
    case 2: return "+" + digits;
    case 3: return std::string(in.byte() % 3, ' ') + digits + std::string(in.byte() % 3, '\t');
    case 4: return fixed[in.byte() % 8];
    case 5: return digits + "ab";
    case 6: return "";
    default: return "0x" + digits;
    }
}

// A config.ini from a small grammar whose load/sleep is known.
std::string generatedConfig(fuzz::Input &in, std::optional<int> &interval)
{
    const uint8_t flags = in.byte();
    const std::string eol = flags & 1 ? "\r\n" : "\n";
    std::string text = flags & 2 ? "\xef\xbb\xbf" : "";
    std::string section;
    std::optional<std::string> value;
    const int lines = in.byte() % 14;
    for (int i = 0; i < lines; ++i) {
        switch (in.byte() % 9) {
        case 0:
        case 1:
            text += "[load]";
            section = "load";
            break;
        case 2: {
            static const char *const others[] = {"other", "Load", "LOAD", "General"};
            const std::string name = others[in.byte() % 4];
            text += "[" + name + "]";
            section = name;
            break;
        }
        case 3:
        case 4: {
            const std::string v = numberText(in);
            text += "sleep=" + v;
            if (section == "load")
                value = trimBlanks(v);
            break;
        }
        case 5:
            text += ";" + freeText(in, in.byte() % 16);
            break;
        case 6:
            text += "key" + std::to_string(in.byte() % 4) + "=" + freeText(in, in.byte() % 16);
            break;
        case 7:
            text += "Sleep=" + numberText(in); // keys are case-sensitive: not load/sleep
            break;
        default:
            break; // a blank line
        }
        text += eol;
    }
    std::optional<int> parsed = value ? parseInt(*value) : std::nullopt;
    interval = parsed && *parsed > 0 ? *parsed : 1000;
    return text;
}

bool mentionsKey(const std::string &bytes)
{
    std::string lower = bytes;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    // A key may also be percent-encoded.
    return lower.find("sleep") != std::string::npos || lower.find('%') != std::string::npos;
}

class Harness : public fuzz::ConnectedWindow
{
public:
    void init()
    {
        fuzz::startApplication("fuzz_loading");
        scratch = fuzz::enterScratchDir("fuzz_loading");
        connectBoard(true); // the interval is checked when there is a timer
        std::atexit([]() { harness().shutdown(); });
    }

    void shutdown()
    {
        disconnectBoard();
        clearFolder();
        fuzz::removeTree(scratch);
    }

    static Harness &harness()
    {
        static Harness h;
        return h;
    }

    void clearFolder()
    {
        fuzz::removeTree(scratch + "/update");
        fuzz::removeTree(scratch + "/config.ini");
        fuzz::removeTree(scratch + "/settings.txt");
    }

    Expectation build(fuzz::Input &in)
    {
        Expectation expect;
        const uint8_t setup = in.byte();
        const int folderKind = setup % 8;
        std::vector<Entry> made;
        if (folderKind == 0) {
            // no ./update at all
        } else if (folderKind == 1) {
            writeBytes("update", "not a folder");
        } else {
            ::mkdir("update", 0755);
            const int count = in.byte() % 9;
            for (int i = 0; i < count && in.more(); ++i)
                makeEntry(in, i, made);
        }
        const int configKind = (setup >> 3) % 8;
        if (configKind == 0) {
            expect.interval = 1000;
        } else if (configKind == 1 || configKind == 6) {
            std::optional<int> interval;
            writeBytes("config.ini", generatedConfig(in, interval));
            expect.interval = interval;
        } else if (configKind == 2 || configKind == 7) {
            const std::string bytes = in.rest();
            writeBytes("config.ini", bytes);
            if (!mentionsKey(bytes))
                expect.interval = 1000;
        } else if (configKind == 3) {
            ::mkdir("config.ini", 0755);
            expect.interval = 1000;
        } else if (configKind == 4) {
            // Not a file: there are no settings in it. (Reading it would
            // wait for a writer that never comes.)
            ::mkfifo("config.ini", 0644);
            expect.interval = 1000;
        } else {
            // A link to the settings, which count as if they were there.
            std::optional<int> interval;
            writeBytes("settings.txt", generatedConfig(in, interval));
            ::symlink("settings.txt", "config.ini");
            expect.interval = interval;
        }
        // The settings reader keeps parsed files and trusts an unchanged size
        // and time stamp; give every input's file a time of its own.
        ++generation;
        const struct timespec times[2] = {{1000000000 + generation, 0}, {1000000000 + generation, 0}};
        ::utimensat(AT_FDCWD, "config.ini", times, 0);

        // The candidates, from what is on disk now.
        std::vector<const Entry *> candidates;
        for (const Entry &e : made) {
            if (!e.validName || e.name[0] == '.')
                continue;
            if (readRegular("update/" + e.name))
                candidates.push_back(&e);
        }
        if (!candidates.empty()) {
            expect.anyCandidate = true;
            std::u16string least = candidates.front()->lower;
            for (const Entry *e : candidates)
                least = std::min(least, e->lower);
            for (const Entry *e : candidates) {
                if (e->lower == least)
                    expect.first.push_back(*readRegular("update/" + e->name));
            }
        }
        return expect;
    }

    void makeEntry(fuzz::Input &in, int index, std::vector<Entry> &made)
    {
        const uint8_t kind = in.byte();
        Entry e;
        if (kind & 0x80) { // hidden
            e.name = ".";
            e.lower = u".";
        }
        const int length = in.byte() % 20 + 1;
        for (int i = 0; i < length; ++i)
            appendPiece(e.name, e.lower, e.validName, in.byte(), in);
        if (e.name == "." || e.name == ".." || e.name.size() > 200)
            return;
        for (const Entry &other : made) {
            if (other.name == e.name)
                return;
        }
        const std::string path = "update/" + e.name;
        bool ok = false;
        switch (kind % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
            const uint8_t sizeByte = in.byte();
            const int size = sizeByte < 200 ? sizeByte : (sizeByte - 199) * 61;
            std::string content;
            for (int i = 0; i < size; ++i)
                content += char(in.more() ? in.byte() : uint8_t(i * 31 + index));
            ok = writeBytes(path, content);
            break;
        }
        case 4:
            ok = ::mkdir(path.c_str(), 0755) == 0 && writeBytes(path + "/inner.bin", "inside a subfolder");
            break;
        case 5:
            ok = ::mkfifo(path.c_str(), 0644) == 0;
            e.fifo = true;
            break;
        case 6: {
            const int target = in.byte() % (int(made.size()) + 3);
            const std::string to = target < int(made.size()) ? made[size_t(target)].name
                                   : target == int(made.size()) ? std::string("missing-target")
                                   : target == int(made.size()) + 1 ? std::string(".")
                                                                    : e.name; // a loop
            ok = ::symlink(to.c_str(), path.c_str()) == 0;
            break;
        }
        default:
            ok = writeBytes(path, "");
            break;
        }
        if (ok)
            made.push_back(e);
    }

    void runOne(const uint8_t *data, size_t size)
    {
        clearFolder();
        log->clear();
        fuzz::Input in(data, size);
        const Expectation expect = build(in);
        simkit::takeWrites(*device);
        closer->take();

        load->click();
        settle();
        QList<QByteArray> writes = simkit::takeWrites(*device);
        QStringList boxes = closer->take();

        fuzz::note(QString("%1 tied first candidate(s), expected interval %2, boxes \"%3\", %4 reports")
                       .arg(expect.first.size())
                       .arg(expect.interval ? QString::number(*expect.interval) : QString("any"))
                       .arg(boxes.join("\", \""))
                       .arg(writes.size()));
        if (!expect.anyCandidate) {
            FUZZ_CHECK(writes.isEmpty(), QString("no image, yet %1 reports were written").arg(writes.size()));
            FUZZ_CHECK(boxes == QStringList{"No Upgrade file"}, QString("no image, boxes \"%1\"").arg(boxes.join("\", \"")));
            FUZZ_CHECK(load->text() == "Start Upgrade", QString("no image, button \"%1\"").arg(load->text()));
            if (timer)
                FUZZ_CHECK(!timer->isActive(), QString("no image, yet the timer runs"));
            QCoreApplication::processEvents();
            return;
        }

        FUZZ_CHECK(!boxes.contains("No Upgrade file") && !boxes.contains("file open fail"),
                   QString("an image was there, boxes \"%1\"").arg(boxes.join("\", \"")));
        FUZZ_CHECK(boxes.contains("Start Upgrade"), QString("Start showed \"%1\"").arg(boxes.join("\", \"")));
        FUZZ_CHECK(writes.size() >= 2 && writes.at(0) == simkit::startReport(),
                   QString("Start wrote %1 reports").arg(writes.size()));
        // Names that differ only in case tie; any of the tied files of the
        // announced size may be the image, and the packets say which.
        QList<QByteArray> sameSize;
        for (const std::string &c : expect.first) {
            if (writes.at(1) == simkit::sizeReport(uint32_t(c.size())))
                sameSize.append(QByteArray::fromStdString(c));
        }
        FUZZ_CHECK(!sameSize.isEmpty(), QString("E2 [%1] announces no first candidate (%2 tied, first of %3 bytes)")
                                            .arg(fuzz::hex(writes.at(1)))
                                            .arg(expect.first.size())
                                            .arg(expect.first.front().size()));
        const int imageSize = sameSize.first().size();
        fuzz::note(QString("image of %1 bytes, interval %2 ms").arg(imageSize).arg(timer ? timer->interval() : -1));
        FUZZ_CHECK(bar->maximum() == imageSize / 60 + 1, QString("bar range 0..%1 for %2 bytes").arg(bar->maximum()).arg(imageSize));

        if (timer) {
            FUZZ_CHECK(timer->interval() > 0, QString("interval %1").arg(timer->interval()));
            if (expect.interval)
                FUZZ_CHECK(timer->interval() == *expect.interval,
                           QString("interval %1 ms, expected %2").arg(timer->interval()).arg(*expect.interval));
        }
        // A short interval may have ticked inside the Start box already
        // (finding E1 and E2 not yet reported written, it leaves the next
        // packet to their results, which may then send it, or E4 and so
        // complete); the timer itself is stopped and the rest is driven by
        // hand (a Stop would end the transfer: no tick sends anything after
        // it).
        const bool completedInBox = boxes.contains("Upgrade Completed");
        // The bar shows the number of the last packet sent.
        int barValue = 0;
        for (const QByteArray &w : writes.mid(2)) {
            if (w.size() >= 5 && !w.mid(1).startsWith("AT+OTA="))
                barValue = int(uint8_t(w[1])) | int(uint8_t(w[2])) << 8;
        }
        if (!completedInBox && timer)
            timer->stop(); // the transfer goes on, ticked by hand

        const int packets = simkit::packetCount(sameSize.first());
        const QByteArray e4Prefix = QByteArray(1, '\0') + "AT+OTA=E4:";
        QList<QByteArray> sent = writes.mid(2);
        bool finished = completedInBox;
        for (int round = 0; !finished && round <= packets + 1; ++round) {
            if (!sent.isEmpty())
                receive("AT+OTA=E3:1\r"); // answers the packet just sent
            window->SendNextPacket();
            settle();
            const QList<QByteArray> more = simkit::takeWrites(*device);
            FUZZ_CHECK(more.size() == 1, QString("an acknowledged tick wrote %1 reports").arg(more.size()));
            sent += more;
            finished = more.first().startsWith(e4Prefix);
            if (!finished)
                barValue = sent.size();
        }
        FUZZ_CHECK(sent.size() == packets + 1, QString("%1 reports after E2 for %2 packets").arg(sent.size()).arg(packets));
        const QByteArray *image = nullptr;
        for (const QByteArray &candidate : qAsConst(sameSize)) {
            bool all = true;
            for (int k = 1; all && k <= packets; ++k)
                all = sent.at(k - 1) == simkit::packetReport(candidate, k);
            if (all)
                image = &candidate;
        }
        FUZZ_CHECK(image, QString("the %1 packets carry none of the %2 first candidates of %3 bytes; packet 1: [%4]")
                              .arg(packets)
                              .arg(sameSize.size())
                              .arg(imageSize)
                              .arg(packets ? fuzz::hex(sent.first().left(16)) : QString()));
        FUZZ_CHECK(sent.last() == simkit::checksumReport(simkit::crc32(*image)), QString("E4 [%1]").arg(fuzz::hex(sent.last())));
        boxes += closer->take();
        FUZZ_CHECK(boxes.count("Upgrade Completed") == 1, QString("boxes \"%1\"").arg(boxes.join("\", \"")));
        // At "Upgrade Completed" the bar stands full, whatever the size.
        FUZZ_CHECK(barValue == packets && bar->value() == bar->maximum(),
                   QString("bar at %1 of %2 after %3 packets (%4 shown on the way)")
                       .arg(bar->value()).arg(bar->maximum()).arg(packets).arg(barValue));
        FUZZ_CHECK(load->text() == "Start Upgrade", QString("button \"%1\" after completion").arg(load->text()));
        QCoreApplication::processEvents();
    }

private:
    std::string scratch;
    long generation = 0;
};

} // namespace

FUZZ_TARGET_ENTRY(Harness::harness())
