#ifndef OUTPUT_H
#define OUTPUT_H

#include "upgradecli.h"

#include <QJsonObject>
#include <QString>

class QTextStream;
struct DeviceId;

namespace UpgradeCli {

// Where the command line writes: results to stdout, progress and errors to
// stderr. A stream that goes away (a closed pipe, `| head -1`) is noted
// once on the other one and dropped: the transfers, the log and the exit
// status go on as if it were there.
class Output
{
public:
    Output(QTextStream &out, QTextStream &err, bool errIsTerminal, ColumnsFn columns);

    void Out(const QString &text);
    void Err(const QString &text);
    // "tarnvik-upgrade: text" on its own line, on stderr.
    void Error(const QString &text);
    // One JSON Lines event on stdout, with its time.
    void Event(QJsonObject event);

    // stderr is a terminal: the progress is drawn in place there.
    bool Terminal() const { return terminal; }
    // The terminal's width (80 when it cannot be told).
    int Columns() const;
    // The results as JSON Lines (--json) instead of lines of text.
    bool json = false;
    // No progress on stderr (-q).
    bool quiet = false;

private:
    void Write(QTextStream &stream, bool &failed, const QString &text, QTextStream &other, bool &otherFailed,
               const char *name);

    QTextStream &out;
    QTextStream &err;
    bool terminal;
    ColumnsFn columns;
    bool outFailed = false;
    bool errFailed = false;
};

// One line of `list`: index, label, VID:PID, serial (- when none), path,
// release, separated by tabs.
QString DeviceLine(int index, const DeviceId &id);
// "label serial S path P", without a tab or any other control character.
QString BoardName(const DeviceId &id);
// A result line: the word, the board, a tab, the details.
QString ResultLine(const char *word, const DeviceId &id, const QString &details);
// The members every JSON event of a board has.
QJsonObject BoardFields(const DeviceId &id);

} // namespace UpgradeCli

#endif // OUTPUT_H
