#include "recovery.h"

#include "cabinet.h"
#include "rotorhead.h"
#include "settingsstore.h"

#include <QDateTime>
#include <QMetaEnum>

namespace {
constexpr int StopWatchMs = 20;
}

Recovery::Recovery(QObject *parent)
    : QObject(parent)
{
    readDeadline.setSingleShot(true);
    readDeadline.setInterval(ReadDeadlineMs);
    connect(&readDeadline, &QTimer::timeout, this, &Recovery::finishReading);
    stopWatch.setInterval(StopWatchMs);
    connect(&stopWatch, &QTimer::timeout, this, &Recovery::checkStops);
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
    return tr("%1, rotor %2").arg(entry.cabinet ? entry.cabinet->host() : tr("a cabinet"))
            .arg(entry.rotorIndex + 1);
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
    emit ready();
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
                rotorHead->resumeLoop();
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
    for (int i = 0; i < rotors.size(); ++i) {
        Entry &entry = rotors[i];
        RotorHead *rotorHead = rotor(i);
        // Without a link the loop ends here, but the rotor cannot be told.
        if (!rotorHead || !entry.cabinet->isConnected())
            unreachable << rotorName(i);
        else
            entry.stopping = true;
        if (rotorHead)
            rotorHead->stop();
    }
    stopWatch.start();
    checkStops();
}

void Recovery::checkStops()
{
    int total = 0;
    int confirmed = 0;
    QStringList failed;
    for (int i = 0; i < rotors.size(); ++i) {
        if (!rotors.at(i).stopping)
            continue;
        ++total;
        switch (stopOutcome(rotors.at(i))) {
        case StopOutcome::Confirmed:
            ++confirmed;
            break;
        case StopOutcome::Failed:
            failed << rotorName(i);
            break;
        case StopOutcome::Waiting:
            break;
        }
    }
    emit stopProgress(confirmed, total);
    if (confirmed + failed.size() < total)
        return;
    stopWatch.stop();
    emit finished(unreachable + failed);
}

// Answered by the cabinet, or its link failed first.
Recovery::StopOutcome Recovery::stopOutcome(const Entry &entry)
{
    if (!entry.cabinet)
        return StopOutcome::Failed;
    if (!entry.cabinet->rotor(entry.rotorIndex)->isRunCommandPending())
        return StopOutcome::Confirmed;
    if (!entry.cabinet->isConnected())
        return StopOutcome::Failed;
    return StopOutcome::Waiting;
}
