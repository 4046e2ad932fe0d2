#ifndef BOARDREPORT_H
#define BOARDREPORT_H

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <cstdint>

class BoardLog;
class BoardRun;
struct DeviceId;

namespace UpgradeCli {

class Output;
class StatusLine;

// The image of a command, as its reports name it.
struct ImageFacts
{
    QString name; // the file's name
    qint64 size = 0;
    uint32_t crc = 0;
    int intervalMs = 0;
};

// What the command line tells of each board, from the events of its run:
// the JSON events (start, progress, end, board-back), the progress lines on
// stderr, the record in the log, and in station mode the START line and the
// result line as each board ends. The same for `upgrade` and `station`.
class BoardReport : public QObject
{
public:
    BoardReport(Output &output, BoardLog &log, StatusLine &status, const ImageFacts &image, bool station);

    // Follows `run` from now on; call before it opens.
    void Follow(BoardRun *run);
    // The run's result line (OK, FAILED or INTERRUPTED).
    void Result(const BoardRun &run);
    // A line on stdout (not with --json), the status line taken away for it.
    void Line(const QString &text);

private:
    struct Told
    {
        int tenth = -1;      // of the progress lines
        int eventTenth = -1; // of the progress events
        QElapsedTimer eventClock;
        bool recorded = false;
    };

    void Started(BoardRun *run, int attempt);
    void Progressed(BoardRun *run);
    void Back(BoardRun *run, const DeviceId &seen, double seconds);
    void Ended(BoardRun *run);
    // What the result line says after the tab.
    QString Details(const BoardRun &run) const;
    void Note(const BoardRun &run, const QString &text);

    Output &output;
    BoardLog &log;
    StatusLine &status;
    ImageFacts image;
    bool station;
    QHash<const BoardRun *, Told> told;
};

} // namespace UpgradeCli

#endif // BOARDREPORT_H
