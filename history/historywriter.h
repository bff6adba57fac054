#pragma once

#include "historyevent.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class HistoryDatabase;

// Writes the history on a thread of its own, which owns the file's connection. What
// cannot be written now is kept and tried again, across the end if need be, in a file
// beside the history; a damaged file is moved aside, kept, and a new one started.
class HistoryWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryWriter)

public:
    HistoryWriter(const QString &path, const QString &user);
    ~HistoryWriter() override;

    static constexpr int RetryMs = 5000;
    static constexpr int PruneMs = 24 * 60 * 60 * 1000;
    // Kept in memory while the file cannot be written: about 40 MB.
    static constexpr int MaxWaiting = 200000;

public slots:
    // Takes up what an earlier run could not write, then opens the file.
    void open();
    void append(HistoryEvents events);
    // The last rows; what the file will not take waits beside it for the next start.
    void finish();

signals:
    void written(HistoryEvents events);
    void failed(QString reason);
    void restored();

private:
    bool ensureOpen();
    void flush();
    void prune();
    QString unwrittenPath() const;
    void takeUpUnwritten();
    void keepUnwritten();
    QString moveAside();
    void report(const QString &reason, bool keep = false);

    QString path;
    QString user;
    std::unique_ptr<HistoryDatabase> db;
    HistoryEvents waiting;
    qint64 lost = 0;
    QString failure; // empty while writing works
    // A damaged file stays reported once a new one works: the old one needs looking at.
    bool failureKept = false;
    bool damageRetried = false;
    bool finished = false;
    bool unwrittenTaken = false; // the file beside goes once its rows are written
    QTimer pruneTimer {this};
    QTimer retryTimer {this};
};
