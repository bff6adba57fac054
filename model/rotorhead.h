#pragma once

#include "commandcause.h"
#include "loopschedule.h"
#include "pumpcommand.h"

#include <QElapsedTimer>
#include <QList>
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
    // A connected cabinet's rotors are watched whether or not anything shows them:
    // a state not asked this long is asked, speed and direction this often.
    static constexpr int WatchStateMs = 1200;
    static constexpr int WatchSpeedMs = 9000;

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
    // A command the cabinet refused, and why; kept till a later command of its kind
    // (Start or Stop, speed, direction) is confirmed.
    struct Refusal
    {
        PumpCommand command = PumpCommand::Stop;
        QString reason;
    };
    QList<Refusal> refusals() const;
    // The cabinet refused a loop's Stop twice: the loop halted, and the rotor may be
    // pumping still, till a Start or Stop is confirmed.
    bool mayStillBeRunning() const;
    bool loopModeEnabled() const;
    int loopRunSecs() const;
    int loopPauseSecs() const;
    // The loop ended by itself (a halting state, a refused command) and waits for the
    // operator: a Start, or Loop mode switched off; why in words a person reads.
    bool isLoopHalted() const;
    QString loopHaltReason() const;
    // The running loop's phase (true: on) and the ms left in it; 0 when no phase runs.
    bool isLoopInRunPhase() const;
    int loopMsLeft() const;

    // What the cabinet last said: the raw state code of register 0 and its name, and
    // how long ago it said it (-1: never); speed and direction as last read or set.
    int stateCode() const;
    QString stateName() const;
    qint64 stateAgeMs() const;
    int knownCrpm() const;
    int knownDirection() const;
    // The state, speed and direction asked when they are due; the cabinet calls it
    // every half second while connected. Questions a panel or a loop asked count;
    // without readValues only the state is asked.
    void watch(bool readValues);
    // A state a person must act on: emergency stop, sequence fault, temperature stop,
    // or a code the program does not know.
    static bool isFaultState(int code);

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
    // For the history: a command that went onto the wire to the cabinet and why
    // (-1: no value); a Stop kept for a link that is down; a command sent that the
    // cabinet refused, with the same values; the loop's settings; and a loop that
    // ended by itself, why in words a person reads (a state, or "command refused").
    void commandSent(PumpCommand command, int oldValue, int newValue, CommandCause cause);
    void commandKept(PumpCommand command, CommandCause cause);
    void sentCommandRefused(PumpCommand command, int oldValue, int newValue, CommandCause cause,
                            QString reason);
    void loopSettingChanged(LoopSetting setting, int oldValue, int newValue);
    void loopHalted(QString reason);
    // What the cabinet answered to a command for this rotor (-1: no value): its echo,
    // or not, and why in words a person reads.
    void commandConfirmed(PumpCommand command, int value);
    void commandRefused(PumpCommand command, int value, QString reason);
    // A command replaced by a later one of its kind before it went out: the cabinet
    // never gets it.
    void commandWithdrawn(PumpCommand command, int value);
    // refusals() changed.
    void refusalsChanged();
    // mayStillBeRunning() changed; the reason is the cabinet's for the last refusal.
    void mayStillBeRunningChanged(bool mayRun, QString reason);
    // A loop phase began or ended, or the loop halted or was switched on or off.
    void loopChanged();

protected slots:
    void loopGotoRun();
    void loopGotoPause();

public slots:
    void rotorStateResponse(int state, QString stateName);
    void rotorCrpmResponse(int crpm);
    void rotorDirectionResponse(int dir);
    void updateAll();

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

    // A command handed to the link and not answered yet: what its history row needs
    // once it is on the wire, and whether it is a loop's phase command.
    struct GivenCommand
    {
        PumpCommand command = PumpCommand::Stop;
        int value = -1; // as reported: -1 for Start and Stop
        int oldValue = -1;
        CommandCause cause = CommandCause::Operator;
        int loopTry = 0; // a loop's phase command: 1, or 2 when sent again
        bool onWire = false;
    };

    // A kept Stop gives way only to a Start or Stop that reaches the cabinet.
    void setAwaiting(Awaiting what);
    void askState(const char *slot);
    void sendRunCommand(PumpCommand command, int loopTry = 0);
    void give(PumpCommand command, int value, int oldValue, int loopTry = 0);
    int indexOfGiven(PumpCommand command, int value, bool onWire) const;
    bool hasGiven(PumpCommand kind) const;
    GivenCommand takeAnswered(PumpCommand command, int value);
    // What the link reports of this rotor's commands.
    void takeSent(PumpCommand command, int value);
    void takeWithdrawal(PumpCommand command, int value);
    void takeConfirmation(PumpCommand command, int value);
    void takeRefusal(PumpCommand command, int value, const QString &reason);
    void setRefusal(PumpCommand command, const QString &reason);
    void clearRefusal(PumpCommand kind);
    void armRunTimer(bool onSchedule);
    void armPauseTimer(bool onSchedule);
    void armForSchedule();
    void endLoopPhase();
    void suspendLoop();
    void resumeLoop();
    void sendKeptStop();
    void haltLoop(const QString &reason);
    void noteCommandAnswered(PumpCommand command);

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
    // Whose account a kept Stop goes out on: its giver's, or the link's return when
    // it reached the wire before the link was lost.
    CommandCause keptCause = CommandCause::Reconnection;
    QList<GivenCommand> given; // in the order handed over
    QList<Refusal> refused; // one per kind
    bool mayRun = false;
    bool halted = false;
    QString haltReason;
    // When the state was last asked and answered, and speed and direction asked.
    QElapsedTimer stateAskClock;
    QElapsedTimer stateClock;
    QElapsedTimer speedAskClock;
    bool speedWanted = false;
    bool directionWanted = false;
};
