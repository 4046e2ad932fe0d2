#include "replypacer.h"

ReplyPacer::ReplyPacer(Send sender)
    : send(std::move(sender))
{
}

void ReplyPacer::Begin(quint64 firstIndex, char lead, int maxLine, const QByteArray &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    lines = std::make_unique<ReplyLines>(lead, maxLine, text);
    first = firstIndex;
    lastLine = 0;
    armed = false;
    sent = Sent();
}

ReplyPacer::Sent ReplyPacer::End()
{
    std::lock_guard<std::mutex> lock(mutex);
    lines.reset();
    armed = false;
    Sent left = sent;
    sent = Sent();
    return left;
}

void ReplyPacer::Arm(const QByteArray &next, quint64 afterIndex, Clock::time_point earliest)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!lines)
        return;
    frame = next;
    after = afterIndex;
    notBefore = earliest;
    // The line that releases it is in already: the pacing thread has it
    // coming, and sends the frame itself.
    armed = lastLine < afterIndex;
}

ReplyPacer::Sent ReplyPacer::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    armed = false;
    Sent taken = sent;
    sent = Sent();
    return taken;
}

ReplyPacer::Sent ReplyPacer::TakeSent()
{
    std::lock_guard<std::mutex> lock(mutex);
    Sent taken = sent;
    sent = Sent();
    return taken;
}

quint64 ReplyPacer::SentCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sentCount;
}

void ReplyPacer::Feed(quint64 stamp, const QByteArray &chunk)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!lines || stamp < first || lines->Feed(chunk) == 0)
        return;
    lastLine = stamp;
    if (!armed || stamp < after)
        return;
    // This line releases the armed frame, whether it goes now or on the
    // pacing thread's terms.
    armed = false;
    const Clock::time_point now = Clock::now();
    if (now < notBefore)
        return;
    Sent out;
    out.ticket = send(frame, &out.index);
    if (out.ticket == 0)
        return;
    out.at = now;
    sent = out;
    ++sentCount;
}
