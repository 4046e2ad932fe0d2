#include "output.h"

#include "boardlog.h"
#include "qhidusbmgr.h"
#include "selection.h"

#include <QTextStream>

namespace UpgradeCli {

namespace {

QString hex4(int value)
{
    return QString("%1").arg(value, 4, 16, QChar('0'));
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

} // namespace

Output::Output(QTextStream &outStream, QTextStream &errStream, bool errIsTerminal, ColumnsFn columnsFn)
    : out(outStream)
    , err(errStream)
    , terminal(errIsTerminal)
    , columns(columnsFn)
{
}

void Output::Write(QTextStream &stream, bool &failed, const QString &text, QTextStream &other, bool &otherFailed,
                   const char *name)
{
    if (failed)
        return;
    stream << text;
    stream.flush();
    if (stream.status() == QTextStream::Ok)
        return;
    failed = true;
    // Noted on the other stream, unless that one carries JSON Lines.
    if (otherFailed || (&other == &out && json))
        return;
    other << ProgramName() << ": " << name << " is gone; the rest of it is dropped, the work goes on\n";
    other.flush();
    otherFailed = other.status() != QTextStream::Ok;
}

void Output::Out(const QString &text)
{
    Write(out, outFailed, text, err, errFailed, "stdout");
}

void Output::Err(const QString &text)
{
    Write(err, errFailed, text, out, outFailed, "stderr");
}

void Output::Error(const QString &text)
{
    Err(ProgramName() + ": " + text + "\n");
}

void Output::Event(QJsonObject event)
{
    event.insert("time", UtcNow());
    Out(QString::fromUtf8(JsonLine(event)));
}

int Output::Columns() const
{
    const int known = columns ? columns() : 0;
    return known > 0 ? known : 80;
}

QString DeviceLine(int index, const DeviceId &id)
{
    // The release goes last: scripts that cut the first five fields get
    // what they always got.
    return QString("%1\t%2\t%3:%4\t%5\t%6\t%7")
        .arg(index)
        .arg(QHidUsbMgr::Label(id), hex4(id.vendorId), hex4(id.productId), orDash(id.serial),
             QString::fromLocal8Bit(id.path), ReleaseText(id.release));
}

QString BoardName(const DeviceId &id)
{
    QString name = QString("%1 serial %2 path %3")
                       .arg(QHidUsbMgr::Label(id), orDash(id.serial), QString::fromLocal8Bit(id.path));
    // Device strings are the device's: no tab or line break of theirs may
    // split a result line.
    for (QChar &c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    }
    return name;
}

QString ResultLine(const char *word, const DeviceId &id, const QString &details)
{
    return QString("%1 %2\t%3\n").arg(QLatin1String(word), BoardName(id), details);
}

QJsonObject BoardFields(const DeviceId &id)
{
    return QJsonObject{
        {"serial", id.serial},
        {"path", QString::fromLocal8Bit(id.path)},
        {"vid_pid", QString("%1:%2").arg(hex4(id.vendorId), hex4(id.productId))},
    };
}

} // namespace UpgradeCli
