#include "rotorhead.h"

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

// Emergency stop and priming end a running loop.
bool stateHaltsLoop(int state)
{
    return state == CabinetProtocol::EmergencyStop || state == CabinetProtocol::Priming;
}

// What a write to one of a rotor's own registers asked, in the model's words (value
// -1 for Start and Stop); false for the cabinet's own (identify).
bool rotorCommandOf(int reg, int value, PumpCommand *command, int *reported)
{
    *reported = value;
    switch (reg) {
    case CabinetProtocol::RunRegister:
        *command = value == CabinetProtocol::RunStop ? PumpCommand::Stop : PumpCommand::Start;
        *reported = -1;
        return true;
    case CabinetProtocol::CrpmRegister:
        *command = PumpCommand::Speed;
        return true;
    case CabinetProtocol::DirectionRegister:
        *command = PumpCommand::Direction;
        return true;
    default:
        return false;
    }
}

// Start and Stop are one kind: the cabinet holds one or the other.
bool sameKind(PumpCommand a, PumpCommand b)
{
    const auto kind = [](PumpCommand command) {
        return command == PumpCommand::Start ? PumpCommand::Stop : command;
    };
    return kind(a) == kind(b);
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
    // What the link reports of this rotor's commands; commands are rare, so each
    // rotor looks at every report and keeps its own.
    const auto own = [this](void (RotorHead::*take)(PumpCommand, int)) {
        return [this, take](int unit, int reg, int value) {
            PumpCommand command = PumpCommand::Stop;
            int reported = 0;
            if (unit == this->rotorIndex && rotorCommandOf(reg, value, &command, &reported))
                (this->*take)(command, reported);
        };
    };
    connect(client, &MotorClient::commandSent, this, own(&RotorHead::takeSent));
    connect(client, &MotorClient::commandWithdrawn, this, own(&RotorHead::takeWithdrawal));
    connect(client, &MotorClient::commandConfirmed, this, own(&RotorHead::takeConfirmation));
    connect(client, &MotorClient::commandFailed, this,
            [this](int unit, int reg, int value, const QString &reason) {
        PumpCommand command = PumpCommand::Stop;
        int reported = 0;
        if (unit == this->rotorIndex && rotorCommandOf(reg, value, &command, &reported))
            takeRefusal(command, reported, reason);
    });
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
    speedAskClock.start();
    speedWanted = false;
    client->setUnitId(rotorIndex);
    client->readCrpm(this, SLOT(rotorCrpmResponse(int)));
    return crpm;
}

int RotorHead::queryDirection()
{
    if (!isConnected())
        return 2;
    directionWanted = false;
    client->setUnitId(rotorIndex);
    client->readDirection(this, SLOT(rotorDirectionResponse(int)));
    return direction;
}

bool RotorHead::queryState(bool cachedOnly)
{
    const bool running = state == CabinetProtocol::Running;
    if (!cachedOnly && isConnected()) {
        stateAsked = true;
        stateAskClock.start();
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

QList<RotorHead::Refusal> RotorHead::refusals() const
{
    return refused;
}

bool RotorHead::mayStillBeRunning() const
{
    return mayRun;
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
    give(PumpCommand::Speed, crpm, this->crpm);
    this->crpm = crpm;
    client->setUnitId(rotorIndex);
    client->sendCrpm(crpm);
}

void RotorHead::setDirection(int dir)
{
    if (!isConnected())
        return;
    give(PumpCommand::Direction, dir != 0 ? 1 : 0, direction);
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
    halted = false;
    emit loopSettingChanged(LoopSetting::Mode, !on, on);
    emit loopChanged();
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
    stateAskClock.start();
    client->setUnitId(rotorIndex);
    client->readState(this, slot);
}

// Every Start and Stop goes out here, so that whether the cabinet confirmed the last
// one is known.
void RotorHead::sendRunCommand(PumpCommand command, int loopTry)
{
    give(command, -1, -1, loopTry);
    client->setUnitId(rotorIndex);
    if (command == PumpCommand::Start)
        client->sendStart();
    else
        client->sendStop();
    startConfirmed = false;
}

// Noted before it is handed over: handing it over may withdraw the one it replaces,
// whose old value it then takes.
void RotorHead::give(PumpCommand command, int value, int oldValue, int loopTry)
{
    // The link does not repeat a command that still waits to go out.
    for (int i = given.size() - 1; i >= 0; --i) {
        const GivenCommand &last = given.at(i);
        if (!sameKind(last.command, command))
            continue;
        if (last.command == command && last.value == value && !last.onWire)
            return;
        break;
    }
    given.append(GivenCommand{command, value, oldValue, cause, loopTry, false});
}

int RotorHead::indexOfGiven(PumpCommand command, int value, bool onWire) const
{
    for (int i = 0; i < given.size(); ++i) {
        const GivenCommand &one = given.at(i);
        if (one.command == command && one.value == value && one.onWire == onWire)
            return i;
    }
    return -1;
}

bool RotorHead::hasGiven(PumpCommand kind) const
{
    return std::any_of(given.cbegin(), given.cend(),
                       [kind](const GivenCommand &one) { return sameKind(one.command, kind); });
}

// Answers come in the order the commands went out.
RotorHead::GivenCommand RotorHead::takeAnswered(PumpCommand command, int value)
{
    int i = indexOfGiven(command, value, true);
    if (i < 0)
        i = indexOfGiven(command, value, false);
    if (i >= 0)
        return given.takeAt(i);
    return GivenCommand{command, value, value, cause, 0, true};
}

void RotorHead::takeSent(PumpCommand command, int value)
{
    int i = indexOfGiven(command, value, false);
    if (i >= 0)
        given[i].onWire = true;
    else
        i = indexOfGiven(command, value, true); // given again while the first went out
    if (i < 0)
        return; // not this rotor head's
    emit commandSent(command, given.at(i).oldValue, value, given.at(i).cause);
}

void RotorHead::takeWithdrawal(PumpCommand command, int value)
{
    const int i = indexOfGiven(command, value, false);
    if (i >= 0) {
        // The cabinet held what the withdrawn one would have changed.
        const int oldValue = given.takeAt(i).oldValue;
        for (int j = i; j < given.size(); ++j) {
            if (sameKind(given.at(j).command, command)) {
                given[j].oldValue = oldValue;
                break;
            }
        }
    }
    emit commandWithdrawn(command, value);
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
    halted = false;
    emit loopChanged();
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
    emit loopChanged();
}

void RotorHead::haltLoop(const QString &reason)
{
    halted = true;
    haltReason = reason;
    emit loopHalted(reason);
    emit loopChanged();
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
        sendRunCommand(PumpCommand::Stop, 1);
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
        haltLoop(stateName);
        return;
    }
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::Reconnection);
    sendRunCommand(PumpCommand::Start, 1);
}

void RotorHead::keepUnansweredStop()
{
    // Each failed attempt to connect again reports the loss again: the outage began at
    // the first.
    if (linkLostAt < 0)
        linkLostAt = loopClock.elapsed();
    if (!isLoopRunning() && awaiting != Awaiting::KeptStop
        && client->isWritePending(rotorIndex, CabinetProtocol::RunRegister, CabinetProtocol::RunStop)) {
        awaiting = Awaiting::KeptStop;
        // One that never reached the wire goes out on its giver's account when the link
        // is back; one that did is sent again.
        int i = indexOfGiven(PumpCommand::Stop, -1, false);
        const bool reachedWire = i < 0;
        if (reachedWire)
            i = indexOfGiven(PumpCommand::Stop, -1, true);
        const CommandCause giver = i >= 0 ? given.at(i).cause : CommandCause::Reconnection;
        keptCause = reachedWire ? CommandCause::Reconnection : giver;
        emit commandKept(PumpCommand::Stop, giver);
    }
    // Nothing handed to the link that failed goes out or is answered now.
    given.clear();
}

void RotorHead::stop()
{
    const bool keptAlready = awaiting == Awaiting::KeptStop;
    awaiting = Awaiting::Nothing;
    endLoopPhase();
    if (isConnected()) {
        sendRunCommand(PumpCommand::Stop);
        return;
    }
    // The rotor may be pumping: it hears this first when the link is back.
    awaiting = Awaiting::KeptStop;
    if (!keptAlready) {
        keptCause = cause;
        emit commandKept(PumpCommand::Stop, cause);
    }
}

void RotorHead::sendKeptStop()
{
    if (awaiting != Awaiting::KeptStop)
        return;
    awaiting = Awaiting::Nothing;
    const QScopedValueRollback<CommandCause> why(cause, keptCause);
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
    sendRunCommand(PumpCommand::Stop, 1);
    armPauseTimer(true);
}

void RotorHead::loopGotoRun()
{
    const QScopedValueRollback<CommandCause> why(cause, CommandCause::LoopPhase);
    if (stateHaltsLoop(state)) {
        haltLoop(stateText);
        stop();
        return;
    }
    if (!isConnected()) {
        suspendLoop();
        return;
    }
    loopTimer->stop();
    sendRunCommand(PumpCommand::Start, 1);
    armRunTimer(true);
}

void RotorHead::rotorStateResponse(int state, QString stateName)
{
    // Listeners see the new state, and still the loop running, while they handle the news.
    stateClock.start();
    this->state = state;
    stateText = stateName;
    emit stateChanged(stateName, state == CabinetProtocol::Running);
    if (stateHaltsLoop(state) && isLoopRunning()) {
        endLoopPhase();
        haltLoop(stateName);
    }
}

void RotorHead::rotorCrpmResponse(int crpm)
{
    this->crpm = crpm;
    emit crpmChanged(crpm);
}

void RotorHead::rotorDirectionResponse(int dir)
{
    direction = dir != 0 ? 1 : 0;
    emit directionChanged(direction);
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
    takeAnswered(command, value);
    noteCommandAnswered(command);
    // Echoes come in the order the commands went: the one with nothing sent after it
    // tells what the rotor was last told and heard.
    if ((command == PumpCommand::Start || command == PumpCommand::Stop)
        && !client->isWritePending(rotorIndex, CabinetProtocol::RunRegister))
        startConfirmed = command == PumpCommand::Start;
    clearRefusal(command);
    emit commandConfirmed(command, value);
}

// A loop's phase command that the cabinet refuses is sent once more at once; refused
// again, the loop halts rather than run a rotor it cannot command, and a rotor it
// could not stop may still be pumping.
void RotorHead::takeRefusal(PumpCommand command, int value, const QString &reason)
{
    const GivenCommand refusedCommand = takeAnswered(command, value);
    noteCommandAnswered(command);
    const bool phaseCommand = refusedCommand.loopTry > 0 && isLoopRunning() && !hasGiven(command);
    const bool again = phaseCommand && refusedCommand.loopTry == 1 && isConnected();
    const bool halt = phaseCommand && refusedCommand.loopTry > 1;
    setRefusal(command, reason);
    if (halt && command == PumpCommand::Stop && !mayRun) {
        mayRun = true;
        emit mayStillBeRunningChanged(true, reason);
    }
    emit refusalsChanged();
    emit sentCommandRefused(command, refusedCommand.oldValue, value, refusedCommand.cause, reason);
    emit commandRefused(command, value, reason);
    if (again) {
        const QScopedValueRollback<CommandCause> why(cause, refusedCommand.cause);
        sendRunCommand(command, refusedCommand.loopTry + 1);
    } else if (halt) {
        endLoopPhase();
        haltLoop(tr("command refused"));
    }
}

void RotorHead::setRefusal(PumpCommand command, const QString &reason)
{
    for (Refusal &refusal : refused) {
        if (sameKind(refusal.command, command)) {
            refusal = Refusal{command, reason};
            return;
        }
    }
    refused.append(Refusal{command, reason});
}

void RotorHead::clearRefusal(PumpCommand kind)
{
    const auto gone = std::remove_if(refused.begin(), refused.end(),
                                     [kind](const Refusal &refusal) { return sameKind(refusal.command, kind); });
    if (gone == refused.end())
        return;
    refused.erase(gone, refused.end());
    if (mayRun && sameKind(kind, PumpCommand::Stop)) {
        mayRun = false;
        emit mayStillBeRunningChanged(false, QString());
    }
    emit refusalsChanged();
}

bool RotorHead::isLoopHalted() const
{
    return loopOn && halted && !isLoopRunning();
}

QString RotorHead::loopHaltReason() const
{
    return haltReason;
}

bool RotorHead::isLoopInRunPhase() const
{
    return loopTimer->isActive() && schedule.phase() == LoopSchedule::Phase::Run;
}

int RotorHead::loopMsLeft() const
{
    return loopTimer->isActive() ? qMax(0, loopTimer->remainingTime()) : 0;
}

int RotorHead::stateCode() const
{
    return state;
}

QString RotorHead::stateName() const
{
    return stateText;
}

qint64 RotorHead::stateAgeMs() const
{
    return stateClock.isValid() ? stateClock.elapsed() : -1;
}

int RotorHead::knownCrpm() const
{
    return crpm;
}

int RotorHead::knownDirection() const
{
    return direction;
}

bool RotorHead::isFaultState(int code)
{
    switch (code) {
    case CabinetProtocol::EmergencyStop:
    case CabinetProtocol::SequenceFault:
    case CabinetProtocol::TemperatureStop:
        return true;
    case CabinetProtocol::Running:
    case CabinetProtocol::Stopped:
    case CabinetProtocol::SequenceEnded:
    case CabinetProtocol::Paused:
    case CabinetProtocol::Priming:
        return false;
    }
    return true; // a code no table names
}

void RotorHead::watch(bool readValues)
{
    if (!isConnected())
        return;
    if (!stateAskClock.isValid() || stateAskClock.elapsed() >= WatchStateMs)
        queryState(false);
    if (!readValues)
        return;
    const bool speedDue = !speedAskClock.isValid() || speedAskClock.elapsed() >= WatchSpeedMs;
    if (speedDue || speedWanted)
        queryCrpm();
    if (speedDue || directionWanted)
        queryDirection();
}

// What the cabinet holds after a speed or direction command is read back, so that
// whoever shows it shows the cabinet's value, not the one asked for.
void RotorHead::noteCommandAnswered(PumpCommand command)
{
    if (command == PumpCommand::Speed)
        speedWanted = true;
    else if (command == PumpCommand::Direction)
        directionWanted = true;
}
