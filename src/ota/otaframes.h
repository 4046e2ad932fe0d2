#ifndef OTAFRAMES_H
#define OTAFRAMES_H

#include <QByteArray>

#include <cstdint>

// The frames of the over-the-air upgrade, each the data of one HID output
// report (the report-id byte is put in front by the device manager).
// Numbers are little-endian; a check byte is the XOR of the four number bytes
// before it; CR is 0x0D.
namespace OtaFrames {

constexpr int kPacketPayload = 60;             // image bytes per data packet
constexpr int kMaxReplyLine = 240;             // longest reply kept without a CR
extern const char kAckText[];                  // "AT+OTA=E3:1"

// "AT+OTA=E1:1" CR: starts a transfer.
QByteArray Start();
// "AT+OTA=E2:" size(4) check(1) CR: announces the image size.
QByteArray Size(uint32_t imageSize);
// number(4) then 1..60 image bytes; the first packet of a transfer is 1.
QByteArray DataPacket(uint32_t number, const QByteArray &payload);
// "AT+OTA=E4:" crc(4) check(1) CR: closes the transfer with the image's CRC-32.
QByteArray Checksum(uint32_t crc);

} // namespace OtaFrames

#endif // OTAFRAMES_H
