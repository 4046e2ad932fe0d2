#ifndef TRAFFICLOG_H
#define TRAFFICLOG_H

#include <QString>

class QTextEdit;

// The traffic log on the window's second page: a red "[recv]" or blue
// "[send]" line per report, the newest lines only.
class TrafficLog
{
public:
    explicit TrafficLog(QTextEdit *view);

    void Append(const QString &text, bool received);

    // At most `lines` lines: when a line comes to a full log, the oldest
    // `dropped` lines go first (0 lines: no limit).
    void SetLimit(int lines, int dropped);
    static constexpr int kLines = 100000;
    static constexpr int kLinesDropped = 10000;

private:
    void DropOldestLines(int count);

    QTextEdit *view;
    int lines = kLines;
    int linesDropped = kLinesDropped;
};

#endif // TRAFFICLOG_H
