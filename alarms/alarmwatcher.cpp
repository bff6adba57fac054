#include "alarmwatcher.h"

#include "alarmlist.h"
#include "cabinet.h"
#include "cabinetprotocol.h"
#include "rotorhead.h"

#include <QTimer>

namespace {

// The program's words for its conditions: one alarm per word and place.
const QString StateCondition = QStringLiteral("state");
const QString LoopHaltedCondition = QStringLiteral("loop halted");
const QString LinkCondition = QStringLiteral("link");
const QString StopCondition = QStringLiteral("stop not confirmed");
const QString HistoryCondition = QStringLiteral("history");
const QString SettingsCondition = QStringLiteral("settings");

// A Start and a Stop refused are one condition: either confirmed ends it.
QString refusalCondition(PumpCommand command)
{
    switch (command) {
    case PumpCommand::Start:
    case PumpCommand::Stop:
        return QStringLiteral("run refused");
    case PumpCommand::Speed:
        return QStringLiteral("speed refused");
    case PumpCommand::Direction:
        return QStringLiteral("direction refused");
    case PumpCommand::Identify:
        return QStringLiteral("identify refused");
    }
    return QString();
}

QString commandName(PumpCommand command)
{
    switch (command) {
    case PumpCommand::Start:
        return AlarmWatcher::tr("Start");
    case PumpCommand::Stop:
        return AlarmWatcher::tr("Stop");
    case PumpCommand::Speed:
        return AlarmWatcher::tr("Speed");
    case PumpCommand::Direction:
        return AlarmWatcher::tr("Direction");
    case PumpCommand::Identify:
        return AlarmWatcher::tr("Identify");
    }
    return QString();
}

} // namespace

AlarmWatcher::AlarmWatcher(AlarmList *alarms, QObject *parent)
    : QObject(parent)
    , alarms(alarms)
{
}

bool AlarmWatcher::isAlarmState(const QString &stateName)
{
    using namespace CabinetProtocol;
    static const QString alarming[] = {rotorStateName(EmergencyStop), rotorStateName(SequenceFault),
                                       rotorStateName(TemperatureStop), rotorStateName(-1)};
    for (const QString &name : alarming) {
        if (stateName == name)
            return true;
    }
    return false;
}

AlarmPlace AlarmWatcher::stateAt(const QString &host, int rotor)
{
    return {StateCondition, host, rotor};
}

AlarmPlace AlarmWatcher::linkAt(const QString &host)
{
    return {LinkCondition, host, -1};
}

AlarmPlace AlarmWatcher::stopNotConfirmedAt(const QString &host, int rotor)
{
    return {StopCondition, host, rotor};
}

void AlarmWatcher::watch(Cabinet *cabinet)
{
    Watched &watched = cabinets[cabinet];
    watched.quietDown = new QTimer(this);
    watched.quietDown->setSingleShot(true);
    connect(watched.quietDown, &QTimer::timeout, this, [this, cabinet] { raiseLinkDown(cabinet); });
    connect(cabinet, &Cabinet::willConnect, this, [this](Cabinet *c) { cabinets[c].linkWanted = true; });
    connect(cabinet, &Cabinet::didConnect, this, &AlarmWatcher::linkBack);
    connect(cabinet, &Cabinet::didDisconnect, this, &AlarmWatcher::linkLost);
    connect(cabinet, &Cabinet::connectionError, this, [this](Cabinet *c, const QString &) { linkLost(c); });
    connect(cabinet, &Cabinet::commandRefused, this,
            [this](Cabinet *c, PumpCommand command, int, const QString &reason) {
        refused(c, -1, command, reason);
    });
    connect(cabinet, &Cabinet::commandConfirmed, this, [this](Cabinet *c, PumpCommand command, int) {
        confirmed(c, -1, command);
    });
    for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i)
        watchRotor(cabinet, rotor, i);
}

void AlarmWatcher::watchRotor(Cabinet *cabinet, RotorHead *rotor, int index)
{
    const QString host = cabinet->host();
    connect(rotor, &RotorHead::stateChanged, this, [=](const QString &name, bool running) {
        rotorState(cabinet, index, name, running);
    });
    connect(rotor, &RotorHead::loopHalted, this, [=](const QString &reason) {
        alarms->raise({LoopHaltedCondition, host, index}, tr("Loop halted: %1").arg(reason));
    });
    // Switching loop mode is the operator's answer to a halted loop.
    connect(rotor, &RotorHead::loopSettingChanged, this, [=](LoopSetting setting) {
        if (setting == LoopSetting::Mode)
            alarms->clear({LoopHaltedCondition, host, index});
    });
    connect(rotor, &RotorHead::commandRefused, this, [=](PumpCommand command, int, const QString &reason) {
        refused(cabinet, index, command, reason);
    });
    connect(rotor, &RotorHead::commandConfirmed, this, [=](PumpCommand command, int) {
        confirmed(cabinet, index, command);
    });
}

void AlarmWatcher::rotorState(Cabinet *cabinet, int index, const QString &name, bool running)
{
    cabinets[cabinet].running.insert(index, running);
    const AlarmPlace place = stateAt(cabinet->host(), index);
    if (isAlarmState(name))
        alarms->raise(place, name);
    else
        alarms->clear(place);
}

void AlarmWatcher::refused(Cabinet *cabinet, int rotor, PumpCommand command, const QString &reason)
{
    alarms->raise({refusalCondition(command), cabinet->host(), rotor},
                  tr("%1 refused (%2)").arg(commandName(command), reason));
}

void AlarmWatcher::confirmed(Cabinet *cabinet, int rotor, PumpCommand command)
{
    const QString host = cabinet->host();
    alarms->clear({refusalCondition(command), host, rotor});
    if (command == PumpCommand::Start || command == PumpCommand::Stop) {
        // The rotor does what it was told again: a halted loop was dealt with, a
        // stop that was not confirmed is now.
        alarms->clear({LoopHaltedCondition, host, rotor});
        alarms->clear(stopNotConfirmedAt(host, rotor));
    }
}

bool AlarmWatcher::mayBeRunning(Cabinet *cabinet) const
{
    const Watched watched = cabinets.value(cabinet);
    for (int i = 0; const RotorHead *rotor = cabinet->rotor(i); ++i) {
        if (rotor->isLoopRunning() || rotor->mayStartByItself() || watched.running.value(i))
            return true;
    }
    return false;
}

void AlarmWatcher::linkLost(Cabinet *cabinet)
{
    Watched &watched = cabinets[cabinet];
    if (!watched.linkWanted)
        return;
    if (mayBeRunning(cabinet)) {
        watched.quietDown->stop();
        raiseLinkDown(cabinet);
    } else if (!watched.linkDown && !watched.quietDown->isActive()) {
        watched.quietDown->start(quietLinkDownMs);
    }
    watched.linkDown = true;
}

void AlarmWatcher::raiseLinkDown(Cabinet *cabinet)
{
    const QString reason = cabinet->errorString();
    alarms->raise(linkAt(cabinet->host()),
                  reason.isEmpty() ? tr("Link down") : tr("Link down: %1").arg(reason));
}

void AlarmWatcher::linkBack(Cabinet *cabinet)
{
    Watched &watched = cabinets[cabinet];
    watched.linkWanted = true;
    watched.linkDown = false;
    watched.quietDown->stop();
    alarms->clear(linkAt(cabinet->host()));
}

void AlarmWatcher::stopNotConfirmed(Cabinet *cabinet, int rotor, const QString &reason)
{
    alarms->raise(stopNotConfirmedAt(cabinet ? cabinet->host() : QString(), rotor),
                  tr("Stop not confirmed: %1").arg(reason));
}

void AlarmWatcher::historyUnavailable(const QString &reason)
{
    alarms->raise({HistoryCondition, QString(), -1}, tr("History unavailable: %1").arg(reason));
}

void AlarmWatcher::historyAvailable()
{
    alarms->clear({HistoryCondition, QString(), -1});
}

void AlarmWatcher::settingsCannotBeSaved()
{
    alarms->raise({SettingsCondition, QString(), -1}, tr("Settings cannot be saved"));
}

void AlarmWatcher::settingsSaved()
{
    alarms->clear({SettingsCondition, QString(), -1});
}
