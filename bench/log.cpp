// [log] First a check that Widget::AppendLog shows exactly what the HTML
// appender shows; then 35,000 traffic-log lines of the shapes an upgrade
// produces, appended by Widget::AppendLog and by reference appenders for
// comparison: time per line at the start and at the end, and peak resident
// memory before and after.
#include "groups.h"

#include "clocks.h"
#include "eventloop.h"
#include "otaframes.h"
#include "procfs.h"
#include "qhidusbmgr.h"
#include "runner.h"
#include "simkit.h"
#include "virtualhid.h"
#include "widget.h"

#include <QDebug>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

const char *appenderName(Appender a)
{
    switch (a) {
    case Appender::Window:
        return "Widget::AppendLog";
    case Appender::HtmlUndo:
        return "append(HTML)+moveCursor, undo on";
    case Appender::HtmlNoUndo:
        return "append(HTML)+moveCursor, undo off";
    case Appender::CursorNoUndo:
        return "insertText+moveCursor, undo off";
    }
    return "?";
}

namespace {

// The reference appenders. Both show the same coloured, escaped line and
// keep the view on the newest line.
void appendHtml(QTextEdit *edit, const QString &text, bool received)
{
    const QString line = received ? QStringLiteral("<font color=red>[recv]%1</font>")
                                  : QStringLiteral("<font color=blue>[send]%1</font>");
    edit->append(line.arg(text.toHtmlEscaped()));
    edit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void appendCursor(QTextEdit *edit, const QString &text, bool received)
{
    QTextCharFormat format;
    format.setForeground(received ? QColor(Qt::red) : QColor(Qt::blue));
    QTextDocument *doc = edit->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!doc->isEmpty())
        cursor.insertBlock();
    cursor.insertText((received ? QStringLiteral("[recv]") : QStringLiteral("[send]")) + text, format);
    cursor.endEditBlock();
    edit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

// The log's content as the operator could ever see it: every paragraph's
// block format, block character format and fragments (text and format),
// the view's cursor and the scroll bars.
QStringList logState(QTextEdit *edit)
{
    const auto props = [](const QTextFormat &format) {
        QString text;
        const QMap<int, QVariant> p = format.properties();
        for (auto it = p.begin(); it != p.end(); ++it)
            QDebug(&text) << it.key() << it.value();
        return text;
    };
    QStringList state;
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next()) {
        QString line = props(b.blockFormat()) + "|" + props(b.charFormat());
        for (auto it = b.begin(); !it.atEnd(); ++it)
            line += "{" + it.fragment().text() + "|" + props(it.fragment().charFormat()) + "}";
        state.append(line);
    }
    const QTextCursor view = edit->textCursor();
    state.append(QString("cursor %1/%2 %3 scroll %4/%5 %6/%7")
                     .arg(view.position())
                     .arg(view.anchor())
                     .arg(props(view.charFormat()))
                     .arg(edit->verticalScrollBar()->value())
                     .arg(edit->verticalScrollBar()->maximum())
                     .arg(edit->horizontalScrollBar()->value())
                     .arg(edit->horizontalScrollBar()->maximum()));
    return state;
}

// Widget::AppendLog against the HTML appender on a second window, line by
// line, with the log's page hidden (as the tool keeps it) and brought
// forward (so that it is laid out): the shown result must not differ.
bool checkLogEquivalence()
{
    const QStringList samples = {
        QHidUsbMgr::ToHexString(QByteArray::fromHex("0100000041542b4f54413d45")),
        "Tarnvik(1a2b)-Board(00ff)",
        "<b>bold</b> & &amp; <img src=x>",
        "two  blanks",
        " leading blank",
        "trailing blank ",
        "tab\there",
        QString::fromUtf8("Gr\xc3\xbc\xc3\x9f" "e \xe2\x98\x83 \xe6\xb5\x8b\xe8\xaf\x95"),
        "",
        " ",
        QHidUsbMgr::ToHexString(QByteArray(64, '\0')),
        QString::fromUtf8("non\xc2\xa0" "breaking"),
    };
    bool same = true;
    for (int page = 0; page < 2 && same; ++page) {
        Widget tool, reference;
        for (Widget *w : {&tool, &reference}) {
            if (page)
                w->findChild<QStackedWidget *>("stackedWidget")->setCurrentIndex(1);
            w->show();
        }
        QTextEdit *edit = reference.findChild<QTextEdit *>("textEdit");
        QCoreApplication::processEvents();
        for (int i = 0; i < 600 && same; ++i) {
            const QString &text = samples[(i * 7 + i / 50) % samples.size()];
            const bool received = i % 3 == 1;
            tool.AppendLog(text, received);
            appendHtml(edit, text, received);
            QCoreApplication::processEvents();
            const QStringList a = logState(tool.findChild<QTextEdit *>("textEdit"));
            const QStringList b = logState(edit);
            if (a != b) {
                same = false;
                for (int k = 0; k < std::min(a.size(), b.size()); ++k) {
                    if (a[k] != b[k]) {
                        std::printf("    line %d, %s page: paragraph %d differs:\n      AppendLog %s\n      HTML      %s\n",
                                    i + 1, page ? "shown" : "hidden", k, qPrintable(a[k].left(300)),
                                    qPrintable(b[k].left(300)));
                        break;
                    }
                }
            }
        }
    }
    std::printf("    Widget::AppendLog against append(HTML)+moveCursor, 600 mixed lines, log page hidden "
                "and shown: %s\n",
                same ? "identical after every line" : "DIFFERENT");
    return same;
}

} // namespace

int benchLogCheck()
{
    std::printf("\n[log] what the log shows\n");
    vhid::reset();
    const bool same = checkLogEquivalence();
    summary("log content of Widget::AppendLog and of the HTML appender: %s", same ? "identical" : "DIFFERENT");
    return same ? 0 : 1;
}

int benchLog(Appender appender)
{
    constexpr int kLines = 35000; // a 1 MiB upgrade: 17,477 packets, a send and a recv line each
    constexpr int kWindow = 1000;
    std::printf("\n[log] %d lines through %s\n", kLines, appenderName(appender));

    // The lines an upgrade logs: each data packet as sent (64 bytes) and the
    // device's zero-padded acknowledgement report (64 bytes), as hex text.
    const QByteArray image = simkit::image(60 * (kLines / 2 + 1));
    const QByteArray ackReport = QByteArray(64, '\0').replace(0, 12, "AT+OTA=E3:1\r");
    const QString ackLine = QHidUsbMgr::ToHexString(ackReport);
    std::vector<QString> lines;
    lines.reserve(kLines);
    for (int i = 0; i < kLines; ++i) {
        if (i % 2)
            lines.push_back(ackLine);
        else
            lines.push_back(QHidUsbMgr::ToHexString(
                OtaFrames::DataPacket(uint32_t(i / 2 + 1), image.mid(60 * (i / 2), 60))));
    }

    vhid::reset();
    Widget window;
    window.show();
    auto *edit = window.findChild<QTextEdit *>("textEdit");
    if (appender == Appender::HtmlUndo)
        edit->setUndoRedoEnabled(true);
    if (appender == Appender::HtmlNoUndo || appender == Appender::CursorNoUndo)
        edit->setUndoRedoEnabled(false);
    runFor(200);

    const long hwmBefore = statusKb("VmHWM");
    const long rssBefore = statusKb("VmRSS");
    std::vector<int64_t> call(kLines), loop(kLines);
    LoadMeter meter;
    meter.start();
    const int64_t begin = nowNs();
    for (int i = 0; i < kLines; ++i) {
        const bool received = i % 2;
        const int64_t t0 = nowNs();
        switch (appender) {
        case Appender::Window:
            window.AppendLog(lines[size_t(i)], received);
            break;
        case Appender::HtmlUndo:
        case Appender::HtmlNoUndo:
            appendHtml(edit, lines[size_t(i)], received);
            break;
        case Appender::CursorNoUndo:
            appendCursor(edit, lines[size_t(i)], received);
            break;
        }
        const int64_t t1 = nowNs();
        // What the append left for the event loop (layout, scroll bars).
        QCoreApplication::processEvents();
        call[size_t(i)] = t1 - t0;
        loop[size_t(i)] = nowNs() - t1;
    }
    const int64_t total = nowNs() - begin;
    meter.stop();
    const long hwmAfter = statusKb("VmHWM");
    const long rssAfter = statusKb("VmRSS");

    const auto meanUs = [](const std::vector<int64_t> &v, int from, int count) {
        int64_t sum = 0;
        for (int i = from; i < from + count; ++i)
            sum += v[size_t(i)];
        return us(sum) / count;
    };
    std::printf("    mean us per line        AppendLog call   event loop after it\n");
    for (int from = 0; from + kWindow <= kLines; from += 5000) {
        std::printf("      lines %5d-%5d      %8.2f         %8.2f\n", from + 1, from + kWindow,
                    meanUs(call, from, kWindow), meanUs(loop, from, kWindow));
    }
    const double firstCall = meanUs(call, 0, kWindow);
    const double lastCall = meanUs(call, kLines - kWindow, kWindow);
    const double lastLoop = meanUs(loop, kLines - kWindow, kWindow);
    const double firstLoop = meanUs(loop, 0, kWindow);
    std::printf("      lines %5d-%5d      %8.2f         %8.2f\n", kLines - kWindow + 1, kLines, lastCall, lastLoop);
    std::printf("    all %d lines: %.2f s (calls and event loop); other load %.2f cores\n", kLines,
                double(total) / 1e9, meter.others);
    std::printf("    document: %d blocks, %d characters, %d undo steps kept\n", edit->document()->blockCount(),
                edit->document()->characterCount(), edit->document()->availableUndoSteps());
    std::printf("    VmHWM %ld kB before, %ld kB after: +%.0f bytes per line; VmRSS %ld -> %ld kB\n", hwmBefore,
                hwmAfter, (hwmAfter - hwmBefore) * 1024.0 / kLines, rssBefore, rssAfter);
    summary("log %-34s first 1000 lines %.1f us/line (+%.1f us event loop), last 1000 %.1f us/line (+%.1f us); "
            "VmHWM %ld -> %ld kB (+%.0f B/line); undo steps %d; other load %.2f cores",
            appenderName(appender), firstCall, firstLoop, lastCall, lastLoop, hwmBefore, hwmAfter,
            (hwmAfter - hwmBefore) * 1024.0 / kLines, edit->document()->availableUndoSteps(), meter.others);
    return 0;
}

} // namespace bench
