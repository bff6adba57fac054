#pragma once

#include "commandcause.h"

#include <QObject>
#include <QStringList>

class Cabinet;
class CabinetList;
class StopRun;

// The operator's Stop all pumps, and Stop this cabinet: each a StopRun of its own,
// announced as it starts and each time it settles.
class StopAll final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopAll)

public:
    explicit StopAll(CabinetList *cabinets, QObject *parent = nullptr);

    // What the confirmation counts: the rotors of connected cabinets are sent their
    // Stops now, those of the others have them kept for their link.
    int connectedCabinetCount() const;
    int connectedRotorCount() const;
    QStringList notConnectedHosts() const;
    int notConnectedRotorCount() const;

    // Started at once; the run is the StopAll's child, till its window lets it go.
    StopRun *stopAll();
    StopRun *stopCabinet(Cabinet *cabinet);

signals:
    void runStarted(StopRun *run);
    // Every rotor of the run has its outcome; again after each retry.
    void runFinished(StopRun *run);
    // The run settled with Stops not confirmed, as "10.0.85.15, rotor 2: why":
    // these rotors may still be running.
    void stopsNotConfirmed(CommandCause cause, const QStringList &rotors);

private:
    StopRun *run(CommandCause cause, const QList<Cabinet *> &cabinets);

    CabinetList *cabinets;
};
