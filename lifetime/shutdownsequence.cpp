#include "shutdownsequence.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "cabinetprotocol.h"
#include "commandcause.h"
#include "plantnames.h"
#include "rotorhead.h"

#include <QScopedValueRollback>

#include <algorithm>

using namespace CabinetProtocol;

namespace {

QString rotorName(const Cabinet *cabinet, int rotor)
{
    return PlantNames::rotorAt(cabinet ? cabinet->host() : QString(), rotor);
}

bool isStop(int reg, int value)
{
    return reg == RunRegister && value == RunStop;
}

} // namespace

ShutdownSequence::ShutdownSequence(CabinetList *cabinets, QObject *parent)
    : QObject(parent)
    , cabinets(cabinets)
{
}

bool ShutdownSequence::hasActiveLoops() const
{
    return !cabinets->noActiveLoops();
}

void ShutdownSequence::start()
{
    if (started)
        return;
    started = true;
    const QScopedValueRollback<bool> guard(starting, true);
    emit willStop();
    for (Cabinet *cabinet : qAsConst(*cabinets)) {
        connect(cabinet, SIGNAL(commandConfirmed(Cabinet*,int,int,int)),
                this, SLOT(cabinetCommandConfirmed(Cabinet*,int,int,int)));
        connect(cabinet, SIGNAL(commandFailed(Cabinet*,int,int,int)),
                this, SLOT(cabinetCommandFailed(Cabinet*,int,int,int)));
        connect(cabinet, SIGNAL(connectionError(Cabinet*,QString)), this, SLOT(cabinetLinkLost(Cabinet*)));
        connect(cabinet, SIGNAL(didDisconnect(Cabinet*)), this, SLOT(cabinetLinkLost(Cabinet*)));
        for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
            // A stop kept for a link that is down has not reached the rotor either.
            if (!rotor->mayStartByItself() && !rotor->hasKeptStop())
                continue;
            // A rotor in a run phase would go on pumping with nothing left to stop it.
            // Without a link the loop ends here, but the rotor cannot be told.
            if (cabinet->isConnected()) {
                stops.append(Stop{cabinet, i, Outcome::Waiting});
            } else {
                unreachable << rotorName(cabinet, i);
                emit stopUnconfirmed(cabinet, i, tr("cabinet not connected"));
            }
            const auto why = rotor->causeScope(CommandCause::Close);
            rotor->stop();
        }
    }
    update();
}

bool ShutdownSequence::isStarted() const
{
    return started;
}

bool ShutdownSequence::isFinished() const
{
    return finishedNow;
}

int ShutdownSequence::stopCount() const
{
    return stops.size();
}

int ShutdownSequence::confirmedStopCount() const
{
    return int(std::count_if(stops.cbegin(), stops.cend(),
                             [](const Stop &stop) { return stop.outcome == Outcome::Confirmed; }));
}

// Commands of connected cabinets not yet answered; a cabinet without a link will
// answer none of them.
int ShutdownSequence::commandsWaiting() const
{
    int waiting = 0;
    for (const Cabinet *cabinet : qAsConst(*cabinets)) {
        if (cabinet->isConnected())
            waiting += cabinet->pendingCommandCount();
    }
    return waiting;
}

QString ShutdownSequence::progressText() const
{
    if (!stops.isEmpty())
        return tr("Stopping pumps: %1 of %2 confirmed").arg(confirmedStopCount()).arg(stops.size());
    return tr("Sending the last commands: %1 waiting").arg(commandsWaiting());
}

QStringList ShutdownSequence::notConnected() const
{
    return unreachable;
}

QStringList ShutdownSequence::linkFailed() const
{
    return names(Outcome::LinkFailed) + otherLinkFailures;
}

QStringList ShutdownSequence::refused() const
{
    return names(Outcome::Refused) + otherRefusals;
}

bool ShutdownSequence::allConfirmed() const
{
    return unreachable.isEmpty() && linkFailed().isEmpty() && refused().isEmpty();
}

QString ShutdownSequence::unconfirmedLine() const
{
    QStringList rotors = unreachable + linkFailed() + refused() + names(Outcome::Waiting);
    if (rotors.isEmpty())
        return QString();
    for (QString &rotor : rotors)
        rotor.replace(QStringLiteral(", "), QStringLiteral(" "));
    return tr("Pumps may still be running: %1").arg(rotors.join(QStringLiteral(", ")));
}

QStringList ShutdownSequence::names(Outcome outcome) const
{
    QStringList rotors;
    for (const Stop &stop : stops) {
        if (stop.outcome == outcome)
            rotors << rotorName(stop.cabinet, stop.rotor);
    }
    return rotors;
}

ShutdownSequence::Stop *ShutdownSequence::stopOf(Cabinet *cabinet, int rotor)
{
    for (Stop &stop : stops) {
        if (stop.cabinet == cabinet && stop.rotor == rotor)
            return &stop;
    }
    return nullptr;
}

// A waiting stop gets its outcome, once.
void ShutdownSequence::settle(Stop &stop, Outcome outcome)
{
    if (stop.outcome != Outcome::Waiting)
        return;
    stop.outcome = outcome;
    if (outcome == Outcome::LinkFailed)
        emit stopUnconfirmed(stop.cabinet, stop.rotor, tr("link failed before the stop was confirmed"));
    else if (outcome == Outcome::Refused)
        emit stopUnconfirmed(stop.cabinet, stop.rotor, tr("the cabinet did not confirm the stop"));
}

void ShutdownSequence::cabinetCommandConfirmed(Cabinet *cabinet, int rotor, int reg, int value)
{
    Stop *stop = stopOf(cabinet, rotor);
    if (stop && isStop(reg, value))
        settle(*stop, Outcome::Confirmed);
    update();
}

void ShutdownSequence::cabinetCommandFailed(Cabinet *cabinet, int rotor, int reg, int value)
{
    if (isStop(reg, value)) {
        if (Stop *stop = stopOf(cabinet, rotor)) {
            settle(*stop, Outcome::Refused);
        } else if (!otherRefusals.contains(rotorName(cabinet, rotor))) {
            // The operator's own Stop, given just before the end.
            otherRefusals << rotorName(cabinet, rotor);
            emit stopUnconfirmed(cabinet, rotor, tr("the cabinet did not confirm the stop"));
        }
    }
    update();
}

void ShutdownSequence::cabinetLinkLost(Cabinet *cabinet)
{
    for (Stop &stop : stops) {
        if (stop.cabinet == cabinet)
            settle(stop, Outcome::LinkFailed);
    }
    // The operator's own Stop, lost with the link before it was answered.
    for (int i = 0; RotorHead *rotor = cabinet ? cabinet->rotor(i) : nullptr; ++i) {
        const QString name = rotorName(cabinet, i);
        if (rotor->hasKeptStop() && !stopOf(cabinet, i) && !unreachable.contains(name)
            && !otherLinkFailures.contains(name)) {
            otherLinkFailures << name;
            emit stopUnconfirmed(cabinet, i, tr("link failed before the stop was confirmed"));
        }
    }
    update();
}

void ShutdownSequence::update()
{
    if (finishedNow)
        return;
    for (const Stop &stop : qAsConst(stops)) {
        if (stop.outcome == Outcome::Waiting && !stop.cabinet)
            continue;
        if (stop.outcome == Outcome::Waiting && stop.cabinet->isConnected()) {
            emit progress();
            return;
        }
    }
    if (commandsWaiting() > 0) {
        emit progress();
        return;
    }
    // A stop still waiting here belongs to a link that is gone.
    for (Stop &stop : stops)
        settle(stop, Outcome::LinkFailed);
    finishedNow = true;
    if (starting)
        return; // the caller asks isFinished()
    // Never from inside the answer handling that got here: listeners may open a
    // dialog, whose event loop would take the next answers in the middle of it.
    QMetaObject::invokeMethod(this, "announceFinished", Qt::QueuedConnection);
}

void ShutdownSequence::announceFinished()
{
    emit finished();
}
