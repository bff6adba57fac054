#include "stoprun.h"

#include "cabinet.h"
#include "plantnames.h"
#include "pumpcommand.h"
#include "rotorhead.h"

#include <algorithm>

StopRun::StopRun(CommandCause cause, const QList<Cabinet *> &cabinets, QObject *parent)
    : QObject(parent)
    , why(cause)
{
    for (Cabinet *cabinet : cabinets) {
        for (int i = 0; cabinet->rotor(i); ++i)
            list.append(Rotor{cabinet, i, PlantNames::rotorAt(cabinet->host(), i), Outcome::Waiting, QString()});
    }
    for (int row = 0; row < list.size(); ++row)
        listenAfterKept(row);
}

void StopRun::start()
{
    QList<int> rows;
    for (int row = 0; row < list.size(); ++row)
        rows << row;
    send(rows);
}

bool StopRun::retryFailed()
{
    QList<int> rows;
    for (int row = 0; row < list.size(); ++row) {
        const Rotor &rotor = list.at(row);
        if (rotor.cabinet && rotor.outcome != Outcome::Waiting && rotor.outcome != Outcome::Confirmed)
            rows << row;
    }
    if (rows.isEmpty())
        return false;
    for (int row : qAsConst(rows)) {
        list[row].outcome = Outcome::Waiting;
        list[row].reason.clear();
        emit rotorSettled(row);
    }
    send(rows);
    return true;
}

// A waiter of their own for the rotors sent to: one a rotor settled in keeps that
// outcome, and the rotors still waiting from before stay with theirs.
void StopRun::send(const QList<int> &rows)
{
    finishAnnounced = false;
    auto *waiter = new StopWaiter(this);
    connect(waiter, &StopWaiter::settled, this, &StopRun::settled);
    connect(waiter, &StopWaiter::finished, this, [this, waiter] {
        waiter->deleteLater();
        if (finishAnnounced || !isSettled())
            return;
        finishAnnounced = true;
        emit finished();
    });
    for (int row : rows) {
        const Rotor &rotor = list.at(row);
        if (rotor.cabinet)
            waiter->stop(rotor.cabinet, rotor.index, why);
    }
    // No rotor at all: still said once, queued.
    if (rows.isEmpty())
        QMetaObject::invokeMethod(waiter, [waiter] { emit waiter->finished(); }, Qt::QueuedConnection);
}

void StopRun::settled(Cabinet *cabinet, int rotor, Outcome outcome, const QString &reason)
{
    for (int row = 0; row < list.size(); ++row) {
        const Rotor &one = list.at(row);
        // A cabinet gone takes its name along: every rotor of it waiting is lost.
        if (one.index == rotor && one.cabinet == cabinet && one.outcome == Outcome::Waiting)
            setOutcome(row, outcome, reason);
    }
}

void StopRun::setOutcome(int row, Outcome outcome, const QString &reason)
{
    list[row].outcome = outcome;
    list[row].reason = reason;
    emit rotorSettled(row);
}

// A Stop kept for its link goes out first when the link is back; its answer then
// says at last whether the rotor stopped.
void StopRun::listenAfterKept(int row)
{
    RotorHead *head = list.at(row).cabinet->rotor(list.at(row).index);
    connect(head, &RotorHead::commandConfirmed, this, [this, row](PumpCommand command) {
        if (command == PumpCommand::Stop && list.at(row).outcome == Outcome::NotConnected)
            setOutcome(row, Outcome::Confirmed, QString());
    });
    connect(head, &RotorHead::commandRefused, this,
            [this, row](PumpCommand command, int, const QString &reason) {
        if (command == PumpCommand::Stop && list.at(row).outcome == Outcome::NotConnected)
            setOutcome(row, Outcome::Refused, reason);
    });
}

int StopRun::count(Outcome outcome) const
{
    return int(std::count_if(list.cbegin(), list.cend(),
                             [outcome](const Rotor &rotor) { return rotor.outcome == outcome; }));
}

bool StopRun::isSettled() const
{
    return count(Outcome::Waiting) == 0;
}

QStringList StopRun::unconfirmed() const
{
    QStringList rotors;
    for (const Rotor &rotor : list) {
        if (rotor.outcome != Outcome::Waiting && rotor.outcome != Outcome::Confirmed)
            rotors << rotor.name + QStringLiteral(": ") + outcomeText(rotor.outcome, rotor.reason);
    }
    return rotors;
}

QString StopRun::summary() const
{
    QStringList parts{tr("%1 of %2 confirmed").arg(count(Outcome::Confirmed)).arg(list.size())};
    const QStringList others = unconfirmed();
    if (!others.isEmpty())
        parts << tr("not confirmed: %1").arg(others.join(QStringLiteral("; ")));
    return parts.join(QStringLiteral("; "));
}

QString StopRun::outcomeText(Outcome outcome, const QString &reason)
{
    switch (outcome) {
    case Outcome::Waiting:
        return tr("waiting for its answer");
    case Outcome::Confirmed:
        return tr("stopped, confirmed by its echo");
    case Outcome::Refused:
        return tr("refused (%1), may still be running").arg(reason);
    case Outcome::LinkLost:
        return tr("link lost before the answer, may still be running");
    case Outcome::NotConnected:
        return tr("kept for the cabinet, not connected: sent first when its link is back");
    case Outcome::Replaced:
        return tr("replaced by a Start before it was sent");
    }
    return QString();
}
