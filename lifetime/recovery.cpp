#include "recovery.h"

#include "cabinet.h"
#include "commandcause.h"
#include "plantnames.h"
#include "rotorhead.h"
#include "settingsstore.h"

#include <QDateTime>
#include <QMetaEnum>

Recovery::Recovery(QObject *parent)
    : QObject(parent)
{
    readDeadline.setSingleShot(true);
    readDeadline.setInterval(ReadDeadlineMs);
    connect(&readDeadline, &QTimer::timeout, this, &Recovery::finishReading);
    connect(&stops, &StopWaiter::progress, this, &Recovery::stopProgress);
    connect(&stops, &StopWaiter::finished, this, &Recovery::stopsSettled);
}

void Recovery::collect(const SettingsStore &store, const QList<Cabinet *> &cabinets)
{
    if (store.lastRunEndedCleanly())
        return;
    for (Cabinet *cabinet : cabinets) {
        for (int i = 0; cabinet->rotor(i); ++i) {
            const SettingsStore::Loop loop = store.loop(cabinet->host(), i);
            if (!loop.on || !loop.running)
                continue;
            Entry entry;
            entry.cabinet = cabinet;
            entry.rotorIndex = i;
            rotors.append(entry);
        }
    }
    const QDateTime lastAlive = store.lastSeenAlive();
    if (lastAlive.isValid())
        away = qMax<qint64>(0, lastAlive.secsTo(QDateTime::currentDateTimeUtc()));
}

QString Recovery::rotorName(int i) const
{
    const Entry &entry = rotors.at(i);
    return PlantNames::rotorAt(entry.cabinet ? entry.cabinet->host() : QString(), entry.rotorIndex);
}

RotorHead *Recovery::rotor(int i) const
{
    const Entry &entry = rotors.at(i);
    return entry.cabinet ? entry.cabinet->rotor(entry.rotorIndex) : nullptr;
}

void Recovery::readRotors()
{
    isReading = true;
    QList<Cabinet *> cabinets;
    for (int i = 0; i < rotors.size(); ++i) {
        Cabinet *cabinet = rotors.at(i).cabinet;
        if (!cabinet)
            continue;
        connect(rotor(i), &RotorHead::stateChanged, this, [this, i](const QString &name, bool isRunning) {
            rotorAnswered(i, name, isRunning);
        });
        if (!cabinets.contains(cabinet))
            cabinets.append(cabinet);
    }
    for (Cabinet *cabinet : qAsConst(cabinets)) {
        connect(cabinet, &Cabinet::connectionError, this, [this](Cabinet *failed) { cabinetFailed(failed); });
        if (!cabinet->isConnected()) {
            cabinet->connectToCabinet(); // its rotors read their state once connected
            continue;
        }
        for (int i = 0; RotorHead *rotorHead = cabinet->rotor(i); ++i)
            rotorHead->queryState(false);
    }
    readDeadline.start();
    cabinetFailed(nullptr); // rotors of cabinets that no longer exist
}

void Recovery::rotorAnswered(int i, const QString &stateName, bool isRunning)
{
    if (!isReading)
        return;
    rotors[i].reading = isRunning ? Runs : Stands;
    rotors[i].stateText = stateName;
    for (const Entry &entry : qAsConst(rotors)) {
        if (entry.reading == NotRead)
            return;
    }
    finishReading();
}

void Recovery::cabinetFailed(Cabinet *cabinet)
{
    bool allRead = true;
    for (Entry &entry : rotors) {
        if (entry.reading == NotRead && (entry.cabinet == cabinet || !entry.cabinet))
            entry.reading = Unreachable;
        allRead = allRead && entry.reading != NotRead;
    }
    if (allRead)
        finishReading();
}

void Recovery::finishReading()
{
    if (!isReading)
        return;
    isReading = false;
    readDeadline.stop();
    for (const Entry &entry : qAsConst(rotors)) {
        if (!entry.cabinet)
            continue;
        QObject::disconnect(entry.cabinet, nullptr, this, nullptr);
        QObject::disconnect(entry.cabinet->rotor(entry.rotorIndex), nullptr, this, nullptr);
    }
    // Never from inside the answer handling that got here: see finished().
    QTimer::singleShot(0, this, [this] { emit ready(); });
}

void Recovery::choose(Choice choice)
{
    QStringList names;
    for (int i = 0; i < rotors.size(); ++i)
        names << rotorName(i);
    emit choiceMade(choice, names);
    switch (choice) {
    case ResumeLoops:
        for (int i = 0; i < rotors.size(); ++i) {
            if (RotorHead *rotorHead = rotor(i))
                rotorHead->takeUpLoop();
        }
        emit finished({});
        break;
    case StopRotors:
        stopRotors();
        break;
    case LeaveAsTheyAre:
        emit finished({});
        break;
    }
}

QString Recovery::choiceName(Choice choice)
{
    return QString::fromLatin1(QMetaEnum::fromType<Choice>().valueToKey(choice));
}

void Recovery::stopRotors()
{
    bool anyStopped = false;
    for (int i = 0; i < rotors.size(); ++i) {
        const Entry &entry = rotors.at(i);
        // Without a link the loop ends here, but the rotor cannot be told: the
        // waiter names it as not connected.
        if (entry.cabinet) {
            stops.stop(entry.cabinet, entry.rotorIndex, CommandCause::Recovery);
            anyStopped = true;
        } else {
            unreachable << rotorName(i);
        }
    }
    emit stopProgress(stops.confirmedCount(), stops.sentCount());
    if (!anyStopped)
        QTimer::singleShot(0, this, &Recovery::stopsSettled); // as the waiter would: queued
}

void Recovery::stopsSettled()
{
    using Outcome = StopWaiter::Outcome;
    emit finished(unreachable + stops.names({Outcome::NotConnected})
                  + stops.names({Outcome::Refused, Outcome::LinkLost}));
}
