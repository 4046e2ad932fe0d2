// The tool's own window and manager against boards in the test guest: the
// real hidapi hidraw library, the kernel's HID and hidraw drivers and the
// kernel's hotplug events. Each board runs the upgrade protocol's device model
// in a board program: uhid_device ($E2E_UHID) by default, or, when $E2E_USB
// names usb_device, a real USB device on the guest's dummy_hcd bus, whose
// speed ($E2E_USB_SPEED, 480 or 12) the boot chose.
#ifndef TST_GUEST_H
#define TST_GUEST_H

#include "realboard.h"
#include "simkit.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class BoxWatcher;
class MessageCapture;
class QProcess;
class QTemporaryDir;
class Widget;

class TestGuest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void upgrade100k();
    void unplugMidTransfer();
    void chosenOfTwoIdentical();
    void stalledBoard();
    void efficiency(); // guest_efficiency.cpp
    void nonRootWithoutAccess();
    void nonRootWithRule();

private:
    // Starts the board program with one --dev per entry of `devices` (extra
    // options each) and waits for every hidraw node.
    void startBoard(const QList<QStringList> &devices);
    QString stopBoard(); // ends the board, returns the verdict file
    // A uhid board ($E2E_UHID) of the same vendor/product pair beside it, in
    // the folder twin/ (ready.txt, verdict.txt, control).
    void startTwin(const QString &serial);
    // A line to the board's control FIFO (or the twin's: "twin/control").
    void command(const QByteArray &line, const QString &fifoPath = QStringLiteral("control"));
    bool waitReady(int timeoutMs = 20000);
    // The verdict file as it is now (the board rewrites it on request).
    QString currentVerdict();
    // Selects the record with this serial in the window's list, connects.
    void connectTo(const QString &serial);
    QString expectedLabel() const;
    QString transportName() const;

    bool usb = false;
    QTemporaryDir *work = nullptr;
    QString previousDir;
    QProcess *boardProcess = nullptr;
    QProcess *twinProcess = nullptr;
    Widget *window = nullptr;
    BoxWatcher *boxes = nullptr;
    MessageCapture *capture = nullptr;
};

#endif // TST_GUEST_H
