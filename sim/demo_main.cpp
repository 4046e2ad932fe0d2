// The tool on a simulated device: the same window and code as the real
// program, linked against the virtual HID devices instead of hidapi, with one
// board attached that speaks the upgrade protocol. It lets a newcomer run a
// whole upgrade without hardware.
//
// TARNVIK_DEMO_AUTORUN=1 connects and starts the upgrade by itself, and
// TARNVIK_DEMO_QUIT_MS=N ends the program after N ms (for scripted runs).
#include "otasim.h"
#include "widget.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    vhid::DeviceInfo board;
    board.path = "sim:demo-board";
    board.vendorId = 0x1a2b;
    board.productId = 0x00ff;
    board.manufacturer = L"Tarnvik";
    board.product = L"Demo Board";
    board.serial = L"DEMO-0001";
    auto device = vhid::addDevice(board);
    auto model = std::make_shared<sim::OtaModel>();
    sim::attach(device, model);

    QApplication app(argc, argv);
    Widget window;
    window.show();

    if (qEnvironmentVariableIntValue("TARNVIK_DEMO_AUTORUN")) {
        QTimer::singleShot(500, &window, [&window]() {
            window.findChild<QPushButton *>("pushButtonOpen")->click();
            QTimer::singleShot(300, &window, [&window]() {
                window.findChild<QPushButton *>("pushButtonLoad")->click();
            });
        });
    }
    const int quitMs = qEnvironmentVariableIntValue("TARNVIK_DEMO_QUIT_MS");
    if (quitMs > 0)
        QTimer::singleShot(quitMs, &app, &QApplication::quit);

    const int code = app.exec();
    std::fprintf(stderr, "simulated device: %s\n", model->verdictText().c_str());
    return code;
}
