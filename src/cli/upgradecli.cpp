#include "upgradecli.h"

#include "boardlog.h"
#include "command.h"
#include "console.h"
#include "options.h"
#include "output.h"

#include <QLoggingCategory>
#include <QTextStream>

namespace UpgradeCli {

namespace {

QString programName = QStringLiteral("tarnvik-upgrade");
std::function<void()> interruptHandler;

} // namespace

QString ProgramName()
{
    return programName;
}

void SetProgramName(const QString &name)
{
    programName = name;
}

void SetInterruptHandler(std::function<void()> handler)
{
    interruptHandler = std::move(handler);
}

void Interrupt()
{
    if (interruptHandler)
        interruptHandler();
}

int Run(const QStringList &arguments, QTextStream &out, QTextStream &err, bool errIsTerminal, ColumnsFn columns)
{
    Console::RearmInterrupts();
    Output output(out, err, errIsTerminal, columns);
    Options options;
    const int answered = ParseOptions(arguments, options, output);
    if (answered >= 0)
        return answered;
    output.json = options.json;
    output.quiet = options.quiet;
    // The diagnostic lines (every report) only when asked for.
    QLoggingCategory::setFilterRules(options.verbose ? QStringLiteral("default.debug=true")
                                                     : QStringLiteral("default.debug=false"));
    if (options.command == "list")
        return ListCommand(output);
    // The record of the batch is opened before any board is touched: a log
    // that cannot be written stops the command here.
    BoardLog log;
    QString why;
    if (!options.log.isEmpty() && !log.Open(options.log, &why)) {
        output.Error(QString("cannot open the log %1: %2").arg(options.log, why));
        return kBadArguments;
    }
    return options.command == "station" ? StationCommand(options, output, log) : UpgradeCommand(options, output, log);
}

} // namespace UpgradeCli
