#ifndef REPLYPACER_H
#define REPLYPACER_H

#include "replylines.h"

#include <QByteArray>
#include <QVector>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// The next frames of a transfer, sent by the connection's reader the moment
// it has read the reply line that releases each, instead of once that line
// has reached the thread that paces the transfer and the frame has come
// back (two hand-overs between threads a frame, each a posted message where
// an event loop waits for it).
//
// The pacing thread stays in charge. It arms a chain of frames: the report
// whose reply releases the first, the earliest time that one may go, and
// the frames in order (more may be offered later). The reader sends a frame
// only for a releasing line read after the write of the report before it
// began (the first such line is the one that counts, sent on or not), and
// only when its time has come (an interval after the report before went);
// otherwise the chain stops there, and the pacing thread sends on its own
// terms. The pacing thread takes the chain back before it sends anything
// itself (Disarm), and learns what the reader sent before it acts on
// anything else (TakeSent).
//
// Lines are assembled as the pacing thread assembles them, from the first
// chunk read after the session's first report began (Begin), so both see
// the same lines. A frame the reader sends is written only if the report
// written before it was.
class ReplyPacer
{
public:
    using Clock = std::chrono::steady_clock;
    // Queues `frame` on the connection's writer, to be written only if the
    // report before it was written: its ticket (0: not queued) and `index`,
    // its place among the connection's reports.
    using Send = std::function<quint64(const QByteArray &frame, quint64 *index)>;
    struct Sent
    {
        quint64 ticket = 0;
        quint64 index = 0;
        Clock::time_point at;
    };

    explicit ReplyPacer(Send send);

    // The pacing thread's. A session: releasing lines by `rules`, from the
    // chunks read once report `firstIndex`'s write began.
    void Begin(quint64 firstIndex, ReplyLines rules);
    // No more sending; returns what was sent and not taken.
    QVector<Sent> End();
    // A chain: `frames` go one by one, the first at the first releasing line
    // read after report `after`'s write began, if that line comes at
    // `notBefore` or later, each next one `intervalMs` after the one before
    // it. Armed too late (that line was read already), it stops at once.
    void Arm(quint64 after, Clock::time_point notBefore, int intervalMs, const QVector<QByteArray> &frames);
    // One more frame at the chain's end (nothing, once it has stopped).
    void Offer(const QByteArray &frame);
    // Takes back the chain; returns what the reader sent and nobody took.
    QVector<Sent> Disarm();
    QVector<Sent> TakeSent();

    // The reader's, with every chunk it read and the index of the report
    // whose write had begun last when it read it; the frame it sent on it,
    // if any, in `sentFrame` (for the reader to announce).
    void Feed(quint64 stamp, const QByteArray &chunk, QByteArray *sentFrame);

    // Frames the reader sent, over the connection's life.
    quint64 SentCount();

private:
    std::mutex mutex;
    const Send send;
    std::unique_ptr<ReplyLines> lines; // null: no session
    quint64 first = 0;
    // The stamp of the last chunk that completed a releasing line (0: none).
    quint64 lastLine = 0;
    // The chain: it goes on while `live`, the next frame after a line read
    // once report `after` began, at `notBefore` or later.
    bool live = false;
    quint64 after = 0;
    Clock::time_point notBefore;
    Clock::duration interval{};
    std::deque<QByteArray> frames;
    QVector<Sent> sent;
    quint64 sentCount = 0;
};

#endif // REPLYPACER_H
