// Ctrl-C and SIGTERM on POSIX systems: the handler writes a byte to a pipe,
// which the event loop reads.
#include "console.h"
#include "upgradecli.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int interruptPipe[2] = {-1, -1};
volatile sig_atomic_t interrupts = 0;

void onSignal(int)
{
    // A second one while the first is being handled (the transfers stop,
    // the devices close, a write a board holds may take seconds): the
    // program ends at once.
    if (interrupts++ > 0)
        _exit(UpgradeCli::kInterrupted);
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop reads it.
    ssize_t ignored = write(interruptPipe[1], &byte, 1);
    (void)ignored;
}

} // namespace

void Console::CatchInterrupts()
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
    // Output that goes away (`| head -1`, a closed terminal) must not end
    // the program in the middle of its transfers: a failed write is noted
    // and that stream dropped (output.cpp).
    signal(SIGPIPE, SIG_IGN);
}

void Console::RearmInterrupts()
{
    interrupts = 0;
}

bool Console::StderrIsTerminal()
{
    return isatty(fileno(stderr)) != 0;
}

int Console::StderrColumns()
{
    winsize size = {};
    return ioctl(fileno(stderr), TIOCGWINSZ, &size) == 0 ? int(size.ws_col) : 0;
}
