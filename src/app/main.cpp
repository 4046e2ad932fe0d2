#include "highdpi.h"
#include "systemdlls.h"
#include "widget.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#ifndef TARNVIK_VERSION
#define TARNVIK_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: tarnvik-upgrade-tool [-h | --help | -V | --version]\n"
    "\n"
    "Opens the Tarnvik Upgrade Tool window: pick the HID device, connect, and\n"
    "press Start Upgrade to send the first file of ./update to it, one packet\n"
    "per load/sleep milliseconds of ./config.ini (1000 without it).\n"
    "Qt's own options, such as -platform, are handed to Qt.\n"
    "\n"
    "For scripts and production benches: tarnvik-upgrade --help\n";

// --help and --version are answered on stdout before anything of the window
// exists: no display is needed and no window opens. -1: neither was asked.
int answerOptions(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
        const bool version = std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0;
        if (!help && !version)
            continue;
#ifdef Q_OS_WIN
        // A windowed program has no console of its own: the answer goes
        // where stdout was redirected, or else to the console it was started
        // from.
        if (!GetStdHandle(STD_OUTPUT_HANDLE) && AttachConsole(ATTACH_PARENT_PROCESS))
            (void)std::freopen("CONOUT$", "w", stdout);
#endif
        std::fputs(help ? kUsage : "tarnvik-upgrade-tool " TARNVIK_VERSION "\n", stdout);
        std::fflush(stdout);
        return 0;
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    LoadSystemDllsFromSystem32Only();
    const int answered = answerOptions(argc, argv);
    if (answered >= 0)
        return answered;
    EnableHighDpiScaling();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
