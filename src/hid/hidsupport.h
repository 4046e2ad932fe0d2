#ifndef HIDSUPPORT_H
#define HIDSUPPORT_H

// What the manager's files share: diagnostic lines and wide strings.

#include <QDebug>
#include <QString>

#include <cwchar>

namespace hidsupport {

inline QString fromWide(const wchar_t *text)
{
    return text ? QString::fromWCharArray(text, static_cast<int>(std::wcslen(text))) : QString();
}

// A diagnostic line, started with "[name]" when the manager has a name.
inline QDebug diagnostic(const QString &name)
{
    QDebug line = qDebug();
    if (!name.isEmpty())
        line.noquote() << QStringLiteral("[%1]").arg(name);
    return line.quote();
}

} // namespace hidsupport

#endif // HIDSUPPORT_H
