#pragma once

#include "historyevent.h"

#include <QByteArray>
#include <QString>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

class HistoryDatabase;

// The history as CSV (RFC 4180: CRLF line ends, fields quoted where they must be),
// a header row first, times in ISO 8601 as local time with its offset from UTC.
namespace HistoryCsv {

QByteArray header();
QByteArray row(const HistoryEvent &event);
QString timeText(qint64 msecsSinceEpoch);
// An ISO 8601 date-time as timeText writes it, its offset kept (without one: local
// time), or a date alone for its local midnight; false for anything else.
bool parseTime(const QString &text, qint64 *msecsSinceEpoch);
// Writes the header and every matching row, newest first; the rows written, or -1.
qint64 write(HistoryDatabase &db, const HistoryFilter &filter, QIODevice *out, QString *error);

} // namespace HistoryCsv
