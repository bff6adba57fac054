#include "rotorhead.h"

#include "cabinetprotocol.h"
#include "loopschedule.h"
#include "motorclient.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace CabinetProtocol;

namespace {

const char *pumpCommandName(PumpCommand command)
{
    static const char *const names[] = {"Start", "Stop", "Speed", "Direction", "Identify"};
    return names[int(command)];
}

} // namespace

// Run commands as the simulator received them, with the time they arrived.
class RunLog final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RunLog)

public:
    RunLog(SimCabinet *sim, int unit)
    {
        clock.start();
        connect(sim, &SimCabinet::requestReceived, this, [this, unit](const SimCabinet::Request &r) {
            if (r.unit == unit && r.function == WriteSingleRegister && r.reg == RunRegister)
                commands.append({r.value == RunStart ? "start" : "stop", clock.elapsed()});
        });
    }
    QStringList names() const
    {
        QStringList list;
        for (const auto &command : commands)
            list << QString::fromLatin1(command.first);
        return list;
    }
    qint64 gap(int i) const { return commands.at(i).second - commands.at(i - 1).second; }
    qint64 now() const { return clock.elapsed(); }

    QList<QPair<const char *, qint64>> commands;

private:
    QElapsedTimer clock;
};

class tst_RotorHead : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsUnknownAndOffline();
    void refreshesOnConnection();
    void commandsGoToItsUnit();
    void reportsRunningOnlyForCode0_data();
    void reportsRunningOnlyForCode0();
    void loopAlternatesRunAndPause();
    void loopWaitsForStartWhenNotRunning();
    void stopDuringALoopPhase();
    void haltingStatesEndTheLoop_data();
    void haltingStatesEndTheLoop();
    void haltingStateSeenAtTheEndOfAPause();
    void loopModeOffStopsARunningRotor_data();
    void loopModeOffStopsARunningRotor();
    void linkDropsDuringAPause();
    void decidingQuestionLostWithTheLink_data();
    void decidingQuestionLostWithTheLink();
    void commandsReportedAsTheyGoOut_data();
    void commandsReportedAsTheyGoOut();
    void loopPhaseCommandRefused_data();
    void loopPhaseCommandRefused();
    void scheduleArithmetic_data();
    void scheduleArithmetic();

private:
    void connectClient();
    std::unique_ptr<RotorHead> connectedHead(int index);
    void readStateNow(RotorHead &head);
    void startLoop(RotorHead &head);

    SimCabinet *sim = nullptr;
    std::unique_ptr<MotorClient> client;
};

void tst_RotorHead::initTestCase()
{
    TestSupport::failOnConnectWarnings();
}

void tst_RotorHead::init()
{
    sim = TestSupport::startSimulator(this);
    client = std::make_unique<MotorClient>(sim->name(), sim->port());
}

void tst_RotorHead::cleanup()
{
    client.reset();
    delete sim;
}

void tst_RotorHead::connectClient()
{
    client->connectToHost();
    QTRY_VERIFY(client->isConnected());
}

// A head on a live link whose refresh has been answered.
std::unique_ptr<RotorHead> tst_RotorHead::connectedHead(int index)
{
    if (!client->isConnected()) {
        client->connectToHost();
        if (!QTest::qWaitFor([this] { return client->isConnected(); }, 5000))
            return nullptr;
    }
    auto head = std::make_unique<RotorHead>(client.get(), index, nullptr);
    QSignalSpy lastOfRefresh(head.get(), &RotorHead::directionChanged);
    if (!lastOfRefresh.wait(5000))
        return nullptr;
    return head;
}

void tst_RotorHead::readStateNow(RotorHead &head)
{
    QSignalSpy states(&head, &RotorHead::stateChanged);
    head.queryState(false);
    QTRY_COMPARE(states.count(), 1);
}

// A running rotor with loop mode on: the loop is in its run phase.
void tst_RotorHead::startLoop(RotorHead &head)
{
    head.start();
    readStateNow(head);
    QVERIFY(head.queryState(true));
    QSignalSpy states(&head, &RotorHead::stateChanged);
    head.setLoopMode(true);
    QVERIFY(states.wait(5000)); // loop mode asks, and starts on the answer
    QTRY_VERIFY(head.isLoopRunning());
    readStateNow(head); // answered once the cabinet has the start
}

void tst_RotorHead::startsUnknownAndOffline()
{
    RotorHead head(client.get(), 2, nullptr);
    QSignalSpy states(&head, &RotorHead::stateChanged);
    QVERIFY(!head.queryState(true));
    QVERIFY(!head.queryState(false));
    QCOMPARE(head.queryCrpm(), -1);
    QCOMPARE(head.queryDirection(), 2);
    QVERIFY(!head.loopModeEnabled());
    QVERIFY(!head.isLoopRunning());
    QCOMPARE(head.loopRunSecs(), 1);
    QCOMPARE(head.loopPauseSecs(), 1);

    // Offline, commands send nothing and change nothing; a stop is kept, and sent once
    // connected.
    head.setCrpm(1200);
    head.setDirection(1);
    head.start();
    head.stop();
    connectClient();
    QCOMPARE(head.queryCrpm(), 0);
    QCOMPARE(head.queryDirection(), 0);
    QTRY_COMPARE(states.count(), 1); // the refresh on connection
    QCOMPARE(states.at(0).at(0).toString(), QStringLiteral("STOPPED"));
    QList<SimCabinet::Request> writes = sim->requests();
    writes.erase(std::remove_if(writes.begin(), writes.end(), [](const SimCabinet::Request &r) {
        return r.function == ReadInputRegister;
    }), writes.end());
    QCOMPARE(writes.size(), 1);
    QCOMPARE(writes.first().reg, int(RunRegister));
    QCOMPARE(writes.first().value, RunStop);
}

void tst_RotorHead::refreshesOnConnection()
{
    sim->setRotorState(1, 5);
    RotorHead first(client.get(), 0, nullptr);
    RotorHead second(client.get(), 1, nullptr);
    QSignalSpy states(&second, &RotorHead::stateChanged);
    QSignalSpy speeds(&second, &RotorHead::crpmChanged);
    QSignalSpy directions(&second, &RotorHead::directionChanged);
    connectClient();

    QTRY_COMPARE(directions.count(), 1);
    QCOMPARE(states.count(), 1);
    QCOMPARE(states.at(0), QVariantList({QStringLiteral("PAUSED"), false}));
    QCOMPARE(speeds.at(0), QVariantList({0}));
    QCOMPARE(directions.at(0), QVariantList({0}));

    // Speed, state and direction, each with the rotor's own unit identifier.
    const QList<SimCabinet::Request> requests = sim->requests();
    QCOMPARE(requests.size(), 6);
    const int expected[6][2] = {{0, 2}, {0, 0}, {0, 3}, {1, 2}, {1, 0}, {1, 3}};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(requests.at(i).unit, expected[i][0]);
        QCOMPARE(requests.at(i).reg, expected[i][1]);
    }

    // A head built on a live link refreshes at once.
    RotorHead late(client.get(), 3, nullptr);
    QTRY_COMPARE(sim->requests().size(), 9);
    QCOMPARE(sim->requests().at(6).unit, 3);
}

void tst_RotorHead::commandsGoToItsUnit()
{
    auto owned = connectedHead(3);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RotorHead other(client.get(), 1, nullptr);
    QTRY_COMPARE(sim->requests().size(), 6);
    sim->clearRequests();

    head.setCrpm(1500);
    other.setCrpm(700);
    head.setDirection(5);
    head.start();
    QTRY_COMPARE(sim->rotorState(3), 0);
    QCOMPARE(head.queryCrpm(), 1500); // the value written is the value known
    QCOMPARE(head.queryDirection(), 1);
    head.stop();
    QTRY_COMPARE(sim->rotorState(3), 1);

    QCOMPARE(sim->rotorSpeed(3), 1500);
    QCOMPARE(sim->rotorSpeed(1), 700);
    QCOMPARE(sim->rotorDirection(3), 1);
    QCOMPARE(sim->startCount(3), 1);
    QCOMPARE(sim->stopCount(3), 1);
    QCOMPARE(sim->startCount(1), 0);
    for (const SimCabinet::Request &request : sim->requests())
        QVERIFY(request.unit == 3 || (request.unit == 1 && request.reg == CrpmRegister));
}

void tst_RotorHead::reportsRunningOnlyForCode0_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("running");
    QTest::newRow("0") << 0 << "RUNNING" << true;
    QTest::newRow("1") << 1 << "STOPPED" << false;
    QTest::newRow("5") << 5 << "PAUSED" << false;
    QTest::newRow("7") << 7 << "TEMPERATURE STOP" << false;
    QTest::newRow("9") << 9 << "UNKOWN STATE" << false;
}

void tst_RotorHead::reportsRunningOnlyForCode0()
{
    QFETCH(int, code);
    QFETCH(QString, name);
    QFETCH(bool, running);
    auto owned = connectedHead(2);
    QVERIFY(owned);
    RotorHead &head = *owned;
    QTRY_COMPARE(sim->requests().size(), 3);
    sim->setRotorState(2, code);
    QSignalSpy states(&head, &RotorHead::stateChanged);
    head.queryState(false);
    QTRY_COMPARE(states.count(), 1);
    QCOMPARE(states.at(0), QVariantList({name, running}));
    QCOMPARE(head.queryState(true), running);
}

void tst_RotorHead::loopAlternatesRunAndPause()
{
    auto owned = connectedHead(1);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 1);
    head.setLoopRunSecs(2);
    startLoop(head); // start, then loop mode on a running rotor: start again
    // Waited for by the event loop alone: QTest's waits sleep between looks, which
    // would make the commands seem late.
    QSignalSpy arrivals(sim, &SimCabinet::requestReceived);
    while (log.commands.size() < 5 && arrivals.wait(8000)) {
    }
    QCOMPARE(log.names().mid(0, 5), QStringList({"start", "start", "stop", "start", "stop"}));
    // Each phase command comes its set time after the one that began the loop: no
    // timer slack, no drift from one phase to the next.
    const qint64 begun = log.commands.at(1).second;
    const qint64 due[] = {2000, 3000, 5000};
    for (int i = 0; i < 3; ++i) {
        const qint64 at = log.commands.at(i + 2).second - begun;
        QVERIFY2(qAbs(at - due[i]) <= 20, qPrintable(QStringLiteral("%1 ms, due at %2 ms").arg(at).arg(due[i])));
    }
    QVERIFY(head.isLoopRunning());
}

void tst_RotorHead::loopWaitsForStartWhenNotRunning()
{
    auto owned = connectedHead(0);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 0);
    readStateNow(head); // STOPPED
    head.setLoopRunSecs(2);
    head.setLoopMode(true);
    head.setLoopMode(true); // acts once
    QVERIFY(head.loopModeEnabled());
    QVERIFY(!head.isLoopRunning());
    QTest::qWait(300);
    QVERIFY(log.commands.isEmpty());
    QCOMPARE(sim->requests().size(), 3 + 1 + 1); // refresh, our read, one loop-mode read

    head.start();
    QVERIFY(head.isLoopRunning());
    QTRY_COMPARE_WITH_TIMEOUT(log.commands.size(), 2, 5000);
    QCOMPARE(log.names(), QStringList({"start", "stop"}));
    QVERIFY2(log.gap(1) >= 1800, qPrintable(QString::number(log.gap(1))));
}

void tst_RotorHead::stopDuringALoopPhase()
{
    auto owned = connectedHead(2);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 2);
    startLoop(head);
    head.stop();
    QVERIFY(!head.isLoopRunning());
    QVERIFY(head.loopModeEnabled());
    QTRY_COMPARE(log.commands.size(), 3);
    QTest::qWait(1300); // the run phase would have ended by now
    QCOMPARE(log.names(), QStringList({"start", "start", "stop"}));

    // Stopped during a pause, then started: one start, one run phase.
    head.start();
    QTRY_VERIFY_WITH_TIMEOUT(log.commands.size() >= 5, 3000); // run phase, then its stop
    head.stop();
    QTRY_COMPARE(log.commands.size(), 6);
    head.start();
    QTest::qWait(1500); // past the end of the pause that was stopped, and of the run phase
    QCOMPARE(log.names(), QStringList({"start", "start", "stop", "start", "stop", "stop", "start", "stop"}));
}

void tst_RotorHead::haltingStatesEndTheLoop_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("asked"); // or left to the loop's own questions
    QTest::newRow("emergency stop") << 2 << true;
    QTest::newRow("priming") << 6 << true;
    QTest::newRow("emergency stop, nobody asks") << 2 << false;
}

void tst_RotorHead::haltingStatesEndTheLoop()
{
    QFETCH(int, code);
    QFETCH(bool, asked);
    auto owned = connectedHead(0);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 0);
    startLoop(head);

    bool loopSeenRunning = false;
    connect(&head, &RotorHead::stateChanged, this, [&] { loopSeenRunning = head.isLoopRunning(); });
    sim->setRotorState(0, code);
    if (asked)
        readStateNow(head);
    QTRY_VERIFY_WITH_TIMEOUT(!head.isLoopRunning(), 2500);
    QVERIFY(loopSeenRunning); // listeners hear the news before the loop halts
    QVERIFY(head.loopModeEnabled());
    const int commands = log.commands.size();
    sim->setRotorState(0, 1); // released: the loop stays halted
    QTest::qWait(1300);
    QCOMPARE(log.commands.size(), commands);
}

void tst_RotorHead::haltingStateSeenAtTheEndOfAPause()
{
    auto owned = connectedHead(3);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 3);
    sim->setRotorState(3, 2); // held: the cabinet ignores starts
    readStateNow(head); // known: EMERGENCY STOP
    QSignalSpy states(&head, &RotorHead::stateChanged);
    head.setLoopMode(true);
    QVERIFY(!head.isLoopRunning());
    QVERIFY(states.wait(5000));
    head.start();
    QVERIFY(head.isLoopRunning());
    // Run, pause, then the loop halts: at the end of the pause on the known state,
    // which stops the rotor again, or on the loop's own question. No fresh start.
    QTRY_VERIFY_WITH_TIMEOUT(!head.isLoopRunning(), 5000);
    QTest::qWait(300); // a last stop on its way
    QCOMPARE(log.names().mid(0, 2), QStringList({"start", "stop"}));
    QCOMPARE(log.names().count(QStringLiteral("start")), 1);
    QVERIFY(log.commands.size() <= 3);
    QVERIFY(head.loopModeEnabled());
}

void tst_RotorHead::loopModeOffStopsARunningRotor_data()
{
    QTest::addColumn<bool>("inPause");
    QTest::addColumn<QStringList>("sent");
    QTest::newRow("in a run phase") << false << QStringList({"start", "start", "stop"});
    QTest::newRow("in a pause: no start at its end") << true << QStringList({"start", "start", "stop", "stop"});
}

void tst_RotorHead::loopModeOffStopsARunningRotor()
{
    QFETCH(bool, inPause);
    QFETCH(QStringList, sent);
    auto owned = connectedHead(1);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 1);
    startLoop(head);
    if (inPause)
        QTRY_COMPARE_WITH_TIMEOUT(log.commands.size(), 3, 3000); // the run phase's end
    head.setLoopMode(false);
    QVERIFY(!head.loopModeEnabled());
    QVERIFY(!head.isLoopRunning());
    QTRY_COMPARE(log.commands.size(), sent.size());
    QTest::qWait(1300); // past the end of the phase that was going on
    QCOMPARE(log.names(), sent);

    // Known to stand still: switching off sends nothing.
    readStateNow(head);
    head.setLoopMode(true);
    head.setLoopMode(false);
    QTest::qWait(200);
    QCOMPARE(log.commands.size(), sent.size());
}

void tst_RotorHead::linkDropsDuringAPause()
{
    auto owned = connectedHead(2);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 2);
    startLoop(head);
    QTRY_VERIFY_WITH_TIMEOUT(log.commands.size() >= 3, 4000); // run phase ended: stop
    const qint64 begun = log.commands.at(1).second;
    sim->dropConnections();
    QTRY_VERIFY(!client->isConnected());
    // The pause and the next run phase end with nothing to talk to: nothing is sent,
    // and the loop still counts as running.
    QTest::qWait(int(begun + 3400 - log.now()));
    QVERIFY(head.isLoopRunning());
    QCOMPARE(log.names(), QStringList({"start", "start", "stop"}));

    // Back in the second pause: its stop goes out at once, and it ends on time.
    QSignalSpy arrivals(sim, &SimCabinet::requestReceived);
    client->connectToHost();
    while (log.commands.size() < 5 && arrivals.wait(3000)) {
    }
    QCOMPARE(log.names(), QStringList({"start", "start", "stop", "stop", "start"}));
    QVERIFY2(log.commands.at(3).second - begun < 3700, qPrintable(QString::number(log.commands.at(3).second - begun)));
    const qint64 at = log.commands.at(4).second - begun;
    QVERIFY2(qAbs(at - 4000) <= 30, qPrintable(QStringLiteral("%1 ms, due at 4000 ms").arg(at)));
    QVERIFY(head.isLoopRunning());
}

void tst_RotorHead::decidingQuestionLostWithTheLink_data()
{
    // What the loop's own question was to decide, and the loop's first command once
    // the answer to the question asked again says the rotor runs.
    QTest::addColumn<bool>("takeUp");
    QTest::addColumn<QString>("firstCommand");
    QTest::newRow("loop mode ticked: it starts") << false << "start";
    QTest::newRow("loop taken up: its run phase ends") << true << "stop";
}

void tst_RotorHead::decidingQuestionLostWithTheLink()
{
    QFETCH(bool, takeUp);
    QFETCH(QString, firstCommand);
    auto owned = connectedHead(1);
    QVERIFY(owned);
    RotorHead &head = *owned;
    head.start();
    readStateNow(head); // RUNNING
    RunLog log(sim, 1);
    QSignalSpy arrivals(sim, &SimCabinet::requestReceived);
    sim->setAnswerDelay(5000);
    if (takeUp) {
        head.restoreLoopSettings(true, 1, 1);
        head.takeUpLoop();
    } else {
        head.setLoopMode(true);
    }
    QVERIFY(arrivals.wait(5000)); // asked; the answer is lost with the link
    sim->dropConnections();
    QTRY_VERIFY(!client->isConnected());
    sim->clearFaults();
    client->connectToHost();
    QTRY_COMPARE_WITH_TIMEOUT(log.commands.size(), 1, 3000);
    QCOMPARE(log.names(), QStringList({firstCommand}));
    QVERIFY(head.isLoopRunning());
}

void tst_RotorHead::commandsReportedAsTheyGoOut_data()
{
    // Commands given while a question holds the wire, and what the rotor head reports
    // of them: a withdrawn one at once, a sent one once it is on the wire.
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("reported");
    QTest::addColumn<QStringList>("received"); // writes, as the cabinet got them
    QTest::newRow("a Start replaced by a Stop") << QStringList({"start", "stop"})
            << QStringList({"withdrawn Start -1", "sent Stop -1 -1 operator"}) << QStringList({"7=1"});
    QTest::newRow("the same Stop twice: sent once") << QStringList({"stop", "stop"})
            << QStringList({"sent Stop -1 -1 operator"}) << QStringList({"7=1"});
    QTest::newRow("a speed replaced: the old value is the cabinet's") << QStringList({"speed 1000", "speed 2000"})
            << QStringList({"withdrawn Speed 1000", "sent Speed 0 2000 operator"}) << QStringList({"2=2000"});
    QTest::newRow("the loop's Stop keeps its cause") << QStringList({"loop stop", "start"})
            << QStringList({"withdrawn Stop -1", "sent Start -1 -1 operator"}) << QStringList({"7=0"});
}

void tst_RotorHead::commandsReportedAsTheyGoOut()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, reported);
    QFETCH(QStringList, received);
    auto owned = connectedHead(2);
    QVERIFY(owned);
    RotorHead &head = *owned;
    QStringList reports;
    connect(&head, &RotorHead::commandSent, this,
            [&](PumpCommand command, int oldValue, int newValue, CommandCause cause) {
        reports << QStringLiteral("sent %1 %2 %3 %4").arg(QString::fromLatin1(pumpCommandName(command)))
                           .arg(oldValue).arg(newValue).arg(commandCauseText(cause));
    });
    connect(&head, &RotorHead::commandWithdrawn, this, [&](PumpCommand command, int value) {
        reports << QStringLiteral("withdrawn %1 %2").arg(QString::fromLatin1(pumpCommandName(command))).arg(value);
    });
    sim->clearRequests();
    sim->setAnswerDelay(300);
    head.queryState(false); // on the wire first: the commands wait behind it
    for (const QString &command : given) {
        const QStringList words = command.split(QLatin1Char(' '));
        if (words.first() == QLatin1String("loop")) {
            const auto why = head.causeScope(CommandCause::LoopPhase);
            head.stop();
        } else if (words.first() == QLatin1String("start")) {
            head.start();
        } else if (words.first() == QLatin1String("stop")) {
            head.stop();
        } else {
            head.setCrpm(words.at(1).toInt());
        }
    }
    QCOMPARE(reports, reported.filter(QStringLiteral("withdrawn"))); // nothing sent yet
    QTRY_COMPARE(reports, reported);
    QTRY_COMPARE(sim->requests().size(), 1 + received.size());
    QStringList writes;
    for (const SimCabinet::Request &r : sim->requests()) {
        if (r.function == WriteSingleRegister)
            writes << QStringLiteral("%1=%2").arg(r.reg).arg(r.value);
    }
    QCOMPARE(writes, received);
}

void tst_RotorHead::loopPhaseCommandRefused_data()
{
    QTest::addColumn<bool>("stopRefused"); // or the Start at the end of the pause
    QTest::addColumn<int>("refusals");
    QTest::addColumn<QStringList>("sent"); // run commands, as the cabinet got them
    QTest::addColumn<bool>("halted");
    QTest::newRow("Stop refused once: sent again, the loop goes on")
            << true << 1 << QStringList({"start", "start", "stop", "stop", "start"}) << false;
    QTest::newRow("Stop refused twice: the loop halts, the rotor may still be running")
            << true << 2 << QStringList({"start", "start", "stop", "stop"}) << true;
    QTest::newRow("Start refused twice: the loop halts")
            << false << 2 << QStringList({"start", "start", "stop", "start", "start"}) << true;
}

void tst_RotorHead::loopPhaseCommandRefused()
{
    QFETCH(bool, stopRefused);
    QFETCH(int, refusals);
    QFETCH(QStringList, sent);
    QFETCH(bool, halted);
    auto owned = connectedHead(1);
    QVERIFY(owned);
    RotorHead &head = *owned;
    RunLog log(sim, 1);
    QSignalSpy halts(&head, &RotorHead::loopHalted);
    QSignalSpy mayRun(&head, &RotorHead::mayStillBeRunningChanged);
    startLoop(head);
    if (!stopRefused)
        QTRY_COMPARE_WITH_TIMEOUT(log.commands.size(), 3, 3000); // the run phase's Stop
    sim->rejectWrites(RunRegister, refusals);
    QTRY_COMPARE_WITH_TIMEOUT(log.commands.size(), sent.size(), 3000);
    QTest::qWait(1300); // a phase longer
    QCOMPARE(log.names().mid(0, sent.size() + (halted ? 1 : 0)), sent);
    QCOMPARE(head.isLoopRunning(), !halted);
    QCOMPARE(halts.count(), halted ? 1 : 0);
    if (halted)
        QCOMPARE(halts.at(0).at(0).toString(), QStringLiteral("command refused"));
    const bool mayStillRun = halted && stopRefused;
    QCOMPARE(head.mayStillBeRunning(), mayStillRun);
    QCOMPARE(mayRun.count(), mayStillRun ? 1 : 0);
    if (mayStillRun)
        QCOMPARE(mayRun.at(0), QVariantList({true, QStringLiteral("Modbus exception 4")}));
    // Shown till a later command of its kind is confirmed: the retry, or the next one.
    QCOMPARE(head.refusals().size(), halted ? 1 : 0);
    if (!halted)
        return;
    QCOMPARE(int(head.refusals().first().command), int(stopRefused ? PumpCommand::Stop : PumpCommand::Start));
    QCOMPARE(head.refusals().first().reason, QStringLiteral("Modbus exception 4"));
    head.stop();
    QTRY_VERIFY(head.refusals().isEmpty());
    QVERIFY(!head.mayStillBeRunning());
    QCOMPARE(mayRun.count(), mayStillRun ? 2 : 0);
}

void tst_RotorHead::scheduleArithmetic_data()
{
    using Phase = LoopSchedule::Phase;
    QTest::addColumn<int>("runSecs");
    QTest::addColumn<int>("pauseSecs");
    QTest::addColumn<qint64>("at"); // the end of the first run phase handled, or the loop back
    QTest::addColumn<bool>("outage"); // the loop could not act since the run phase began
    QTest::addColumn<int>("phase");
    QTest::addColumn<qint64>("due");
    QTest::newRow("pause on time") << 30 << 20 << 30000LL << false << int(Phase::Pause) << 50000LL;
    QTest::newRow("pause 40 ms late") << 30 << 20 << 30040LL << false << int(Phase::Pause) << 50000LL;
    QTest::newRow("pause 60 ms late: afresh") << 30 << 20 << 30060LL << false << int(Phase::Pause) << 50060LL;
    QTest::newRow("back within the run phase") << 30 << 30 << 10000LL << true << int(Phase::Run) << 30000LL;
    QTest::newRow("back as the run phase ends") << 30 << 30 << 30000LL << true << int(Phase::Pause) << 60000LL;
    QTest::newRow("back in the pause") << 30 << 30 << 33000LL << true << int(Phase::Pause) << 60000LL;
    QTest::newRow("back cycles later, pause") << 2 << 3 << 12500LL << true << int(Phase::Pause) << 15000LL;
    QTest::newRow("back an hour later, run") << 2 << 3 << 3605000LL << true << int(Phase::Run) << 3607000LL;
}

void tst_RotorHead::scheduleArithmetic()
{
    QFETCH(int, runSecs);
    QFETCH(int, pauseSecs);
    QFETCH(qint64, at);
    QFETCH(bool, outage);
    QFETCH(int, phase);
    QFETCH(qint64, due);
    qint64 now = 0;
    LoopSchedule schedule([&now] { return now; });
    schedule.begin(LoopSchedule::Phase::Run, runSecs, false);
    QCOMPARE(schedule.due(), runSecs * 1000LL);
    now = at;
    if (outage)
        schedule.catchUp(runSecs, pauseSecs);
    else
        schedule.begin(LoopSchedule::Phase::Pause, pauseSecs, true);
    QCOMPARE(int(schedule.phase()), phase);
    QCOMPARE(schedule.due(), due);
    QCOMPARE(schedule.msToDue(), int(due - at));
}

QTEST_GUILESS_MAIN(tst_RotorHead)
#include "tst_rotorhead.moc"
