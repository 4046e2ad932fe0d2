// FromHexString against arbitrary text.
//
// The send line's parser holds one pending token of at most two characters:
// every character other than the blank (U+0020) joins the token, a full
// token of two is converted, and a blank or the end of the text converts a
// lone pending character. Conversion is QString::toUShort in base 16; a
// token that does not convert is dropped, one that does gives its low byte.
//
// Properties checked for every input:
//  - the tokenizer below, written from that rule alone, gives exactly the
//    parser's bytes, for the input read as UTF-8 and read as raw UTF-16 code
//    units (unpaired surrogates included) and for a text over hex digits and
//    blanks only, where the expected bytes follow from the digits themselves;
//  - no more bytes than non-blank characters;
//  - the parser reads back ToHexString's output, with or without blanks,
//    in either case, and with any runs of blanks between the pairs.
#include "fuzzsupport.h"
#include "qhidusbmgr.h"

#include <cstddef>
#include <cstdint>

namespace {

int nonBlankCount(const QString &text)
{
    int n = 0;
    for (const QChar c : text)
        n += c != QLatin1Char(' ');
    return n;
}

// The token rule, independent of the product's loop.
QByteArray referenceParse(const QString &text)
{
    QByteArray out;
    int start = -1; // first character of the pending token, -1 when none
    auto emitToken = [&](int from, int length) {
        bool ok = false;
        const ushort value = text.mid(from, length).toUShort(&ok, 16);
        if (ok)
            out.append(char(value & 0xFF));
    };
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char(' ')) {
            if (start >= 0)
                emitToken(start, 1);
            start = -1;
        } else if (start < 0) {
            start = i;
        } else {
            emitToken(start, 2);
            start = -1;
        }
    }
    if (start >= 0)
        emitToken(start, 1);
    return out;
}

int digitValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// For a text of hex digits and blanks only: runs are cut into pairs from
// their first digit, a digit left alone at the end of a run is one byte.
QByteArray expectedFromDigits(const QString &text)
{
    QByteArray out;
    int i = 0;
    while (i < text.size()) {
        if (text.at(i) == QLatin1Char(' ')) {
            ++i;
            continue;
        }
        const int high = digitValue(text.at(i));
        if (i + 1 < text.size() && text.at(i + 1) != QLatin1Char(' ')) {
            out.append(char(high * 16 + digitValue(text.at(i + 1))));
            i += 2;
        } else {
            out.append(char(high));
            i += 1;
        }
    }
    return out;
}

void checkText(const QString &text, const char *form)
{
    const QByteArray parsed = QHidUsbMgr::FromHexString(text);
    FUZZ_CHECK(parsed.size() <= nonBlankCount(text),
               QString("%1: %2 bytes from %3 non-blank characters").arg(form).arg(parsed.size()).arg(nonBlankCount(text)));
    const QByteArray reference = referenceParse(text);
    FUZZ_CHECK(parsed == reference,
               QString("%1 text (UTF-16 %2): parser gave [%3], token rule gives [%4]")
                   .arg(form, fuzz::hex(QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2)),
                        fuzz::hex(parsed), fuzz::hex(reference)));
}

// ToHexString's form, built here: two lowercase digits and a blank per byte.
QString hexText(const QByteArray &bytes)
{
    static const char digits[] = "0123456789abcdef";
    QString out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += QLatin1Char(digits[b >> 4]);
        out += QLatin1Char(digits[b & 15]);
        out += QLatin1Char(' ');
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    checkText(QString::fromUtf8(bytes), "UTF-8");

    QString units(int(size / 2), Qt::Uninitialized);
    for (size_t i = 0; i + 1 < size; i += 2)
        units[int(i / 2)] = QChar(ushort(data[i] | (data[i + 1] << 8)));
    checkText(units, "UTF-16");

    // Hex digits of both cases and blanks (about one in four).
    static const char alphabet[] = "0123456789abcdefABCDEF      ";
    QString digits;
    for (const uint8_t b : bytes)
        digits += QLatin1Char(alphabet[b % (sizeof alphabet - 1)]);
    const QByteArray fromDigits = QHidUsbMgr::FromHexString(digits);
    FUZZ_CHECK(fromDigits == expectedFromDigits(digits),
               QString("\"%1\" gave [%2], expected [%3]").arg(digits, fuzz::hex(fromDigits), fuzz::hex(expectedFromDigits(digits))));
    checkText(digits, "digits");

    // Round trips through the hex text form.
    const QString shown = QHidUsbMgr::ToHexString(bytes);
    FUZZ_CHECK(shown == hexText(bytes), QString("ToHexString gave \"%1\"").arg(shown));
    FUZZ_CHECK(QHidUsbMgr::FromHexString(shown) == bytes,
               QString("\"%1\" read back as [%2]").arg(shown, fuzz::hex(QHidUsbMgr::FromHexString(shown))));
    QString packed = shown;
    packed.remove(QLatin1Char(' '));
    FUZZ_CHECK(packed.size() == 2 * bytes.size(), QString("packed text has %1 digits").arg(packed.size()));
    const QByteArray fromPacked = QHidUsbMgr::FromHexString(packed);
    FUZZ_CHECK(fromPacked == bytes,
               QString("%1 digits without blanks gave %2 bytes [%3]").arg(packed.size()).arg(fromPacked.size()).arg(fuzz::hex(fromPacked)));
    FUZZ_CHECK(QHidUsbMgr::FromHexString(shown.toUpper()) == bytes, QString("upper-case \"%1\"").arg(shown.toUpper()));

    // The same pairs with 0 to 3 blanks between them, chosen by the input.
    QString spaced = QString(int(size % 3), QLatin1Char(' '));
    for (int i = 0; i < bytes.size(); ++i) {
        spaced += packed.mid(2 * i, 2);
        spaced += QString(int(data[(i * 7 + 3) % size] % 4), QLatin1Char(' '));
    }
    FUZZ_CHECK(QHidUsbMgr::FromHexString(spaced) == bytes,
               QString("\"%1\" gave [%2]").arg(spaced, fuzz::hex(QHidUsbMgr::FromHexString(spaced))));
    return 0;
}
