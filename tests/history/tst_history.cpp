#include "history.h"
#include "historycsv.h"
#include "historydatabase.h"
#include "plantnames.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

// The history file on its own: what an export writes, and what a start finds.
class tst_History : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exportWritesCsvOfWhatWasRecorded();
};

namespace {

qint64 localMs(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs).toMSecsSinceEpoch();
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
    const QString user = PlantNames::currentUser();

    // A run that was last seen at 09:00 and never wrote its end.
    {
        QDir().mkpath(folder);
        HistoryDatabase crashed(QDir(folder).filePath(History::fileName()), HistoryDatabase::Mode::Write);
        QVERIFY(crashed.beginRun(localMs("2026-03-01T09:00:00")) > 0);
    }
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
        // The row the start found first, then one hand-over for one turn of the event loop.
        QTRY_COMPARE(written.count(), 2);
        QCOMPARE(written.at(0).at(0).value<HistoryEvents>().size(), 1);
        QCOMPARE(written.at(1).at(0).value<HistoryEvents>().size(), 4);
    }

    const QByteArray expected =
            "id,time,cabinet,rotor,kind,text,old_value,new_value,cause,user\r\n"
            "4,2026-06-15T09:00:00.000+02:00,,,program,\"line one\nline two\",,,,ops\r\n"
            "3,2026-06-15T08:00:00.000+02:00,10.0.85.13,,link,\"Link lost: peer said \"\"bye\"\", then closed\",,,,ops\r\n"
            "2,2026-03-01T10:05:00.250+01:00,10.0.85.12,2,command,Speed (cRPM),1000,1200,operator,ops\r\n"
            "1,2026-03-01T09:00:00.000+01:00,,,program,Ended without closing (last seen alive),,,,"
            + user.toUtf8() + "\r\n";
    HistoryFilter filter;
    QVERIFY(HistoryCsv::parseTime(QStringLiteral("2026-03-01"), &filter.since));
    QVERIFY(HistoryCsv::parseTime(QStringLiteral("2026-07-01T00:00:00.000+02:00"), &filter.until));
    {
        HistoryDatabase db(QDir(folder).filePath(History::fileName()), HistoryDatabase::Mode::Read);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        QString error;
        QCOMPARE(HistoryCsv::write(db, filter, &out, &error), qint64(4));
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

QTEST_GUILESS_MAIN(tst_History)
#include "tst_history.moc"
