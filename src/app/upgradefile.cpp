// The window's side of loading the upgrade image: its boxes and the progress
// bar's range. Which file and how it is read: upgradeimage.h.
#include "widget.h"

#include "otaframes.h"
#include "ui_widget.h"
#include "upgradeengine.h"
#include "upgradeimage.h"

#include <QMessageBox>

bool Widget::LoadUpgradeFile()
{
    const QString path = UpgradeImage::FirstImagePath();
    if (path.isEmpty()) {
        QMessageBox::warning(this, tr("tip"), tr("No Upgrade file"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    QByteArray image;
    if (!UpgradeImage::ReadImage(path, image)) {
        QMessageBox::warning(this, tr("tip"), tr("file open fail"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    if (!upgrade->LoadImage(image))
        return false; // a transfer runs (Start is not offered then)
    ui->progressBar->setRange(0, image.size() / OtaFrames::kPacketPayload + 1);
    ui->progressBar->setValue(0);
    return true;
}

void Widget::SelectUpgradeFile()
{
    const QString path = UpgradeImage::FirstImagePath();
    QByteArray image;
    const bool read = !path.isEmpty() && UpgradeImage::ReadImage(path, image);
    // The engine refuses another image while a transfer runs (it would
    // restart the numbering under the transfer's feet): nothing changes.
    if (read && !upgrade->LoadImage(image))
        return;
    ui->lineEditPath->setText(path.isEmpty() ? QStringLiteral("./update/") : path);
    if (!read) {
        QMessageBox::warning(this, tr("提示"), tr("文件打开失败"), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    ui->progressBar->setRange(0, image.size() / OtaFrames::kPacketPayload + 1);
    ui->progressBar->setValue(0);
}
