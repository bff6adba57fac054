#include "historyreader.h"

#include "historycsv.h"
#include "historydatabase.h"

#include <QSaveFile>

HistoryReader::HistoryReader(const QString &path)
    : path(path)
{
}

// A connection per request: the writer may have started a new file since the last.
void HistoryReader::readPage(int ticket, HistoryFilter filter, HistoryCursor after, int limit)
{
    HistoryDatabase db(path, HistoryDatabase::Mode::Read);
    const HistoryEvents events = db.page(filter, after, limit);
    emit pageRead(ticket, events, events.size() < limit);
}

void HistoryReader::exportCsv(int ticket, HistoryFilter filter, QString target)
{
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        emit exported(ticket, -1, file.errorString());
        return;
    }
    HistoryDatabase db(path, HistoryDatabase::Mode::Read);
    QString error;
    const qint64 rows = db.isOpen() ? HistoryCsv::write(db, filter, &file, &error) : -1;
    if (rows < 0) {
        file.cancelWriting();
        emit exported(ticket, -1, db.isOpen() ? error : db.errorText());
        return;
    }
    if (!file.commit()) {
        emit exported(ticket, -1, file.errorString());
        return;
    }
    emit exported(ticket, rows, QString());
}
