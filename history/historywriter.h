#pragma once

#include "historyevent.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class HistoryDatabase;

// Writes the history on a thread of its own, which owns the file's connection. What
// cannot be written now is kept and tried again; a damaged file is moved aside, kept,
// and a new one started.
class HistoryWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryWriter)

public:
    HistoryWriter(const QString &path, const QString &user);
    ~HistoryWriter() override;

    static constexpr int HeartbeatMs = 30 * 1000;
    // A run not seen for this long, and without its end, has ended without closing.
    static constexpr qint64 AbandonedAfterMs = 4 * HeartbeatMs;
    static constexpr int RetryMs = 5000;
    static constexpr int PruneMs = 24 * 60 * 60 * 1000;
    // Kept in memory while the file cannot be written: about 40 MB.
    static constexpr int MaxWaiting = 200000;

public slots:
    void open();
    void append(HistoryEvents events);
    // The last rows, then the run's end; the connection closes.
    void finish();

signals:
    void written(HistoryEvents events);
    void failed(QString reason);
    void restored();

private:
    bool ensureOpen();
    void flush();
    void heartbeatTick();
    void prune();
    QString moveAside();
    void report(const QString &reason, bool keep = false);

    QString path;
    QString user;
    std::unique_ptr<HistoryDatabase> db;
    qint64 run = 0;
    HistoryEvents waiting;
    qint64 lost = 0;
    QString failure; // empty while writing works
    // A damaged file stays reported once a new one works: the old one needs looking at.
    bool failureKept = false;
    bool damageRetried = false;
    bool finished = false;
    QTimer heartbeat {this};
    QTimer pruneTimer {this};
    QTimer retryTimer {this};
};
