#include "otaframes.h"

#include "qhidusbmgr.h"

namespace OtaFrames {

const char kAckText[] = "AT+OTA=E3:1";

namespace {

void appendLe32(QByteArray &frame, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        frame.append(static_cast<char>((value >> shift) & 0xFFu));
}

// Command with a 32-bit number: text, number, XOR of the number bytes, CR.
QByteArray numberCommand(const char *text, uint32_t value)
{
    QByteArray frame(text);
    const int numberAt = frame.size();
    appendLe32(frame, value);
    frame.append(QHidUsbMgr::XorCheck(frame.constData() + numberAt, 4));
    frame.append('\r');
    return frame;
}

} // namespace

QByteArray Start()
{
    return QByteArray("AT+OTA=E1:1\r");
}

QByteArray Size(uint32_t imageSize)
{
    return numberCommand("AT+OTA=E2:", imageSize);
}

QByteArray DataPacket(uint32_t number, const QByteArray &payload)
{
    QByteArray frame;
    frame.reserve(4 + payload.size());
    appendLe32(frame, number);
    frame.append(payload);
    return frame;
}

QByteArray Checksum(uint32_t crc)
{
    return numberCommand("AT+OTA=E4:", crc);
}

} // namespace OtaFrames
