#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

// Collects the lines written to Qt's debug stream while it exists, from any
// thread, and passes them on to the previous handler.

#include <QStringList>
#include <QtGlobal>

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
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        captured.clear();
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
            std::lock_guard<std::mutex> lock(self->mutex);
            self->captured.append(message);
        }
        if (self->previous && (type != QtDebugMsg || qEnvironmentVariableIsSet("TARNVIK_TEST_ECHO")))
            self->previous(type, context, message);
    }

    mutable std::mutex mutex;
    QStringList captured;
    QtMessageHandler previous = nullptr;
};

#endif // MESSAGECAPTURE_H
