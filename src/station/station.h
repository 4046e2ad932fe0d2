#ifndef STATION_H
#define STATION_H

#include "boardrun.h"
#include "selection.h"

#include <QObject>

#include <memory>
#include <vector>

class DeviceList;

struct StationSettings
{
    Selection selection; // which boards are upgraded (never empty)
    RunSettings run;
    int count = 0;        // the batch ends once this many boards have ended (0: no end)
    bool reflash = false; // a board is upgraded every time it appears
};

// A production bench: every board that matches the selection is upgraded
// once, as it appears, several at a time. A board that comes back after
// its upgrade (it starts its new image; it is unplugged and plugged in
// again) is the same board and is not upgraded again, unless `reflash`;
// a board whose upgrade failed is upgraded again when it appears again.
// Which board is the same board: BoardRun. Lives on its caller's thread,
// which runs the event loop.
class Station : public QObject
{
    Q_OBJECT

public:
    Station(const StationSettings &settings, DeviceList *list, QObject *parent = nullptr);
    ~Station() override;

    void Start();
    // Every running board is interrupted; no board starts any more.
    void Interrupt();

    // Every board upgraded so far, in the order they appeared.
    const std::vector<std::unique_ptr<BoardRun>> &Runs() const { return runs; }
    // Boards that ended, and how.
    int Ended() const;
    int Count(BoardRun::Outcome outcome) const;

signals:
    // A matching board appeared; `upgraded`: it is upgraded (false: the
    // batch is full).
    void BoardPresent(const DeviceId &board, bool upgraded);
    // A board that was seen left the list.
    void BoardGone(const DeviceId &board);
    // A board's run begins: connect to it here, before it opens (a board
    // that cannot be opened ends at once).
    void RunCreated(BoardRun *run);
    // The batch is complete: `count` boards have ended.
    void Done();

private:
    void SeeList(const QVector<DeviceId> &devices);
    void RunEnded();

    StationSettings settings;
    DeviceList *list;
    // The matching boards in the last list, by path.
    QVector<DeviceId> present;
    std::vector<std::unique_ptr<BoardRun>> runs;
    bool stopped = false;
};

#endif // STATION_H
