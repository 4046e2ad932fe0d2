// The over-the-air transfer: E1 and E2 at Start, then one numbered data
// packet per timer tick, each only after the device acknowledged the one
// before with the line "AT+OTA=E3:1" CR, and E4 with the CRC-32 at the end.
#include "widget.h"

#include "otaframes.h"
#include "qhidusbmgr.h"
#include "ui_widget.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>

namespace {

constexpr int kDefaultIntervalMs = 1000;

// load/sleep of ./config.ini, in milliseconds; anything missing, unreadable
// or not above zero gives the default.
int packetInterval()
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

} // namespace

void Widget::ToggleUpgrade()
{
    if (!usbMgr->IsOpen())
        return;

    if (upgradeTimer->isActive()) {
        ui->progressBar->setValue(0);
        upgradeTimer->stop();
        ui->pushButtonLoad->setText(tr("Start Upgrade"));
        QMessageBox::information(this, tr("tip"), tr("Stop Upgrade"), QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return;
    }

    if (!LoadUpgradeFile())
        return;
    usbMgr->SendBuf(OtaFrames::Start(), 0, true);
    usbMgr->SendBuf(OtaFrames::Size(static_cast<uint32_t>(firmware.size())), 0, true);
    readyForNext = true;
    upgradeTimer->start(packetInterval());
    ui->pushButtonLoad->setText(tr("Stop Upgrade"));
    QMessageBox::information(this, tr("tip"), tr("Start Upgrade"), QMessageBox::Ok,
                             QMessageBox::NoButton);
}

void Widget::SendNextPacket()
{
    if (!readyForNext)
        return;

    const int size = firmware.size();
    const qint64 offset = qint64(packetIndex) * OtaFrames::kPacketPayload;
    if (offset < size) {
        const int n = int(qMin<qint64>(OtaFrames::kPacketPayload, size - offset));
        const QByteArray payload = firmware.mid(int(offset), n);
        readyForNext = false;
        ++packetIndex;
        usbMgr->SendBuf(OtaFrames::DataPacket(uint32_t(packetIndex), payload), 0, true);
        ui->progressBar->setValue(packetIndex);
        return;
    }

    // Every packet went out and the last one was acknowledged.
    const uint32_t crc = usbMgr->CalcCrc32(0xFFFFFFFFu,
                                           reinterpret_cast<const unsigned char *>(firmware.constData()),
                                           uint32_t(size));
    const bool sent = usbMgr->SendBuf(OtaFrames::Checksum(crc), 0, true);
    upgradeTimer->stop();
    ui->pushButtonLoad->setText(tr("Start Upgrade"));
    // A checksum that never reached the device completes nothing.
    if (sent)
        QMessageBox::warning(this, tr("tip"), tr("Upgrade Completed"), QMessageBox::Ok,
                             QMessageBox::NoButton);
    else
        QMessageBox::warning(this, tr("tip"), tr("Upgrade Failed"), QMessageBox::Ok,
                             QMessageBox::NoButton);
}

void Widget::ScanReply(const QByteArray &chunk)
{
    // Reply lines start with 'A' and end with CR; anything before an 'A' (the
    // zero padding of input reports, stray CR/LF) is dropped byte by byte. A
    // line may span several chunks. A line of more than 240 bytes without CR
    // is dropped.
    for (const char byte : chunk) {
        rxBuffer.append(byte);
        if (rxBuffer.at(0) != 'A') {
            rxBuffer.clear();
            continue;
        }
        if (rxBuffer.endsWith('\r')) {
            if (rxBuffer.contains(OtaFrames::kAckText))
                readyForNext = true;
            rxBuffer.clear();
        }
        if (rxBuffer.size() > OtaFrames::kMaxReplyLine)
            rxBuffer.clear();
    }
}
