#ifndef BOARDLOG_H
#define BOARDLOG_H

#include <QJsonObject>
#include <QString>

class QByteArray;

// The record of a batch: one JSON line per ended transfer, appended to a
// file that several stations may share (docs/command-line.md).
class BoardLog
{
public:
    BoardLog() = default;
    ~BoardLog();
    BoardLog(const BoardLog &) = delete;
    BoardLog &operator=(const BoardLog &) = delete;

    // Opens `path` for appending (made if missing). False, with `why`, when
    // it cannot be opened.
    bool Open(const QString &path, QString *why);
    bool IsOpen() const { return fd >= 0; }

    // Appends `record` as one line in one write and waits until it is on
    // the disk. Lines of several writers never interleave: every write goes
    // to the end of the file as a whole. False, with `why`, when it failed.
    bool Append(const QJsonObject &record, QString *why);

private:
    int fd = -1;
};

// One JSON line (compact, ending in a newline).
QByteArray JsonLine(const QJsonObject &object);

// The time now, UTC, ISO 8601 with milliseconds ("2026-12-09T14:52:07.123Z").
QString UtcNow();

#endif // BOARDLOG_H
