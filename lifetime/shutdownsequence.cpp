#include "shutdownsequence.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "commandcause.h"
#include "rotorhead.h"

#include <QScopedValueRollback>

ShutdownSequence::ShutdownSequence(CabinetList *cabinets, QObject *parent)
    : QObject(parent)
    , cabinets(cabinets)
{
    connect(&stops, &StopWaiter::settled, this, &ShutdownSequence::stopSettled);
    connect(&earlier, &StopWaiter::settled, this, &ShutdownSequence::stopSettled);
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
        listen(cabinet);
        for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
            // A rotor in a run phase, or one whose loop was ticked a moment ago, would
            // go on pumping with nothing left to stop it; a Stop kept for a link that
            // is down has not reached its rotor either, nor has one the cabinet
            // refused to a loop. Without a link the loop ends here, but the rotor
            // cannot be told: it is named.
            if (rotor->mayStartByItself() || rotor->hasKeptStop() || rotor->mayStillBeRunning())
                stops.stop(cabinet, i, CommandCause::Close);
            else if (cabinet->isConnected())
                earlier.takeUp(cabinet, i); // the operator's own Stop, just before the end
        }
    }
    update();
}

// Every answer and every lost link may be the last the end waits for.
void ShutdownSequence::listen(Cabinet *cabinet)
{
    connect(cabinet, SIGNAL(commandConfirmed(Cabinet*,PumpCommand,int)), this, SLOT(update()));
    connect(cabinet, SIGNAL(commandRefused(Cabinet*,PumpCommand,int,QString)), this, SLOT(update()));
    connect(cabinet, SIGNAL(connectionError(Cabinet*,QString)), this, SLOT(update()));
    connect(cabinet, SIGNAL(didDisconnect(Cabinet*)), this, SLOT(update()));
    for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
        connect(rotor, SIGNAL(commandConfirmed(PumpCommand,int)), this, SLOT(update()));
        connect(rotor, SIGNAL(commandRefused(PumpCommand,int,QString)), this, SLOT(update()));
    }
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
    return stops.sentCount();
}

int ShutdownSequence::confirmedStopCount() const
{
    return stops.confirmedCount();
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
    if (stops.sentCount() > 0)
        return tr("Stopping pumps: %1 of %2 confirmed").arg(stops.confirmedCount()).arg(stops.sentCount());
    return tr("Sending the last commands: %1 waiting").arg(commandsWaiting());
}

QStringList ShutdownSequence::notConnected() const
{
    return stops.names({StopWaiter::Outcome::NotConnected});
}

QStringList ShutdownSequence::linkFailed() const
{
    return stops.names({StopWaiter::Outcome::LinkLost}) + earlier.names({StopWaiter::Outcome::LinkLost});
}

QStringList ShutdownSequence::refused() const
{
    const auto unconfirmed = {StopWaiter::Outcome::Refused, StopWaiter::Outcome::Replaced};
    return stops.names(unconfirmed) + earlier.names(unconfirmed);
}

bool ShutdownSequence::allConfirmed() const
{
    return notConnected().isEmpty() && linkFailed().isEmpty() && refused().isEmpty();
}

QString ShutdownSequence::unconfirmedLine() const
{
    QStringList rotors = notConnected() + linkFailed() + refused()
            + stops.names({StopWaiter::Outcome::Waiting});
    if (rotors.isEmpty())
        return QString();
    for (QString &rotor : rotors)
        rotor.replace(QStringLiteral(", "), QStringLiteral(" "));
    return tr("Pumps may still be running: %1").arg(rotors.join(QStringLiteral(", ")));
}

// For the history: a rotor that may still be running, and why.
void ShutdownSequence::stopSettled(Cabinet *cabinet, int rotor, StopWaiter::Outcome outcome)
{
    switch (outcome) {
    case StopWaiter::Outcome::NotConnected:
        emit stopUnconfirmed(cabinet, rotor, tr("cabinet not connected"));
        break;
    case StopWaiter::Outcome::LinkLost:
        emit stopUnconfirmed(cabinet, rotor, tr("link failed before the stop was confirmed"));
        break;
    case StopWaiter::Outcome::Refused:
        emit stopUnconfirmed(cabinet, rotor, tr("the cabinet did not confirm the stop"));
        break;
    case StopWaiter::Outcome::Replaced:
        emit stopUnconfirmed(cabinet, rotor, tr("a Start replaced the stop before it was sent"));
        break;
    case StopWaiter::Outcome::Waiting:
    case StopWaiter::Outcome::Confirmed:
        break;
    }
    if (!starting)
        update(); // start() looks once all are sent
}

void ShutdownSequence::update()
{
    if (finishedNow)
        return;
    if (!stops.isSettled() || commandsWaiting() > 0) {
        emit progress();
        return;
    }
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
