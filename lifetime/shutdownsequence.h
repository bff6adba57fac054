#pragma once

#include "stopwaiter.h"

#include <QObject>
#include <QStringList>

class Cabinet;
class CabinetList;

// How the program ends, with or without a window: every looping rotor is
// stopped, and the end waits until every command the program accepted has been
// answered or its cabinet's link has failed (the answer deadline bounds that).
// Only a stop answered by its echo counts as confirmed; every rotor that may
// still be running is named.
class ShutdownSequence final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShutdownSequence)

public:
    explicit ShutdownSequence(CabinetList *cabinets, QObject *parent = nullptr);

    // Loops run somewhere: ending stops them, so an operator is asked first.
    bool hasActiveLoops() const;

    // Stops the loops and starts waiting; finished() follows, queued, unless
    // nothing was left to wait for, which isFinished() tells at once.
    void start();
    bool isStarted() const;
    bool isFinished() const;

    int stopCount() const;
    int confirmedStopCount() const;
    int commandsWaiting() const;
    // What the status bar shows while the sequence waits.
    QString progressText() const;

    // Rotors that may still be running, as "10.0.85.15, rotor 2": looping on a
    // cabinet that is not connected; whose link failed before the stop was
    // answered; whose stop the cabinet did not confirm.
    QStringList notConnected() const;
    QStringList linkFailed() const;
    QStringList refused() const;
    bool allConfirmed() const;
    // One line for standard error naming those and the stops still waiting;
    // empty when all is confirmed.
    QString unconfirmedLine() const;

signals:
    // The end begins: before the first stop is sent.
    void willStop();
    void progress();
    void finished();
    // A rotor that may still be running, and why; for the history.
    void stopUnconfirmed(Cabinet *cabinet, int rotor, QString reason);

private slots:
    void update();
    void announceFinished();

private:
    void listen(Cabinet *cabinet);
    void stopSettled(Cabinet *cabinet, int rotor, StopWaiter::Outcome outcome);

    CabinetList *cabinets;
    StopWaiter stops; // of the rotors that may run on: looping, or a Stop kept
    StopWaiter earlier; // Stops given before the end, still unanswered at its start
    bool started = false;
    bool finishedNow = false;
    bool starting = false;
};
