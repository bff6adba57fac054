#include "rotorhead.h"

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QThread>
#include <QTimer>

namespace {

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
    return loopOn && loopTimer->isActive();
}

bool RotorHead::isRunCommandPending() const
{
    return client->isWritePending(rotorIndex, CabinetProtocol::RunRegister);
}

int RotorHead::index() const
{
    return rotorIndex;
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
        loopTimer->stop();
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
        armRunTimer();
}

void RotorHead::armRunTimer()
{
    if (!loopOn)
        return;
    // Unique: a start while the run connection still stands must not double it.
    connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoPause()), Qt::UniqueConnection);
    loopTimer->start(runSecs * 1000);
}

void RotorHead::stop()
{
    if (loopOn)
        loopTimer->stop();
    if (isConnected()) {
        client->setUnitId(rotorIndex);
        client->sendStop();
    }
}

void RotorHead::loopGotoPause()
{
    stop();
    QObject::disconnect(loopTimer, nullptr, nullptr, nullptr);
    connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoRun()));
    loopTimer->start(pauseSecs * 1000);
}

void RotorHead::loopGotoRun()
{
    loopTimer->stop();
    QObject::disconnect(loopTimer, nullptr, nullptr, nullptr);
    if (stateHaltsLoop(state))
        stop();
    else
        start();
}

void RotorHead::rotorStateResponse(int state, QString stateName)
{
    // Listeners still see the loop running while they handle the news.
    emit stateChanged(stateName, state == 0);
    if (stateHaltsLoop(state) && loopOn && loopTimer->isActive())
        loopTimer->stop();
    this->state = state;
    stateText = stateName;
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
    queryCrpm();
    QThread::msleep(10);
    queryState(false);
    QThread::msleep(10);
    queryDirection();
}
