#include "history.h"
#include "historycsv.h"
#include "historydatabase.h"
#include "historymodel.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

// The history file on its own: what an export writes, what the panel shows, what the file refuses.
class tst_History : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exportWritesCsvOfWhatWasRecorded();
    void filterAgreesWithTheFile_data();
    void filterAgreesWithTheFile();
    void parseTime_data();
    void parseTime();
    void recordedRowsCannotBeChanged();
    void pageAwaitedWhileTrimmedIsReadAgain();
    void rowsGoOverTogetherAndNoneIsLostAtTheEnd();
};

namespace {

qint64 localMs(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

qint64 utcMs(const char *text)
{
    QDateTime time = QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs);
    time.setTimeSpec(Qt::UTC);
    return time.toMSecsSinceEpoch();
}

HistoryEvent row(qint64 time, const QString &cabinet, int rotor, const QString &kind)
{
    HistoryEvent e;
    e.time = time;
    e.cabinet = cabinet;
    e.rotor = rotor;
    e.kind = kind;
    e.text = QStringLiteral("Start");
    e.user = QStringLiteral("ops");
    return e;
}

} // namespace

void tst_History::initTestCase()
{
    TestSupport::failOnConnectWarnings();
    // Winter and summer time, so that the offsets differ.
    qputenv("TZ", "Europe/Copenhagen");
    tzset();
    QCoreApplication::setOrganizationName(QStringLiteral("Dosivo A/S"));
    QCoreApplication::setApplicationName(QStringLiteral("Tavrel Control"));
}

void tst_History::exportWritesCsvOfWhatWasRecorded()
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    const QString folder = History::defaultFolder();
    {
        History history;
        QSignalSpy written(&history, &History::recorded);
        QCOMPARE(history.filePath(), QDir(folder).filePath(QStringLiteral("history.sqlite")));
        auto add = [&](const char *time, const QString &cabinet, int rotor, const QString &kind,
                       const QString &text, const QString &oldValue, const QString &newValue) {
            HistoryEvent e;
            e.time = localMs(time);
            e.cabinet = cabinet;
            e.rotor = rotor;
            e.kind = kind;
            e.text = text;
            e.oldValue = oldValue;
            e.newValue = newValue;
            e.cause = rotor > 0 ? QStringLiteral("operator") : QString();
            e.user = QStringLiteral("ops");
            history.record(e);
        };
        add("2026-03-01T10:05:00.250", QStringLiteral("10.0.85.12"), 2, HistoryKind::command(),
            QStringLiteral("Speed (cRPM)"), QStringLiteral("1000"), QStringLiteral("1200"));
        add("2026-06-15T08:00:00", QStringLiteral("10.0.85.13"), 0, HistoryKind::link(),
            QStringLiteral("Link lost: peer said \"bye\", then closed"), QString(), QString());
        add("2026-06-15T09:00:00", QString(), 0, HistoryKind::program(),
            QStringLiteral("line one\nline two"), QString(), QString());
        add("2026-07-02T00:00:00", QString(), 0, HistoryKind::program(), QStringLiteral("too late"),
            QString(), QString());
        // One hand-over for the rows recorded together.
        QTRY_COMPARE(written.count(), 1);
        QCOMPARE(written.at(0).at(0).value<HistoryEvents>().size(), 4);
    }

    const QByteArray expected =
            "id,time,cabinet,rotor,kind,text,old_value,new_value,cause,user\r\n"
            "3,2026-06-15T09:00:00.000+02:00,,,program,\"line one\nline two\",,,,ops\r\n"
            "2,2026-06-15T08:00:00.000+02:00,10.0.85.13,,link,\"Link lost: peer said \"\"bye\"\", then closed\",,,,ops\r\n"
            "1,2026-03-01T10:05:00.250+01:00,10.0.85.12,2,command,Speed (cRPM),1000,1200,operator,ops\r\n";
    HistoryFilter filter;
    QVERIFY(HistoryCsv::parseTime(QStringLiteral("2026-03-01"), &filter.since));
    QVERIFY(HistoryCsv::parseTime(QStringLiteral("2026-07-01T00:00:00.000+02:00"), &filter.until));
    {
        HistoryDatabase db(QDir(folder).filePath(History::fileName()), HistoryDatabase::Mode::Read);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        QCOMPARE(HistoryCsv::write(db, filter, &out, &error), qint64(3));
        QCOMPARE(out.data(), expected);
    }

    // The same from the command line, with no display to open a window on.
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(TAVREL_CONTROL_BINARY),
                  {QStringLiteral("--export-history"), QStringLiteral("--since"), QStringLiteral("2026-03-01"),
                   QStringLiteral("--until"), QStringLiteral("2026-07-01T00:00:00+02:00")});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    QCOMPARE(program.readAllStandardOutput(), expected);
}

// The filter is said twice: as SQL for what is read from the file, and by matches()
// for the rows the panel is handed as they are written. Both keep the same rows.
void tst_History::filterAgreesWithTheFile_data()
{
    QTest::addColumn<HistoryFilter>("filter");
    QTest::addColumn<QVector<qint64>>("ids");

    const qint64 t = localMs("2026-12-08T12:00:00");
    auto filter = [](const QString &cabinet, int rotor, const QString &kind, qint64 since, qint64 until) {
        HistoryFilter f;
        f.cabinet = cabinet;
        f.rotor = rotor;
        f.kind = kind;
        f.since = since;
        f.until = until;
        return f;
    };
    const QString a = QStringLiteral("10.0.85.10");
    QTest::newRow("empty: every row") << HistoryFilter() << QVector<qint64>({1, 2, 3, 4, 5, 6});
    QTest::newRow("cabinet") << filter(a, 0, {}, 0, 0) << QVector<qint64>({1, 2, 6});
    QTest::newRow("rotor") << filter({}, 1, {}, 0, 0) << QVector<qint64>({1, 3, 6});
    QTest::newRow("kind") << filter({}, 0, HistoryKind::command(), 0, 0) << QVector<qint64>({1, 6});
    QTest::newRow("since, inclusive") << filter({}, 0, {}, t, 0) << QVector<qint64>({2, 3, 4, 5, 6});
    QTest::newRow("until, exclusive") << filter({}, 0, {}, 0, t + 1000) << QVector<qint64>({1, 2, 3});
    QTest::newRow("since and until") << filter({}, 0, {}, t, t + 1000) << QVector<qint64>({2, 3});
    QTest::newRow("every field") << filter(a, 1, HistoryKind::command(), t - 1000, t + 2000)
                                 << QVector<qint64>({1});
    QTest::newRow("a cabinet without rows") << filter(QStringLiteral("10.0.85.99"), 0, {}, 0, 0)
                                            << QVector<qint64>();
}

void tst_History::filterAgreesWithTheFile()
{
    QFETCH(HistoryFilter, filter);
    QFETCH(QVector<qint64>, ids);

    const qint64 t = localMs("2026-12-08T12:00:00");
    const QString a = QStringLiteral("10.0.85.10");
    const QString b = QStringLiteral("10.0.85.11");
    HistoryEvents events = {row(t - 1000, a, 1, HistoryKind::command()), row(t, a, 2, HistoryKind::state()),
                            row(t + 500, b, 1, HistoryKind::loop()), row(t + 1000, b, 0, HistoryKind::link()),
                            row(t + 1000, QString(), 0, HistoryKind::program()),
                            row(t + 2000, a, 1, HistoryKind::command())};
    QTemporaryDir folder;
    HistoryDatabase db(folder.filePath(History::fileName()), HistoryDatabase::Mode::Write);
    QVERIFY(db.insert(events));

    QVector<qint64> read;
    QVERIFY(db.forEach(filter, [&](const HistoryEvent &e) {
        read.prepend(e.id);
        return true;
    }));
    QCOMPARE(read, ids);
    QVector<qint64> matched;
    for (const HistoryEvent &e : qAsConst(events)) {
        if (filter.matches(e))
            matched << e.id;
    }
    QCOMPARE(matched, ids);
}

void tst_History::parseTime_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected"); // -1: refused

    // Local time is Copenhagen's: +01:00 in December, +02:00 in June.
    QTest::newRow("a date: its local midnight") << "2026-12-08" << utcMs("2026-12-07T23:00:00");
    QTest::newRow("a summer date") << "2026-06-15" << utcMs("2026-06-14T22:00:00");
    QTest::newRow("as the export writes it") << "2026-06-15T08:00:00.250+02:00" << utcMs("2026-06-15T06:00:00.250");
    QTest::newRow("with an offset") << "2026-12-08T15:44:22+01:00" << utcMs("2026-12-08T14:44:22");
    QTest::newRow("with another offset") << "2026-12-08T15:44:22-05:00" << utcMs("2026-12-08T20:44:22");
    QTest::newRow("in UTC") << "2026-12-08T15:44:22Z" << utcMs("2026-12-08T15:44:22");
    QTest::newRow("without an offset: local time") << "2026-06-15T08:00:00" << utcMs("2026-06-15T06:00:00");
    QTest::newRow("a word") << "yesterday" << qint64(-1);
    QTest::newRow("no such day") << "2026-12-32" << qint64(-1);
    QTest::newRow("no such hour") << "2026-12-08T25:00:00" << qint64(-1);
    QTest::newRow("a date, then words") << "2026-12-08 and later" << qint64(-1);
    QTest::newRow("a time alone") << "15:44:22" << qint64(-1);
    QTest::newRow("nothing") << "" << qint64(-1);
}

void tst_History::parseTime()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);

    qint64 parsed = -1;
    QCOMPARE(HistoryCsv::parseTime(text, &parsed), expected >= 0);
    if (expected >= 0)
        QCOMPARE(QDateTime::fromMSecsSinceEpoch(parsed, Qt::UTC), QDateTime::fromMSecsSinceEpoch(expected, Qt::UTC));
}

// The file itself refuses, whoever opens it.
void tst_History::recordedRowsCannotBeChanged()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(History::fileName());
    HistoryDatabase db(path, HistoryDatabase::Mode::Write);
    HistoryEvents events = {row(QDateTime::currentMSecsSinceEpoch(), QStringLiteral("10.0.85.10"), 1,
                                HistoryKind::command())};
    QVERIFY(db.insert(events));
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(path);
        QVERIFY(other.open());
        QSqlQuery query(other);
        QVERIFY(!query.exec(QStringLiteral("UPDATE events SET text = 'Stop', user = 'someone'")));
        QVERIFY(!query.exec(QStringLiteral("DELETE FROM events")));
        QVERIFY(query.exec(QStringLiteral("SELECT count(*), text, user FROM events")) && query.next());
        QCOMPARE(query.value(0).toInt(), 1);
        QCOMPARE(query.value(1).toString(), QStringLiteral("Start"));
        QCOMPARE(query.value(2).toString(), QStringLiteral("ops"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
}

// The operator scrolled past the rows the panel keeps; a page is on its way when a
// new row pushes the oldest out. The rows shown stay whole: none missing between two.
void tst_History::pageAwaitedWhileTrimmedIsReadAgain()
{
    QTemporaryDir folder;
    const int total = HistoryModel::MaxRows + HistoryModel::PageSize + 100;
    const qint64 first = localMs("2026-12-01T00:00:00");
    {
        HistoryEvents events;
        for (int i = 0; i < total; ++i)
            events << row(first + i * 1000, QStringLiteral("10.0.85.10"), 1, HistoryKind::command());
        HistoryDatabase db(folder.filePath(History::fileName()), HistoryDatabase::Mode::Write);
        QVERIFY(db.insert(events));
    }
    History history(folder.path());
    HistoryModel model(&history);
    auto settle = [&] { return QTest::qWaitFor([&] { return model.isSettled(); }, 5000); };
    QVERIFY(settle());
    while (model.rowCount() < HistoryModel::MaxRows) {
        model.fetchMore(QModelIndex());
        QVERIFY(settle());
    }
    QCOMPARE(model.rowCount(), HistoryModel::MaxRows);

    model.fetchMore(QModelIndex());
    QVERIFY(!model.isSettled());
    // The writer's report of a new row, at this moment.
    HistoryEvent newest = row(first + total * 1000, QStringLiteral("10.0.85.10"), 1, HistoryKind::command());
    newest.id = total + 1;
    emit history.recorded({newest});
    QCOMPARE(model.rowCount(), HistoryModel::MaxRows);

    do {
        QVERIFY(settle());
        model.fetchMore(QModelIndex());
    } while (model.canFetchMore(QModelIndex()) || !model.isSettled());
    QCOMPARE(model.rowCount(), total + 1);
    for (int i = 0; i < model.rowCount(); ++i)
        QCOMPARE(model.eventAt(i).id, qint64(total + 1 - i));
}

// Rows recorded a moment apart reach the writer together; those still gathered when
// the history ends are written all the same.
void tst_History::rowsGoOverTogetherAndNoneIsLostAtTheEnd()
{
    QTemporaryDir folder;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        History history(folder.path());
        QSignalSpy written(&history, &History::recorded);
        for (int i = 0; i < 3; ++i) {
            history.record(row(now + i, QStringLiteral("10.0.85.10"), 1, HistoryKind::command()));
            QTest::qWait(History::HandOverMs / 10);
        }
        QTRY_VERIFY(!written.isEmpty());
        QTest::qWait(History::HandOverMs);
        QCOMPARE(written.count(), 1);
        QCOMPARE(written.at(0).at(0).value<HistoryEvents>().size(), 3);
        for (int i = 3; i < 5; ++i)
            history.record(row(now + i, QStringLiteral("10.0.85.10"), 1, HistoryKind::command()));
    }
    HistoryDatabase db(folder.filePath(History::fileName()), HistoryDatabase::Mode::Read);
    QCOMPARE(db.page({}, {}, 10).size(), 5);
}

QTEST_GUILESS_MAIN(tst_History)
#include "tst_history.moc"
