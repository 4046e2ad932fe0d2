#ifndef WIDGET_H
#define WIDGET_H

#include "trafficlog.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <memory>

class QHidUsbMgr;
class Ui_Widget;
class UpgradeEngine;
class HidDeviceWatcher;
class ProgressPacer;

// The tool's one window: device list and connect toggle, the upgrade button
// and progress bar, and (on a page that is never brought forward) the traffic
// log, the hex send line and the image select button.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Enumerates the HID devices and refills the device list in that order,
    // once the listing (on the manager's thread of device calls) has ended.
    void FillDeviceList();
    // A listing or a connect is under way (the cursor is busy meanwhile).
    bool Busy() const;

    // Connection and traffic console. Connect's outcome comes back when
    // the open has ended; the button is held meanwhile.
    void ToggleUsb();
    void SendTypedHex();
    void AppendLog(const QString &text, bool received);
    // The traffic log keeps at most `lines` lines: when a line comes to a
    // full log, the oldest `dropped` lines go first (0 lines: no limit).
    // The window starts with kLogLines and kLogLinesDropped.
    void SetLogLimit(int lines, int dropped);
    static constexpr int kLogLines = TrafficLog::kLines;
    static constexpr int kLogLinesDropped = TrafficLog::kLinesDropped;
    // Called on the GUI thread whenever the set of attached devices may have
    // changed, whichever platform mechanism noticed it.
    void DeviceChanged();

    // Upgrade image and the OTA transfer.
    bool LoadUpgradeFile();
    void SelectUpgradeFile();
    void ToggleUpgrade();
    void SendNextPacket();
    void ScanReply(const QByteArray &chunk);

public slots:
    void RecvBufSlot(QByteArray data);
    void SendBufSlot(QByteArray data);

protected:
    bool nativeEvent(const QByteArray &eventType, void *message, long *result) override;

private:
    // The connect toggle as the manager's state has it: green "Disconnect"
    // while a device is open, red "Connect" otherwise.
    void PaintConnectToggle(bool open);
    void UpgradeEnded(bool completed, const QString &reason);
    void DevicesListed(const QStringList &labels);
    void OpenDone(bool opened);
    void SetBusy(bool busy);

    Ui_Widget *ui;
    QHidUsbMgr *usbMgr;
    // The transfer itself: the image, the packets sent, the reply line being
    // assembled and the pacing timer ("upgradeTimer"), whose tick runs
    // SendNextPacket. The window starts, stops and shows it.
    UpgradeEngine *upgrade = nullptr;
    // The bar's paints at a display's pace (its value at once).
    ProgressPacer *barPacer = nullptr;
    HidDeviceWatcher *deviceWatcher = nullptr;
    // A listing runs; a device change asked for it while connected (the
    // open device is looked for in it); an open runs, for this label.
    bool listing = false;
    bool checkRemoval = false;
    bool connecting = false;
    QString connectingLabel;
    bool cursorBusy = false;
    std::unique_ptr<TrafficLog> trafficLog;
};

#endif // WIDGET_H
