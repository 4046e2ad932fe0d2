#include "upgradeimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace UpgradeImage {

namespace {

const char kImageFolder[] = "./update";

} // namespace

// Files of the image folder (no folders, no hidden entries), ordered by their
// lower-case names compared code unit by code unit, never by locale. Only
// regular files count: a link to a FIFO or a device would block the read or
// never end it.
//
// A name starting with '.' is hidden on every platform, not only where the
// file system says so: on Windows only the hidden attribute hides a file,
// and a stick prepared on another system brings such files along (.DS_Store,
// the "._name" companions of every file copied from a Mac), which sort before
// any image and would be sent to the board in its place.
QStringList FolderImages()
{
    const QString folderPath = QString::fromLatin1(kImageFolder);
    QStringList names = QDir(folderPath).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    // The path is joined by hand: QFileInfo(QDir, name) and QDir::filePath
    // take a name starting with ':' for a resource path and look there.
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const QString &name) {
                                   return name.startsWith(QLatin1Char('.'))
                                          || !QFileInfo(folderPath + QLatin1Char('/') + name).isFile();
                               }),
                names.end());
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const QString la = a.toLower();
        const QString lb = b.toLower();
        return la != lb ? la < lb : a < b;
    });
    return names;
}

QString FirstImagePath()
{
    const QStringList names = FolderImages();
    return names.isEmpty() ? QString() : QString::fromLatin1(kImageFolder) + QLatin1Char('/') + names.first();
}

bool ReadImage(const QString &path, QByteArray &image, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QFileInfo info(path);
    if (info.isDir())
        return fail(QStringLiteral("is a folder"));
    // Only a regular file is read whole: a FIFO or a device would block the
    // read or never end it.
    if (info.exists() && !info.isFile())
        return fail(QStringLiteral("is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    QByteArray bytes = file.readAll();
    const bool complete = file.error() == QFileDevice::NoError
                          && (file.isSequential() || bytes.size() == file.size());
    const QString why = file.errorString();
    file.close();
    if (!complete)
        return fail(why.isEmpty() ? QStringLiteral("could not be read to its end") : why);
    image = bytes;
    return true;
}

int PacketInterval()
{
    // Only a regular file is read: a FIFO of that name would block the start.
    const QString path = QStringLiteral("./config.ini");
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile())
        return kDefaultIntervalMs;
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    bool ok = false;
    const int value = settings.value(QStringLiteral("load/sleep"), QString()).toString().toInt(&ok, 10);
    return ok && value > 0 ? value : kDefaultIntervalMs;
}

} // namespace UpgradeImage
