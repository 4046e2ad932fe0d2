// The parts of the kit that look at a virtual device. They are kept apart
// from the rest, so that a program linked against the real hidapi can use
// the kit's images, files and frames without pulling in the stand-in.
#include "simkit.h"

namespace simkit {

QByteArray toQByteArray(const vhid::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

QList<QByteArray> writes(const vhid::VirtualDevice &device)
{
    QList<QByteArray> out;
    for (const vhid::Bytes &w : device.writes())
        out.append(toQByteArray(w));
    return out;
}

QList<QByteArray> takeWrites(vhid::VirtualDevice &device)
{
    const QList<QByteArray> out = writes(device);
    device.clearWrites();
    return out;
}

} // namespace simkit
