#pragma once

#include "commandcause.h"
#include "loopschedule.h"
#include "pumpcommand.h"

#include <QElapsedTimer>
#include <QObject>
#include <QScopedValueRollback>
#include <QString>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

class MotorClient;

// One pump rotor head of a cabinet: what the cabinet last said about it, the
// commands for it, and loop mode, which alternates it between running and standing.
class RotorHead final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RotorHead)

public:
    // How often a rotor's state is asked while a panel shows it or a loop runs it.
    static constexpr int StatePollMs = 1000;

    RotorHead(MotorClient *client, int rotorIndex, QObject *parent);

    int queryCrpm();
    int queryDirection();
    bool queryState(bool cachedOnly);
    bool isConnected() const;
    bool isLoopRunning() const;
    // A start or stop for this rotor has not been answered by the cabinet yet.
    bool isRunCommandPending() const;
    // A stop given while the link was down, sent first when it is back; till then
    // the rotor may still be running.
    bool hasKeptStop() const;
    bool loopModeEnabled() const;
    int loopRunSecs() const;
    int loopPauseSecs() const;

    void setCrpm(int crpm);
    void setDirection(int dir);
    void setLoopMode(bool on);
    void setLoopRunSecs(int secs);
    void setLoopPauseSecs(int secs);
    void start();
    void stop();
    // Commands sent while the returned guard lives are reported with this cause.
    QScopedValueRollback<CommandCause> causeScope(CommandCause why);
    // Loop settings remembered from an earlier run: nothing is sent and nothing
    // starts; the loop runs again only with start() or takeUpLoop().
    void restoreLoopSettings(bool on, int runSecs, int pauseSecs);
    // Takes up a loop that a program which died left behind, sending nothing now:
    // a run phase if the rotor runs, a pause phase if not, decided by a fresh state
    // answer (or, with the link down, once the link is back).
    void takeUpLoop();
    // The link failed: a Stop it had not answered may never have reached the rotor,
    // so it is kept and sent first when the link is back; and a loop in a run phase
    // will look at what the rotor does before it starts it again.
    void keepUnansweredStop();

signals:
    void dataChanged();
    void stateChanged(QString stateName, bool isRunning);
    void crpmChanged(int crpm);
    void directionChanged(int dir);
    // For the history: what went to the cabinet and why (-1: no value), the loop's
    // settings, and a loop the cabinet's state ended.
    void commandSent(PumpCommand command, int oldValue, int newValue, CommandCause cause);
    void loopSettingChanged(LoopSetting setting, int oldValue, int newValue);
    void loopHalted(QString stateName);
    // What the cabinet answered to a command for this rotor (-1: no value): its echo,
    // or not, and why in words a person reads.
    void commandConfirmed(PumpCommand command, int value);
    void commandRefused(PumpCommand command, int value, QString reason);

protected slots:
    void loopGotoRun();
    void loopGotoPause();

public slots:
    void rotorStateResponse(int state, QString stateName);
    void rotorCrpmResponse(int crpm);
    void rotorDirectionResponse(int dir);
    void updateAll();
    // The cabinet passes on the answers to this rotor's commands.
    void takeConfirmation(PumpCommand command, int value);
    void takeRefusal(PumpCommand command, int value, const QString &reason);

private slots:
    void loopModeStateResponse(int state, QString stateName);
    void takeUpStateResponse(int state, QString stateName);
    void resumeStateResponse(int state, QString stateName);

private:
    void armRunTimer(bool onSchedule);
    void armPauseTimer(bool onSchedule);
    void armForSchedule();
    void endLoopPhase();
    void suspendLoop();
    void resumeLoop();
    void sendKeptStop();

    MotorClient *client;
    int rotorIndex;
    int crpm = 0;
    int direction = 0;
    int state = 8;
    QString stateText;
    bool loopOn = false;
    int runSecs = 1;
    int pauseSecs = 1;
    QTimer *loopTimer;
    // A loop asks its rotor's state itself, so that it halts on an emergency stop
    // whether or not a panel shows the rotor; a panel that asked spares it the question.
    QTimer *statePoll;
    bool stateAsked = false;
    QElapsedTimer loopClock;
    LoopSchedule schedule;
    // A phase ended while the link was down: the loop goes on when the link is back,
    // as if its phases had kept their times.
    bool resumeWhenConnected = false;
    CommandCause cause = CommandCause::Operator;
    bool stopKept = false;
    // Loop mode was switched on: the answer to its own question decides whether the
    // loop starts at once.
    bool startOnAnswer = false;
    // A loop left behind by a program that died: the answer to its own question, once
    // the link is up, decides which phase it takes up.
    bool takeUpOnAnswer = false;
    bool takeUpWhenConnected = false;
    // Back after a lost link in a run phase: the start waits for a fresh state, as
    // the cabinet may have had an emergency stop meanwhile.
    bool resumeStartOnAnswer = false;
    qint64 linkLostAt = -1; // on loopClock
};
