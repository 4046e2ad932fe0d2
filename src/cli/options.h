#ifndef OPTIONS_H
#define OPTIONS_H

#include "selection.h"

#include <QString>
#include <QStringList>

namespace UpgradeCli {

class Output;

// A command line, read.
struct Options
{
    QString command; // list, upgrade or station
    Selection selection;
    QString image;   // --image; empty: the window's file from ./update
    bool allowEmpty = false;
    int intervalMs = 0;
    double ackTimeoutS = 5.0;
    int retries = 0;
    bool all = false;
    bool wait = false;
    double waitSeconds = -1; // --wait S; -1: for ever
    double replugS = 0;      // --wait-replug S (0: no return check)
    int expectRelease = -1;  // --expect-release (bcdDevice)
    int count = 0;           // station --count
    bool reflash = false;    // station --reflash
    QString log;             // --log
    bool json = false;
    bool quiet = false;
    bool verbose = false;
};

// Reads `arguments` (without the program's name). Returns -1 when a
// command is to run, or the exit code when it was answered here (--help,
// --version) or refused (bad arguments; said on `output`).
int ParseOptions(const QStringList &arguments, Options &options, Output &output);

} // namespace UpgradeCli

#endif // OPTIONS_H
