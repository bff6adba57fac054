#include "historydatabase.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

namespace {

QAtomicInt connectionCount;

// SQLITE_CORRUPT and SQLITE_NOTADB: the file cannot be trusted, whatever it holds.
bool meansDamaged(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("11") || code == QLatin1String("26");
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

const char *const Columns = "id, time, cabinet, rotor, kind, text, old_value, new_value, cause, user";

HistoryEvent eventAt(const QSqlQuery &query)
{
    HistoryEvent event;
    event.id = query.value(0).toLongLong();
    event.time = query.value(1).toLongLong();
    event.cabinet = query.value(2).toString();
    event.rotor = query.value(3).toInt();
    event.kind = query.value(4).toString();
    event.text = query.value(5).toString();
    event.oldValue = query.value(6).toString();
    event.newValue = query.value(7).toString();
    event.cause = query.value(8).toString();
    event.user = query.value(9).toString();
    return event;
}

void bindFilter(QSqlQuery &query, const HistoryFilter &filter)
{
    if (!filter.cabinet.isEmpty())
        query.bindValue(QStringLiteral(":cabinet"), filter.cabinet);
    if (filter.rotor > 0)
        query.bindValue(QStringLiteral(":rotor"), filter.rotor);
    if (!filter.kind.isEmpty())
        query.bindValue(QStringLiteral(":kind"), filter.kind);
    if (filter.since > 0)
        query.bindValue(QStringLiteral(":since"), filter.since);
    if (filter.until > 0)
        query.bindValue(QStringLiteral(":until"), filter.until);
}

} // namespace

HistoryDatabase::HistoryDatabase(const QString &path, Mode mode)
    : connection(QStringLiteral("history-%1").arg(connectionCount.fetchAndAddRelaxed(1)))
    , db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection))
    , mode(mode)
{
    if (!db.isValid()) {
        error = QStringLiteral("no SQLite driver for Qt SQL is installed");
        return;
    }
    if (mode == Mode::Read && !QFileInfo::exists(path)) {
        error = QStringLiteral("no history has been written yet");
        return;
    }
    db.setDatabaseName(path);
    // Waits for another connection's write for a moment instead of failing at once.
    db.setConnectOptions(mode == Mode::Read
                         ? QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000")
                         : QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
    if (!db.open()) {
        fail(db.lastError());
        return;
    }
    if (mode == Mode::Read) {
        // Touches the file, so that a damaged one says so now.
        open = exec(QStringLiteral("SELECT count(*) FROM sqlite_master"));
        return;
    }
    // WAL: readers (the panel, an export) never wait for the writer, nor it for them.
    // FULL: a row whose transaction ended survives a power cut.
    // A small page cache: appends touch the ends of the table and its indexes, and
    // 256 KiB wrote as fast as the default 2 MB, which a long history fills for good.
    open = exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        && exec(QStringLiteral("PRAGMA synchronous=FULL"))
        && exec(QStringLiteral("PRAGMA cache_size=-256"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS events ("
                               "id INTEGER PRIMARY KEY, time INTEGER NOT NULL, cabinet TEXT, "
                               "rotor INTEGER, kind TEXT NOT NULL, text TEXT NOT NULL, "
                               "old_value TEXT, new_value TEXT, cause TEXT, user TEXT NOT NULL)"))
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS events_time ON events(time)"))
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS events_cabinet ON events(cabinet, time)"))
        && exec(QStringLiteral("CREATE INDEX IF NOT EXISTS events_kind ON events(kind, time)"))
        // The file refuses to edit a row, or to drop one younger than the retention.
        && exec(QStringLiteral("CREATE TRIGGER IF NOT EXISTS events_never_edited "
                               "BEFORE UPDATE ON events BEGIN "
                               "SELECT RAISE(ABORT, 'history rows are never edited'); END"))
        && exec(QStringLiteral("CREATE TRIGGER IF NOT EXISTS events_kept "
                               "BEFORE DELETE ON events WHEN old.time >= "
                               "(strftime('%s', 'now') - %1 * 86400) * 1000 BEGIN "
                               "SELECT RAISE(ABORT, 'history rows are kept %1 days'); END")
                    .arg(RetentionDays))
        // How each run ended was kept here once; the program's settings keep it now.
        && exec(QStringLiteral("DROP TABLE IF EXISTS runs"));
}

HistoryDatabase::~HistoryDatabase()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
}

bool HistoryDatabase::fail(const QSqlError &sqlError)
{
    error = sqlError.databaseText().isEmpty() ? sqlError.text() : sqlError.databaseText();
    damaged = damaged || meansDamaged(sqlError);
    return false;
}

bool HistoryDatabase::exec(const QString &statement)
{
    QSqlQuery query(db);
    return query.exec(statement) || fail(query.lastError());
}

bool HistoryDatabase::insert(HistoryEvents &events)
{
    if (!open)
        return false;
    if (!db.transaction())
        return fail(db.lastError());
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO events (time, cabinet, rotor, kind, text, old_value, "
                                 "new_value, cause, user) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    bool ok = true;
    for (HistoryEvent &event : events) {
        query.addBindValue(event.time);
        query.addBindValue(textOrNull(event.cabinet));
        query.addBindValue(event.rotor > 0 ? QVariant(event.rotor) : QVariant());
        query.addBindValue(event.kind);
        query.addBindValue(event.text);
        query.addBindValue(textOrNull(event.oldValue));
        query.addBindValue(textOrNull(event.newValue));
        query.addBindValue(textOrNull(event.cause));
        query.addBindValue(event.user);
        if (!query.exec()) {
            ok = fail(query.lastError());
            break;
        }
        event.id = query.lastInsertId().toLongLong();
    }
    if (ok && db.commit())
        return true;
    if (ok)
        fail(db.lastError());
    db.rollback();
    for (HistoryEvent &event : events)
        event.id = 0;
    return false;
}

bool HistoryDatabase::prune(qint64 before)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("DELETE FROM events WHERE time < ?"));
    query.addBindValue(before);
    return query.exec() || fail(query.lastError());
}

QString HistoryDatabase::selectFor(const HistoryFilter &filter, bool withCursor) const
{
    QStringList where;
    if (!filter.cabinet.isEmpty())
        where << QStringLiteral("cabinet = :cabinet");
    if (filter.rotor > 0)
        where << QStringLiteral("rotor = :rotor");
    if (!filter.kind.isEmpty())
        where << QStringLiteral("kind = :kind");
    if (filter.since > 0)
        where << QStringLiteral("time >= :since");
    if (filter.until > 0)
        where << QStringLiteral("time < :until");
    // The first term keeps the scan on the time index; the second picks up below the row.
    if (withCursor)
        where << QStringLiteral("time <= :ctime AND (time < :ctime OR id < :cid)");
    return QStringLiteral("SELECT %1 FROM events%2 ORDER BY time DESC, id DESC")
            .arg(QLatin1String(Columns),
                 where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND ")));
}

HistoryEvents HistoryDatabase::page(const HistoryFilter &filter, const HistoryCursor &after, int limit)
{
    HistoryEvents events;
    if (!open)
        return events;
    const bool withCursor = after.time > 0;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(selectFor(filter, withCursor) + QStringLiteral(" LIMIT :limit"));
    bindFilter(query, filter);
    if (withCursor) {
        query.bindValue(QStringLiteral(":ctime"), after.time);
        query.bindValue(QStringLiteral(":cid"), after.id);
    }
    query.bindValue(QStringLiteral(":limit"), limit);
    if (!query.exec()) {
        fail(query.lastError());
        return events;
    }
    events.reserve(limit);
    while (query.next())
        events << eventAt(query);
    return events;
}

bool HistoryDatabase::forEach(const HistoryFilter &filter,
                              const std::function<bool(const HistoryEvent &)> &visit)
{
    if (!open)
        return false;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(selectFor(filter, false));
    bindFilter(query, filter);
    if (!query.exec())
        return fail(query.lastError());
    while (query.next()) {
        if (!visit(eventAt(query)))
            return true;
    }
    return !query.lastError().isValid() || fail(query.lastError());
}
