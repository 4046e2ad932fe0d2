#ifndef PROGRESSPACER_H
#define PROGRESSPACER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QProgressBar;

// Paints a progress bar at a display's pace while its value runs ahead.
//
// QProgressBar::setValue repaints the bar at once (a synchronous paint and
// flush of the window's backing store) whenever the new value changes what
// it draws, its percentage or its chunk. During a fast transfer that was a
// paint for every packet, and a paint of the styled bar costs more than a
// packet's own work where painting is slow (under Wine, and a themed
// Windows). SetValue sets the value at once, so value() is always the
// latest, and lets the bar paint at most once an interval: a value set
// within an interval of the bar's last paint is painted when that interval
// is over, with whatever value the bar holds then. The bar's updates are
// held off (setUpdatesEnabled(false)) only for that while.
class ProgressPacer : public QObject
{
public:
    // Ten paints a second at most: enough for a bar to move smoothly to
    // the eye. Under Wine a window that painted the bar every 30 ms took
    // 11 to 18 ms a packet at a 1 ms interval, every 100 ms 9 to 12 ms, as
    // fast as one whose bar never painted.
    static constexpr int kIntervalMs = 100;

    // The pacer belongs to the bar (a child of it).
    explicit ProgressPacer(QProgressBar *bar, int intervalMs = kIntervalMs);

    void SetValue(int value);
    // Paints a value held back, at once (before a box that ends the
    // transfer, so that the box finds the bar as it stands).
    void PaintNow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QProgressBar *bar;
    int interval;
    QTimer release;
    QElapsedTimer sincePaint;
};

#endif // PROGRESSPACER_H
