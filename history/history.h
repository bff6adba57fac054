#pragma once

#include "historyevent.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

class HistoryReader;
class HistoryWriter;

// The program's history of what happened and who did it, one SQLite file in the
// user's application-data folder. The GUI thread only hands rows over: a writer
// and a reader, each on a thread of its own, touch the file. Each thread starts at
// its first use, so a start does not wait for the file.
class History final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(History)

public:
    // folder: where the file lives; empty for the user's application-data folder.
    explicit History(const QString &folder = QString(), QObject *parent = nullptr);
    // Writes what is still waiting, or keeps it for the next start; the only time anyone waits.
    ~History() override;

    static QString defaultFolder();
    static QString fileName() { return QStringLiteral("history.sqlite"); }
    QString filePath() const { return path; }

    // Never waits: the rows of HandOverMs go to the writer together, so that the
    // writer's thread wakes once for them and not once per row.
    // The time and user are filled in unless given.
    void record(HistoryEvent event);

    // Answered by pageRead and exported with the ticket returned here.
    int readPage(const HistoryFilter &filter, const HistoryCursor &after, int limit);
    int exportCsv(const HistoryFilter &filter, const QString &target);

    bool isAvailable() const { return failure.isEmpty(); }
    QString failureReason() const { return failure; }

    static constexpr int HandOverMs = 150;

signals:
    // Rows now in the file, with their ids, oldest first.
    void recorded(HistoryEvents events);
    void unavailable(QString reason);
    void available();
    void pageRead(int ticket, HistoryEvents events, bool atEnd);
    void exported(int ticket, qint64 rows, QString error);

    void appendNotify(HistoryEvents events);
    void readPageNotify(int ticket, HistoryFilter filter, HistoryCursor after, int limit);
    void exportNotify(int ticket, HistoryFilter filter, QString target);

private slots:
    void handOver();
    void writerFailed(QString reason);
    void writerRestored();

private:
    void startWriter();
    void startReader();

    QString path;
    QString user;
    QString failure;
    HistoryEvents pending;
    QTimer handOverTimer;
    int nextTicket = 1;
    QThread writerThread;
    QThread readerThread;
    HistoryWriter *writer;
    HistoryReader *reader;
};
