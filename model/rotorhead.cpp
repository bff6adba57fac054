#include "rotorhead.h"

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QThread>
#include <QTimer>

namespace {

// Emergency stop and priming end a running loop.
bool stateHaltsLoop(int state)
{
    return state == CabinetProtocol::EmergencyStop || state == CabinetProtocol::Priming;
}

} // namespace

RotorHead::RotorHead(MotorClient *client, int rotorIndex, QObject *parent)
    : QObject(parent)
    , client(client)
    , rotorIndex(rotorIndex)
    , stateText(client->stateName(state))
    , loopTimer(new QTimer(this))
    , statePoll(new QTimer(this))
    , schedule([this] { return loopClock.elapsed(); })
{
    loopTimer->setTimerType(Qt::PreciseTimer);
    statePoll->setTimerType(Qt::PreciseTimer);
    statePoll->setInterval(StatePollMs);
    connect(statePoll, &QTimer::timeout, this, [this] {
        if (!stateAsked)
            queryState(false);
        stateAsked = false;
    });
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
    const bool running = state == CabinetProtocol::Running;
    if (!cachedOnly && isConnected()) {
        stateAsked = true;
        client->setUnitId(rotorIndex);
        client->readState(this, SLOT(rotorStateResponse(int,QString)));
    }
    return running;
}

bool RotorHead::isLoopRunning() const
{
    return loopOn && (loopTimer->isActive() || awaiting == Awaiting::ResumeConnection
                      || awaiting == Awaiting::TakeUpAnswer || awaiting == Awaiting::TakeUpConnection);
}

bool RotorHead::mayStartByItself() const
{
    return isLoopRunning() || (loopOn && awaiting == Awaiting::LoopStartAnswer);
}

bool RotorHead::isRunCommandPending() const
{
    return client->isWritePending(rotorIndex, CabinetProtocol::RunRegister);
}

bool RotorHead::hasKeptStop() const
{
    return awaiting == Awaiting::KeptStop;
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
    emit commandSent(PumpCommand::Speed, this->crpm, crpm, cause);
    this->crpm = crpm;
    client->setUnitId(rotorIndex);
    client->sendCrpm(crpm);
}

void RotorHead::setDirection(int dir)
{
    if (!isConnected())
        return;
    emit commandSent(PumpCommand::Direction, direction, dir != 0 ? 1 : 0, cause);
    direction = dir != 0 ? 1 : 0;
    client->setUnitId(rotorIndex);
    client->sendDirection(direction == 1);
}

void RotorHead::setLoopMode(bool on)
{
    if (on == loopOn)
        return;
    const bool wasLooping = isLoopRunning();
    loopOn = on;
    emit loopSettingChanged(LoopSetting::Mode, !on, on);
    if (on) {
        // The state known may be a second old, from before a Stop: a question of its
        // own, asked after every command given so far, decides.
        if (isConnected()) {
            setAwaiting(Awaiting::LoopStartAnswer);
            askState(SLOT(loopModeStateResponse(int,QString)));
        }
        return;
    }
    setAwaiting(Awaiting::Nothing);
    endLoopPhase();
    const bool running = queryState(false);
    if (running || wasLooping)
        stop(); // the loop may have started it since the state was last known
}

void RotorHead::loopModeStateResponse(int state, QString stateName)
{
    rotorStateResponse(state, stateName);
    if (awaiting != Awaiting::LoopStartAnswer)
        return;
    awaiting = Awaiting::Nothing;
    if (loopOn && state == CabinetProtocol::Running)
        start();
}

void RotorHead::setLoopRunSecs(int secs)
{
    if (secs != runSecs)
        emit loopSettingChanged(LoopSetting::OnTime, runSecs, secs);
    runSecs = secs;
}

void RotorHead::setLoopPauseSecs(int secs)
{
    if (secs != pauseSecs)
        emit loopSettingChanged(LoopSetting::OffTime, pauseSecs, secs);
    pauseSecs = secs;
}

void RotorHead::start()
{
    if (!isConnected())
        return;
    awaiting = Awaiting::Nothing;
    sendRunCommand(PumpCommand::Start);
    if (loopOn)
        armRunTimer(false);
}

QScopedValueRollback<CommandCause> RotorHead::causeScope(CommandCause why)
{
    return QScopedValueRollback<CommandCause>(cause, why);
}

void RotorHead::setAwaiting(Awaiting what)
{
    if (awaiting != Awaiting::KeptStop)
        awaiting = what;
}

void RotorHead::askState(const char *slot)
{
    client->setUnitId(rotorIndex);
    client->readState(this, slot);
}

// Every Start and Stop goes out here, so that whether the cabinet confirmed the last
// one is known.
void RotorHead::sendRunCommand(PumpCommand command)
{
    client->setUnitId(rotorIndex);
    if (command == PumpCommand::Start)
        client->sendStart();
    else
        client->sendStop();
    startConfirmed = false;
    emit commandSent(command, -1, -1, cause);
}

void RotorHead::armRunTimer(bool onSchedule)
{
    if (!loopOn)
        return;
    schedule.begin(LoopSchedule::Phase::Run, runSecs, onSchedule);
    armForSchedule();
}

void RotorHead::armPauseTimer(bool onSchedule)
{
    schedule.begin(LoopSchedule::Phase::Pause, pauseSecs, onSchedule);
    armForSchedule();
}

// The timer ends the schedule's current phase when the schedule says.
void RotorHead::armForSchedule()
{
    // Whatever phase was pending ends: one phase at a time.
    QObject::disconnect(loopTimer, nullptr, this, nullptr);
    if (schedule.phase() == LoopSchedule::Phase::Run)
        connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoPause()));
    else
        connect(loopTimer, SIGNAL(timeout()), this, SLOT(loopGotoRun()));
    loopTimer->start(schedule.msToDue());
    if (!statePoll->isActive())
        statePoll->start();
}

void RotorHead::endLoopPhase()
{
    loopTimer->stop();
    QObject::disconnect(loopTimer, nullptr, this, nullptr);
    statePoll->stop();
    // What waited for the phase's connection or answer waits no more.
    if (awaiting == Awaiting::ResumeConnection || awaiting == Awaiting::ResumeStartAnswer
        || awaiting == Awaiting::ResumeStartAnswerWasRunning)
        awaiting = Awaiting::Nothing;
}

// The cabinet keeps doing what it was last told; the loop goes on once the link is back.
void RotorHead::suspendLoop()
{
    endLoopPhase();
    if (loopOn)
        setAwaiting(Awaiting::ResumeConnection);
}

// Back after a lost link: the rotor is told what the schedule wants now, whatever it
// was told last (that command may have been lost with the link), and the phase ends
// on time.
void RotorHead::resumeLoop()
{
    // A question whose answer was to decide was lost with the link: asked again.
    if (awaiting == Awaiting::TakeUpConnection || awaiting == Awaiting::TakeUpAnswer) {
        awaiting = Awaiting::Nothing;
        takeUpLoop();
        return;
    }
    if (awaiting == Awaiting::LoopStartAnswer && loopOn) {
        askState(SLOT(loopModeStateResponse(int,QString)));
        return;
    }
    if (!isLoopRunning())
        return;
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::Reconnection);
    // A phase that ended meanwhile, or a resumed phase's answer lost with the link.
    awaiting = Awaiting::Nothing;
    schedule.catchUp(runSecs, pauseSecs);
    const bool run = schedule.phase() == LoopSchedule::Phase::Run;
    if (run && stateHaltsLoop(state)) {
        stop();
        return;
    }
    if (run) {
        // Its phase's Start confirmed before the link went, a rotor found standing was
        // stopped at the cabinet. Whose Start was lost with the link, or whose phase
        // began in the outage, it stands because it was never told to run.
        const qint64 phaseBegan = schedule.due() - qint64(runSecs) * 1000;
        const bool wasRunning = startConfirmed && linkLostAt >= 0 && phaseBegan <= linkLostAt;
        setAwaiting(wasRunning ? Awaiting::ResumeStartAnswerWasRunning : Awaiting::ResumeStartAnswer);
        askState(SLOT(resumeStateResponse(int,QString)));
    } else {
        sendRunCommand(PumpCommand::Stop);
    }
    armForSchedule();
}

void RotorHead::resumeStateResponse(int state, QString stateName)
{
    rotorStateResponse(state, stateName); // a halting state ends the loop here
    if (awaiting != Awaiting::ResumeStartAnswer && awaiting != Awaiting::ResumeStartAnswerWasRunning)
        return;
    const bool wasRunning = awaiting == Awaiting::ResumeStartAnswerWasRunning;
    awaiting = Awaiting::Nothing;
    // The phase may have ended, or the loop with it, while the answer came.
    if (!loopOn || !loopTimer->isActive() || schedule.phase() != LoopSchedule::Phase::Run
        || stateHaltsLoop(state))
        return;
    // Running before the link went, and standing now: something at the cabinet stopped
    // it (an emergency stop since released, say). The loop does not override it.
    if (state != CabinetProtocol::Running && wasRunning) {
        endLoopPhase();
        emit loopHalted(stateName);
        return;
    }
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::Reconnection);
    sendRunCommand(PumpCommand::Start);
}

void RotorHead::keepUnansweredStop()
{
    // Each failed attempt to connect again reports the loss again: the outage began at
    // the first.
    if (linkLostAt < 0)
        linkLostAt = loopClock.elapsed();
    if (!isLoopRunning() && client->isWritePending(rotorIndex, CabinetProtocol::RunRegister,
                                                   CabinetProtocol::RunStop))
        awaiting = Awaiting::KeptStop;
}

void RotorHead::stop()
{
    awaiting = Awaiting::Nothing;
    endLoopPhase();
    if (isConnected()) {
        sendRunCommand(PumpCommand::Stop);
    } else {
        // The rotor may be pumping: it hears this first when the link is back.
        awaiting = Awaiting::KeptStop;
    }
}

void RotorHead::sendKeptStop()
{
    if (awaiting != Awaiting::KeptStop)
        return;
    awaiting = Awaiting::Nothing;
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::Reconnection);
    sendRunCommand(PumpCommand::Stop);
}

void RotorHead::restoreLoopSettings(bool on, int runSecs, int pauseSecs)
{
    endLoopPhase();
    loopOn = on;
    this->runSecs = runSecs;
    this->pauseSecs = pauseSecs;
}

void RotorHead::takeUpLoop()
{
    if (!loopOn)
        return;
    endLoopPhase();
    if (!isConnected()) {
        setAwaiting(Awaiting::TakeUpConnection);
        return;
    }
    // The state known may be older than the program's absence; the answer decides.
    setAwaiting(Awaiting::TakeUpAnswer);
    askState(SLOT(takeUpStateResponse(int,QString)));
}

void RotorHead::takeUpStateResponse(int state, QString stateName)
{
    rotorStateResponse(state, stateName);
    if (awaiting != Awaiting::TakeUpAnswer || !loopOn)
        return;
    awaiting = Awaiting::Nothing;
    if (stateHaltsLoop(state))
        return;
    if (state == CabinetProtocol::Running)
        armRunTimer(false);
    else
        armPauseTimer(false);
}

void RotorHead::loopGotoPause()
{
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::LoopPhase);
    if (!isConnected()) {
        suspendLoop();
        return;
    }
    loopTimer->stop();
    sendRunCommand(PumpCommand::Stop);
    armPauseTimer(true);
}

void RotorHead::loopGotoRun()
{
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::LoopPhase);
    if (stateHaltsLoop(state)) {
        emit loopHalted(stateText);
        stop();
        return;
    }
    if (!isConnected()) {
        suspendLoop();
        return;
    }
    loopTimer->stop();
    sendRunCommand(PumpCommand::Start);
    armRunTimer(true);
}

void RotorHead::rotorStateResponse(int state, QString stateName)
{
    // Listeners still see the loop running while they handle the news.
    emit stateChanged(stateName, state == CabinetProtocol::Running);
    if (stateHaltsLoop(state) && isLoopRunning()) {
        endLoopPhase();
        emit loopHalted(stateName);
    }
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
    // What was kept, or what the loop wants now, goes out before any question.
    sendKeptStop();
    resumeLoop(); // decides with the outage's start
    linkLostAt = -1;
    queryCrpm();
    queryState(false);
    queryDirection();
}

void RotorHead::takeConfirmation(PumpCommand command, int value)
{
    // Echoes come in the order the commands went: the one with nothing sent after it
    // tells what the rotor was last told and heard.
    if ((command == PumpCommand::Start || command == PumpCommand::Stop)
        && !client->isWritePending(rotorIndex, CabinetProtocol::RunRegister))
        startConfirmed = command == PumpCommand::Start;
    emit commandConfirmed(command, value);
}

void RotorHead::takeRefusal(PumpCommand command, int value, const QString &reason)
{
    emit commandRefused(command, value, reason);
}
