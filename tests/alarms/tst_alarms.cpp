#include "alarmbook.h"
#include "alarmcommand.h"
#include "alarmlist.h"
#include "alarmwatcher.h"
#include "cabinet.h"
#include "rotorhead.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// The alarms' rules as a plain book, and the plant's command that each change runs.
class tst_Alarms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void book_data();
    void book();
    void commandGetsTheAlarmInItsEnvironment();
    void commandThatFailsIsReported_data();
    void commandThatFailsIsReported();
    void linkDownRaisesAtOnceOnlyWhereALoopRuns();

private:
    QString script(const QTemporaryDir &dir, const QByteArray &body) const;
};

void tst_Alarms::initTestCase()
{
    TestSupport::failOnConnectWarnings();
}

// Steps: "raise P", "clear P", "ack P", "ackall" on places A (a rotor) and B (a
// cabinet). Each step's outcome: the change, "+gone" where the alarm left the book;
// then the book as "place:state:repeats", oldest first.
void tst_Alarms::book_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<QStringList>("left");

    QTest::newRow("raised stays active")
        << QStringList{"raise A", "raise A"} << QStringList{"raised", "none"} << QStringList{"A:active:0"};
    QTest::newRow("cleared stays until acknowledged")
        << QStringList{"raise A", "clear A", "clear A"} << QStringList{"raised", "cleared", "none"}
        << QStringList{"A:cleared:0"};
    QTest::newRow("cleared then acknowledged is gone")
        << QStringList{"raise A", "clear A", "ack A"} << QStringList{"raised", "cleared", "acknowledged+gone"}
        << QStringList{};
    QTest::newRow("acknowledged then cleared is gone")
        << QStringList{"raise A", "ack A", "ack A", "clear A"}
        << QStringList{"raised", "acknowledged", "none", "cleared+gone"} << QStringList{};
    QTest::newRow("comes and goes unacknowledged: one alarm, repeats counted")
        << QStringList{"raise A", "clear A", "raise A", "clear A", "raise A"}
        << QStringList{"raised", "cleared", "repeated", "cleared", "repeated"} << QStringList{"A:active:2"};
    QTest::newRow("acknowledged and still active: no repeat")
        << QStringList{"raise A", "ack A", "raise A"} << QStringList{"raised", "acknowledged", "none"}
        << QStringList{"A:acknowledged:0"};
    QTest::newRow("after it is gone a new alarm")
        << QStringList{"raise A", "ack A", "clear A", "raise A"}
        << QStringList{"raised", "acknowledged", "cleared+gone", "raised"} << QStringList{"A:active:0"};
    QTest::newRow("one alarm per place")
        << QStringList{"raise A", "raise B", "clear B"} << QStringList{"raised", "raised", "cleared"}
        << QStringList{"A:active:0", "B:cleared:0"};
    QTest::newRow("clear of nothing")
        << QStringList{"clear A", "ack A"} << QStringList{"none", "none"} << QStringList{};
    QTest::newRow("acknowledge all")
        << QStringList{"raise A", "raise B", "clear B", "ackall", "ackall"}
        << QStringList{"raised", "raised", "cleared", "acknowledged,acknowledged+gone", ""}
        << QStringList{"A:acknowledged:0"};
}

void tst_Alarms::book()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, outcomes);
    QFETCH(QStringList, left);

    const QHash<QString, AlarmPlace> places{
        {QStringLiteral("A"), {QStringLiteral("state"), QStringLiteral("10.0.85.12"), 1}},
        {QStringLiteral("B"), {QStringLiteral("link"), QStringLiteral("10.0.85.12"), -1}},
    };
    const auto nameOf = [&places](const AlarmPlace &place) { return places.key(place); };
    const auto describe = [](const AlarmBook::Outcome &outcome) {
        static const char *const changes[] = {"none", "raised", "repeated", "cleared", "acknowledged"};
        return QString::fromLatin1(changes[int(outcome.change)]) + (outcome.gone ? "+gone" : "");
    };
    AlarmBook alarms;
    QDateTime at = QDateTime::fromMSecsSinceEpoch(1'765'000'000'000);
    QStringList seen;
    for (const QString &step : qAsConst(steps)) {
        const QStringList words = step.split(QLatin1Char(' '));
        at = at.addSecs(1);
        if (words.at(0) == QLatin1String("ackall")) {
            QStringList all;
            for (const AlarmBook::Outcome &outcome : alarms.acknowledgeAll(QStringLiteral("night"), at)) {
                all << describe(outcome);
                QCOMPARE(outcome.alarm.acknowledgedBy, QStringLiteral("night"));
                QCOMPARE(outcome.alarm.acknowledgedAt, at);
            }
            seen << all.join(QLatin1Char(','));
            continue;
        }
        const AlarmPlace place = places.value(words.at(1));
        AlarmBook::Outcome outcome;
        if (words.at(0) == QLatin1String("raise")) {
            outcome = alarms.raise(place, QStringLiteral("EMERGENCY STOP"), at);
        } else if (words.at(0) == QLatin1String("clear")) {
            outcome = alarms.clear(place);
        } else {
            const Alarm *alarm = alarms.findAt(place);
            outcome = alarms.acknowledge(alarm ? alarm->id : -1, QStringLiteral("night"), at);
        }
        if (outcome.change != AlarmBook::Change::None)
            QCOMPARE(nameOf(outcome.alarm.place), words.at(1));
        seen << describe(outcome);
    }
    QCOMPARE(seen, outcomes);

    static const char *const states[] = {"active", "acknowledged", "cleared"};
    QStringList book;
    int unacknowledged = 0;
    for (const Alarm &alarm : alarms.alarms()) {
        book << QStringLiteral("%1:%2:%3").arg(nameOf(alarm.place), states[int(alarm.state)]).arg(alarm.repeats);
        unacknowledged += alarm.isAcknowledged() ? 0 : 1;
    }
    QCOMPARE(book, left);
    QCOMPARE(alarms.unacknowledgedCount(), unacknowledged);
}

QString tst_Alarms::script(const QTemporaryDir &dir, const QByteArray &body) const
{
    const QString path = dir.filePath(QStringLiteral("alarm-command"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + body);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), 0755);
    return path;
}

void tst_Alarms::commandGetsTheAlarmInItsEnvironment()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("env"));
    AlarmCommand command;
    // The arguments as written, a quoted one with its space; the output goes nowhere.
    command.setCommand(QStringLiteral("%1 \"%2\" second")
                           .arg(script(dir, "head -c 3000000 /dev/zero\n"
                                            "{ echo \"$1|$2\"; env | grep ^TAVREL_ALARM_ | sort; } > \"$1.tmp\"\n"
                                            "mv \"$1.tmp\" \"$1\"\n"),
                                out));
    QSignalSpy failures(&command, &AlarmCommand::failed);
    QSignalSpy started(&command, &AlarmCommand::started);

    Alarm alarm;
    alarm.id = 7;
    alarm.place = {QStringLiteral("state"), QStringLiteral("10.0.85.19"), 1};
    alarm.text = QStringLiteral("EMERGENCY STOP");
    alarm.acknowledgedBy = QStringLiteral("night");
    const QDateTime at(QDate(2026, 12, 8), QTime(21, 4, 5), Qt::OffsetFromUTC, 3600);
    command.run(QStringLiteral("acknowledged"), alarm, at);
    QCOMPARE(started.count(), 1);
    QTRY_VERIFY(QFile::exists(out));
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({out + QStringLiteral("|second"),
                                 QStringLiteral("TAVREL_ALARM_CABINET=10.0.85.19"),
                                 QStringLiteral("TAVREL_ALARM_EVENT=acknowledged"),
                                 QStringLiteral("TAVREL_ALARM_ROTOR=2"),
                                 QStringLiteral("TAVREL_ALARM_TEXT=EMERGENCY STOP"),
                                 QStringLiteral("TAVREL_ALARM_TIME=") + AlarmCommand::timeText(at),
                                 QStringLiteral("TAVREL_ALARM_USER=night")}));
    QTRY_COMPARE(command.runningCount(), 0);
    QCOMPARE(failures.count(), 0);
    // The offset is the local one, written out.
    QVERIFY(QRegularExpression(QStringLiteral("^2026-12-08T\\d\\d:04:05[+-]\\d\\d:\\d\\d$"))
                .match(AlarmCommand::timeText(at)).hasMatch());
}

void tst_Alarms::commandThatFailsIsReported_data()
{
    QTest::addColumn<QByteArray>("body"); // empty: no such program
    QTest::addColumn<QString>("message");

    QTest::newRow("missing") << QByteArray() << QStringLiteral("could not be started");
    QTest::newRow("non-zero exit") << QByteArray("exit 3\n") << QStringLiteral("ended with status 3");
    QTest::newRow("hangs") << QByteArray("exec sleep 60\n") << QStringLiteral("was killed after 0.3 s");
}

void tst_Alarms::commandThatFailsIsReported()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);

    QTemporaryDir dir;
    AlarmCommand command;
    command.setTimeoutMs(300);
    command.setCommand(body.isEmpty() ? dir.filePath(QStringLiteral("missing")) : script(dir, body));
    QSignalSpy failures(&command, &AlarmCommand::failed);
    Alarm alarm;
    alarm.place = {QStringLiteral("link"), QStringLiteral("10.0.85.12"), -1};
    // More than may run at once: the rest wait their turn, and each is reported.
    const int runs = AlarmCommand::MaxRunning + 2;
    for (int i = 0; i < runs; ++i)
        command.run(QStringLiteral("raised"), alarm, QDateTime::currentDateTime());
    QVERIFY(command.runningCount() <= AlarmCommand::MaxRunning);
    QTRY_COMPARE_WITH_TIMEOUT(failures.count(), runs, 10000);
    for (const QList<QVariant> &failure : qAsConst(failures))
        QVERIFY2(failure.at(0).toString().contains(message), qPrintable(failure.at(0).toString()));
    QCOMPARE(command.runningCount(), 0);
    QCOMPARE(command.queuedCount(), 0);
}

// A link down raises its alarm at once where a loop runs; elsewhere only once it has
// been down the quiet time, so that a reconnection within seconds raises nothing.
void tst_Alarms::linkDownRaisesAtOnceOnlyWhereALoopRuns()
{
    if (!TestSupport::inPrivateNetwork())
        QSKIP("needs the private network namespace of scripts/netns-run; never runs on the real network");
    qRegisterMetaType<Cabinet *>();
    const QString looping = TestSupport::installationHost(10), idle = TestSupport::installationHost(11);
    SimCabinet *loopingSim = TestSupport::startSimulator(this, looping, Cabinet::ModbusPort);
    SimCabinet *idleSim = TestSupport::startSimulator(this, idle, Cabinet::ModbusPort);
    QObject owner;
    auto *loopingCabinet = new Cabinet(looping, 4, &owner);
    auto *idleCabinet = new Cabinet(idle, 4, &owner);
    AlarmList alarms;
    AlarmWatcher watcher(&alarms);
    watcher.setQuietLinkDownMs(1000);
    watcher.watch(loopingCabinet);
    watcher.watch(idleCabinet);
    QStringList seen;
    connect(&alarms, &AlarmList::changed, this, [&seen](const AlarmBook::Outcome &outcome) {
        seen << AlarmList::eventName(outcome.change) + QLatin1Char(' ') + outcome.alarm.place.cabinet;
    });
    loopingCabinet->connectToCabinet();
    idleCabinet->connectToCabinet();
    QTRY_VERIFY(loopingCabinet->isConnected() && idleCabinet->isConnected());
    RotorHead *rotor = loopingCabinet->rotor(0);
    rotor->setLoopRunSecs(3600);
    rotor->setLoopMode(true);
    rotor->start();
    QTRY_VERIFY(rotor->isLoopRunning());
    // The simulators answer on this thread: the drop must find the connections taken.
    QTRY_COMPARE(loopingSim->rotorState(0), 0);
    QTRY_COMPARE(idleSim->connectionCount(), 1);

    // Both dropped: the looping one at once, the idle one a second later; both
    // back by themselves two seconds after the drop, the alarms cleared but kept.
    loopingSim->dropConnections();
    idleSim->dropConnections();
    QTRY_COMPARE_WITH_TIMEOUT(seen, QStringList({"raised " + looping}), 500);
    QTRY_COMPARE(seen, QStringList({"raised " + looping, "raised " + idle}));
    QTRY_VERIFY_WITH_TIMEOUT(loopingCabinet->isConnected() && idleCabinet->isConnected(), 5000);
    QTRY_COMPARE(seen.size(), 4);
    QCOMPARE(alarms.count(), 2);

    // Down for less than the quiet time (the second attempt comes 4 s after): nothing.
    alarms.acknowledgeAll(QStringLiteral("night"));
    seen.clear();
    watcher.setQuietLinkDownMs(6000);
    QElapsedTimer down;
    down.start();
    QTRY_COMPARE(idleSim->connectionCount(), 1);
    idleSim->dropConnections();
    QTRY_VERIFY(!idleCabinet->isConnected());
    QTRY_VERIFY_WITH_TIMEOUT(idleCabinet->isConnected(), 5500);
    QTest::qWait(int(6500 - down.elapsed()));
    QCOMPARE(seen, QStringList());
}

QTEST_GUILESS_MAIN(tst_Alarms)
#include "tst_alarms.moc"
