#include "boardlog.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
// Appending on Windows: a handle opened with FILE_APPEND_DATA alone writes
// every WriteFile at the end of the file as one piece.
int openForAppending(const QString &path)
{
    const HANDLE h = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

bool writeWhole(int fd, const QByteArray &line)
{
    DWORD written = 0;
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return WriteFile(h, line.constData(), DWORD(line.size()), &written, nullptr) && written == DWORD(line.size())
           && FlushFileBuffers(h);
}

void closeFd(int fd)
{
    _close(fd);
}
#else
// O_APPEND: every write() goes to the end of the file as one piece, also
// with other processes writing the same file.
int openForAppending(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

bool writeWhole(int fd, const QByteArray &line)
{
    ssize_t n;
    do {
        n = ::write(fd, line.constData(), size_t(line.size()));
    } while (n < 0 && errno == EINTR);
    return n == line.size() && ::fsync(fd) == 0;
}

void closeFd(int fd)
{
    ::close(fd);
}
#endif

} // namespace

BoardLog::~BoardLog()
{
    if (fd >= 0)
        closeFd(fd);
}

bool BoardLog::Open(const QString &path, QString *why)
{
    fd = path.isEmpty() ? -1 : openForAppending(path);
    if (fd < 0 && why) {
#ifdef Q_OS_WIN
        *why = path.isEmpty() ? QStringLiteral("the name is empty")
                              : QStringLiteral("it cannot be opened (error %1)").arg(GetLastError());
#else
        *why = path.isEmpty() ? QStringLiteral("the name is empty") : QString::fromLocal8Bit(std::strerror(errno));
#endif
    }
    return fd >= 0;
}

bool BoardLog::Append(const QJsonObject &record, QString *why)
{
    if (fd < 0)
        return false;
    if (writeWhole(fd, JsonLine(record)))
        return true;
    if (why)
        *why = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

QByteArray JsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString UtcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}
