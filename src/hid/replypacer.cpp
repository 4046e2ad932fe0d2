#include "replypacer.h"

ReplyPacer::ReplyPacer(Send sender)
    : send(std::move(sender))
{
}

void ReplyPacer::Begin(quint64 firstIndex, ReplyLines rules)
{
    std::lock_guard<std::mutex> lock(mutex);
    lines = std::make_unique<ReplyLines>(std::move(rules));
    first = firstIndex;
    lastLine = 0;
    live = false;
    frames.clear();
    sent.clear();
}

QVector<ReplyPacer::Sent> ReplyPacer::End()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.reset();
    }
    return Disarm();
}

void ReplyPacer::Arm(quint64 afterIndex, Clock::time_point earliest, int intervalMs, const QVector<QByteArray> &chain)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!lines)
        return;
    after = afterIndex;
    notBefore = earliest;
    interval = std::chrono::milliseconds(intervalMs);
    frames.assign(chain.begin(), chain.end());
    // The line that releases the first is in already: the pacing thread has
    // it coming, and sends that frame itself.
    live = lastLine < afterIndex && !frames.empty();
}

void ReplyPacer::Offer(const QByteArray &frame)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (live)
        frames.push_back(frame);
}

QVector<ReplyPacer::Sent> ReplyPacer::Disarm()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        live = false;
        frames.clear();
    }
    // Nothing more is sent from here on: what was is all there is to take.
    return TakeSent();
}

QVector<ReplyPacer::Sent> ReplyPacer::TakeSent()
{
    std::lock_guard<std::mutex> lock(mutex);
    QVector<Sent> taken;
    taken.swap(sent);
    return taken;
}

quint64 ReplyPacer::SentCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sentCount;
}

void ReplyPacer::Feed(quint64 stamp, const QByteArray &chunk, QByteArray *sentFrame)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!lines || stamp < first || lines->Feed(chunk) == 0)
        return;
    lastLine = stamp;
    if (!live || stamp < after)
        return;
    // The first line read since report `after` began: it releases the next
    // frame, now or on the pacing thread's terms. (Two lines in one chunk
    // release one frame.)
    const Clock::time_point now = Clock::now();
    if (frames.empty() || now < notBefore) {
        live = false;
        return;
    }
    Sent out;
    out.ticket = send(frames.front(), &out.index);
    if (out.ticket == 0) {
        live = false;
        frames.clear();
        return;
    }
    sentFrame->swap(frames.front());
    frames.pop_front();
    out.at = now;
    sent.append(out);
    ++sentCount;
    after = out.index;
    notBefore = now + interval;
}
