// The console program's process: its application object, its interrupts,
// its streams.
#include "console.h"
#include "upgradecli.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int UpgradeCli::Main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Console::CatchInterrupts();
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return UpgradeCli::Run(arguments, out, err, Console::StderrIsTerminal(), Console::StderrColumns);
}
