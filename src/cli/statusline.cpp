#include "statusline.h"

#include "boardrun.h"
#include "output.h"

#include <QStringList>

namespace UpgradeCli {

namespace {

constexpr int kBarWidth = 30;

QString duration(double seconds)
{
    if (seconds < 0 || seconds > 359999)
        return QStringLiteral("--:--");
    const int s = int(seconds + 0.5);
    return s >= 3600 ? QString("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'))
                     : QString("%1:%2").arg(s / 60, 2, 10, QChar('0')).arg(s % 60, 2, 10, QChar('0'));
}

QString rate(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024 * 1024)
        return QString::number(bytesPerSecond / (1024 * 1024), 'f', 1) + " MiB/s";
    if (bytesPerSecond >= 1024)
        return QString::number(bytesPerSecond / 1024, 'f', 1) + " KiB/s";
    return QString::number(bytesPerSecond, 'f', 0) + " B/s";
}

int digits(qint64 n)
{
    return QString::number(n).size();
}

} // namespace

StatusLine::StatusLine(Output &out)
    : output(out)
{
}

void StatusLine::DrawUpgrade(const std::vector<std::unique_ptr<BoardRun>> &runs, qint64 imageSize, double seconds,
                             bool last)
{
    qint64 sent = 0;
    int done = 0;
    int active = 0;
    for (const auto &run : runs) {
        if (run->OpenFailed())
            continue;
        ++active;
        sent += run->BytesSent();
        done += run->Ended();
    }
    const qint64 total = imageSize * active;
    const double fraction = total > 0 ? double(sent) / double(total) : 1.0;
    const double bytesPerSecond = seconds > 0 ? sent / seconds : 0;
    const double left = bytesPerSecond > 0 ? (total - sent) / bytesPerSecond : -1;

    // Every figure in a field of its widest: the line keeps its length, and
    // the bar its width, from the first draw to the last.
    QStringList figures{QString("%1/%2 bytes").arg(sent, digits(total)).arg(total),
                        QString("%1").arg(rate(bytesPerSecond), 12), QString("%1 left").arg(duration(left), 8)};
    if (active > 1)
        figures << QString("%1/%2 boards done").arg(done, digits(active)).arg(active);
    const QString percent = QString("%1 %").arg(int(fraction * 100), 3);
    const auto compose = [&](int barWidth) {
        QString line;
        if (barWidth > 0) {
            const int filled = int(fraction * barWidth);
            line = QString("[%1%2] ").arg(QString(filled, QChar('#')), QString(barWidth - filled, QChar('.')));
        }
        line += percent;
        for (const QString &f : qAsConst(figures))
            line += "  " + f;
        return line;
    };
    // The line must fit the terminal (asked anew at every draw, so that a
    // resized terminal is followed), or every draw would wrap onto a new
    // line: the bar narrows first, then the least needed figures go.
    const int width = output.Columns() - 1; // the last column would wrap
    QString line = compose(kBarWidth);
    if (line.size() > width) {
        const int barWidth = kBarWidth - (line.size() - width);
        if (barWidth >= 10) {
            line = compose(barWidth);
        } else {
            // The bytes go first, then the rate, then the time left; the
            // boards done stay.
            int droppable = figures.size() - (active > 1 ? 1 : 0);
            while (droppable > 0 && compose(10).size() > width) {
                figures.removeFirst();
                --droppable;
            }
            line = compose(10);
            if (line.size() > width)
                line = compose(0);
            line.truncate(qMax(0, width));
        }
    }
    Write(line, last);
}

void StatusLine::DrawStation(const std::vector<std::unique_ptr<BoardRun>> &runs, qint64 imageSize)
{
    // The batch so far, and each running board's share: as many as fit.
    int ok = 0, failed = 0;
    QStringList running;
    for (const auto &run : runs) {
        const BoardRun::Outcome outcome = run->Result();
        if (outcome == BoardRun::Outcome::Ok) {
            ++ok;
        } else if (outcome != BoardRun::Outcome::Running) {
            ++failed;
        } else {
            const QString name = run->Id().serial.isEmpty() ? QString::fromLocal8Bit(run->Id().path) : run->Id().serial;
            running << (run->ChecksumWritten() ? name + " back?"
                                               : QString("%1 %2 %").arg(name).arg(
                                                     imageSize > 0 ? int(run->BytesSent() * 100 / imageSize) : 0));
        }
    }
    const int width = output.Columns() - 1;
    QString line = QString("station: %1 done, %2 failed, %3 running").arg(ok).arg(failed).arg(running.size());
    for (int i = 0; i < running.size(); ++i) {
        const QString more = (i == 0 ? ": " : ", ") + running.at(i);
        if (line.size() + more.size() > width) {
            line += " ...";
            break;
        }
        line += more;
    }
    line.truncate(qMax(0, width));
    Write(line, false);
}

void StatusLine::Clear()
{
    if (!drawn)
        return;
    output.Err("\r\x1b[K");
    drawn = false;
}

void StatusLine::Write(const QString &line, bool last)
{
    // Over the line drawn before, whatever was left of it cleared.
    output.Err("\r" + line + "\x1b[K" + (last ? "\n" : ""));
    drawn = !last;
}

} // namespace UpgradeCli
