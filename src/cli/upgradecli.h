#ifndef UPGRADECLI_H
#define UPGRADECLI_H

#include <QStringList>

class QTextStream;

// The console program `tarnvik-upgrade`: lists the HID devices and upgrades
// one or several of them with the engine the window uses, for scripts, test
// rigs and production benches. See UsageText() for the commands, options and
// exit codes. The command line's files: options.cpp (options and usage),
// output.cpp (streams, result lines, JSON events), statusline.cpp (the
// progress on a terminal), boardreport.cpp (what is told of each board),
// boardlog.cpp (the record per board), upgradecommand.cpp (list, upgrade),
// stationcommand.cpp (station); the boards themselves are the station
// layer's (src/station).
namespace UpgradeCli {

enum ExitCode {
    kCompleted = 0,
    kBadArguments = 1,
    kNoDevice = 2,      // none, or several without --all, or no selection
    kOpenFailed = 3,    // "USB open fail"
    kTransferFailed = 4,
    kNoImage = 5,
    kReturnFailed = 6,  // --expect-release: the board did not come back with it
    kInterrupted = 130,
};

// The width of the terminal that stderr is, in columns, asked at every
// redraw of the progress bar (0: unknown).
using ColumnsFn = int (*)();

// Runs one command line (`arguments` without the program's name) inside a
// QCoreApplication, returning its exit code. Results go to `out`, progress
// and errors to `err`; `errIsTerminal` draws the progress bar in place
// instead of one line per 10 %, no wider than `columns` gives (80 without).
int Run(const QStringList &arguments, QTextStream &out, QTextStream &err, bool errIsTerminal,
        ColumnsFn columns = nullptr);

// Stops the command that runs (Ctrl-C, SIGTERM): every transfer ends, every
// device is closed, and Run returns kInterrupted. Call it on the thread that
// runs Run (from a signal handler, post it there).
void Interrupt();

// The program's name in its messages and usage ("tarnvik-upgrade").
QString ProgramName();
void SetProgramName(const QString &name);

QString UsageText();

// The whole console program: makes the application object, turns Ctrl-C,
// Ctrl-Break and SIGTERM into Interrupt(), runs the command line and
// returns its exit code.
int Main(int argc, char *argv[]);

} // namespace UpgradeCli

#endif // UPGRADECLI_H
