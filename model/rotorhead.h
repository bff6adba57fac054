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
    // The loop may start this rotor with no further word from the operator: it runs,
    // waits for its link, or waits for the answer that decides whether it starts.
    bool mayStartByItself() const;
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
    // What the next answer or the next connection decides for this rotor, one thing at
    // a time. The operator's Start or Stop, and Loop mode switched off, end any of them
    // but a kept Stop, which only a Start or Stop that reaches the cabinet ends.
    enum class Awaiting {
        Nothing,
        // Loop mode was ticked: the answer to its own state question starts the loop if
        // the rotor runs. Ends with that answer; lost with the link, it is asked again
        // once the link is back.
        LoopStartAnswer,
        // A loop left by a program that died: the answer to its own question decides
        // the phase it takes up, a run phase if the rotor runs, a pause if not. Ends
        // with that answer; lost with the link, it is asked again once the link is back.
        TakeUpAnswer,
        // The same, asked for while the link was down. Ends with the connection, which
        // asks the question.
        TakeUpConnection,
        // A phase ended while the link was down. Ends with the connection: the rotor is
        // told what the schedule wants then, as if the phases had kept their times.
        ResumeConnection,
        // Back in a run phase after a lost link: a fresh answer decides the Start, which
        // a halting state prevents (the cabinet may have had an emergency stop
        // meanwhile). Ends with that answer, or with the phase.
        ResumeStartAnswer,
        // The same, in a run phase whose Start the cabinet confirmed before the link
        // went: a rotor found standing was stopped at the cabinet, and the loop ends
        // rather than override it.
        ResumeStartAnswerWasRunning,
        // A Stop given, or left unanswered, while the link was down: sent first once the
        // link is back; till then the rotor may be running. Ends with the connection.
        KeptStop,
    };

    // A kept Stop gives way only to a Start or Stop that reaches the cabinet.
    void setAwaiting(Awaiting what);
    void askState(const char *slot);
    void sendRunCommand(PumpCommand command);
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
    CommandCause cause = CommandCause::Operator;
    Awaiting awaiting = Awaiting::Nothing;
    // When the link was lost, on loopClock, till it is back; -1 while it holds.
    qint64 linkLostAt = -1;
    // The last Start or Stop sent was a Start, and the cabinet echoed it.
    bool startConfirmed = false;
};
