#include "alarmlist.h"

AlarmList::AlarmList(QObject *parent)
    : QObject(parent)
{
}

void AlarmList::raise(const AlarmPlace &place, const QString &text)
{
    const QDateTime now = QDateTime::currentDateTime();
    report(alarms.raise(place, text, now), now);
}

void AlarmList::clear(const AlarmPlace &place)
{
    report(alarms.clear(place), QDateTime::currentDateTime());
}

void AlarmList::acknowledge(int id, const QString &user)
{
    const QDateTime now = QDateTime::currentDateTime();
    report(alarms.acknowledge(id, user, now), now);
}

void AlarmList::acknowledgeAll(const QString &user)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QVector<AlarmBook::Outcome> outcomes = alarms.acknowledgeAll(user, now);
    for (const AlarmBook::Outcome &outcome : outcomes)
        emit changed(outcome, now);
    if (!outcomes.isEmpty())
        emit countChanged(unacknowledgedCount(), count());
}

void AlarmList::report(const AlarmBook::Outcome &outcome, const QDateTime &at)
{
    if (outcome.change == AlarmBook::Change::None)
        return;
    emit changed(outcome, at);
    emit countChanged(unacknowledgedCount(), count());
}

QString AlarmList::eventName(AlarmBook::Change change)
{
    switch (change) {
    case AlarmBook::Change::Raised:
    case AlarmBook::Change::Repeated:
        return QStringLiteral("raised");
    case AlarmBook::Change::Cleared:
        return QStringLiteral("cleared");
    case AlarmBook::Change::Acknowledged:
        return QStringLiteral("acknowledged");
    case AlarmBook::Change::None:
        break;
    }
    return QString();
}
