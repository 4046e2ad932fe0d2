#include "selection.h"

#include <QRegularExpression>

bool Selection::Matches(int i, const DeviceId &id) const
{
    return (path.isEmpty() || QString::fromLocal8Bit(id.path) == path) && (serial.isEmpty() || id.serial == serial)
           && (vendorId < 0 || (id.vendorId == vendorId && id.productId == productId)) && (index < 0 || i == index);
}

QString ReleaseText(int bcd)
{
    // Binary-coded decimal, major in the high byte: the digits as they are.
    return QString("%1.%2").arg((bcd >> 8) & 0xFF, 0, 16).arg(bcd & 0xFF, 2, 16, QChar('0'));
}

int ParseRelease(const QString &text)
{
    static const QRegularExpression usb(QStringLiteral("^([0-9A-Fa-f]{1,2})\\.([0-9A-Fa-f]{2})$"));
    static const QRegularExpression hex(QStringLiteral("^0[xX]([0-9A-Fa-f]{1,4})$"));
    if (const QRegularExpressionMatch m = usb.match(text); m.hasMatch())
        return m.captured(1).toInt(nullptr, 16) << 8 | m.captured(2).toInt(nullptr, 16);
    if (const QRegularExpressionMatch m = hex.match(text); m.hasMatch())
        return m.captured(1).toInt(nullptr, 16);
    return -1;
}
