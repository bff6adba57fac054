#include "historyrecorder.h"

#include "cabinet.h"
#include "history.h"
#include "rotorhead.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

namespace {

QString onOff(int value)
{
    return value != 0 ? QStringLiteral("on") : QStringLiteral("off");
}

QString directionText(int dir)
{
    return dir != 0 ? QStringLiteral("counter-clockwise") : QStringLiteral("clockwise");
}

} // namespace

HistoryRecorder::HistoryRecorder(History *history, QObject *parent)
    : QObject(parent)
    , history(history)
{
    HistoryEvent started = event(HistoryKind::program(), nullptr, -1, tr("Program started"));
    started.newValue = QCoreApplication::applicationVersion();
    history->record(started);
}

HistoryRecorder::~HistoryRecorder()
{
    history->record(event(HistoryKind::program(), nullptr, -1, tr("Program ended")));
}

void HistoryRecorder::watch(Cabinet *cabinet)
{
    links.insert(cabinet, Link());
    connect(cabinet, &Cabinet::didConnect, this, &HistoryRecorder::cabinetConnected);
    connect(cabinet, &Cabinet::connectionError, this, &HistoryRecorder::cabinetFailed);
    connect(cabinet, &Cabinet::didDisconnect, this, &HistoryRecorder::cabinetDisconnected);
    connect(cabinet, &Cabinet::identifySent, this, &HistoryRecorder::cabinetIdentifySent);
    connect(cabinet, &Cabinet::commandRefused, this, &HistoryRecorder::cabinetIdentifyRefused);
    for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
        connect(rotor, &RotorHead::commandSent, this,
                [=](PumpCommand command, int oldValue, int newValue, CommandCause cause) {
            history->record(commandEvent(cabinet, i, command, oldValue, newValue, cause));
        });
        connect(rotor, &RotorHead::commandKept, this, [=](PumpCommand command, CommandCause cause) {
            HistoryEvent e = commandEvent(cabinet, i, command, -1, -1, cause);
            e.text = tr("%1 kept until the link is back").arg(e.text);
            history->record(e);
        });
        connect(rotor, &RotorHead::sentCommandRefused, this,
                [=](PumpCommand command, int oldValue, int newValue, CommandCause cause, const QString &reason) {
            rotorCommandRefused(rotor, command, commandEvent(cabinet, i, command, oldValue, newValue, cause),
                                reason);
        });
        connect(rotor, &RotorHead::stateChanged, this, [=](const QString &name, bool) {
            rotorState(cabinet, rotor, i, name);
        });
        connect(rotor, &RotorHead::loopSettingChanged, this,
                [=](LoopSetting setting, int oldValue, int newValue) {
            rotorLoopSetting(cabinet, i, setting, oldValue, newValue);
        });
        connect(rotor, &RotorHead::loopHalted, this, [=](const QString &reason) {
            rotorLoopHalted(cabinet, i, reason);
        });
    }
}

HistoryEvent HistoryRecorder::event(const QString &kind, Cabinet *cabinet, int rotorIndex,
                                    const QString &text) const
{
    HistoryEvent e;
    e.kind = kind;
    e.cabinet = cabinet ? cabinet->host() : QString();
    e.rotor = rotorIndex + 1;
    e.text = text;
    return e;
}

void HistoryRecorder::cabinetConnected(Cabinet *cabinet)
{
    Link &link = links[cabinet];
    if (link.everUp && !link.up && !link.failureRecorded)
        recordFailure(cabinet, tr("disconnected"));
    QString text = tr("Connected");
    if (link.everUp && !link.up && link.down.isValid())
        text = tr("Reconnected after %1 s").arg(link.down.elapsed() / 1000.0, 0, 'f', 1);
    link.everUp = true;
    link.up = true;
    link.failureRecorded = false;
    history->record(event(HistoryKind::link(), cabinet, -1, text));
}

void HistoryRecorder::linkDown(Link &link)
{
    if (!link.up)
        return;
    link.up = false;
    link.down.start();
    link.lostAt = QDateTime::currentMSecsSinceEpoch();
}

// The reason for a link's end is known a moment after it: the row waits for it, or
// for the link's return, whichever comes first.
void HistoryRecorder::cabinetDisconnected(Cabinet *cabinet)
{
    linkDown(links[cabinet]);
    QTimer::singleShot(ReasonWaitMs, this, [this, cabinet] {
        if (!links[cabinet].up)
            recordFailure(cabinet, cabinet->hasError() ? cabinet->errorString() : tr("disconnected"));
    });
}

void HistoryRecorder::cabinetFailed(Cabinet *cabinet, const QString &reason)
{
    linkDown(links[cabinet]);
    recordFailure(cabinet, reason);
}

// One row per outage, however many attempts fail while it lasts, at the time it began.
void HistoryRecorder::recordFailure(Cabinet *cabinet, const QString &reason)
{
    Link &link = links[cabinet];
    if (link.failureRecorded)
        return;
    link.failureRecorded = true;
    HistoryEvent e = event(HistoryKind::link(), cabinet, -1,
                           (link.everUp ? tr("Link lost: %1") : tr("Connection failed: %1")).arg(reason));
    e.time = link.everUp ? link.lostAt : 0;
    history->record(e);
}

void HistoryRecorder::cabinetIdentifySent(Cabinet *cabinet, bool on)
{
    history->record(commandEvent(cabinet, -1, PumpCommand::Identify, !on, on, CommandCause::Operator));
}

void HistoryRecorder::cabinetIdentifyRefused(Cabinet *cabinet, PumpCommand command, int value,
                                             const QString &reason)
{
    HistoryEvent e = commandEvent(cabinet, -1, command, !value, value, CommandCause::Operator);
    e.text = tr("%1 refused (%2)").arg(e.text, reason);
    history->record(e);
}

// Beside the row of the command it answers; a rotor that was to stop and may not have
// is named so.
void HistoryRecorder::rotorCommandRefused(const RotorHead *rotor, PumpCommand command, HistoryEvent e,
                                          const QString &reason)
{
    e.text = tr("%1 refused (%2)").arg(e.text, reason);
    if (command == PumpCommand::Stop && rotor->mayStillBeRunning())
        e.text = tr("%1: may still be running").arg(e.text);
    history->record(e);
}

// The command's row: its name, old and new value as a person reads them, and its cause.
HistoryEvent HistoryRecorder::commandEvent(Cabinet *cabinet, int rotorIndex, PumpCommand command,
                                           int oldValue, int newValue, CommandCause cause) const
{
    HistoryEvent e = event(HistoryKind::command(), cabinet, rotorIndex, QString());
    switch (command) {
    case PumpCommand::Start:
        e.text = tr("Start");
        break;
    case PumpCommand::Stop:
        e.text = tr("Stop");
        break;
    case PumpCommand::Speed:
        e.text = tr("Speed (cRPM)");
        e.oldValue = QString::number(oldValue);
        e.newValue = QString::number(newValue);
        break;
    case PumpCommand::Direction:
        e.text = tr("Direction");
        e.oldValue = directionText(oldValue);
        e.newValue = directionText(newValue);
        break;
    case PumpCommand::Identify:
        e.text = tr("Identify");
        e.oldValue = onOff(oldValue);
        e.newValue = onOff(newValue);
        break;
    }
    e.cause = commandCauseText(cause);
    return e;
}

// The panels ask every second; only a change is news. The last state seen outlives
// a lost link, so a return that finds the rotor as it was adds nothing.
void HistoryRecorder::rotorState(Cabinet *cabinet, RotorHead *rotor, int rotorIndex, const QString &name)
{
    QString &last = states[rotor];
    if (last == name)
        return;
    HistoryEvent e = event(HistoryKind::state(), cabinet, rotorIndex, tr("State"));
    e.oldValue = last;
    e.newValue = name;
    last = name;
    history->record(e);
}

void HistoryRecorder::rotorLoopSetting(Cabinet *cabinet, int rotorIndex, LoopSetting setting,
                                       int oldValue, int newValue)
{
    HistoryEvent e = event(HistoryKind::loop(), cabinet, rotorIndex, QString());
    switch (setting) {
    case LoopSetting::Mode:
        e.text = tr("Loop mode");
        e.oldValue = onOff(oldValue);
        e.newValue = onOff(newValue);
        break;
    case LoopSetting::OnTime:
    case LoopSetting::OffTime:
        e.text = setting == LoopSetting::OnTime ? tr("On time (s)") : tr("Off time (s)");
        e.oldValue = QString::number(oldValue);
        e.newValue = QString::number(newValue);
        break;
    }
    e.cause = commandCauseText(CommandCause::Operator);
    history->record(e);
}

void HistoryRecorder::rotorLoopHalted(Cabinet *cabinet, int rotorIndex, const QString &reason)
{
    history->record(event(HistoryKind::loop(), cabinet, rotorIndex, tr("Loop halted: %1").arg(reason)));
}

void HistoryRecorder::closeStopUnconfirmed(Cabinet *cabinet, int rotorIndex, QString reason)
{
    const QString key = (cabinet ? cabinet->host() : QString()) + QLatin1Char('/') + QString::number(rotorIndex);
    if (unconfirmedStops.contains(key))
        return;
    unconfirmedStops.insert(key);
    HistoryEvent e = event(HistoryKind::program(), cabinet, rotorIndex,
                           tr("Close could not confirm the stop: %1").arg(reason));
    e.cause = commandCauseText(CommandCause::Close);
    history->record(e);
}

void HistoryRecorder::lastRunDied(const QDateTime &lastSeenAlive)
{
    HistoryEvent e = event(HistoryKind::program(), nullptr, -1,
                           lastSeenAlive.isValid() ? tr("Ended without closing (last seen alive)")
                                                   : tr("Ended without closing (last seen alive: not known)"));
    if (lastSeenAlive.isValid())
        e.time = lastSeenAlive.toMSecsSinceEpoch();
    history->record(e);
}

void HistoryRecorder::recoveryChosen(const QString &choice, const QStringList &rotors)
{
    HistoryEvent e = event(HistoryKind::program(), nullptr, -1,
                           tr("After the program died: %1 (%2)").arg(choice, rotors.join(QStringLiteral("; "))));
    e.cause = commandCauseText(CommandCause::Recovery);
    history->record(e);
}

void HistoryRecorder::stopsSettled(CommandCause cause, const QString &result)
{
    const QString what = cause == CommandCause::StopAll ? tr("Stop all pumps") : tr("Stop this cabinet");
    HistoryEvent e = event(HistoryKind::program(), nullptr, -1, tr("%1: %2").arg(what, result));
    e.cause = commandCauseText(cause);
    history->record(e);
}
