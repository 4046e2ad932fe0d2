// The console program's process: its application object, Ctrl-C and
// SIGTERM, whether stderr is a terminal.
#include "upgradecli.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Runs on a thread of its own that the system starts: the interrupt is
// posted to the main thread, and the console's default handler (which would
// end the process with the device open) does not run.
BOOL WINAPI onConsoleControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    QMetaObject::invokeMethod(QCoreApplication::instance(), []() { UpgradeCli::Interrupt(); },
                              Qt::QueuedConnection);
    return TRUE;
}

void catchInterrupts()
{
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}
#else
int interruptPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop reads it.
    ssize_t ignored = write(interruptPipe[1], &byte, 1);
    (void)ignored;
}

void catchInterrupts()
{
    if (pipe(interruptPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, []() {
        char byte;
        ssize_t ignored = read(interruptPipe[0], &byte, 1);
        (void)ignored;
        UpgradeCli::Interrupt();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stderrIsTerminal()
{
    return isatty(fileno(stderr)) != 0;
}
#endif

} // namespace

int UpgradeCli::Main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    catchInterrupts();
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return UpgradeCli::Run(arguments, out, err, stderrIsTerminal());
}
