// The tool's own window and manager against uhid devices in the test guest:
// the real hidapi hidraw library, the kernel's HID and hidraw drivers and the
// kernel's hotplug events. Each device runs the upgrade protocol's device
// model in the uhid_device program (path in $E2E_UHID).
#include "boxwatcher.h"
#include "hiddevicewatcher.h"
#include "messagecapture.h"
#include "widget.h"

#include <hidapi.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {

template <typename Predicate>
bool runUntil(Predicate done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!done())
            QThread::usleep(200);
    }
    return done();
}

QByteArray image(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    uint32_t x = 0x9E3779B9u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Index, in hidapi's enumeration order (which the window's list follows),
// of the record with this serial number; -1 if there is none.
int indexOfSerial(const QString &serial)
{
    int index = 0;
    int found = -1;
    hid_device_info *head = hid_enumerate(0, 0);
    for (hid_device_info *i = head; i; i = i->next, ++index) {
        if (i->serial_number && QString::fromWCharArray(i->serial_number) == serial)
            found = index;
    }
    hid_free_enumeration(head);
    return found;
}

} // namespace

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
    void nonRootWithoutAccess();
    void nonRootWithRule();

private:
    // Starts uhid_device with one --dev per entry of `devices` (extra
    // options each) and waits for every hidraw node.
    void startDevices(const QList<QStringList> &devices);
    QString stopDevices(); // ends the devices, returns the verdict file
    void connectTo(const QString &serial);

    QTemporaryDir *work = nullptr;
    QString previousDir;
    QProcess *devicesProcess = nullptr;
    Widget *window = nullptr;
    BoxWatcher *boxes = nullptr;
    MessageCapture *capture = nullptr;
};

void TestGuest::initTestCase()
{
    QVERIFY2(QFileInfo(qEnvironmentVariable("E2E_UHID")).isExecutable(), "E2E_UHID must name uhid_device");
    QVERIFY2(QFileInfo::exists("/dev/uhid"), "no /dev/uhid in this system");
}

void TestGuest::init()
{
    // The non-root cases run in a process of their own, as an ordinary user,
    // against a device that nonroot.sh started as root.
    const bool nonRootCase = QByteArray(QTest::currentTestFunction()).startsWith("nonRoot");
    if (nonRootCase != qEnvironmentVariableIsSet("E2E_NONROOT"))
        QSKIP("runs only in its own phase of nonroot.sh");
    previousDir = QDir::currentPath();
    work = new QTemporaryDir(QDir::tempPath() + "/guest-XXXXXX");
    QVERIFY(work->isValid());
    QVERIFY(QDir::setCurrent(work->path()));
    QVERIFY(QDir().mkdir("update"));
    QFile config("config.ini");
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[load]\nsleep=1\n");
    config.close();
    boxes = new BoxWatcher;
    capture = new MessageCapture;
}

void TestGuest::cleanup()
{
    delete window;
    window = nullptr;
    if (devicesProcess) {
        stopDevices();
        delete devicesProcess;
        devicesProcess = nullptr;
    }
    delete capture;
    capture = nullptr;
    delete boxes;
    boxes = nullptr;
    QDir::setCurrent(previousDir);
    delete work;
    work = nullptr;
}

void TestGuest::startDevices(const QList<QStringList> &devices)
{
    QStringList args{"--ready", "ready.txt", "--verdict", "verdict.txt", "--timeout", "200"};
    for (const QStringList &d : devices)
        args << "--dev" << d;
    devicesProcess = new QProcess;
    devicesProcess->setProcessChannelMode(QProcess::ForwardedChannels);
    devicesProcess->start(qEnvironmentVariable("E2E_UHID"), args);
    QVERIFY(devicesProcess->waitForStarted(10000));
    QVERIFY2(runUntil([] { return QFileInfo::exists("ready.txt"); }, 20000), "no hidraw node appeared");
    QCOMPARE(readAll("ready.txt").trimmed().split('\n').size(), devices.size());
}

QString TestGuest::stopDevices()
{
    devicesProcess->terminate();
    devicesProcess->waitForFinished(10000);
    return QString::fromUtf8(readAll("verdict.txt"));
}

void TestGuest::connectTo(const QString &serial)
{
    window = new Widget;
    const int index = indexOfSerial(serial);
    QVERIFY(index >= 0);
    auto *list = window->findChild<QComboBox *>("comboBoxId");
    QVERIFY(index < list->count());
    list->setCurrentIndex(index);
    window->findChild<QPushButton *>("pushButtonOpen")->click();
    QCOMPARE(window->findChild<QPushButton *>("pushButtonOpen")->text(), QString("Disconnect"));
}

void TestGuest::upgrade100k()
{
    const QByteArray firmware = image(100000);
    QFile f("update/firmware.bin");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(firmware);
    f.close();
    startDevices({{"1a2b:00ff", "--name", "Tarnvik Board", "--uniq", "E2E-A", "--image-out", "image-a.bin"}});
    connectTo("E2E-A");

    QElapsedTimer clock;
    clock.start();
    window->findChild<QPushButton *>("pushButtonLoad")->click();
    QVERIFY2(runUntil([this] { return boxes->texts().contains("Upgrade Completed"); }, 150000),
             qPrintable(boxes->texts().join(", ")));
    const double seconds = clock.elapsed() / 1000.0;
    const int packets = (firmware.size() + 59) / 60;
    qInfo("100000-byte upgrade at 1 ms: %d packets in %.2f s, %.0f packets/s", packets, seconds,
          packets / seconds);

    const QString verdict = stopDevices();
    QVERIFY2(verdict.contains("verdict=GOOD"), qPrintable(verdict));
    QCOMPARE(readAll("image-a.bin"), firmware);
}

void TestGuest::unplugMidTransfer()
{
    QFile f("update/firmware.bin");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(image(30000));
    f.close();
    startDevices({{"1a2b:00ff", "--name", "Tarnvik Board", "--uniq", "E2E-B", "--vanish-after", "40"}});
    connectTo("E2E-B");
    auto *watcher = window->findChild<HidDeviceWatcher *>();
    QVERIFY(watcher && watcher->isActive());
    qInfo("device watcher source: %s", qPrintable(watcher->source()));

    auto *open = window->findChild<QPushButton *>("pushButtonOpen");
    window->findChild<QPushButton *>("pushButtonLoad")->click();
    // The kernel's removal event reaches the window, which closes the device.
    QVERIFY2(runUntil([open] { return open->text() == "Connect"; }, 60000), "the removal was not noticed");
    QCOMPARE(open->styleSheet(), QString("background-color: rgb(255, 0, 0);"));
    // CloseUsb waits for the reader thread before it closes the handle and
    // writes its line, so the line means the reader has ended.
    QVERIFY(!capture->linesStartingWith("CloseUsb").isEmpty());
    QVERIFY(!capture->linesStartingWith("nativeEvent Event").isEmpty());
    QVERIFY(!boxes->texts().contains("Upgrade Completed"));
    QVERIFY(window->findChild<QTimer *>("upgradeTimer")->isActive()); // waits for the operator
    runUntil([] { return false; }, 300); // ticks after the removal do no harm
    QVERIFY(!boxes->texts().contains("Upgrade Completed"));
}

void TestGuest::chosenOfTwoIdentical()
{
    const QByteArray firmware = image(3000);
    QFile f("update/firmware.bin");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(firmware);
    f.close();
    startDevices({{"1a2b:00ff", "--name", "Tarnvik Board", "--uniq", "E2E-C1"},
                  {"1a2b:00ff", "--name", "Tarnvik Board", "--uniq", "E2E-C2", "--image-out", "image-c2.bin"}});
    // Pick the one that comes second in the list.
    const int first = indexOfSerial("E2E-C1");
    const int second = indexOfSerial("E2E-C2");
    QVERIFY(first >= 0 && second >= 0);
    const QString chosen = first > second ? "E2E-C1" : "E2E-C2";
    connectTo(chosen);
    window->findChild<QPushButton *>("pushButtonLoad")->click();
    QVERIFY(runUntil([this] { return boxes->texts().contains("Upgrade Completed"); }, 60000));
    const QStringList lines = stopDevices().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    for (const QString &line : lines) {
        if (line.contains("uniq=" + chosen + " "))
            QVERIFY2(line.contains("verdict=GOOD"), qPrintable(line));
        else
            QVERIFY2(line.contains("outputs=0 "), qPrintable(line)); // the other one got nothing
    }
}

void TestGuest::nonRootWithoutAccess()
{
    // Without a rule the hidraw node is root's alone: the open fails and the
    // operator sees the box.
    QVERIFY(geteuid() != 0);
    window = new Widget;
    const int index = indexOfSerial("NR-1");
    QVERIFY2(index >= 0, "the device is not enumerated");
    auto *list = window->findChild<QComboBox *>("comboBoxId");
    list->setCurrentIndex(index);
    const QString label = list->currentText();
    window->findChild<QPushButton *>("pushButtonOpen")->click();
    QCOMPARE(boxes->texts(), QStringList{"USB open fail" + label});
    QCOMPARE(window->findChild<QPushButton *>("pushButtonOpen")->text(), QString("connect"));
}

void TestGuest::nonRootWithRule()
{
    // With the shipped rule in udevd, the same user opens and upgrades it.
    QVERIFY(geteuid() != 0);
    const QByteArray firmware = image(3000);
    QFile f("update/firmware.bin");
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(firmware);
    f.close();
    connectTo("NR-2");
    window->findChild<QPushButton *>("pushButtonLoad")->click();
    QVERIFY(runUntil([this] { return boxes->texts().contains("Upgrade Completed"); }, 60000));
}

QTEST_MAIN(TestGuest)
#include "tst_guest.moc"
