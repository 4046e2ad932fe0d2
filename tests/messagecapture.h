#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

// Collects the lines written to Qt's debug stream while it exists, from any
// thread, each with the monotonic time it was written at, and passes them on
// to the previous handler.

#include <QPair>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

#include <chrono>
#include <mutex>

class MessageCapture
{
public:
    MessageCapture()
    {
        instance() = this;
        previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(previous);
        instance() = nullptr;
    }

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }
    // Lines that start with `prefix`.
    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList result;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                result.append(line);
        }
        return result;
    }
    // Lines that start with `prefix`, with their steady-clock time in ns.
    QVector<QPair<qint64, QString>> timedLinesStartingWith(const QString &prefix) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        QVector<QPair<qint64, QString>> result;
        for (int i = 0; i < captured.size(); ++i) {
            if (captured.at(i).startsWith(prefix))
                result.append({stamps.at(i), captured.at(i)});
        }
        return result;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        captured.clear();
        stamps.clear();
    }

private:
    static MessageCapture *&instance()
    {
        static MessageCapture *current = nullptr;
        return current;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        MessageCapture *self = instance();
        if (!self)
            return;
        {
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            std::lock_guard<std::mutex> lock(self->mutex);
            self->captured.append(message);
            self->stamps.append(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
        }
        if (self->previous && (type != QtDebugMsg || qEnvironmentVariableIsSet("TARNVIK_TEST_ECHO")))
            self->previous(type, context, message);
    }

    mutable std::mutex mutex;
    QStringList captured;
    QVector<qint64> stamps; // steady-clock ns, one per captured line
    QtMessageHandler previous = nullptr;
};

#endif // MESSAGECAPTURE_H
