#include "replylines.h"

ReplyLines::ReplyLines(char leadByte, int longest, const QByteArray &wanted)
    : text(wanted)
    , maxLine(longest)
    , lead(leadByte)
{
    line.reserve(longest + 1);
}

int ReplyLines::Feed(const QByteArray &chunk)
{
    int found = 0;
    for (const char byte : chunk) {
        if (line.isEmpty() && byte != lead)
            continue;
        line.append(byte);
        if (byte == '\r') {
            if (line.contains(text))
                ++found;
            line.resize(0);
        } else if (line.size() > maxLine) {
            line.resize(0);
        }
    }
    return found;
}
