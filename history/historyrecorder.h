#pragma once

#include "commandcause.h"
#include "historyevent.h"
#include "pumpcommand.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

class Cabinet;
class History;
class RotorHead;

// Turns what the cabinets and rotor heads report into history rows: commands with
// their causes as they go onto the wire, those kept for a link and those refused,
// links lost and back, states that changed, the loops' settings, and the program's
// start and end. It listens only; nothing in the control path waits.
class HistoryRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryRecorder)

public:
    explicit HistoryRecorder(History *history, QObject *parent = nullptr);
    // Records the program's end.
    ~HistoryRecorder() override;

    void watch(Cabinet *cabinet);

public slots:
    void closeStopUnconfirmed(Cabinet *cabinet, int rotorIndex, QString reason);
    // The last run died: a row at the time it was last seen alive (now, when not known).
    void lastRunDied(const QDateTime &lastSeenAlive);
    // What the operator chose after the program died, and for which rotors.
    void recoveryChosen(const QString &choice, const QStringList &rotors);
    // What became of the operator's Stop all or Stop this cabinet, in one row.
    void stopsSettled(CommandCause cause, const QString &result);

private:
    struct Link
    {
        bool everUp = false;
        bool up = false;
        bool failureRecorded = false;
        QElapsedTimer down;
        qint64 lostAt = 0;
    };
    static constexpr int ReasonWaitMs = 500;

    void cabinetConnected(Cabinet *cabinet);
    void cabinetDisconnected(Cabinet *cabinet);
    void cabinetFailed(Cabinet *cabinet, const QString &reason);
    void linkDown(Link &link);
    void recordFailure(Cabinet *cabinet, const QString &reason);
    void cabinetIdentifySent(Cabinet *cabinet, bool on);
    void cabinetIdentifyRefused(Cabinet *cabinet, PumpCommand command, int value, const QString &reason);
    void rotorCommandRefused(const RotorHead *rotor, PumpCommand command, HistoryEvent e,
                             const QString &reason);
    HistoryEvent commandEvent(Cabinet *cabinet, int rotorIndex, PumpCommand command, int oldValue,
                              int newValue, CommandCause cause) const;
    void rotorState(Cabinet *cabinet, RotorHead *rotor, int rotorIndex, const QString &name);
    void rotorLoopSetting(Cabinet *cabinet, int rotorIndex, LoopSetting setting, int oldValue,
                          int newValue);
    void rotorLoopHalted(Cabinet *cabinet, int rotorIndex, const QString &reason);
    HistoryEvent event(const QString &kind, Cabinet *cabinet, int rotorIndex, const QString &text) const;

    History *history;
    QHash<Cabinet *, Link> links;
    QHash<RotorHead *, QString> states;
    QSet<QString> unconfirmedStops;
};
