#ifndef SIMKIT_H
#define SIMKIT_H

// What the in-process suites, the fuzz targets and the benchmark need around
// the simulated board: images, files in the working folder, the frames a
// device must receive (built from the protocol itself, not from the tool's
// frame builders) and the reports a virtual device was sent. Only the last
// need the virtual devices (simkit_device.cpp); the rest also serve a
// program linked against the real hidapi.

#include "virtualhid.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>

namespace simkit {

// A reproducible pseudo-random image; another seed gives another image.
QByteArray image(int size, uint32_t seed = 1);

// Writes `content` to `path`, replacing it; false unless all of it was written.
bool writeFile(const QString &path, const QByteArray &content);
// ./config.ini with the packet interval load/sleep.
bool writeInterval(int ms);

// A fresh temporary folder with an empty ./update in it, made the working
// folder for the object's life; the previous one is restored and the
// folder removed at the end.
class WorkFolder
{
public:
    WorkFolder();
    ~WorkFolder();
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    bool isValid() const { return entered; }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QString previous;
    bool entered = false;
};

QByteArray toQByteArray(const vhid::Bytes &bytes);
// The output reports written to `device` so far, report id first.
QList<QByteArray> writes(const vhid::VirtualDevice &device);
// The same, and forgets them.
QList<QByteArray> takeWrites(vhid::VirtualDevice &device);

// The upgrade frames as the device must receive them: output reports with
// report id 0, numbers little-endian.
QByteArray le32(uint32_t v);
// "AT+OTA=Ex:" number(4) check(XOR of the number bytes) CR
QByteArray numberFrame(const char *text, uint32_t v);
QByteArray report(const QByteArray &frame);
QByteArray startReport();
QByteArray sizeReport(uint32_t size);
QByteArray checksumReport(uint32_t crc);
// Data packet k (from 1) of `image`: number(4), then up to 60 image bytes.
QByteArray packetReport(const QByteArray &image, int k);
int packetCount(const QByteArray &image);
// The standard CRC-32, bit by bit (the device model's).
uint32_t crc32(const QByteArray &data);

} // namespace simkit

#endif // SIMKIT_H
