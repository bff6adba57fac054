#pragma once

#include "historyevent.h"

#include <QObject>
#include <QString>

// Reads the history for the panel and for exports on a thread of its own, with a
// connection of its own, so that neither waits for the writer nor the window for it.
class HistoryReader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryReader)

public:
    explicit HistoryReader(const QString &path);

public slots:
    void readPage(int ticket, HistoryFilter filter, HistoryCursor after, int limit);
    void exportCsv(int ticket, HistoryFilter filter, QString target);

signals:
    void pageRead(int ticket, HistoryEvents events, bool atEnd);
    void exported(int ticket, qint64 rows, QString error);

private:
    QString path;
};
