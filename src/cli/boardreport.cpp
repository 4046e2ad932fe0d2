#include "boardreport.h"

#include "boardlog.h"
#include "boardrun.h"
#include "output.h"
#include "selection.h"
#include "statusline.h"

namespace UpgradeCli {

namespace {

const char *outcomeName(BoardRun::Outcome outcome)
{
    switch (outcome) {
    case BoardRun::Outcome::Ok:
        return "ok";
    case BoardRun::Outcome::Interrupted:
        return "interrupted";
    default:
        return "failed";
    }
}

QString hex8(uint32_t value)
{
    return QString("%1").arg(value, 8, 16, QChar('0'));
}

} // namespace

BoardReport::BoardReport(Output &out, BoardLog &boardLog, StatusLine &statusLine, const ImageFacts &facts,
                         bool stationMode)
    : output(out)
    , log(boardLog)
    , status(statusLine)
    , image(facts)
    , station(stationMode)
{
}

void BoardReport::Follow(BoardRun *run)
{
    connect(run, &BoardRun::AttemptStarted, this, [this, run](int attempt) { Started(run, attempt); });
    connect(run, &BoardRun::Progress, this, [this, run]() { Progressed(run); });
    connect(run, &BoardRun::AttemptFailed, this, [this, run](int attempt, const QString &why) {
        Note(*run, QString("attempt %1 failed: %2; again").arg(attempt).arg(why));
    });
    connect(run, &BoardRun::ChecksumDone, this, [this, run]() {
        if (run->ReturnChecked())
            Note(*run, QString("E4 written; waiting up to %1 s for the board to come back")
                           .arg(run->ReturnWaitMs() / 1000.0));
    });
    connect(run, &BoardRun::BoardBack, this,
            [this, run](const DeviceId &seen, double seconds) { Back(run, seen, seconds); });
    connect(run, &BoardRun::Finished, this, [this, run]() { Ended(run); });
}

void BoardReport::Note(const BoardRun &run, const QString &text)
{
    // On a terminal the status line tells it; a line per event elsewhere.
    if (!output.quiet && !output.Terminal())
        output.Err(BoardName(run.Id()) + ": " + text + "\n");
}

void BoardReport::Started(BoardRun *run, int attempt)
{
    told[run] = Told();
    if (station && attempt == 1)
        Line(ResultLine("START", run->Id(), QString("%1 bytes").arg(image.size)));
    QJsonObject e = BoardFields(run->Id());
    e.insert("event", "start");
    e.insert("image", image.name);
    e.insert("bytes", image.size);
    e.insert("crc32", hex8(image.crc));
    e.insert("interval_ms", image.intervalMs);
    e.insert("attempt", attempt);
    if (output.json)
        output.Event(e);
}

void BoardReport::Progressed(BoardRun *run)
{
    Told &t = told[run];
    const qint64 sent = run->BytesSent();
    const int tenth = image.size > 0 ? int(sent * 10 / image.size) : 10;
    // At most one event per tenth of the image and per second.
    if (output.json && tenth != t.eventTenth && (!t.eventClock.isValid() || t.eventClock.elapsed() >= 1000)) {
        t.eventTenth = tenth;
        t.eventClock.start();
        QJsonObject e = BoardFields(run->Id());
        e.insert("event", "progress");
        e.insert("bytes_sent", sent);
        e.insert("bytes", image.size);
        e.insert("percent", tenth * 10);
        output.Event(e);
    }
    if (tenth != t.tenth) {
        t.tenth = tenth;
        Note(*run, QString("%1 % (%2 of %3 bytes)").arg(tenth * 10).arg(sent).arg(image.size));
    }
}

void BoardReport::Back(BoardRun *run, const DeviceId &seen, double seconds)
{
    Note(*run, QString("back after %1 s with release %2").arg(seconds, 0, 'f', 1).arg(ReleaseText(seen.release)));
    if (!output.json)
        return;
    QJsonObject e = BoardFields(seen);
    e.insert("event", "board-back");
    e.insert("seconds", qRound(seconds * 1000) / 1000.0);
    e.insert("release", ReleaseText(seen.release));
    output.Event(e);
}

QString BoardReport::Details(const BoardRun &run) const
{
    const QString attempt = run.Attempts() > 1 ? QString(" (attempt %1)").arg(run.Attempts()) : QString();
    if (run.Result() == BoardRun::Outcome::Interrupted || run.OpenFailed())
        return run.Reason();
    if (run.Result() != BoardRun::Outcome::Ok)
        return run.Reason() + attempt;
    QString details = QString("%1 bytes in %2 s, CRC-32 %3%4")
                          .arg(image.size)
                          .arg(run.Seconds(), 0, 'f', 1)
                          .arg(hex8(image.crc), attempt);
    if (run.ReturnChecked())
        details += run.Back() ? QString("; back after %1 s with release %2")
                                    .arg(run.BackSeconds(), 0, 'f', 1)
                                    .arg(ReleaseText(run.BackRelease()))
                              : QString("; not back within %1 s").arg(run.ReturnWaitMs() / 1000.0);
    return details;
}

void BoardReport::Ended(BoardRun *run)
{
    Told &t = told[run];
    if (t.recorded)
        return;
    t.recorded = true;
    const bool ok = run->Result() == BoardRun::Outcome::Ok;
    const QString reason = ok ? QString() : Details(*run);
    const double seconds = qRound(run->Seconds() * 1000) / 1000.0;
    QJsonObject back;
    if (run->ReturnChecked()) {
        back.insert("back", run->Back());
        back.insert("back_seconds", run->Back() ? QJsonValue(qRound(run->BackSeconds() * 1000) / 1000.0) : QJsonValue());
        back.insert("release", run->Back() ? ReleaseText(run->BackRelease()) : QString());
    }
    if (output.json) {
        QJsonObject e = BoardFields(run->Id());
        e.insert("event", "end");
        e.insert("outcome", QLatin1String(outcomeName(run->Result())));
        e.insert("reason", reason);
        e.insert("bytes", image.size);
        e.insert("bytes_sent", run->BytesSent());
        e.insert("seconds", seconds);
        e.insert("crc32", hex8(image.crc));
        e.insert("attempts", run->Attempts());
        for (auto it = back.constBegin(); it != back.constEnd(); ++it)
            e.insert(it.key(), it.value());
        output.Event(e);
    }
    if (log.IsOpen()) {
        QJsonObject line = BoardFields(run->Id());
        line.insert("time", UtcNow());
        line.insert("image", image.name);
        line.insert("size", image.size);
        line.insert("crc32", hex8(image.crc));
        line.insert("interval_ms", image.intervalMs);
        line.insert("outcome", QLatin1String(outcomeName(run->Result())));
        line.insert("reason", reason);
        line.insert("seconds", seconds);
        line.insert("attempts", run->Attempts());
        for (auto it = back.constBegin(); it != back.constEnd(); ++it)
            line.insert(it.key(), it.value());
        QString why;
        if (!log.Append(line, &why))
            output.Error("cannot write the log: " + why);
    }
    if (run->OpenFailed())
        output.Error("USB open fail " + BoardName(run->Id()));
    else if (run->Result() != BoardRun::Outcome::Interrupted)
        Note(*run, ok ? QStringLiteral("completed") : "failed: " + reason);
    if (station)
        Result(*run);
}

void BoardReport::Result(const BoardRun &run)
{
    const char *word = run.Result() == BoardRun::Outcome::Ok            ? "OK"
                       : run.Result() == BoardRun::Outcome::Interrupted ? "INTERRUPTED"
                                                                         : "FAILED";
    Line(ResultLine(word, run.Id(), Details(run)));
}

void BoardReport::Line(const QString &text)
{
    if (output.json)
        return;
    // The status line on stderr is taken away for a moment, so that the
    // board's line on stdout stands on a line of its own; it comes back
    // at its next draw.
    status.Clear();
    output.Out(text);
}

} // namespace UpgradeCli
