#include "widget.h"

#include "progresspacer.h"
#include "qhidusbmgr.h"
#include "ui_widget.h"
#include "upgradeengine.h"

#ifndef Q_OS_WIN
#include "hiddevicewatcher.h"
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <QApplication>
#include <QDebug>
#include <QMessageBox>
#include <QTimer>

namespace {

const char kRedStyle[] = "background-color: rgb(255, 0, 0);";
const char kGreenStyle[] = "background-color: rgb(0, 255, 0);";

} // namespace

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui_Widget)
    , usbMgr(new QHidUsbMgr)
{
    ui->setupUi(this);
    // A child of the window by name, so that tools that drive the window
    // find it; the window deletes it itself, after closing it.
    usbMgr->setObjectName(QStringLiteral("usbMgr"));
    usbMgr->setParent(this);
    trafficLog = std::make_unique<TrafficLog>(ui->textEdit);
    setWindowFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    // Listing and opening talk to the devices: they run on the manager's
    // thread of device calls, and their outcomes come back here.
    connect(usbMgr, &QHidUsbMgr::EnumDoneSignal, this, &Widget::DevicesListed);
    connect(usbMgr, &QHidUsbMgr::OpenDoneSignal, this, &Widget::OpenDone);
    // The form's placeholder items go at once; the devices come when listed.
    ui->comboBoxId->clear();
    FillDeviceList();

    connect(usbMgr, SIGNAL(RecvBufSignal(QByteArray)), this, SLOT(RecvBufSlot(QByteArray)),
            Qt::AutoConnection);
    connect(usbMgr, SIGNAL(SendBufSignal(QByteArray)), this, SLOT(SendBufSlot(QByteArray)),
            Qt::AutoConnection);
    connect(ui->pushButtonOpen, &QPushButton::clicked, ui->pushButtonOpen, [this]() { ToggleUsb(); });
    connect(ui->pushButtonScan, &QPushButton::clicked, ui->pushButtonScan, [this]() { FillDeviceList(); });
    connect(ui->pushButtonSend, &QPushButton::clicked, ui->pushButtonSend, [this]() { SendTypedHex(); });

    // The engine and its timer belong to the window, so that no tick can
    // come into a window that has gone. The window waits for the operator:
    // no acknowledgement time-out, and a failed write does not end the
    // transfer (a packet that did not go out is never acknowledged); the
    // close of its connection (Disconnect, an unplug) does.
    upgrade = new UpgradeEngine(usbMgr, this);
    barPacer = new ProgressPacer(ui->progressBar);
    connect(upgrade, &UpgradeEngine::Progress, this, [this](int sent) { barPacer->SetValue(sent); });
    connect(upgrade, &UpgradeEngine::Completed, this, [this]() { UpgradeEnded(true, QString()); });
    connect(upgrade, &UpgradeEngine::Failed, this, [this](const QString &reason) { UpgradeEnded(false, reason); });
    connect(ui->pushButtonSelect, &QPushButton::clicked, ui->pushButtonSelect,
            [this]() { SelectUpgradeFile(); });
    connect(ui->pushButtonLoad, &QPushButton::clicked, ui->pushButtonLoad, [this]() { ToggleUpgrade(); });

#ifndef Q_OS_WIN
    // Only Windows sends a window the device-change message; elsewhere the
    // device watcher (a udev monitor on Linux) tells the window instead.
    deviceWatcher = new HidDeviceWatcher(this);
    connect(deviceWatcher, &HidDeviceWatcher::devicesChanged, this, [this]() { DeviceChanged(); });
#endif
}

Widget::~Widget()
{
    // Nothing may outlive the window: no tick into a destroyed window, and no
    // reader thread polling an open handle while the process exits.
    upgrade->Stop();
    if (usbMgr->IsOpen())
        usbMgr->CloseUsb();
    SetBusy(false);
    delete usbMgr;
    delete ui;
}

bool Widget::Busy() const
{
    return listing || connecting;
}

void Widget::SetBusy(bool busy)
{
    // A busy cursor while a listing or an open runs; the window answers
    // all the while.
    if (busy == cursorBusy)
        return;
    cursorBusy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else
        QApplication::restoreOverrideCursor();
}

void Widget::FillDeviceList()
{
    // Asked for again while a listing runs, one more follows it.
    listing = true;
    SetBusy(true);
    usbMgr->EnumDevicesAsync();
}

void Widget::DevicesListed(const QStringList &labels)
{
    listing = false;
    const QVector<DeviceId> ids = usbMgr->Devices();
    ui->comboBoxId->clear();
    for (int i = 0; i < labels.size(); ++i) {
        ui->comboBoxId->insertItem(i, labels.at(i));
        // Identical boards share their label; the serial number and the
        // path tell them apart.
        if (i < ids.size())
            ui->comboBoxId->setItemData(i, tr("Serial number: %1\nPath: %2")
                                               .arg(ids.at(i).serial.isEmpty() ? tr("(none)") : ids.at(i).serial,
                                                    QString::fromLocal8Bit(ids.at(i).path)),
                                        Qt::ToolTipRole);
    }
    SetBusy(connecting);
    // A device change while connected: is the open device still there?
    if (checkRemoval) {
        checkRemoval = false;
        if (usbMgr->IsOpen() && usbMgr->DeviceRemoved()) {
            PaintConnectToggle(false);
            usbMgr->CloseUsb();
        }
    }
}

void Widget::ToggleUsb()
{
    // Held while its open runs.
    if (connecting)
        return;
    if (usbMgr->IsOpen()) {
        // Painted first: a transfer on the connection ends with the close,
        // and its box shows the toggle as it now is.
        PaintConnectToggle(false);
        usbMgr->CloseUsb();
        return;
    }

    const int index = ui->comboBoxId->currentIndex();
    connectingLabel = ui->comboBoxId->currentText();
    AppendLog(connectingLabel, false);
    connecting = true;
    ui->pushButtonOpen->setDown(true);
    SetBusy(true);
    usbMgr->OpenUsbAsync(index);
}

void Widget::OpenDone(bool opened)
{
    if (!connecting)
        return;
    connecting = false;
    ui->pushButtonOpen->setDown(false);
    SetBusy(listing);
    if (opened) {
        PaintConnectToggle(true);
    } else {
        QMessageBox::warning(this, tr("tip"), tr("USB open fail") + connectingLabel, QMessageBox::Ok,
                             QMessageBox::NoButton);
    }
}

void Widget::SendTypedHex()
{
    const QString text = ui->lineEditSend->text();
    const QByteArray bytes = usbMgr->FromHexString(text);
    usbMgr->SendBuf(bytes, 0, true);
    AppendLog(text, false);
}

void Widget::PaintConnectToggle(bool open)
{
    ui->pushButtonOpen->setText(open ? tr("Disconnect") : tr("Connect"));
    ui->pushButtonOpen->setStyleSheet(open ? kGreenStyle : kRedStyle);
}

void Widget::SetLogLimit(int lines, int dropped)
{
    trafficLog->SetLimit(lines, dropped);
}

void Widget::AppendLog(const QString &text, bool received)
{
    trafficLog->Append(text, received);
}

void Widget::RecvBufSlot(QByteArray data)
{
    // The transfer takes the chunk right after, from the manager's
    // ChunkSignal, with the connection it came on.
    AppendLog(usbMgr->ToHexString(data), true);
}

void Widget::SendBufSlot(QByteArray data)
{
    AppendLog(usbMgr->ToHexString(data), false);
}

void Widget::DeviceChanged()
{
    // While connected, the list is refilled, and the open device closed
    // when it is no longer in it (once the listing has ended).
    if (usbMgr->IsOpen()) {
        checkRemoval = true;
        FillDeviceList();
    }
    qDebug() << "nativeEvent Event ";
}

bool Widget::nativeEvent(const QByteArray &eventType, void *message, long *result)
{
    Q_UNUSED(eventType);
    Q_UNUSED(result);
#ifdef Q_OS_WIN
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg->message == WM_DEVICECHANGE)
        DeviceChanged();
#else
    Q_UNUSED(message);
#endif
    return false;
}
