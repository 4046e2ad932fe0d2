#include "recorder.h"

#include "clocks.h"

#include <QAbstractButton>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>

#include <cstdio>
#include <cstring>

namespace bench {

Recorder recorder;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        ++recorder.debugLines;
        if (recorder.on && message.startsWith(QLatin1String("RecvBufSignal"))) {
            const int64_t t = nowNs();
            std::lock_guard<std::mutex> lock(recorder.readMutex);
            recorder.reads.push_back(t);
        }
        return;
    }
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool Watch::eventFilter(QObject *object, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Timer:
        if (object == timer && recorder.on)
            recorder.ticks.push_back(nowNs());
        break;
    case QEvent::MetaCall:
        if (object == window && recorder.on)
            recorder.deliveries.push_back(nowNs());
        break;
    case QEvent::Show:
        if (auto *box = qobject_cast<QMessageBox *>(object)) {
            boxes.append(box->text());
            QPointer<QMessageBox> guarded(box);
            QMetaObject::invokeMethod(
                box,
                [guarded]() {
                    if (!guarded)
                        return;
                    if (QAbstractButton *ok = guarded->button(QMessageBox::Ok))
                        ok->click();
                    else
                        guarded->reject();
                },
                Qt::QueuedConnection);
        }
        break;
    default:
        break;
    }
    return false;
}

sim::Board addBoard()
{
    return sim::plugBoard(sim::boardInfo("sim:bench-board", 0x1a2b, 0x00ff, L"Bench Board"), {},
                          [](const vhid::Bytes &frame) {
                              const int64_t t = nowNs();
                              if (!recorder.on)
                                  return;
                              const bool command =
                                  frame.size() > 9 && std::memcmp(frame.data() + 1, "AT+OTA=E", 8) == 0;
                              (command ? recorder.commandWrites : recorder.dataWrites).push_back(t);
                          });
}

} // namespace bench
