#ifndef SELECTION_H
#define SELECTION_H

#include "qhidusbmgr.h"

#include <QString>

// Which boards a command works on: every option given must match.
struct Selection
{
    QString path;
    QString serial;
    int vendorId = -1;
    int productId = -1;
    int index = -1; // the position in the enumeration

    bool Any() const { return !path.isEmpty() || !serial.isEmpty() || vendorId >= 0 || index >= 0; }
    // Record `id`, at position `index` of the enumeration, matches.
    bool Matches(int index, const DeviceId &id) const;
};

// A release number (USB's bcdDevice) as USB writes it: 0x0102 is "1.02".
QString ReleaseText(int bcd);
// "1.02" (or "0x0102") to 0x0102; -1 when the text is neither.
int ParseRelease(const QString &text);

#endif // SELECTION_H
