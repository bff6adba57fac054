#pragma once

#include "loopschedule.h"

#include <QElapsedTimer>
#include <QObject>
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

signals:
    void dataChanged();
    void stateChanged(QString stateName, bool isRunning);
    void crpmChanged(int crpm);
    void directionChanged(int dir);

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
    bool stopKept = false;
    // Loop mode was switched on: the answer to its own question decides whether the
    // loop starts at once.
    bool startOnAnswer = false;
};
