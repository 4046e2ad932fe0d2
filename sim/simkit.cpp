#include "simkit.h"

#include "otamodel.h"

#include <QDir>
#include <QFile>

namespace simkit {

QByteArray image(int size, uint32_t seed)
{
    QByteArray data(size, Qt::Uninitialized);
    uint32_t x = seed * 2654435761u;
    if (x == 0)
        x = 2463534242u; // xorshift never leaves zero
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

bool writeInterval(int ms)
{
    return writeFile(QStringLiteral("config.ini"), QString("[load]\nsleep=%1\n").arg(ms).toUtf8());
}

WorkFolder::WorkFolder()
    : previous(QDir::currentPath())
{
    entered = dir.isValid() && QDir::setCurrent(dir.path()) && QDir().mkdir(QStringLiteral("update"));
}

WorkFolder::~WorkFolder()
{
    QDir::setCurrent(previous);
}

QByteArray le32(uint32_t v)
{
    QByteArray out;
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
    return out;
}

QByteArray numberFrame(const char *text, uint32_t v)
{
    const QByteArray n = le32(v);
    return QByteArray(text) + n + char(n[0] ^ n[1] ^ n[2] ^ n[3]) + '\r';
}

QByteArray report(const QByteArray &frame)
{
    return QByteArray(1, '\0') + frame;
}

QByteArray startReport()
{
    return report(QByteArray("AT+OTA=E1:1\r"));
}

QByteArray sizeReport(uint32_t size)
{
    return report(numberFrame("AT+OTA=E2:", size));
}

QByteArray checksumReport(uint32_t crc)
{
    return report(numberFrame("AT+OTA=E4:", crc));
}

QByteArray packetReport(const QByteArray &image, int k)
{
    return report(le32(uint32_t(k)) + image.mid((k - 1) * 60, 60));
}

int packetCount(const QByteArray &image)
{
    return (image.size() + 59) / 60;
}

uint32_t crc32(const QByteArray &data)
{
    return sim::crc32(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size()));
}

} // namespace simkit
