#pragma once

#include "commandcause.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <initializer_list>

class Cabinet;

// Stops rotors, or takes up Stops given already, and says of each what became of
// its Stop: confirmed by its echo, refused by the cabinet, lost with its link, kept
// for a link that is down, or replaced before it went out. As good for one rotor as
// for the whole installation.
class StopWaiter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopWaiter)

public:
    enum class Outcome {
        Waiting,
        Confirmed, // answered by its echo
        Refused, // answered otherwise: an exception, out of step, another echo
        LinkLost, // the link failed, or the cabinet went, before the answer
        NotConnected, // kept for the link's return; the rotor may be running till then
        Replaced, // a Start replaced it before it went out: the cabinet never got it
    };
    Q_ENUM(Outcome)

    explicit StopWaiter(QObject *parent = nullptr);

    // Sends the rotor a Stop for this cause. A rotor taken in already keeps its
    // first outcome.
    void stop(Cabinet *cabinet, int rotor, CommandCause cause);
    // A Stop given already and not answered yet, or kept for a link that is down;
    // false when the rotor has none.
    bool takeUp(Cabinet *cabinet, int rotor);

    bool contains(const Cabinet *cabinet, int rotor) const;
    // Stops that went over a link, the NotConnected ones not among them.
    int sentCount() const;
    int confirmedCount() const;
    // Every rotor taken in has its outcome.
    bool isSettled() const;
    // "10.0.85.15, rotor 2" for each rotor with one of these outcomes, in the order
    // they were taken in.
    QStringList names(std::initializer_list<Outcome> outcomes) const;

signals:
    void progress(int confirmed, int sent);
    // Once per rotor; the reason is the cabinet's, for a refusal. The cabinet is
    // null once it is gone.
    void settled(Cabinet *cabinet, int rotor, StopWaiter::Outcome outcome, QString reason);
    // Every rotor taken in has its outcome. Always queued, never from inside the
    // answer handling that settled the last: a listener may open a dialog, whose
    // event loop would take the next answers in the middle of it.
    void finished();

private:
    struct Entry
    {
        QPointer<Cabinet> cabinet;
        int rotor = 0;
        QString name;
        Outcome outcome = Outcome::Waiting;
    };

    int indexOf(const Cabinet *cabinet, int rotor) const;
    int takeIn(Cabinet *cabinet, int rotor);
    void listen(Cabinet *cabinet);
    void linkLost(const Cabinet *cabinet);
    void settle(int i, Outcome outcome, const QString &reason = QString());
    void check();

    QList<Entry> entries;
    QList<const QObject *> listened;
    bool finishDue = false;
    bool finishAnnounced = false;
};
