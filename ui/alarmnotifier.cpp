#include "alarmnotifier.h"

#include "alarmlist.h"
#include "alarmmodel.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

AlarmNotifier::AlarmNotifier(AlarmList *alarms, QWidget *window)
    : QObject(window)
    , alarms(alarms)
    , window(window)
{
    repeat.setInterval(RepeatMs);
    connect(&repeat, &QTimer::timeout, this, &AlarmNotifier::call);
    connect(alarms, &AlarmList::countChanged, this, [this](int unacknowledged, int) {
        countChanged(unacknowledged);
    });
}

void AlarmNotifier::countChanged(int unacknowledged)
{
    const bool more = unacknowledged > lastUnacknowledged;
    lastUnacknowledged = unacknowledged;
    if (unacknowledged == 0) {
        repeat.stop();
        return;
    }
    // A new one calls at once and starts the ten minutes afresh.
    if (more) {
        call();
        repeat.start();
    }
}

void AlarmNotifier::call()
{
    ++calls;
    QApplication::alert(window);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    if (!tray) {
        // The program's installed icon; the style's warning sign where it is not installed.
        const QIcon icon = QIcon::fromTheme(QStringLiteral("tavrel-control"),
                                            window->style()->standardIcon(QStyle::SP_MessageBoxWarning));
        tray = new QSystemTrayIcon(icon, this);
        tray->setToolTip(QApplication::applicationName());
        connect(tray, &QSystemTrayIcon::messageClicked, window, [this] {
            window->showNormal();
            window->raise();
            window->activateWindow();
        });
    }
    tray->show();
    // The newest alarm not acknowledged, and how many there are.
    const QVector<Alarm> &book = alarms->book().alarms();
    for (auto it = book.crbegin(); it != book.crend(); ++it) {
        if (it->isAcknowledged())
            continue;
        tray->showMessage(tr("%1: %2 alarms not acknowledged").arg(QApplication::applicationName())
                              .arg(alarms->unacknowledgedCount()),
                          AlarmModel::placeText(it->place) + QStringLiteral(": ") + it->text,
                          QSystemTrayIcon::Warning);
        break;
    }
}
