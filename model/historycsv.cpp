#include "historycsv.h"

#include "historydatabase.h"

#include <QDateTime>
#include <QIODevice>

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
    const int offset = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::LocalTime).offsetFromUtc();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::OffsetFromUTC, offset);
    QString text = local.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz"));
    const int minutes = qAbs(offset) / 60;
    text += QStringLiteral("%1%2:%3").arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                .arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
    return text;
}

bool HistoryCsv::parseTime(const QString &text, qint64 *msecsSinceEpoch)
{
    const QDate date = QDate::fromString(text, Qt::ISODate);
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
