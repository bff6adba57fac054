// Benchmarks of the history that print figures: the GUI thread's cost of recording,
// a steady 1,000 events a second, and a file of millions of rows opened in the
// panel, filtered and exported. Needs no network.
// Usage: tavrel-history-bench [--rows N] [--seconds S] [--scratch DIR]

#include "history.h"
#include "historycsv.h"
#include "historydatabase.h"
#include "historymodel.h"
#include "historypanel.h"
#include "installation.h"
#include "startup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMainWindow>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <cstdio>
#include <vector>

namespace {

[[noreturn]] void giveUp(const QString &why)
{
    std::fprintf(stderr, "tavrel-history-bench: %s\n", qPrintable(why));
    std::exit(1);
}

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    return samples.at(std::min(samples.size() - 1, size_t(samples.size() * p)));
}

void waitFor(const std::function<bool()> &done, int timeoutMs = 60000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (clock.elapsed() > timeoutMs)
            giveUp(QStringLiteral("timed out"));
    }
}

HistoryEvent sampleEvent(int i)
{
    HistoryEvent e;
    e.cabinet = Installation::hostAddress(Installation::FirstHost + i % Installation::CabinetCount);
    e.rotor = 1 + i % 4;
    e.kind = HistoryKind::command();
    e.text = (i % 2) ? QStringLiteral("Start") : QStringLiteral("Stop");
    e.cause = QStringLiteral("loop phase");
    return e;
}

qint64 countRows(const QString &path, const QString &kind)
{
    HistoryDatabase db(path, HistoryDatabase::Mode::Read);
    HistoryFilter filter;
    filter.kind = kind;
    qint64 rows = 0;
    db.forEach(filter, [&rows](const HistoryEvent &) { return ++rows, true; });
    return rows;
}

struct Table
{
    QStringList rows {QStringLiteral("| What | Figure | Goal |"), QStringLiteral("|---|---|---|")};
    void add(const QString &what, const QString &figure, const QString &goal)
    {
        rows << QStringLiteral("| %1 | %2 | %3 |").arg(what, figure, goal);
        std::fprintf(stderr, "  %s\n", qPrintable(rows.last()));
    }
};

// One event at a time on the GUI thread, with the event loop turning between bursts.
void recordCost(Table &table, const QString &folder)
{
    History history(folder);
    std::vector<double> micros;
    QElapsedTimer clock;
    for (int burst = 0; burst < 60; ++burst) {
        for (int i = 0; i < 1000; ++i) {
            HistoryEvent e = sampleEvent(i);
            clock.start();
            history.record(std::move(e));
            micros.push_back(clock.nsecsElapsed() / 1000.0);
        }
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    micros.erase(micros.begin(), micros.begin() + 1000); // warm-up
    table.add(QStringLiteral("GUI thread's cost of recording one event (59,000 events, median / p99)"),
              QStringLiteral("%1 / %2 µs").arg(percentile(micros, 0.5), 0, 'f', 2)
                  .arg(percentile(micros, 0.99), 0, 'f', 2),
              QStringLiteral("< 20 µs median"));
}

// 1,000 events a second, paced by the clock; the longest gap between two turns of a
// 1 ms timer is the longest the window could not react. The same timer without a
// history, run first, is what the machine alone does to it.
void steadyRate(Table &table, const QString &folder, int seconds)
{
    const QString path = QDir(folder).filePath(History::fileName());
    qint64 recorded = 0;
    double longestMs = 0;
    double aloneMs = 0;
    for (bool withHistory : {false, true}) {
        std::unique_ptr<History> owner = withHistory ? std::make_unique<History>(folder) : nullptr;
        History *history = owner.get();
        recorded = 0;
        longestMs = 0;
        QElapsedTimer clock;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(1);
        qint64 lastTickNs = 0;
        const qint64 total = qint64(seconds) * 1000;
        QObject::connect(&tick, &QTimer::timeout, &tick, [&] {
            const qint64 now = clock.nsecsElapsed();
            if (lastTickNs > 0)
                longestMs = std::max(longestMs, (now - lastTickNs) / 1e6);
            lastTickNs = now;
            const qint64 due = std::min(total, now / 1000000);
            while (recorded < due) {
                HistoryEvent e = sampleEvent(int(recorded));
                e.kind = QStringLiteral("bench");
                if (history)
                    history->record(std::move(e));
                ++recorded;
            }
        });
        clock.start();
        tick.start();
        waitFor([&] { return recorded >= total; }, seconds * 1000 + 10000);
        tick.stop();
        if (!withHistory)
            aloneMs = longestMs;
    }
    const qint64 rows = countRows(path, QStringLiteral("bench"));
    table.add(QStringLiteral("1,000 events a second for %1 s: longest GUI stall; rows in the file").arg(seconds),
              QStringLiteral("%1 ms (the timer alone: %2 ms); %3 of %4 rows").arg(longestMs, 0, 'f', 1)
                  .arg(aloneMs, 0, 'f', 1).arg(rows).arg(recorded),
              QStringLiteral("no stall over 16 ms; every row"));
}

// Rows as a year and more of a busy installation leaves them, in one transaction.
double generate(const QString &folder, qint64 count)
{
    const QString path = QDir(folder).filePath(History::fileName());
    QDir().mkpath(folder);
    { HistoryDatabase schema(path, HistoryDatabase::Mode::Write); if (!schema.isOpen()) giveUp(schema.errorText()); }
    QElapsedTimer clock;
    clock.start();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("generate"));
        db.setDatabaseName(path);
        if (!db.open())
            giveUp(db.lastError().text());
        QSqlQuery query(db);
        query.exec(QStringLiteral("PRAGMA synchronous=OFF"));
        db.transaction();
        query.prepare(QStringLiteral("INSERT INTO events (time, cabinet, rotor, kind, text, old_value, new_value, "
                                     "cause, user) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        const qint64 span = qint64(HistoryDatabase::RetentionDays - 1) * 24 * 3600 * 1000;
        const qint64 first = QDateTime::currentMSecsSinceEpoch() - span;
        const QStringList kinds = {HistoryKind::command(), HistoryKind::command(), HistoryKind::command(),
                                   HistoryKind::state(), HistoryKind::state(), HistoryKind::loop(),
                                   HistoryKind::link(), HistoryKind::program()};
        quint32 seed = 12345;
        for (qint64 i = 0; i < count; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const QString &kind = kinds.at(int(seed >> 29));
            query.addBindValue(first + span * i / count);
            query.addBindValue(Installation::hostAddress(Installation::FirstHost + int((seed >> 8) % Installation::CabinetCount)));
            query.addBindValue(kind == HistoryKind::link() ? QVariant() : QVariant(int(1 + (seed >> 4) % 4)));
            query.addBindValue(kind);
            query.addBindValue(kind == HistoryKind::command() ? QStringLiteral("Speed (cRPM)") : QStringLiteral("State"));
            query.addBindValue(QString::number((seed >> 12) % 30000));
            query.addBindValue(QString::number((seed >> 13) % 30000));
            query.addBindValue(kind == HistoryKind::command() ? QVariant(QStringLiteral("loop phase")) : QVariant());
            query.addBindValue(QStringLiteral("operator"));
            if (!query.exec())
                giveUp(query.lastError().text());
        }
        db.commit();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("generate"));
    return clock.nsecsElapsed() / 1e9;
}

void manyRows(Table &table, const QString &folder, qint64 count)
{
    const double generated = generate(folder, count);
    const QString path = QDir(folder).filePath(History::fileName());
    const double sizeMb = QFileInfo(path).size() / 1e6;
    std::fprintf(stderr, "  (%lld rows generated in %.1f s)\n", static_cast<long long>(count), generated);
    const QString millions = QStringLiteral("%1 million rows").arg(count / 1e6, 0, 'g', 3);

    History history(folder);
    QMainWindow window;
    window.resize(1000, 700);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        giveUp(QStringLiteral("the window was not shown"));

    // The panel made and shown until its first page is painted.
    std::vector<double> openMs;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        auto *panel = new HistoryPanel(&history, {}, &window);
        panel->show();
        waitFor([panel] { return panel->model()->rowCount() > 0; });
        QCoreApplication::processEvents();
        openMs.push_back(clock.nsecsElapsed() / 1e6);
        delete panel;
    }
    table.add(QStringLiteral("%1: History panel opened until its first page shows (median of 5)").arg(millions),
              QStringLiteral("%1 ms").arg(percentile(openMs, 0.5), 0, 'f', 1), QStringLiteral("< 300 ms"));

    // One cabinet, one day, every row of it read into the panel's model.
    HistoryModel model(&history);
    waitFor([&model] { return model.isSettled(); });
    std::vector<double> dayMs;
    int dayRows = 0;
    for (int day = 0; day < 5; ++day) {
        const QDate date = QDate::currentDate().addDays(-30 - 50 * day);
        HistoryFilter filter;
        filter.cabinet = Installation::hostAddress(Installation::FirstHost + 2 + day);
        filter.since = date.startOfDay().toMSecsSinceEpoch();
        filter.until = date.addDays(1).startOfDay().toMSecsSinceEpoch();
        QElapsedTimer clock;
        clock.start();
        model.setFilter(filter);
        waitFor([&model] {
            if (model.isSettled() && model.canFetchMore(QModelIndex()))
                model.fetchMore(QModelIndex());
            return model.isSettled() && !model.canFetchMore(QModelIndex());
        });
        dayMs.push_back(clock.nsecsElapsed() / 1e6);
        dayRows = model.rowCount();
    }
    table.add(QStringLiteral("%1: one cabinet's events of one day, all %2 read into the panel (median of 5 days)")
                  .arg(millions).arg(dayRows),
              QStringLiteral("%1 ms").arg(percentile(dayMs, 0.5), 0, 'f', 1), QStringLiteral("< 100 ms"));

    // Every row as CSV into a file.
    {
        HistoryDatabase db(path, HistoryDatabase::Mode::Read);
        QFile out(QDir(folder).filePath(QStringLiteral("export.csv")));
        if (!out.open(QIODevice::WriteOnly))
            giveUp(out.errorString());
        QString error;
        QElapsedTimer clock;
        clock.start();
        const qint64 rows = HistoryCsv::write(db, {}, &out, &error);
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (rows < 0)
            giveUp(error);
        out.close();
        const double csvMb = out.size() / 1e6;
        out.remove();
        table.add(QStringLiteral("%1: export of every row as CSV").arg(millions),
                  QStringLiteral("%1 rows/s (%2 s, %3 MB of CSV)").arg(rows / seconds, 0, 'f', 0)
                      .arg(seconds, 0, 'f', 1).arg(csvMb, 0, 'f', 0),
                  QStringLiteral("-"));
    }
    table.add(QStringLiteral("File size per million rows (three indexes)"),
              QStringLiteral("%1 MB").arg(sizeMb / (count / 1e6), 0, 'f', 1), QStringLiteral("-"));
}

} // namespace

int main(int argc, char **argv)
{
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();
    const QStringList args = QApplication::arguments();
    const int rowsAt = args.indexOf(QStringLiteral("--rows"));
    const int secondsAt = args.indexOf(QStringLiteral("--seconds"));
    const int scratchAt = args.indexOf(QStringLiteral("--scratch"));
    const qint64 rows = rowsAt > 0 ? args.value(rowsAt + 1).toLongLong() : 5000000;
    const int seconds = secondsAt > 0 ? args.value(secondsAt + 1).toInt() : 60;
    QTemporaryDir scratch(scratchAt > 0 ? args.value(scratchAt + 1) + QStringLiteral("/history-bench-XXXXXX")
                                        : QDir::tempPath() + QStringLiteral("/history-bench-XXXXXX"));
    if (!scratch.isValid())
        giveUp(QStringLiteral("no scratch folder"));

    Table table;
    recordCost(table, scratch.filePath(QStringLiteral("cost")));
    steadyRate(table, scratch.filePath(QStringLiteral("steady")), seconds);
    manyRows(table, scratch.filePath(QStringLiteral("many")), rows);
    std::printf("%s\n", qPrintable(table.rows.join(QLatin1Char('\n'))));
    return 0;
}
