// Ctrl-C and Ctrl-Break on Windows: the console's control handler runs on a
// thread of its own that the system starts, and posts the interrupt to the
// main thread.
#include "console.h"
#include "upgradecli.h"

#include <QCoreApplication>

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {

// The console's default handler (which would end the process with the
// device open) does not run for these two.
LONG interrupts = 0;

BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    // A second one while the first is being handled: the program ends at once.
    if (InterlockedIncrement(&interrupts) > 1)
        ExitProcess(UpgradeCli::kInterrupted);
    QMetaObject::invokeMethod(QCoreApplication::instance(), []() { UpgradeCli::Interrupt(); },
                              Qt::QueuedConnection);
    return TRUE;
}

} // namespace

void Console::CatchInterrupts()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void Console::RearmInterrupts()
{
    InterlockedExchange(&interrupts, 0);
}

bool Console::StderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

int Console::StderrColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}
