#ifndef BENCH_GROUPS_H
#define BENCH_GROUPS_H

// The measurements, each in the file named after its group. Each returns 0
// when it could measure, and runs in a process of its own (runner.h).

#include <QtCore/qnamespace.h>

namespace bench {

// efficiency.cpp
int benchEfficiency(int intervalMs, Qt::TimerType type, long slackNs);

// idle.cpp
int benchIdle();
int benchReader();

// log.cpp: the appenders compared. The first is Widget::AppendLog as built;
// the others work on the same QTextEdit of a fresh window and take the
// ingredients of a log line one by one, so that the cost of each shows:
// HTML parsing, the undo stack, and moving the view's cursor
// (QTextEdit::moveCursor lays out and keeps a shaped copy of every line it
// moves to).
enum class Appender { Window, HtmlUndo, HtmlNoUndo, CursorNoUndo };
const char *appenderName(Appender a);
int benchLogCheck();
int benchLog(Appender appender);

// upgrade1m.cpp
int benchUpgrade1M();

// soak.cpp
int benchAppendPastBound();
int benchDropOldLines(bool qtIdiom, bool shown);
int benchSoak();
int benchBurst();

} // namespace bench

#endif // BENCH_GROUPS_H
