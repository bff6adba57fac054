#pragma once

#include "alarmbook.h"

#include <QDateTime>
#include <QObject>
#include <QString>

// The program's alarms: the book of them, and news of every change for the list,
// the count, the history, the attention and the plant's command.
class AlarmList final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmList)

public:
    explicit AlarmList(QObject *parent = nullptr);

    const AlarmBook &book() const { return alarms; }
    int count() const { return alarms.alarms().size(); }
    int unacknowledgedCount() const { return alarms.unacknowledgedCount(); }

    void raise(const AlarmPlace &place, const QString &text);
    void clear(const AlarmPlace &place);
    void acknowledge(int id, const QString &user);
    void acknowledgeAll(const QString &user);

    // The words the history and the plant's command use for a change.
    static QString eventName(AlarmBook::Change change);

signals:
    // Every change, with its time: a raise (or a repeat), a clearing, an acknowledgement.
    void changed(const AlarmBook::Outcome &outcome, const QDateTime &at);
    void countChanged(int unacknowledged, int total);

private:
    void report(const AlarmBook::Outcome &outcome, const QDateTime &at);

    AlarmBook alarms;
};
