// The window's side of the over-the-air transfer: Start and Stop on the
// button, the progress bar and the boxes. The transfer itself is the
// engine's (upgradeengine.h).
#include "widget.h"

#include "progresspacer.h"
#include "qhidusbmgr.h"
#include "ui_widget.h"
#include "upgradeengine.h"
#include "upgradeimage.h"

#include <QMessageBox>

void Widget::ToggleUpgrade()
{
    if (!usbMgr->IsOpen())
        return;

    if (upgrade->IsRunning()) {
        ui->progressBar->setValue(0);
        barPacer->PaintNow();
        upgrade->Stop();
        ui->pushButtonLoad->setText(tr("Start Upgrade"));
        QMessageBox::information(this, tr("tip"), tr("Stop Upgrade"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }

    if (!LoadUpgradeFile())
        return;
    upgrade->Start(UpgradeImage::PacketInterval());
    ui->pushButtonLoad->setText(tr("Stop Upgrade"));
    QMessageBox::information(this, tr("tip"), tr("Start Upgrade"), QMessageBox::Ok,
                             QMessageBox::NoButton);
}

void Widget::SendNextPacket()
{
    upgrade->SendNextPacket();
}

void Widget::UpgradeEnded(bool completed, const QString &reason)
{
    // The engine has stopped its timer: no tick runs while the box is shown.
    ui->pushButtonLoad->setText(tr("Start Upgrade"));
    // The bar's range is size/60 + 1, one more than the packets of an image
    // whose size is a multiple of 60: a completed transfer shows it full.
    if (completed)
        ui->progressBar->setValue(ui->progressBar->maximum());
    // The bar as it stands, painted before the box.
    barPacer->PaintNow();
    const QString text = completed ? tr("Upgrade Completed")
                         : reason.isEmpty() ? tr("Upgrade Failed")
                                            : tr("Upgrade Failed: %1").arg(reason);
    QMessageBox::warning(this, tr("tip"), text, QMessageBox::Ok, QMessageBox::NoButton);
}

void Widget::ScanReply(const QByteArray &chunk)
{
    upgrade->ScanReply(chunk);
}
