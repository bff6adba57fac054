#pragma once

#include "historyevent.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVector>

#include <functional>

// One connection to the history file, usable only on the thread that made it (as
// every Qt SQL connection). Rows are only ever added; old ones are pruned by age.
class HistoryDatabase final
{
public:
    enum class Mode
    {
        Write, // creates the file and its tables
        Read,  // never changes the file; a missing file reads as empty
    };

    HistoryDatabase(const QString &path, Mode mode);
    ~HistoryDatabase();

    static constexpr int RetentionDays = 400;

    bool isOpen() const { return open; }
    // The last failure, as SQLite put it.
    QString errorText() const { return error; }
    // The last failure says the file is damaged or not a database at all.
    bool isDamaged() const { return damaged; }

    // Adds the rows in one transaction and gives each its id.
    bool insert(HistoryEvents &events);
    bool prune(qint64 before);

    // Newest first, below the cursor.
    HistoryEvents page(const HistoryFilter &filter, const HistoryCursor &after, int limit);
    // Every matching row, newest first, until visit returns false.
    bool forEach(const HistoryFilter &filter, const std::function<bool(const HistoryEvent &)> &visit);

private:
    Q_DISABLE_COPY_MOVE(HistoryDatabase)
    bool exec(const QString &statement);
    bool fail(const QSqlError &sqlError);
    QString selectFor(const HistoryFilter &filter, bool withCursor) const;

    QString connection;
    QSqlDatabase db;
    Mode mode;
    bool open = false;
    bool damaged = false;
    QString error;
};
