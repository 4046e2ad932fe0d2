// The reader of the open connection: the manager's own thread (QThread::run),
// which waits for input on the reader's handle and hands every chunk on.
#include "hidsupport.h"
#include "qhidusbmgr.h"
#include "replypacer.h"

#include <hidapi.h>

#include <cstring>

namespace {

constexpr int kReadSize = 64; // bytes asked for by one read

} // namespace

void QHidUsbMgr::run()
{
    unsigned char buffer[kReadSize];
    bool readFailed = false;
    // Set before the thread started, this thread's alone while it runs.
    const quint64 reading = connection;
    hid_device *handle = readDevice;
    const std::shared_ptr<std::atomic<quint64>> begun = writesBegun;
    const std::shared_ptr<ReplyPacer> paced = pacer;
    while (running && handle) {
        std::memset(buffer, 0, sizeof buffer);
        const int n = hid_read_timeout(handle, buffer, sizeof buffer, kReadWaitMs);
        if (n < 0) {
            if (!readFailed) {
                readFailed = true;
                emit ReadFailedSignal(reading);
            }
            // A device that is gone fails every read at once.
            QThread::msleep(kReadWaitMs);
            continue;
        }
        if (n == 0)
            continue;
        const QByteArray chunk(reinterpret_cast<const char *>(buffer), n);
        // Stamped with the report whose write began last: what was read
        // before a report's write began cannot answer it.
        const quint64 stamp = begun->load();
        // The frame a reply releases goes first (each signal is a posted
        // message, under Wine a call to its server), and is announced after
        // the chunk: a window logs the reply before the frame.
        QByteArray released;
        paced->Feed(stamp, chunk, &released);
        emit RecvBufSignal(chunk);
        emit ChunkSignal(reading, stamp, chunk);
        if (!released.isEmpty())
            emit SendBufSignal(released);
        Diagnostic().noquote() << "RecvBufSignal" << ToHexString(chunk);
    }
    // The handle stays open: the connection's writer closes it (on Windows
    // the patched hid_close cancels a read left pending by this thread and
    // waits for its end).
}
