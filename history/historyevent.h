#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVector>

// One row of the history: what happened, where, why and on whose account.
struct HistoryEvent
{
    qint64 id = 0;   // given by the file; 0 until written
    qint64 time = 0; // milliseconds since the epoch, UTC
    QString cabinet; // host address; empty for the program's own rows
    int rotor = 0;   // 1 to 4 as the panels name them; 0 where there is none
    QString kind;
    QString text;
    QString oldValue;
    QString newValue;
    QString cause;
    QString user;
};

// The words of the kind column.
namespace HistoryKind {
inline QString command() { return QStringLiteral("command"); }
inline QString link() { return QStringLiteral("link"); }
inline QString state() { return QStringLiteral("state"); }
inline QString loop() { return QStringLiteral("loop"); }
inline QString program() { return QStringLiteral("program"); }
inline QString alarm() { return QStringLiteral("alarm"); }
inline QStringList all() { return {command(), link(), state(), loop(), program(), alarm()}; }
} // namespace HistoryKind

// Which rows to read; an empty field takes every row.
struct HistoryFilter
{
    QString cabinet;
    int rotor = 0;
    QString kind;
    qint64 since = 0;  // milliseconds since the epoch, inclusive; 0: from the first row
    qint64 until = 0;  // exclusive; 0: up to the newest row

    bool matches(const HistoryEvent &event) const
    {
        return (cabinet.isEmpty() || event.cabinet == cabinet) && (rotor == 0 || event.rotor == rotor)
            && (kind.isEmpty() || event.kind == kind) && (since == 0 || event.time >= since)
            && (until == 0 || event.time < until);
    }
};

// Where a page of newest-first rows ends: the next page starts below it.
struct HistoryCursor
{
    qint64 time = 0; // 0: start from the newest row
    qint64 id = 0;
};

using HistoryEvents = QVector<HistoryEvent>;

Q_DECLARE_METATYPE(HistoryEvent)
Q_DECLARE_METATYPE(HistoryEvents)
Q_DECLARE_METATYPE(HistoryFilter)
Q_DECLARE_METATYPE(HistoryCursor)
