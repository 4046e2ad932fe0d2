#ifndef BOXWATCHER_H
#define BOXWATCHER_H

// Watches for message boxes while a test drives the window: every box that
// opens is recorded (title, text, icon, buttons, parent) and
// closed with its OK button, so a test never hangs on a modal box and can
// assert exactly what the operator would have seen.

#include <QApplication>
#include <QElapsedTimer>
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
    }

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

private:
    void scan()
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->isVisible() || known.contains(box))
                continue;
            known.append(box);
            SeenBox record;
            record.title = box->windowTitle();
            record.text = box->text();
            record.icon = box->icon();
            record.buttons = box->standardButtons();
            record.parent = box->parentWidget();
            record.modal = box->isModal();
            seen.append(record);
            open.append(box);
            openedAt.append(QElapsedTimer());
            openedAt.last().start();
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
