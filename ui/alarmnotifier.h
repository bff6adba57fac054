#pragma once

#include <QObject>
#include <QTimer>

QT_BEGIN_NAMESPACE
class QSystemTrayIcon;
class QWidget;
QT_END_NAMESPACE

class AlarmList;

// Reaches a person who is not looking at the window: while any alarm is not
// acknowledged, the window asks for attention and, where the desktop has a
// notification area, a notification says what it is; again every ten minutes.
class AlarmNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmNotifier)

public:
    static constexpr int RepeatMs = 10 * 60 * 1000;

    AlarmNotifier(AlarmList *alarms, QWidget *window);

    // Times the window asked for attention; for tests.
    int callCount() const { return calls; }

private:
    void countChanged(int unacknowledged);
    void call();

    AlarmList *alarms;
    QWidget *window;
    QSystemTrayIcon *tray = nullptr;
    QTimer repeat;
    int lastUnacknowledged = 0;
    int calls = 0;
};
