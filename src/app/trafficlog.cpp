#include "trafficlog.h"

#include <QColor>
#include <QCoreApplication>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace {

// Text that the log's HTML line shows exactly as it stands: printable ASCII
// without a run of blanks (HTML folds runs of white space into one blank).
// Hex dumps always are.
bool showsVerbatim(const QString &text)
{
    QChar previous;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u > 0x7E || (u == ' ' && previous == QLatin1Char(' ')))
            return false;
        previous = c;
    }
    return true;
}

} // namespace

TrafficLog::TrafficLog(QTextEdit *view)
    : view(view)
{
    // The traffic log is a record, not a text being edited: with undo on,
    // every line appended would keep its undo steps for the life of the
    // window (three per line).
    view->setUndoRedoEnabled(false);
}

void TrafficLog::SetLimit(int maxLines, int dropped)
{
    lines = maxLines > 0 ? qMax(maxLines, 2) : 0;
    linesDropped = qBound(1, dropped, qMax(1, lines - 1));
}

// The log keeps the newest lines only. A board may stream input reports
// without pause (status or sensor reports, up to 1,000 a second at full speed
// and 8,000 at high speed), and a log that kept every line, some 560 bytes
// each, would grow by about 2 GB an hour until the process ran out of memory.
// The default of 100,000 lines holds the whole log of a 2 MiB upgrade (about
// 70,000 lines).
//
// The oldest lines go 10,000 at a time, in one edit. Removing lines at the
// top makes a log that is laid out (its page shown) place every line below
// them again. QTextDocument::setMaximumBlockCount removes one line for each
// line appended and so pays that for every line (with the page shown and
// 5,000 lines kept, a line then took 3.5 to 3.8 ms instead of 0.3 to 0.5 ms;
// tarnvik-bench soak); here it is paid once per 10,000 lines. A hidden log
// is not laid out, and costs about the same either way.
void TrafficLog::DropOldestLines(int count)
{
    QTextDocument *doc = view->document();
    QTextCursor cursor(doc);
    // Inside an edit block the cursor lays nothing out.
    cursor.beginEditBlock();
    cursor.setPosition(doc->findBlockByNumber(count).position(), QTextCursor::KeepAnchor);
    // The line that becomes the first keeps its block character format,
    // which the removal does not carry over. (Its paragraph format is that
    // of every line.)
    const QTextCharFormat blockCharFormat = cursor.blockCharFormat();
    cursor.removeSelectedText();
    cursor.setBlockCharFormat(blockCharFormat);
    cursor.endEditBlock();
}

void TrafficLog::Append(const QString &text, bool received)
{
    if (lines > 0 && view->document()->blockCount() >= lines)
        DropOldestLines(linesDropped);
    if (!showsVerbatim(text)) {
        // The text is escaped: device strings and typed text are shown as
        // written, never interpreted as markup.
        // (The window's texts, translated in its context.)
        const QString line = received ? QCoreApplication::translate("Widget", "<font color=red>[recv]%1</font>")
                                      : QCoreApplication::translate("Widget", "<font color=blue>[send]%1</font>");
        view->append(line.arg(text.toHtmlEscaped()));
        view->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
        return;
    }

    // Every hex dump of the traffic comes here. It gets the very paragraph
    // the HTML line above would give (same text, same colour, same block
    // formats), inserted directly: no HTML to parse, and no move of the
    // view's cursor, which would lay out the line and keep a shaped copy of
    // it for as long as the log lives. The view follows as append() makes
    // it follow: the view's cursor sits at the end and moves along with the
    // insertion, and a view at the bottom stays at the bottom.
    QScrollBar *bar = view->verticalScrollBar();
    const QTextCursor viewCursor = view->textCursor();
    const bool atBottom = view->isReadOnly() ? bar->value() >= bar->maximum() : viewCursor.atEnd();
    QTextCharFormat colour;
    colour.setForeground(received ? QColor(Qt::red) : QColor(Qt::blue));
    QTextDocument *doc = view->document();
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    if (doc->isEmpty())
        cursor.setCharFormat(viewCursor.charFormat());
    else
        cursor.insertBlock(viewCursor.blockFormat(), viewCursor.charFormat());
    cursor.insertText((received ? QStringLiteral("[recv]") : QStringLiteral("[send]")) + text, colour);
    cursor.endEditBlock();
    if (atBottom)
        bar->setValue(bar->maximum());
    else
        view->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}
