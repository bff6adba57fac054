#include "alarmkeeper.h"

#include "alarmnotifier.h"
#include "alarmpanel.h"
#include "cabinet.h"
#include "history.h"
#include "mainwindow.h"
#include "settingsstore.h"
#include "shutdownsequence.h"
#include "stopall.h"
#include "stoprun.h"

#include <QStatusBar>

AlarmKeeper::AlarmKeeper(History *history, QObject *parent)
    : QObject(parent)
    , history(history)
    , alarmWatcher(&alarms)
{
    connect(&alarms, &AlarmList::changed, this, &AlarmKeeper::record);
    connect(&alarms, &AlarmList::changed, this, [this](const AlarmBook::Outcome &outcome, const QDateTime &at) {
        alarmCommand.run(AlarmList::eventName(outcome.change), outcome.alarm, at);
    });
    connect(&alarms, &AlarmList::changed, this, [this](const AlarmBook::Outcome &outcome) {
        mark(outcome.alarm.place);
    });
    connect(&alarmCommand, &AlarmCommand::failed, this, &AlarmKeeper::commandFailed);
    connect(history, &History::unavailable, &alarmWatcher, &AlarmWatcher::historyUnavailable);
    connect(history, &History::available, &alarmWatcher, &AlarmWatcher::historyAvailable);
    if (!history->isAvailable())
        alarmWatcher.historyUnavailable(history->failureReason());
}

void AlarmKeeper::watch(Cabinet *cabinet)
{
    alarmWatcher.watch(cabinet);
}

void AlarmKeeper::showIn(MainWindow *window)
{
    this->window = window;
    alarmPanel = new AlarmPanel(&alarms, window);
    new AlarmNotifier(&alarms, window);
}

void AlarmKeeper::useSettings(SettingsStore *settings)
{
    alarmCommand.setCommand(settings->alarmCommand());
    connect(settings, &SettingsStore::saveFailed, &alarmWatcher, &AlarmWatcher::settingsCannotBeSaved);
    connect(settings, &SettingsStore::saveRestored, &alarmWatcher, &AlarmWatcher::settingsSaved);
    if (!settings->canSave())
        alarmWatcher.settingsCannotBeSaved();
}

void AlarmKeeper::watchEnd(ShutdownSequence *shutdown)
{
    connect(shutdown, &ShutdownSequence::stopUnconfirmed, &alarmWatcher, &AlarmWatcher::stopNotConfirmed);
}

void AlarmKeeper::mark(const AlarmPlace &place)
{
    if (place.cabinet.isEmpty())
        return;
    if (place.rotor >= 0)
        emit markChanged(place.cabinet, place.rotor, alarms.book().hasActive(place.cabinet, place.rotor));
    emit markChanged(place.cabinet, -1, alarms.book().hasActive(place.cabinet, -1));
}

void AlarmKeeper::watchStopAll(StopAll *stopAll)
{
    connect(stopAll, &StopAll::runFinished, this, [this](StopRun *run) {
        for (const StopRun::Rotor &rotor : run->rotors()) {
            // Replaced: the operator's Start went instead, and the rotor does as told.
            if (!rotor.cabinet || rotor.outcome == StopRun::Outcome::Confirmed
                || rotor.outcome == StopRun::Outcome::Waiting || rotor.outcome == StopRun::Outcome::Replaced)
                continue;
            alarmWatcher.stopNotConfirmed(rotor.cabinet, rotor.index,
                                          StopRun::outcomeText(rotor.outcome, rotor.reason));
        }
    });
}

void AlarmKeeper::finish()
{
    alarmCommand.finish();
}

void AlarmKeeper::record(const AlarmBook::Outcome &outcome, const QDateTime &at)
{
    const Alarm &alarm = outcome.alarm;
    HistoryEvent e;
    e.time = at.toMSecsSinceEpoch();
    e.kind = HistoryKind::alarm();
    e.cabinet = alarm.place.cabinet;
    e.rotor = alarm.place.rotor + 1;
    switch (outcome.change) {
    case AlarmBook::Change::Raised:
        e.text = tr("Alarm raised: %1").arg(alarm.text);
        break;
    case AlarmBook::Change::Repeated:
        e.text = tr("Alarm raised again (repeat %1): %2").arg(alarm.repeats).arg(alarm.text);
        break;
    case AlarmBook::Change::Cleared:
        e.text = tr("Alarm cleared: %1").arg(alarm.text);
        break;
    case AlarmBook::Change::Acknowledged:
        e.text = tr("Alarm acknowledged: %1").arg(alarm.text);
        e.user = alarm.acknowledgedBy;
        break;
    case AlarmBook::Change::None:
        return;
    }
    history->record(e);
}

// Every failure goes into the history; the status bar says each kind once, not at
// every alarm.
void AlarmKeeper::commandFailed(const QString &message)
{
    HistoryEvent e;
    e.kind = HistoryKind::alarm();
    e.text = message;
    history->record(e);
    if (window && message != failureShown) {
        failureShown = message;
        window->statusBar()->showMessage(message, 30000);
    }
}
