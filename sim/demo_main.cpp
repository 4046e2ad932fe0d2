// The tool on a simulated device: the same window and code as the real
// program, linked against the virtual HID devices instead of hidapi, with one
// board attached that speaks the upgrade protocol. It lets a newcomer run a
// whole upgrade without hardware.
//
// For scripted runs: TARNVIK_DEMO_AUTORUN=1 connects and starts the upgrade
// by itself, TARNVIK_DEMO_QUIT_MS=N ends the program after N ms, and
// TARNVIK_DEMO_REPORT=FILE writes every message box the window shows
// ("box <title>: <text>") and, at the end, the board's verdict to FILE (a
// Windows GUI program has no console to print to). With both AUTORUN and
// REPORT set, each box is answered with OK once it has been written down.
#include "highdpi.h"
#include "otasim.h"
#include "widget.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

void report(QFile &file, const QString &line)
{
    if (file.isOpen()) {
        file.write(line.toUtf8() + '\n');
        file.flush();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    vhid::DeviceInfo info = sim::boardInfo("sim:demo-board", 0x1a2b, 0x00ff, L"Demo Board");
    info.serial = L"DEMO-0001";
    const sim::Board board = sim::plugBoard(info);

    EnableHighDpiScaling();
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
    QFile reportFile(qEnvironmentVariable("TARNVIK_DEMO_REPORT"));
    if (!reportFile.fileName().isEmpty() && !reportFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::fprintf(stderr, "cannot write %s\n", qPrintable(reportFile.fileName()));
    QTimer boxWatch;
    if (reportFile.isOpen()) {
        const bool answer = qEnvironmentVariableIntValue("TARNVIK_DEMO_AUTORUN") != 0;
        QObject::connect(&boxWatch, &QTimer::timeout, &window, [&reportFile, answer]() {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || box->property("reported").toBool())
                return;
            box->setProperty("reported", true);
            report(reportFile, QStringLiteral("box %1: %2").arg(box->windowTitle(), box->text()));
            if (answer)
                QTimer::singleShot(300, box, [box]() { box->done(QMessageBox::Ok); });
        });
        boxWatch.start(50);
    }
    const int quitMs = qEnvironmentVariableIntValue("TARNVIK_DEMO_QUIT_MS");
    if (quitMs > 0)
        QTimer::singleShot(quitMs, &app, &QApplication::quit);

    const int code = app.exec();
    std::fprintf(stderr, "simulated device: %s\n", board.model->verdictText().c_str());
    report(reportFile, QStringLiteral("verdict %1").arg(QString::fromStdString(board.model->verdictText())));
    return code;
}
