#ifndef BOXWATCHER_H
#define BOXWATCHER_H

// Watches for message boxes while a test drives the window: every box that
// opens is recorded (title, text, icon, buttons, parent) and
// closed with its OK button, so a test never hangs on a modal box and can
// assert exactly what the operator would have seen.

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVector>

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *parent = nullptr;
    bool modal = false;
};

class BoxWatcher : public QObject
{
public:
    // `holdMs`: how long each box stays open before it is closed, so that
    // work driven by timers can go on inside the box's event loop.
    explicit BoxWatcher(int holdMs = 0)
        : hold(holdMs)
    {
        poll.setInterval(2);
        connect(&poll, &QTimer::timeout, this, [this]() { scan(); });
        poll.start();
        // Boxes are recorded as they are shown: one opened inside another's
        // event loop before the next poll comes after it (the application's
        // list of windows has no order).
        qApp->installEventFilter(this);
    }
    ~BoxWatcher() override { qApp->removeEventFilter(this); }

    void setHoldMs(int ms) { hold = ms; }
    const QVector<SeenBox> &boxes() const { return seen; }
    QStringList texts() const
    {
        QStringList result;
        for (const SeenBox &box : seen)
            result.append(box.text);
        return result;
    }
    void clear() { seen.clear(); }
    int openCount() const { return open.size(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(watched))
                record(box);
        }
        return false;
    }

private:
    void record(QMessageBox *box)
    {
        if (known.contains(box))
            return;
        known.append(box);
        SeenBox shown;
        shown.title = box->windowTitle();
        shown.text = box->text();
        shown.icon = box->icon();
        shown.buttons = box->standardButtons();
        shown.parent = box->parentWidget();
        shown.modal = box->isModal();
        seen.append(shown);
        open.append(box);
        openedAt.append(QElapsedTimer());
        openedAt.last().start();
    }

    void scan()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->isVisible())
                record(box);
        }
        // Close the newest box first: a box opened inside another box's event
        // loop must end before the outer one can return.
        for (int i = open.size() - 1; i >= 0; --i) {
            if (!open[i]) {
                open.remove(i);
                openedAt.remove(i);
                continue;
            }
            if (i != open.size() - 1 || openedAt[i].elapsed() < hold)
                continue;
            QPointer<QMessageBox> box = open[i];
            open.remove(i);
            openedAt.remove(i);
            if (QAbstractButton *ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
        }
        // Forget boxes that are gone.
        for (int i = known.size() - 1; i >= 0; --i) {
            if (!known[i])
                known.remove(i);
        }
    }

    QTimer poll;
    int hold;
    QVector<SeenBox> seen;
    QVector<QPointer<QMessageBox>> known;
    QVector<QPointer<QMessageBox>> open;
    QVector<QElapsedTimer> openedAt;
};

#endif // BOXWATCHER_H
