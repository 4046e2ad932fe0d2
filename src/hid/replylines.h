#ifndef REPLYLINES_H
#define REPLYLINES_H

#include <QByteArray>

// Text lines in a device's input reports: a line starts with `lead` and
// ends with CR; anything before a lead byte (the zero padding of input
// reports, stray CR/LF) is dropped byte by byte. A line may span several
// chunks. A line longer than `maxLine` bytes without CR is dropped. Bytes
// outside a line are never stored, and the room for a line is reserved
// once: a reply costs no allocation.
class ReplyLines
{
public:
    ReplyLines(char lead, int maxLine, const QByteArray &text);

    // The lines that `chunk` completes and that contain the text.
    int Feed(const QByteArray &chunk);
    // Forgets the line being assembled.
    void Clear() { line.resize(0); }

private:
    QByteArray line;
    QByteArray text;
    int maxLine;
    char lead;
};

#endif // REPLYLINES_H
