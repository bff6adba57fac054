#include "historywriter.h"

#include "historydatabase.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

HistoryWriter::HistoryWriter(const QString &path, const QString &user)
    : path(path)
    , user(user)
{
    heartbeat.setInterval(HeartbeatMs);
    connect(&heartbeat, &QTimer::timeout, this, &HistoryWriter::heartbeatTick);
    pruneTimer.setInterval(PruneMs);
    connect(&pruneTimer, &QTimer::timeout, this, &HistoryWriter::prune);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(RetryMs);
    connect(&retryTimer, &QTimer::timeout, this, &HistoryWriter::flush);
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::open()
{
    heartbeat.start();
    pruneTimer.start();
    flush();
}

void HistoryWriter::append(HistoryEvents events)
{
    if (waiting.isEmpty())
        waiting = std::move(events);
    else
        waiting += events;
    if (waiting.size() > MaxWaiting) {
        const int dropped = waiting.size() - MaxWaiting;
        waiting.remove(0, dropped);
        lost += dropped;
    }
    // While the file fails, the retry comes by its timer, not with every new row.
    if (!retryTimer.isActive())
        flush();
}

bool HistoryWriter::ensureOpen()
{
    if (db)
        return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QDir().mkpath(QFileInfo(path).absolutePath());
    db = std::make_unique<HistoryDatabase>(path, HistoryDatabase::Mode::Write);
    QString movedTo;
    if (!db->isOpen() && db->isDamaged()) {
        db.reset();
        movedTo = moveAside();
        if (movedTo.isEmpty()) {
            report(tr("the history file is damaged and cannot be moved aside"));
            return false;
        }
        db = std::make_unique<HistoryDatabase>(path, HistoryDatabase::Mode::Write);
    }
    HistoryEvents found;
    if (db->isOpen()) {
        found = db->closeAbandonedRuns(0, now - AbandonedAfterMs, user);
        run = db->beginRun(now);
    }
    if (!db->isOpen() || run == 0) {
        report(db->errorText());
        db.reset();
        return false;
    }
    db->prune(now - qint64(HistoryDatabase::RetentionDays) * 24 * 60 * 60 * 1000);
    if (!movedTo.isEmpty()) {
        HistoryEvent event;
        event.time = now;
        event.kind = HistoryKind::program();
        event.text = tr("History file damaged; kept as %1, a new one started")
                         .arg(QFileInfo(movedTo).fileName());
        event.user = user;
        found << event;
        report(tr("the file was damaged; it is kept as %1 and a new one was started")
                   .arg(QFileInfo(movedTo).fileName()), true);
    }
    // In the order things happened: what was handed over before the file opened
    // may be older than what opening it found.
    waiting = found + waiting;
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const HistoryEvent &a, const HistoryEvent &b) { return a.time < b.time; });
    return true;
}

void HistoryWriter::flush()
{
    if (finished || !ensureOpen()) {
        if (!finished)
            retryTimer.start();
        return;
    }
    if (lost > 0) {
        HistoryEvent event;
        event.time = QDateTime::currentMSecsSinceEpoch();
        event.kind = HistoryKind::program();
        event.text = tr("%n events could not be written and are missing", nullptr, int(lost));
        event.user = user;
        waiting << event;
        lost = 0;
    }
    if (waiting.isEmpty())
        return;
    if (!db->insert(waiting, run, QDateTime::currentMSecsSinceEpoch())) {
        const bool damaged = db->isDamaged();
        report(db->errorText());
        // Opened afresh at the next try; a damaged file is moved aside then.
        db.reset();
        if (damaged && !damageRetried) {
            damageRetried = true;
            flush();
        } else {
            retryTimer.start();
        }
        return;
    }
    damageRetried = false;
    HistoryEvents done;
    done.swap(waiting);
    if (!failure.isEmpty() && !failureKept) {
        failure.clear();
        emit restored();
    }
    emit written(done);
}

void HistoryWriter::heartbeatTick()
{
    if (!db || finished)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Another program on the same file that stopped beating is found here too.
    const HistoryEvents found = db->closeAbandonedRuns(run, now - AbandonedAfterMs, user);
    if (!found.isEmpty())
        append(found);
    else if (!db->markSeen(run, now))
        report(db->errorText());
}

void HistoryWriter::prune()
{
    if (db)
        db->prune(QDateTime::currentMSecsSinceEpoch() - qint64(HistoryDatabase::RetentionDays) * 24 * 60 * 60 * 1000);
}

void HistoryWriter::finish()
{
    flush();
    if (db && waiting.isEmpty())
        db->endRun(run, QDateTime::currentMSecsSinceEpoch());
    finished = true;
    heartbeat.stop();
    pruneTimer.stop();
    retryTimer.stop();
    db.reset();
}

// The damaged file and its journal keep their contents under a name of their own.
QString HistoryWriter::moveAside()
{
    const QFileInfo info(path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target;
    for (int n = 0; target.isEmpty() || QFile::exists(target); ++n) {
        target = info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("-damaged-")
                + stamp + (n > 0 ? QStringLiteral("-%1").arg(n) : QString()) + QLatin1Char('.') + info.suffix();
    }
    if (!QFile::rename(path, target))
        return QString();
    for (const char *journal : {"-wal", "-shm"}) {
        if (QFile::exists(path + QLatin1String(journal)))
            QFile::rename(path + QLatin1String(journal), target + QLatin1String(journal));
    }
    return target;
}

void HistoryWriter::report(const QString &reason, bool keep)
{
    if (reason == failure)
        return;
    failure = reason;
    failureKept = keep;
    emit failed(reason);
}
