#include "stopwaiter.h"

#include "cabinet.h"
#include "plantnames.h"
#include "pumpcommand.h"
#include "rotorhead.h"

#include <algorithm>

StopWaiter::StopWaiter(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<StopWaiter::Outcome>();
}

void StopWaiter::stop(Cabinet *cabinet, int rotor, CommandCause cause)
{
    RotorHead *head = cabinet->rotor(rotor);
    if (!head)
        return;
    const int i = takeIn(cabinet, rotor);
    {
        const auto why = head->causeScope(cause);
        head->stop();
    }
    if (head->hasKeptStop())
        settle(i, Outcome::NotConnected);
    check();
}

bool StopWaiter::takeUp(Cabinet *cabinet, int rotor)
{
    RotorHead *head = cabinet->rotor(rotor);
    if (!head || !(head->hasKeptStop() || cabinet->isStopPending(rotor)))
        return false;
    const int i = takeIn(cabinet, rotor);
    if (!cabinet->isConnected())
        settle(i, Outcome::NotConnected);
    check();
    return true;
}

bool StopWaiter::contains(const Cabinet *cabinet, int rotor) const
{
    return indexOf(cabinet, rotor) >= 0;
}

int StopWaiter::sentCount() const
{
    return int(std::count_if(entries.cbegin(), entries.cend(), [](const Entry &entry) {
        return entry.outcome != Outcome::NotConnected;
    }));
}

int StopWaiter::confirmedCount() const
{
    return int(std::count_if(entries.cbegin(), entries.cend(), [](const Entry &entry) {
        return entry.outcome == Outcome::Confirmed;
    }));
}

bool StopWaiter::isSettled() const
{
    return std::none_of(entries.cbegin(), entries.cend(), [](const Entry &entry) {
        return entry.outcome == Outcome::Waiting;
    });
}

QStringList StopWaiter::names(std::initializer_list<Outcome> outcomes) const
{
    QStringList rotors;
    for (const Entry &entry : entries) {
        if (std::find(outcomes.begin(), outcomes.end(), entry.outcome) != outcomes.end())
            rotors << entry.name;
    }
    return rotors;
}

int StopWaiter::indexOf(const Cabinet *cabinet, int rotor) const
{
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).cabinet == cabinet && entries.at(i).rotor == rotor)
            return i;
    }
    return -1;
}

int StopWaiter::takeIn(Cabinet *cabinet, int rotor)
{
    const int known = indexOf(cabinet, rotor);
    if (known >= 0)
        return known;
    const int i = entries.size();
    // Named now: the name outlives the cabinet.
    entries.append(Entry{cabinet, rotor, PlantNames::rotorAt(cabinet->host(), rotor), Outcome::Waiting});
    finishAnnounced = false;
    listen(cabinet);
    RotorHead *head = cabinet->rotor(rotor);
    // The answer to a Stop sent before this one says nothing of whether this one
    // took hold: only the answer to the last Stop still waiting settles it.
    const auto lastStopAnswered = [this, i] {
        const Entry &entry = entries.at(i);
        return !entry.cabinet || !entry.cabinet->isStopPending(entry.rotor);
    };
    connect(head, &RotorHead::commandConfirmed, this, [this, i, lastStopAnswered](PumpCommand command) {
        if (command != PumpCommand::Stop || !lastStopAnswered())
            return;
        settle(i, Outcome::Confirmed);
        check();
    });
    connect(head, &RotorHead::commandRefused, this,
            [this, i, lastStopAnswered](PumpCommand command, int, const QString &reason) {
        if (command != PumpCommand::Stop || !lastStopAnswered())
            return;
        settle(i, Outcome::Refused, reason);
        check();
    });
    // Only a Start replaces a Stop that waits to go out: the rotor's last word is that.
    connect(head, &RotorHead::commandWithdrawn, this, [this, i](PumpCommand command) {
        if (command != PumpCommand::Stop)
            return;
        settle(i, Outcome::Replaced);
        check();
    });
    return i;
}

// Once per cabinet, however many of its rotors stop.
void StopWaiter::listen(Cabinet *cabinet)
{
    if (listened.contains(cabinet))
        return;
    listened.append(cabinet);
    connect(cabinet, &Cabinet::connectionError, this, [this](Cabinet *from) { linkLost(from); });
    connect(cabinet, &Cabinet::didDisconnect, this, [this](Cabinet *from) { linkLost(from); });
    // Its rotors and their answers go with it; the pointers to it are null by now.
    connect(cabinet, &QObject::destroyed, this, [this](QObject *gone) {
        listened.removeOne(gone);
        linkLost(nullptr);
    });
}

void StopWaiter::linkLost(const Cabinet *cabinet)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).cabinet == cabinet)
            settle(i, Outcome::LinkLost);
    }
    check();
}

void StopWaiter::settle(int i, Outcome outcome, const QString &reason)
{
    if (entries.at(i).outcome != Outcome::Waiting)
        return;
    entries[i].outcome = outcome;
    const Entry entry = entries.at(i); // a listener may take more rotors in
    emit settled(entry.cabinet, entry.rotor, outcome, reason);
    if (outcome != Outcome::NotConnected)
        emit progress(confirmedCount(), sentCount());
}

void StopWaiter::check()
{
    // A Stop whose link is gone is lost with it, whether or not the news came yet.
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        if (entry.outcome == Outcome::Waiting && (!entry.cabinet || !entry.cabinet->isConnected()))
            settle(i, Outcome::LinkLost);
    }
    if (finishDue || finishAnnounced || !isSettled())
        return;
    finishDue = true;
    QMetaObject::invokeMethod(this, [this] {
        finishDue = false;
        if (finishAnnounced || !isSettled())
            return;
        finishAnnounced = true;
        emit finished();
    }, Qt::QueuedConnection);
}
