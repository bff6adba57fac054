#include "historywriter.h"

#include "historydatabase.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

namespace {
// Starts the file of what an earlier run could not write, and says its layout.
constexpr quint32 UnwrittenMagic = 0x54480001;
}

HistoryWriter::HistoryWriter(const QString &path, const QString &user)
    : path(path)
    , user(user)
{
    pruneTimer.setInterval(PruneMs);
    connect(&pruneTimer, &QTimer::timeout, this, &HistoryWriter::prune);
    retryTimer.setSingleShot(true);
    retryTimer.setInterval(RetryMs);
    connect(&retryTimer, &QTimer::timeout, this, &HistoryWriter::flush);
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::open()
{
    takeUpUnwritten();
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
    if (!db->isOpen()) {
        report(db->errorText());
        db.reset();
        return false;
    }
    db->prune(now - qint64(HistoryDatabase::RetentionDays) * 24 * 60 * 60 * 1000);
    HistoryEvents found;
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
    // In the order things happened: what an earlier run left unwritten and what was
    // handed over before the file opened may be older than what opening it found.
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
    if (!db->insert(waiting)) {
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
    if (unwrittenTaken) {
        unwrittenTaken = false;
        QFile::remove(unwrittenPath());
    }
    HistoryEvents done;
    done.swap(waiting);
    if (!failure.isEmpty() && !failureKept) {
        failure.clear();
        emit restored();
    }
    emit written(done);
}

void HistoryWriter::prune()
{
    if (db)
        db->prune(QDateTime::currentMSecsSinceEpoch() - qint64(HistoryDatabase::RetentionDays) * 24 * 60 * 60 * 1000);
}

void HistoryWriter::finish()
{
    flush();
    finished = true;
    pruneTimer.stop();
    retryTimer.stop();
    db.reset();
    keepUnwritten();
}

QString HistoryWriter::unwrittenPath() const
{
    const QFileInfo info(path);
    return info.absolutePath() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral("-unwritten.dat");
}

// The file beside the history holds, from one run to the next, what the history
// would not take at the end: the count of rows already lost, then the rows.
void HistoryWriter::keepUnwritten()
{
    if (waiting.isEmpty() && lost == 0)
        return;
    QSaveFile file(unwrittenPath());
    if (file.open(QIODevice::WriteOnly)) {
        QDataStream out(&file);
        out.setVersion(QDataStream::Qt_5_15);
        out << UnwrittenMagic << qint64(lost) << quint32(waiting.size());
        for (const HistoryEvent &e : qAsConst(waiting)) {
            out << e.time << e.cabinet << qint32(e.rotor) << e.kind << e.text << e.oldValue << e.newValue
                << e.cause << e.user;
        }
        if (out.status() == QDataStream::Ok && file.commit())
            return;
    }
    std::fprintf(stderr, "History: %lld events could not be written and are lost (%s)\n",
                 static_cast<long long>(waiting.size() + lost), qPrintable(file.errorString()));
}

void HistoryWriter::takeUpUnwritten()
{
    QFile file(unwrittenPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    QDataStream in(&file);
    in.setVersion(QDataStream::Qt_5_15);
    quint32 magic = 0;
    qint64 lostBefore = 0;
    quint32 count = 0;
    in >> magic >> lostBefore >> count;
    HistoryEvents kept;
    for (quint32 i = 0; magic == UnwrittenMagic && i < count && in.status() == QDataStream::Ok; ++i) {
        HistoryEvent e;
        qint32 rotor = 0;
        in >> e.time >> e.cabinet >> rotor >> e.kind >> e.text >> e.oldValue >> e.newValue >> e.cause >> e.user;
        e.rotor = rotor;
        if (in.status() == QDataStream::Ok)
            kept << e;
    }
    if (magic != UnwrittenMagic || in.status() != QDataStream::Ok) {
        std::fprintf(stderr, "History: %s cannot be read whole; %lld of its events are written\n",
                     qPrintable(unwrittenPath()), static_cast<long long>(kept.size()));
    }
    waiting = kept + waiting;
    lost += lostBefore;
    unwrittenTaken = true;
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
