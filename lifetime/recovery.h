#pragma once

#include "stopwaiter.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

class Cabinet;
class RotorHead;
class SettingsStore;

// After a run that did not end through the close: the rotors whose loops it left
// behind, their cabinets connected and their state read afresh, and what the
// operator chose for them. The cabinets went on doing what they were last told.
class Recovery final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Recovery)

public:
    enum Choice { ResumeLoops, StopRotors, LeaveAsTheyAre };
    Q_ENUM(Choice)
    enum Reading { NotRead, Runs, Stands, Unreachable };

    // How long the reading may take before the operator is asked with what is known.
    static constexpr int ReadDeadlineMs = 5000;

    explicit Recovery(QObject *parent = nullptr);

    // Takes the rotors that were looping, unless the last run ended through the close.
    void collect(const SettingsStore &store, const QList<Cabinet *> &cabinets);
    bool isNeeded() const { return !rotors.isEmpty(); }
    qint64 awaySecs() const { return away; } // -1 when not known

    int rotorCount() const { return rotors.size(); }
    QString rotorName(int i) const;
    RotorHead *rotor(int i) const;
    Reading reading(int i) const { return rotors.at(i).reading; }
    QString stateText(int i) const { return rotors.at(i).stateText; }

    // Connects the cabinets and asks each rotor's state; ready() follows.
    void readRotors();
    void choose(Choice choice);
    static QString choiceName(Choice choice);

signals:
    void ready();
    // For the history: what was chosen, and for which rotors.
    void choiceMade(Recovery::Choice choice, const QStringList &rotors);
    void stopProgress(int confirmed, int total);
    // The choice is carried out; mayStillRun names the rotors whose stop was not confirmed.
    void finished(const QStringList &mayStillRun);

private:
    struct Entry
    {
        QPointer<Cabinet> cabinet;
        int rotorIndex = 0;
        Reading reading = NotRead;
        QString stateText;
    };

    void rotorAnswered(int i, const QString &stateName, bool isRunning);
    void cabinetFailed(Cabinet *cabinet);
    void finishReading();
    void stopRotors();
    void stopsSettled();

    QList<Entry> rotors;
    qint64 away = -1;
    bool isReading = false;
    QTimer readDeadline;
    QStringList unreachable; // rotors of cabinets that are gone
    // Only a stop's echo confirms it; a refusal or a failed link does not.
    StopWaiter stops;
};
