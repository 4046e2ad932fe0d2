#ifndef BENCH_RECORDER_H
#define BENCH_RECORDER_H

// What happened during a transfer, by the monotonic clock, and the hooks
// that record it: the diagnostic line handler, an event filter on the GUI
// thread and a board whose writes are time-stamped.

#include "otasim.h"

#include <QObject>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace bench {

// What happened during one transfer, by the monotonic clock. The writes are
// taken at the device (inside hid_write), the ticks and deliveries on the
// GUI thread by an event filter, the reads on the reader thread from its own
// diagnostic line, which it writes right after handing the chunk over.
struct Recorder
{
    std::atomic<bool> on{false};
    std::mutex readMutex;
    std::vector<int64_t> reads;
    std::vector<int64_t> ticks;
    std::vector<int64_t> deliveries;
    std::vector<int64_t> dataWrites;
    std::vector<int64_t> commandWrites;
    std::atomic<long> debugLines{0};

    void clear()
    {
        std::lock_guard<std::mutex> lock(readMutex);
        reads.clear();
        ticks.clear();
        deliveries.clear();
        dataWrites.clear();
        commandWrites.clear();
    }
};

extern Recorder recorder;

// The diagnostic lines are counted and dropped, so that the figures are the
// tool's own and not those of a terminal; warnings still reach stderr.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Closes every message box as soon as it shows (as an operator clicking OK
// at once would), and records timer ticks and queued deliveries.
class Watch : public QObject
{
public:
    QObject *window = nullptr;
    QObject *timer = nullptr;
    QStringList boxes;

    bool eventFilter(QObject *object, QEvent *event) override;
};

// The board: the protocol model behind a virtual device, with every write
// time-stamped as the device receives it.
sim::Board addBoard();

} // namespace bench

#endif // BENCH_RECORDER_H
