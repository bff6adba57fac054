#include "alarmbook.h"

int AlarmBook::indexOf(const AlarmPlace &place) const
{
    for (int i = 0; i < book.size(); ++i) {
        if (book.at(i).place == place)
            return i;
    }
    return -1;
}

const Alarm *AlarmBook::find(int id) const
{
    for (const Alarm &alarm : book) {
        if (alarm.id == id)
            return &alarm;
    }
    return nullptr;
}

const Alarm *AlarmBook::findAt(const AlarmPlace &place) const
{
    const int index = indexOf(place);
    return index < 0 ? nullptr : &book.at(index);
}

int AlarmBook::unacknowledgedCount() const
{
    int count = 0;
    for (const Alarm &alarm : book)
        count += alarm.isAcknowledged() ? 0 : 1;
    return count;
}

bool AlarmBook::isActiveAt(const AlarmPlace &place) const
{
    const Alarm *alarm = findAt(place);
    return alarm && alarm->state != AlarmState::ClearedUnacknowledged;
}

bool AlarmBook::hasActive(const QString &host, int rotor) const
{
    for (const Alarm &alarm : book) {
        if (alarm.place.cabinet == host && (rotor < 0 || alarm.place.rotor == rotor)
            && alarm.state != AlarmState::ClearedUnacknowledged)
            return true;
    }
    return false;
}

AlarmBook::Outcome AlarmBook::raise(const AlarmPlace &place, const QString &text, const QDateTime &at)
{
    Outcome outcome;
    const int index = indexOf(place);
    if (index < 0) {
        Alarm alarm;
        alarm.id = nextId++;
        alarm.place = place;
        alarm.text = text;
        alarm.raisedAt = at;
        book.append(alarm);
        outcome.change = Change::Raised;
        outcome.alarm = alarm;
        return outcome;
    }
    Alarm &alarm = book[index];
    // Still holding: the news that it holds is no news.
    if (alarm.state != AlarmState::ClearedUnacknowledged)
        return outcome;
    // Back before anyone saw it went: the same alarm, counted, not a second one.
    alarm.state = AlarmState::Active;
    alarm.text = text;
    ++alarm.repeats;
    outcome.change = Change::Repeated;
    outcome.alarm = alarm;
    return outcome;
}

AlarmBook::Outcome AlarmBook::clear(const AlarmPlace &place)
{
    Outcome outcome;
    const int index = indexOf(place);
    if (index < 0 || book.at(index).state == AlarmState::ClearedUnacknowledged)
        return outcome;
    outcome.change = Change::Cleared;
    if (book.at(index).state == AlarmState::ActiveAcknowledged) {
        outcome.alarm = book.takeAt(index);
        outcome.gone = true;
        return outcome;
    }
    // Latched: it stays for the person who has not seen it yet.
    book[index].state = AlarmState::ClearedUnacknowledged;
    outcome.alarm = book.at(index);
    return outcome;
}

AlarmBook::Outcome AlarmBook::acknowledge(int id, const QString &user, const QDateTime &at)
{
    for (int i = 0; i < book.size(); ++i) {
        if (book.at(i).id == id)
            return acknowledgeAt(i, user, at);
    }
    return {};
}

AlarmBook::Outcome AlarmBook::acknowledgeAt(int index, const QString &user, const QDateTime &at)
{
    Outcome outcome;
    Alarm &alarm = book[index];
    if (alarm.state == AlarmState::ActiveAcknowledged)
        return outcome;
    alarm.acknowledgedBy = user;
    alarm.acknowledgedAt = at;
    outcome.change = Change::Acknowledged;
    if (alarm.state == AlarmState::ClearedUnacknowledged) {
        outcome.alarm = book.takeAt(index);
        outcome.gone = true;
        return outcome;
    }
    alarm.state = AlarmState::ActiveAcknowledged;
    outcome.alarm = alarm;
    return outcome;
}

QVector<AlarmBook::Outcome> AlarmBook::acknowledgeAll(const QString &user, const QDateTime &at)
{
    QVector<Outcome> outcomes;
    for (int i = 0; i < book.size();) {
        const Outcome outcome = acknowledgeAt(i, user, at);
        if (outcome.change != Change::None)
            outcomes.append(outcome);
        if (!outcome.gone)
            ++i;
    }
    return outcomes;
}
