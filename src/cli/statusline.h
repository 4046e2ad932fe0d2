#ifndef STATUSLINE_H
#define STATUSLINE_H

#include <QString>

#include <memory>
#include <vector>

class BoardRun;

namespace UpgradeCli {

class Output;

// The one line of progress on a terminal (stderr), drawn over itself: for
// an upgrade a bar over every board with the bytes, the rate and the time
// left; for a station the batch so far and each running board's share.
// Every draw fits the terminal's width, asked anew each time.
class StatusLine
{
public:
    explicit StatusLine(Output &output);

    void DrawUpgrade(const std::vector<std::unique_ptr<BoardRun>> &runs, qint64 imageSize, double seconds, bool last);
    void DrawStation(const std::vector<std::unique_ptr<BoardRun>> &runs, qint64 imageSize);
    // Takes the line away (for a line of stdout, or at the end).
    void Clear();
    bool Drawn() const { return drawn; }

private:
    void Write(const QString &line, bool last);

    Output &output;
    bool drawn = false;
};

} // namespace UpgradeCli

#endif // STATUSLINE_H
