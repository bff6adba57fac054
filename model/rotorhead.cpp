#include "rotorhead.h"

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QThread>
#include <QTimer>

namespace {

// A phase command that comes later than this after its time starts the schedule
// afresh, rather than shortening the next phase to catch up.
constexpr qint64 LateStartMs = 50;

// Emergency stop and priming end a running loop.
bool stateHaltsLoop(int state)
{
    return state == 2 || state == 6;
}

} // namespace

RotorHead::RotorHead(MotorClient *client, int rotorIndex, QObject *parent)
    : QObject(parent)
    , client(client)
    , rotorIndex(rotorIndex)
    , stateText(client->stateName(state))
    , loopTimer(new QTimer(this))
{
    loopTimer->setTimerType(Qt::PreciseTimer);
    loopClock.start();
    connect(&client->reader, SIGNAL(connected()), this, SLOT(updateAll()));
    if (client->isConnected())
        updateAll();
}

bool RotorHead::isConnected() const
{
    return client->isConnected();
}

int RotorHead::queryCrpm()
{
    if (!isConnected())
        return -1;
    client->setUnitId(rotorIndex);
    client->readCrpm(this, SLOT(rotorCrpmResponse(int)));
    return crpm;
}

int RotorHead::queryDirection()
{
    if (!isConnected())
        return 2;
    client->setUnitId(rotorIndex);
    client->readDirection(this, SLOT(rotorDirectionResponse(int)));
    return direction;
}

bool RotorHead::queryState(bool cachedOnly)
{
    const bool running = state == 0;
    if (!cachedOnly && isConnected()) {
        client->setUnitId(rotorIndex);
        client->readState(this, SLOT(rotorStateResponse(int,QString)));
    }
    return running;
}

bool RotorHead::isLoopRunning() const
{
    return loopOn && (loopTimer->isActive() || resumeWhenConnected || resumeOnState);
}

bool RotorHead::isRunCommandPending() const
{
    return client->isWritePending(rotorIndex, CabinetProtocol::RunRegister);
}

bool RotorHead::loopModeEnabled() const
{
    return loopOn;
}

int RotorHead::loopRunSecs() const
{
    return runSecs;
}

int RotorHead::loopPauseSecs() const
{
    return pauseSecs;
}

void RotorHead::setCrpm(int crpm)
{
    if (!isConnected())
        return;
    this->crpm = crpm;
    client->setUnitId(rotorIndex);
    client->sendCrpm(crpm);
}

void RotorHead::setDirection(int dir)
{
    if (!isConnected())
        return;
    direction = dir != 0 ? 1 : 0;
    client->setUnitId(rotorIndex);
    client->sendDirection(direction == 1);
}

void RotorHead::setLoopMode(bool on)
{
    if (on == loopOn)
        return;
    loopOn = on;
    if (!on)
        endLoopPhase();
    // The decision rests on the state known now, not on the answer still to come.
    const bool running = queryState(false);
    if (on && running)
        start();
    else if (!on && running)
        stop();
}

void RotorHead::setLoopRunSecs(int secs)
{
    runSecs = secs;
}

void RotorHead::setLoopPauseSecs(int secs)
{
    pauseSecs = secs;
}

void RotorHead::start()
{
    if (!isConnected())
        return;
    client->setUnitId(rotorIndex);
    client->sendStart();
    if (loopOn)
        armRunTimer(false);
}

void RotorHead::armRunTimer(bool onSchedule)
{
    if (!loopOn)
        return;
    // Whatever phase was pending ends: one phase at a time.
    QObject::disconnect(loopTimer, nullptr, this, nullptr);
    connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoPause()));
    startPhase(runSecs, onSchedule);
}

void RotorHead::armPauseTimer(bool onSchedule)
{
    QObject::disconnect(loopTimer, nullptr, this, nullptr);
    connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoRun()));
    startPhase(pauseSecs, onSchedule);
}

void RotorHead::startPhase(int secs, bool onSchedule)
{
    const qint64 now = loopClock.elapsed();
    const qint64 begun = onSchedule && now - phaseDue < LateStartMs ? phaseDue : now;
    phaseDue = begun + qint64(secs) * 1000;
    loopTimer->start(int(qMax<qint64>(0, phaseDue - now)));
}

void RotorHead::endLoopPhase()
{
    loopTimer->stop();
    QObject::disconnect(loopTimer, nullptr, this, nullptr);
    resumeWhenConnected = false;
    resumeOnState = false;
}

// The cabinet keeps doing what it was last told; the loop goes on once the link is back.
void RotorHead::suspendLoop()
{
    endLoopPhase();
    resumeWhenConnected = loopOn;
}

void RotorHead::stop()
{
    endLoopPhase();
    if (isConnected()) {
        client->setUnitId(rotorIndex);
        client->sendStop();
    }
}

void RotorHead::loopGotoPause()
{
    if (!isConnected()) {
        suspendLoop();
        return;
    }
    loopTimer->stop();
    client->setUnitId(rotorIndex);
    client->sendStop();
    armPauseTimer(true);
}

void RotorHead::loopGotoRun()
{
    if (stateHaltsLoop(state)) {
        stop();
        return;
    }
    if (!isConnected()) {
        suspendLoop();
        return;
    }
    loopTimer->stop();
    client->setUnitId(rotorIndex);
    client->sendStart();
    armRunTimer(true);
}

void RotorHead::rotorStateResponse(int state, QString stateName)
{
    // Listeners still see the loop running while they handle the news.
    emit stateChanged(stateName, state == 0);
    if (stateHaltsLoop(state) && isLoopRunning())
        endLoopPhase();
    this->state = state;
    stateText = stateName;
    // Back after a lost link: a fresh phase of what the rotor is doing now.
    if (resumeOnState && loopOn) {
        resumeOnState = false;
        if (state == 0)
            armRunTimer(false);
        else
            armPauseTimer(false);
    }
}

void RotorHead::rotorCrpmResponse(int crpm)
{
    emit crpmChanged(crpm);
    this->crpm = crpm;
}

void RotorHead::rotorDirectionResponse(int dir)
{
    emit directionChanged(dir != 0 ? 1 : 0);
    direction = dir;
}

void RotorHead::updateAll()
{
    if (!isConnected())
        return;
    if (resumeWhenConnected) {
        resumeWhenConnected = false;
        resumeOnState = true;
    }
    queryCrpm();
    queryState(false);
    queryDirection();
}
