#pragma once

#include "commandcause.h"
#include "stopwaiter.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class Cabinet;

// One Stop all, or one cabinet's stop: every loop of the cabinets ends and each
// rotor is sent a Stop, kept for a link that is down; says what became of each,
// and sends again to those not confirmed when asked.
class StopRun final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopRun)

public:
    using Outcome = StopWaiter::Outcome;
    struct Rotor
    {
        QPointer<Cabinet> cabinet;
        int index = 0;
        QString name; // "10.0.85.15, rotor 2"
        Outcome outcome = Outcome::Waiting;
        QString reason; // the cabinet's, for a refusal
    };

    StopRun(CommandCause cause, const QList<Cabinet *> &cabinets, QObject *parent = nullptr);

    CommandCause cause() const { return why; }
    // Sends every Stop: the four of a cabinet go to its link together, and every
    // link has its own before the next rotor's answer can be taken.
    void start();
    // Sends again to every rotor whose Stop settled unconfirmed; false when none did.
    bool retryFailed();

    const QList<Rotor> &rotors() const { return list; }
    int count(Outcome outcome) const;
    bool isSettled() const;
    // Rotors that settled without their echo, as "10.0.85.15, rotor 2: refused (why)".
    QStringList unconfirmed() const;
    // "48 of 52 confirmed; refused: ...; link lost: ...; kept for the link: ..."
    QString summary() const;
    static QString outcomeText(Outcome outcome, const QString &reason);

signals:
    void rotorSettled(int row);
    // Every rotor has its outcome; again after each retry. Always queued.
    void finished();

private:
    void send(const QList<int> &rows);
    void settled(Cabinet *cabinet, int rotor, Outcome outcome, const QString &reason);
    void setOutcome(int row, Outcome outcome, const QString &reason);
    void listenAfterKept(int row);

    CommandCause why;
    QList<Rotor> list;
    bool finishAnnounced = false;
};
