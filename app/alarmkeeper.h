#pragma once

#include "alarmcommand.h"
#include "alarmlist.h"
#include "alarmwatcher.h"
#include "mainwindow.h"

#include <QObject>
#include <QPointer>
#include <QString>

class AlarmPanel;
class Cabinet;
class History;
class SettingsStore;
class ShutdownSequence;
class StopAll;

// The program's alarms put together: raised from the cabinets, the end, the history
// and the settings; each change recorded in the history and handed to the plant's
// command; shown in the window's list, its count and its calls for attention.
class AlarmKeeper final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmKeeper)

public:
    explicit AlarmKeeper(History *history, QObject *parent = nullptr);

    void watch(Cabinet *cabinet);
    void showIn(MainWindow *window);
    // Once the settings are loaded: the plant's command, and saving that fails.
    void useSettings(SettingsStore *settings);
    void watchEnd(ShutdownSequence *shutdown);
    // Stop all and Stop this cabinet: each Stop not confirmed once the run settles.
    void watchStopAll(StopAll *stopAll);
    // The program ends: a short, bounded wait for the commands still running.
    void finish();

    AlarmList *list() { return &alarms; }
    AlarmWatcher *watcher() { return &alarmWatcher; }
    AlarmCommand *command() { return &alarmCommand; }
    AlarmPanel *panel() const { return alarmPanel; }

signals:
    // Whether any alarm's condition holds at this rotor (0 to 3), or anywhere on the
    // cabinet (-1); once for the rotor and once for its cabinet at each change there.
    void markChanged(const QString &host, int rotor, bool active);

private:
    void record(const AlarmBook::Outcome &outcome, const QDateTime &at);
    void mark(const AlarmPlace &place);
    void commandFailed(const QString &message);

    History *history;
    AlarmList alarms;
    AlarmWatcher alarmWatcher;
    AlarmCommand alarmCommand;
    QPointer<MainWindow> window;
    AlarmPanel *alarmPanel = nullptr;
    QString failureShown;
};
