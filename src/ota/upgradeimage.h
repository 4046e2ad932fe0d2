#ifndef UPGRADEIMAGE_H
#define UPGRADEIMAGE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// Where an upgrade's image and packet interval come from, for the window and
// the command line alike: the first file of ./update and load/sleep of
// ./config.ini, both relative to the working folder.
namespace UpgradeImage {

constexpr int kDefaultIntervalMs = 1000;

// Names of the files in ./update in the order the first one is taken.
QStringList FolderImages();
// "./update/<first name>", or an empty string when the folder holds none.
QString FirstImagePath();
// Reads the whole file into `image` (left alone on failure). `error` gets a
// short reason when it cannot be read: it is a folder, cannot be opened, or
// could not be read to its end.
bool ReadImage(const QString &path, QByteArray &image, QString *error = nullptr);
// load/sleep of ./config.ini, in milliseconds; anything missing, unreadable or
// not above zero gives kDefaultIntervalMs.
int PacketInterval();

} // namespace UpgradeImage

#endif // UPGRADEIMAGE_H
