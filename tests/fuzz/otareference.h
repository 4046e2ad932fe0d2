#ifndef OTAREFERENCE_H
#define OTAREFERENCE_H

// The device side's view of the upgrade frames, built here from the protocol
// itself and not from the tool's frame builders, so that the fuzz targets
// can tell what the tool should have written.

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <memory>

#include "virtualhid.h"

namespace ref {

inline QByteArray le32(uint32_t v)
{
    QByteArray out;
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
    return out;
}

// An output report as hidapi gets it: report id 0, then the frame.
inline QByteArray report(const QByteArray &frame)
{
    return QByteArray(1, '\0') + frame;
}

// "AT+OTA=Ex:" number(4, little-endian) check(XOR of the number bytes) CR
inline QByteArray numberFrame(const char *text, uint32_t v)
{
    const QByteArray n = le32(v);
    return QByteArray(text) + n + char(n[0] ^ n[1] ^ n[2] ^ n[3]) + '\r';
}

inline QByteArray startReport() { return report(QByteArray("AT+OTA=E1:1\r")); }
inline QByteArray sizeReport(uint32_t size) { return report(numberFrame("AT+OTA=E2:", size)); }
inline QByteArray checksumReport(uint32_t crc) { return report(numberFrame("AT+OTA=E4:", crc)); }

// Data packet k (1-based) of `image`: number(4) then up to 60 image bytes.
inline QByteArray packetReport(const QByteArray &image, int k)
{
    return report(le32(uint32_t(k)) + image.mid((k - 1) * 60, 60));
}

inline int packetCount(const QByteArray &image)
{
    return (image.size() + 59) / 60;
}

// CRC-32 (reflected, polynomial 0xEDB88320, start and final XOR all ones),
// bit by bit.
inline uint32_t crc32(const QByteArray &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Every report written to `device` since the last call.
inline QList<QByteArray> takeWrites(const std::shared_ptr<vhid::VirtualDevice> &device)
{
    QList<QByteArray> out;
    for (const vhid::Bytes &w : device->writes())
        out.append(QByteArray(reinterpret_cast<const char *>(w.data()), int(w.size())));
    device->clearWrites();
    return out;
}

} // namespace ref

#endif // OTAREFERENCE_H
