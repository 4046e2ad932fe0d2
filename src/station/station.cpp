#include "station.h"

#include "devicelist.h"

#include <algorithm>

Station::Station(const StationSettings &stationSettings, DeviceList *devices, QObject *parent)
    : QObject(parent)
    , settings(stationSettings)
    , list(devices)
{
}

Station::~Station() = default;

void Station::Start()
{
    connect(list, &DeviceList::Listed, this, &Station::SeeList);
}

void Station::Interrupt()
{
    stopped = true;
    disconnect(list, nullptr, this, nullptr);
    for (auto &run : runs)
        run->Interrupt();
}

int Station::Ended() const
{
    int ended = 0;
    for (const auto &run : runs)
        ended += run->Ended();
    return ended;
}

int Station::Count(BoardRun::Outcome outcome) const
{
    int n = 0;
    for (const auto &run : runs)
        n += run->Result() == outcome;
    return n;
}

void Station::SeeList(const QVector<DeviceId> &devices)
{
    if (stopped)
        return;
    // The runs see the list first: a board that came back is its run's.
    for (auto &run : runs)
        run->SeeList(devices, list->ListedFrom());
    QVector<DeviceId> now;
    QVector<DeviceId> fresh;
    // A board is its path and what it says of itself: another serial number
    // or release at a path is another board, or the same one restarted,
    // even when the lists never saw the path empty.
    // (A release of 0 is one that could not be read, as of a board on its
    // way out: it tells nothing.)
    const auto same = [](const DeviceId &a, const DeviceId &b) {
        return a.path == b.path && a.serial == b.serial
               && (a.release == b.release || a.release == 0 || b.release == 0) && a.vendorId == b.vendorId
               && a.productId == b.productId;
    };
    const auto contains = [&](const QVector<DeviceId> &ids, const DeviceId &board) {
        return std::any_of(ids.begin(), ids.end(), [&](const DeviceId &d) { return same(d, board); });
    };
    for (int i = 0; i < devices.size(); ++i) {
        const DeviceId &d = devices.at(i);
        if (!settings.selection.Matches(i, d) || contains(now, d))
            continue;
        now << d;
        if (!contains(present, d))
            fresh << d;
    }
    for (const DeviceId &d : qAsConst(present)) {
        if (!contains(now, d))
            emit BoardGone(d);
    }
    present = now;
    for (const DeviceId &d : qAsConst(fresh)) {
        bool claimed = false;
        for (const auto &run : runs)
            claimed = claimed || (!settings.reflash && run->Claims(d)) || (run->Claims(d) && !run->Ended());
        if (claimed)
            continue; // its run's, which tells of its return
        const bool full = settings.count > 0 && int(runs.size()) >= settings.count;
        emit BoardPresent(d, !full);
        if (full)
            continue;
        runs.push_back(std::make_unique<BoardRun>(d, settings.run));
        BoardRun *run = runs.back().get();
        connect(run, &BoardRun::Finished, this, &Station::RunEnded);
        emit RunCreated(run);
        run->Open();
        run->Start();
    }
}

void Station::RunEnded()
{
    if (settings.count > 0 && Ended() >= settings.count)
        emit Done();
}
