#pragma once

#include "alarmbook.h"
#include "pumpcommand.h"

#include <QHash>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

class AlarmList;
class Cabinet;
class RotorHead;

// Raises and clears the alarms of the cabinets and their rotors, on display or not,
// from what they report: a halting or unknown state, a loop that halted by itself, a
// command refused, a link down; and those the program's other parts report through
// the slots below.
class AlarmWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmWatcher)

public:
    // A link down this long raises its alarm even where nothing runs, so that a
    // reconnection within seconds does not.
    static constexpr int QuietLinkDownMs = 30000;

    explicit AlarmWatcher(AlarmList *alarms, QObject *parent = nullptr);

    void watch(Cabinet *cabinet);
    void setQuietLinkDownMs(int ms) { quietLinkDownMs = ms; }

    // A rotor's state, by its name as the cabinet reports it, that needs a person.
    static bool isAlarmState(const QString &stateName);

    // The places of the conditions, for whoever raises or looks for them.
    static AlarmPlace stateAt(const QString &host, int rotor);
    static AlarmPlace linkAt(const QString &host);
    static AlarmPlace stopNotConfirmedAt(const QString &host, int rotor);

public slots:
    // A Stop that Stop all or the end could not confirm: the rotor may still run.
    void stopNotConfirmed(Cabinet *cabinet, int rotor, const QString &reason);
    void historyUnavailable(const QString &reason);
    void historyAvailable();
    void settingsCannotBeSaved();
    void settingsSaved();

private:
    struct Watched
    {
        bool linkWanted = false; // the operator connected it
        bool linkDown = false;
        QTimer *quietDown = nullptr;
        QHash<int, bool> running; // by rotor, from its last state answer
    };

    void watchRotor(Cabinet *cabinet, RotorHead *rotor, int index);
    void rotorState(Cabinet *cabinet, int index, const QString &name, bool running);
    void refused(Cabinet *cabinet, int rotor, PumpCommand command, const QString &reason);
    void confirmed(Cabinet *cabinet, int rotor, PumpCommand command);
    void linkLost(Cabinet *cabinet);
    void linkBack(Cabinet *cabinet);
    void raiseLinkDown(Cabinet *cabinet);
    bool mayBeRunning(Cabinet *cabinet) const;

    AlarmList *alarms;
    QHash<Cabinet *, Watched> cabinets;
    int quietLinkDownMs = QuietLinkDownMs;
};
