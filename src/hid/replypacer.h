#ifndef REPLYPACER_H
#define REPLYPACER_H

#include "replylines.h"

#include <QByteArray>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

// The next frame of a transfer, sent by the connection's reader the moment
// it has read the reply line that releases it, instead of once that line
// has reached the thread that paces the transfer and the frame has come
// back (two hand-overs between threads a packet, each a posted message
// where an event loop waits for it).
//
// The pacing thread stays in charge. It arms one frame at a time, with the
// report whose reply releases it and the earliest time it may go; the
// reader sends it only for a releasing line read after that report's write
// began (the first such line is the one that counts, sent or not) and only
// when that time has come: otherwise it leaves the frame to the pacing
// thread, which sends it on its own terms. The pacing thread takes back the
// armed frame before it sends anything itself (Disarm), and learns what the
// reader sent before it acts on anything else (TakeSent).
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
        quint64 ticket = 0; // 0: nothing sent
        quint64 index = 0;
        Clock::time_point at;
    };

    explicit ReplyPacer(Send send);

    // The pacing thread's. A session: lines of `lead` ... CR holding `text`,
    // from the chunks read once report `firstIndex`'s write began.
    void Begin(quint64 firstIndex, char lead, int maxLine, const QByteArray &text);
    // No more sending; what was sent and not taken is lost to TakeSent.
    Sent End();
    // `frame` goes at the first releasing line read after report `after`'s
    // write began, if that line comes at `notBefore` or later. Armed too
    // late (that line was read already), it is left to the pacing thread.
    void Arm(const QByteArray &frame, quint64 after, Clock::time_point notBefore);
    // Takes back the armed frame; returns what the reader sent and nobody
    // took yet (then nothing was armed any more).
    Sent Disarm();
    Sent TakeSent();

    // The reader's, with every chunk it read and the index of the report
    // whose write had begun last when it read it.
    void Feed(quint64 stamp, const QByteArray &chunk);

    // Frames the reader sent, over the connection's life.
    quint64 SentCount();

private:
    std::mutex mutex;
    const Send send;
    std::unique_ptr<ReplyLines> lines; // null: no session
    quint64 first = 0;
    // The stamp of the last chunk that completed a releasing line (0: none).
    quint64 lastLine = 0;
    bool armed = false;
    QByteArray frame;
    quint64 after = 0;
    Clock::time_point notBefore;
    Sent sent;
    quint64 sentCount = 0;
};

#endif // REPLYPACER_H
