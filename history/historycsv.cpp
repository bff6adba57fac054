#include "historycsv.h"

#include "historydatabase.h"

#include <QDateTime>
#include <QIODevice>

#include <cstdio>

namespace {

QByteArray field(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\r') || bytes.contains('\n')) {
        bytes.replace('"', "\"\"");
        bytes.prepend('"');
        bytes.append('"');
    }
    return bytes;
}

} // namespace

QByteArray HistoryCsv::header()
{
    return QByteArrayLiteral("id,time,cabinet,rotor,kind,text,old_value,new_value,cause,user\r\n");
}

QByteArray HistoryCsv::row(const HistoryEvent &event)
{
    QByteArray line;
    line.reserve(160);
    line += QByteArray::number(event.id);
    line += ',';
    line += timeText(event.time).toLatin1();
    line += ',';
    line += field(event.cabinet);
    line += ',';
    if (event.rotor > 0)
        line += QByteArray::number(event.rotor);
    for (const QString *text : {&event.kind, &event.text, &event.oldValue, &event.newValue,
                                &event.cause, &event.user}) {
        line += ',';
        line += field(*text);
    }
    line += "\r\n";
    return line;
}

QString HistoryCsv::timeText(qint64 msecsSinceEpoch)
{
    // Asking the time zone is most of an export's time; an offset holds for a quarter
    // of an hour at least, as zones change theirs on such bounds.
    constexpr qint64 SlotMs = 15 * 60 * 1000;
    static thread_local qint64 cachedSlot = -1;
    static thread_local int cachedOffset = 0;
    const qint64 slot = msecsSinceEpoch >= 0 ? msecsSinceEpoch / SlotMs : (msecsSinceEpoch + 1) / SlotMs - 1;
    if (slot != cachedSlot) {
        cachedOffset = QDateTime::fromMSecsSinceEpoch(slot * SlotMs, Qt::LocalTime).offsetFromUtc();
        cachedSlot = slot;
    }
    const int offset = cachedOffset;
    const qint64 local = msecsSinceEpoch + qint64(offset) * 1000;
    qint64 days = local >= 0 ? local / 86400000 : (local + 1) / 86400000 - 1;
    const qint64 msOfDay = local - days * 86400000;
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 mp = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = int(mp < 10 ? mp + 3 : mp - 9);
    const qint64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const int minutes = qAbs(offset) / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  static_cast<long long>(year), month, day, int(msOfDay / 3600000),
                  int(msOfDay / 60000 % 60), int(msOfDay / 1000 % 60), int(msOfDay % 1000),
                  offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return QString::fromLatin1(text);
}

bool HistoryCsv::parseTime(const QString &text, qint64 *msecsSinceEpoch)
{
    // Exactly a date: Qt::ISODate takes the date at the head of a date-time for one.
    const QDate date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    if (date.isValid()) {
        *msecsSinceEpoch = date.startOfDay().toMSecsSinceEpoch();
        return true;
    }
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        return false;
    *msecsSinceEpoch = time.toMSecsSinceEpoch();
    return true;
}

qint64 HistoryCsv::write(HistoryDatabase &db, const HistoryFilter &filter, QIODevice *out, QString *error)
{
    if (out->write(header()) < 0) {
        *error = out->errorString();
        return -1;
    }
    qint64 rows = 0;
    QByteArray chunk;
    bool written = true;
    const bool read = db.forEach(filter, [&](const HistoryEvent &event) {
        chunk += row(event);
        ++rows;
        if (chunk.size() >= (1 << 16)) {
            written = out->write(chunk) == chunk.size();
            chunk.clear();
        }
        return written;
    });
    written = written && out->write(chunk) == chunk.size();
    if (!written) {
        *error = out->errorString();
        return -1;
    }
    if (!read) {
        *error = db.errorText();
        return -1;
    }
    return rows;
}
