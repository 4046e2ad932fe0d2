// Loading of the upgrade image: the first file of ./update, in name order
// with case ignored.
#include "widget.h"

#include "otaframes.h"
#include "ui_widget.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTimer>

#include <algorithm>

namespace {

const char kImageFolder[] = "./update";

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
QStringList listImageFolder()
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

// Reads the whole file; false if it cannot be opened or read to the end.
bool readImage(const QString &path, QByteArray &image)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = file.readAll();
    const bool complete = file.error() == QFileDevice::NoError
                          && (file.isSequential() || bytes.size() == file.size());
    file.close();
    if (!complete)
        return false;
    image = bytes;
    return true;
}

} // namespace

bool Widget::LoadUpgradeFile()
{
    const QStringList names = listImageFolder();
    if (names.isEmpty()) {
        QMessageBox::warning(this, tr("tip"), tr("No Upgrade file"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    const QString path = QString("./update/%1").arg(names.first());
    if (!readImage(path, firmware)) {
        QMessageBox::warning(this, tr("tip"), tr("file open fail"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    packetIndex = 0;
    ui->progressBar->setRange(0, firmware.size() / OtaFrames::kPacketPayload + 1);
    ui->progressBar->setValue(0);
    return true;
}

void Widget::SelectUpgradeFile()
{
    // Loading another image mid-transfer would restart the numbering under the
    // running transfer's feet.
    if (upgradeTimer->isActive())
        return;
    const QStringList names = listImageFolder();
    const QString path = QStringLiteral("./update/") + (names.isEmpty() ? QString() : names.first());
    ui->lineEditPath->setText(path);
    if (names.isEmpty() || !readImage(path, firmware)) {
        QMessageBox::warning(this, tr("提示"), tr("文件打开失败"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    packetIndex = 0;
    ui->progressBar->setRange(0, firmware.size() / OtaFrames::kPacketPayload + 1);
    ui->progressBar->setValue(0);
}
