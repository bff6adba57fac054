#pragma once

#include <QDateTime>
#include <QString>
#include <QVector>

// Where a condition that needs a person holds: what it is, on which cabinet, on
// which rotor. One alarm at most per place.
struct AlarmPlace
{
    QString condition; // the program's own word for it: "state", "link", ...
    QString cabinet;   // host address; empty for the program's own conditions
    int rotor = -1;    // 0 to 3; -1 for the whole cabinet

    bool operator==(const AlarmPlace &other) const
    {
        return condition == other.condition && cabinet == other.cabinet && rotor == other.rotor;
    }
    bool operator!=(const AlarmPlace &other) const { return !(*this == other); }
};

enum class AlarmState
{
    Active,                // the condition holds; nobody acknowledged it yet
    ActiveAcknowledged,    // the condition holds; someone has seen it
    ClearedUnacknowledged, // the condition went away before anyone saw it
};

struct Alarm
{
    int id = 0;
    AlarmPlace place;
    QString text;
    QDateTime raisedAt;
    AlarmState state = AlarmState::Active;
    int repeats = 0; // times the condition came back while nobody had acknowledged it
    QString acknowledgedBy;
    QDateTime acknowledgedAt;

    bool isAcknowledged() const { return state == AlarmState::ActiveAcknowledged; }
};

// The alarms that need a person, as industrial practice keeps them: raised, seen
// (acknowledged), returned to normal (cleared); one is gone only once it is both.
// A plain class: the rules alone, with the time given by the caller.
class AlarmBook final
{
public:
    enum class Change
    {
        None,
        Raised,
        Repeated, // an unacknowledged alarm whose condition came back
        Cleared,
        Acknowledged,
    };

    struct Outcome
    {
        Change change = Change::None;
        Alarm alarm; // as it is after the change
        bool gone = false; // acknowledged and cleared: no longer in the book
    };

    Outcome raise(const AlarmPlace &place, const QString &text, const QDateTime &at);
    Outcome clear(const AlarmPlace &place);
    Outcome acknowledge(int id, const QString &user, const QDateTime &at);
    // Every alarm not yet acknowledged, oldest first.
    QVector<Outcome> acknowledgeAll(const QString &user, const QDateTime &at);

    const QVector<Alarm> &alarms() const { return book; } // oldest first
    const Alarm *find(int id) const;
    const Alarm *findAt(const AlarmPlace &place) const;
    int unacknowledgedCount() const;
    // The condition holds, acknowledged or not.
    bool isActiveAt(const AlarmPlace &place) const;
    // Any condition holds at this rotor (0 to 3), or anywhere on this cabinet (-1):
    // what an overview marks.
    bool hasActive(const QString &host, int rotor) const;

private:
    int indexOf(const AlarmPlace &place) const;
    Outcome acknowledgeAt(int index, const QString &user, const QDateTime &at);

    QVector<Alarm> book;
    int nextId = 1;
};
