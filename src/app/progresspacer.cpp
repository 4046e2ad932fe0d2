#include "progresspacer.h"

#include <QEvent>
#include <QProgressBar>

ProgressPacer::ProgressPacer(QProgressBar *progressBar, int intervalMs)
    : QObject(progressBar)
    , bar(progressBar)
    , interval(intervalMs)
{
    release.setSingleShot(true);
    // Updates on again: Qt schedules a paint of the whole bar (update()),
    // which comes with the next round of the event loop.
    connect(&release, &QTimer::timeout, bar, [this]() { bar->setUpdatesEnabled(true); });
    bar->installEventFilter(this);
}

void ProgressPacer::SetValue(int value)
{
    // Painted less than an interval ago: this value, and any until the
    // interval is over, is painted then.
    if (!release.isActive() && sincePaint.isValid() && sincePaint.elapsed() < interval) {
        bar->setUpdatesEnabled(false);
        release.start(int(interval - sincePaint.elapsed()));
    }
    bar->setValue(value);
}

void ProgressPacer::PaintNow()
{
    if (!release.isActive())
        return; // nothing held back: the bar shows its value
    release.stop();
    bar->setUpdatesEnabled(true);
    bar->repaint();
}

bool ProgressPacer::eventFilter(QObject *watched, QEvent *event)
{
    // Every paint counts, whatever asked for it (a value, an expose).
    if (watched == bar && event->type() == QEvent::Paint)
        sincePaint.start();
    return false;
}
