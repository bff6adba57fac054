#include "cabinet.h"

#include "cabinetprotocol.h"
#include "reconnectpolicy.h"
#include "rotorhead.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

using namespace CabinetProtocol;

class tst_Cabinet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void holdsItsRotorHeads();
    void connectsAndRefreshesEveryRotor();
    void connectsOnlyWhenIdle();
    void watchesEveryRotor();
    void temperatureAndIdentify();
    void cabinetRequestsNeedALink();
    void connectsAgainAfterAnError();
    void errorOfASupersededAttempt();
    void errorOfALiveLink();
    void stopLostWithTheLinkIsKept();
    void loopBackAfterAnOutage_data();
    void loopBackAfterAnOutage();
    void reconnectDelays_data();
    void reconnectDelays();
    void noActiveLoops();
    void teardownWhileConnected();

private:
    std::unique_ptr<Cabinet> connectedCabinet(int rotorCount = 4);

    SimCabinet *sim = nullptr;
    const QString host = TestSupport::installationHost(12);
};

void tst_Cabinet::initTestCase()
{
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    qRegisterMetaType<Cabinet *>();
}

void tst_Cabinet::init()
{
    sim = TestSupport::startSimulator(this, host, Cabinet::ModbusPort);
}

void tst_Cabinet::cleanup()
{
    delete sim;
}

std::unique_ptr<Cabinet> tst_Cabinet::connectedCabinet(int rotorCount)
{
    auto cabinet = std::make_unique<Cabinet>(host, rotorCount, nullptr);
    QSignalSpy connected(cabinet.get(), &Cabinet::didConnect);
    cabinet->connectToCabinet();
    if (!connected.wait(5000))
        return nullptr;
    // Let the rotor heads' refresh be answered.
    if (!QTest::qWaitFor([&] { return sim->requests().size() == 3 * rotorCount; }, 5000))
        return nullptr;
    QTest::qWait(20);
    sim->clearRequests();
    return cabinet;
}

void tst_Cabinet::holdsItsRotorHeads()
{
    Cabinet cabinet(host, 4, nullptr);
    QCOMPARE(cabinet.host(), host);
    QVERIFY(!cabinet.rotor(-1));
    QVERIFY(!cabinet.rotor(4));
    QSet<RotorHead *> heads;
    for (int i = 0; i < 4; ++i) {
        QVERIFY(cabinet.rotor(i));
        QCOMPARE(cabinet.rotor(i)->parent(), &cabinet);
        heads.insert(cabinet.rotor(i));
    }
    QCOMPARE(heads.size(), 4);

    Cabinet empty(host, 0, nullptr);
    QVERIFY(!empty.rotor(0));
    QVERIFY(!empty.isConnected());
    QVERIFY(!empty.isConnecting());
    QVERIFY(!empty.hasError());
}

void tst_Cabinet::connectsAndRefreshesEveryRotor()
{
    Cabinet cabinet(host, 4, nullptr);
    QSignalSpy willConnect(&cabinet, &Cabinet::willConnect);
    QSignalSpy didConnect(&cabinet, &Cabinet::didConnect);
    QSignalSpy speeds(cabinet.rotor(2), &RotorHead::crpmChanged);
    cabinet.connectToCabinet();
    QCOMPARE(willConnect.count(), 1);
    QCOMPARE(willConnect.at(0).at(0).value<Cabinet *>(), &cabinet);
    QTRY_COMPARE(didConnect.count(), 1);
    QCOMPARE(didConnect.at(0).at(0).value<Cabinet *>(), &cabinet);
    QVERIFY(cabinet.isConnected());
    QVERIFY(!cabinet.isConnecting());

    // Speed, state and direction of every rotor, each with its own unit.
    QTRY_COMPARE(sim->requests().size(), 12);
    for (int i = 0; i < 12; ++i) {
        const SimCabinet::Request request = sim->requests().at(i);
        QCOMPARE(request.unit, i / 3);
        QCOMPARE(request.reg, QList<int>({CrpmRegister, StateRegister, DirectionRegister}).at(i % 3));
    }
    QTRY_COMPARE(speeds.count(), 1);
}

void tst_Cabinet::connectsOnlyWhenIdle()
{
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    QSignalSpy willConnect(cabinet.get(), &Cabinet::willConnect);
    cabinet->connectToCabinet();
    QCOMPARE(willConnect.count(), 0);
    QCOMPARE(sim->connectionCount(), 1);

    // An attempt in progress is left alone too.
    sim->setRefusing(true);
    TestSupport::BlackHole hole(QHostAddress(TestSupport::installationHost(13)), Cabinet::ModbusPort);
    QVERIFY(hole.isReady());
    Cabinet stuck(TestSupport::installationHost(13), 4, nullptr);
    QSignalSpy stuckWill(&stuck, &Cabinet::willConnect);
    stuck.connectToCabinet();
    QVERIFY(stuck.isConnecting());
    stuck.connectToCabinet();
    QCOMPARE(stuckWill.count(), 1);
}

void tst_Cabinet::watchesEveryRotor()
{
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    // Nothing shows the rotors and no loop runs: the cabinet itself looks at them.
    QElapsedTimer clock;
    clock.start();
    QVector<QList<qint64>> stateReads(4);
    QVector<int> speedReads(4), directionReads(4);
    connect(sim, &SimCabinet::requestReceived, this, [&](const SimCabinet::Request &request) {
        if (request.function != ReadInputRegister || request.unit < 0 || request.unit > 3)
            return;
        if (request.reg == StateRegister)
            stateReads[request.unit] << clock.elapsed();
        else if (request.reg == CrpmRegister)
            ++speedReads[request.unit];
        else if (request.reg == DirectionRegister)
            ++directionReads[request.unit];
    });
    QSignalSpy states(cabinet->rotor(3), &RotorHead::stateChanged);
    QTest::qWait(9800);
    for (int unit = 0; unit < 4; ++unit) {
        const QList<qint64> &reads = stateReads.at(unit);
        QVERIFY2(reads.size() >= 4, qPrintable(QString::number(unit)));
        QVERIFY2(reads.first() <= 2000, qPrintable(QString::number(reads.first())));
        for (int i = 1; i < reads.size(); ++i)
            QVERIFY2(reads.at(i) - reads.at(i - 1) <= 2000, qPrintable(QString::number(reads.at(i) - reads.at(i - 1))));
        QCOMPARE(speedReads.at(unit), 1);
        QCOMPARE(directionReads.at(unit), 1);
    }
    QVERIFY(states.count() >= 4);
    // An emergency stop shows within the watch's time; a speed set is read back.
    sim->setRotorState(1, EmergencyStop);
    QSignalSpy emergency(cabinet->rotor(1), &RotorHead::stateChanged);
    QVERIFY(emergency.wait(2000));
    QCOMPARE(emergency.last().at(0).toString(), QStringLiteral("EMERGENCY STOP"));
    QCOMPARE(cabinet->rotor(1)->stateCode(), int(EmergencyStop));
    QSignalSpy speeds(cabinet->rotor(2), &RotorHead::crpmChanged);
    cabinet->rotor(2)->setCrpm(1234);
    QVERIFY(speeds.wait(2000));
    QCOMPARE(speeds.last().at(0).toInt(), 1234);
    // Not connected, nothing is asked.
    cabinet.reset();
    const int asked = stateReads.at(0).size();
    QTest::qWait(1600);
    QCOMPARE(stateReads.at(0).size(), asked);
}

void tst_Cabinet::temperatureAndIdentify()
{
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    QSignalSpy temperatures(cabinet.get(), &Cabinet::temperatureChanged);
    QSignalSpy identifies(cabinet.get(), &Cabinet::identifyChanged);
    // Identify is the cabinet's own command, whatever unit it went with.
    QStringList answers;
    connect(cabinet.get(), &Cabinet::commandConfirmed, this, [&](Cabinet *, PumpCommand command, int on) {
        answers << QStringLiteral("confirmed %1 %2").arg(int(command)).arg(on);
    });
    connect(cabinet.get(), &Cabinet::commandRefused, this,
            [&](Cabinet *, PumpCommand command, int on, const QString &reason) {
        answers << QStringLiteral("refused %1 %2 %3").arg(int(command)).arg(on).arg(reason);
    });
    connect(cabinet->rotor(3), &RotorHead::commandConfirmed, this, [&] { answers << QStringLiteral("rotor"); });

    sim->setTemperature(237);
    cabinet->queryTemperature();
    QTRY_COMPARE(temperatures.count(), 1);
    QCOMPARE(temperatures.at(0).at(0).value<Cabinet *>(), cabinet.get());
    QVERIFY(qFuzzyCompare(temperatures.at(0).at(1).toDouble(), 23.7));

    // Off already as far as the cabinet said: nothing to write.
    cabinet->setIdentify(false);
    // On is written, but the cabinet's word is awaited before it counts: once answered,
    // asking again writes again.
    cabinet->setIdentify(true);
    QTRY_COMPARE(sim->requests().size(), 2);
    cabinet->setIdentify(true);
    QTRY_COMPARE(sim->requests().size(), 3);
    QVERIFY(sim->identify());
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(sim->requests().at(i).function, WriteSingleRegister);
        QCOMPARE(sim->requests().at(i).reg, int(IdentifyRegister));
        QCOMPARE(sim->requests().at(i).value, 1);
    }
    cabinet->queryIdentify();
    QTRY_COMPARE(identifies.count(), 1);
    QCOMPARE(identifies.at(0), QVariantList({QVariant::fromValue(cabinet.get()), true}));
    cabinet->setIdentify(true);
    QTest::qWait(50);
    QCOMPARE(sim->requests().size(), 4);

    cabinet->setIdentify(false);
    QTRY_VERIFY(!sim->identify());
    cabinet->queryIdentify();
    QTRY_COMPARE(identifies.count(), 2);
    QCOMPARE(identifies.at(1).at(1).toBool(), false);

    sim->setExceptionAnswers(true);
    cabinet->setIdentify(true);
    QTRY_COMPARE(answers.size(), 4);
    const QString identify = QString::number(int(PumpCommand::Identify));
    QCOMPARE(answers, QStringList({"confirmed " + identify + " 1", "confirmed " + identify + " 1",
                                   "confirmed " + identify + " 0",
                                   "refused " + identify + " 1 Modbus exception 4"}));
}

void tst_Cabinet::cabinetRequestsNeedALink()
{
    Cabinet cabinet(host, 4, nullptr);
    QSignalSpy temperatures(&cabinet, &Cabinet::temperatureChanged);
    QSignalSpy identifies(&cabinet, &Cabinet::identifyChanged);
    cabinet.queryTemperature();
    cabinet.queryIdentify();
    cabinet.setIdentify(true);
    QTest::qWait(50);
    QCOMPARE(sim->connectionCount(), 0);
    QCOMPARE(temperatures.count(), 0);
    QCOMPARE(identifies.count(), 0);
}

void tst_Cabinet::connectsAgainAfterAnError()
{
    sim->setRefusing(true);
    Cabinet cabinet(host, 4, nullptr);
    QSignalSpy willConnect(&cabinet, &Cabinet::willConnect);
    QSignalSpy didConnect(&cabinet, &Cabinet::didConnect);
    QSignalSpy errors(&cabinet, &Cabinet::connectionError);
    cabinet.connectToCabinet();
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<Cabinet *>(), &cabinet);
    QCOMPARE(errors.at(0).at(1).toString(), QStringLiteral("Connection refused"));
    QVERIFY(cabinet.hasError());
    QCOMPARE(cabinet.errorString(), QStringLiteral("Connection refused"));
    QVERIFY(!cabinet.isConnected());

    // Refused again: the error is reported again, not swallowed by a dead link.
    cabinet.connectToCabinet();
    QTRY_COMPARE(errors.count(), 2);
    QCOMPARE(willConnect.count(), 2);

    sim->setRefusing(false);
    cabinet.connectToCabinet();
    QCOMPARE(willConnect.count(), 3);
    QVERIFY(!cabinet.hasError()); // a new attempt clears the last error
    QTRY_COMPARE(didConnect.count(), 1);
    QVERIFY(cabinet.isConnected());
    // The rotor heads listen again, exactly once each: one refresh per rotor.
    QTRY_COMPARE(sim->requests().size(), 12);
    QTest::qWait(50);
    QCOMPARE(sim->requests().size(), 12);

    // No route to the address: the socket fails inside the attempt itself, and
    // that error shows like any other.
    Cabinet unreachable(QStringLiteral("192.0.2.1"), 4, nullptr);
    QSignalSpy unreachableErrors(&unreachable, &Cabinet::connectionError);
    unreachable.connectToCabinet();
    QTRY_COMPARE(unreachableErrors.count(), 1);
    QCOMPARE(unreachableErrors.at(0).at(1).toString(), QStringLiteral("Network unreachable"));
    QVERIFY(unreachable.hasError());
}

void tst_Cabinet::errorOfASupersededAttempt()
{
    sim->setRefusing(true);
    Cabinet cabinet(host, 4, nullptr);
    QSignalSpy didConnect(&cabinet, &Cabinet::didConnect);
    QSignalSpy errors(&cabinet, &Cabinet::connectionError);
    cabinet.connectToCabinet();
    // The refusal is known to the link, but its signal still waits in the queue
    // when the operator tries again.
    QElapsedTimer waited;
    waited.start();
    while (!cabinet.hasError() && waited.elapsed() < 5000)
        QThread::msleep(1);
    QVERIFY(cabinet.hasError());
    sim->setRefusing(false);
    cabinet.connectToCabinet();

    QTRY_COMPARE(didConnect.count(), 1);
    QVERIFY(cabinet.isConnected());
    QCOMPARE(errors.count(), 0);
    QTRY_COMPARE(sim->requests().size(), 12);
}

void tst_Cabinet::errorOfALiveLink()
{
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    QSignalSpy errors(cabinet.get(), &Cabinet::connectionError);
    sim->dropConnections();
    QTRY_COMPARE(errors.count(), 1);
    QVERIFY(cabinet->hasError());
    QVERIFY(!cabinet->isConnected());

    QSignalSpy didConnect(cabinet.get(), &Cabinet::didConnect);
    cabinet->connectToCabinet();
    QTRY_COMPARE(didConnect.count(), 1);
    QVERIFY(!cabinet->hasError());
    QTRY_COMPARE(sim->requests().size(), 12);
}

void tst_Cabinet::stopLostWithTheLinkIsKept()
{
    // A Stop waits behind a slow answer; the link goes before it is sent. It is kept,
    // and the cabinet gets it first when the link is back.
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    RotorHead *rotor = cabinet->rotor(0);
    rotor->start();
    QTRY_COMPARE(sim->rotorState(0), 0);
    sim->setAnswerDelay(2000);
    rotor->queryState(false);
    QTRY_COMPARE(sim->requests().size(), 2);
    rotor->stop();
    // The worker knows at once that the link is gone; the cabinet hears it with the
    // queued report, which is what keeps the stop.
    QSignalSpy lost(cabinet.get(), &Cabinet::didDisconnect);
    QSignalSpy failed(cabinet.get(), &Cabinet::connectionError);
    sim->dropConnections();
    QTRY_VERIFY(!lost.isEmpty() || !failed.isEmpty());
    QVERIFY(rotor->hasKeptStop());
    QCOMPARE(sim->rotorState(0), 0);

    sim->clearFaults();
    cabinet->connectToCabinet();
    QTRY_COMPARE(sim->rotorState(0), 1);
    QVERIFY(!rotor->hasKeptStop());
}

void tst_Cabinet::loopBackAfterAnOutage_data()
{
    // How the link went, the loop being in its on phase when it is back: only a rotor
    // whose Start the cabinet had confirmed, and that stands now, was stopped there.
    QTest::addColumn<QString>("outage");
    QTest::addColumn<bool>("loopGoesOn");
    QTest::newRow("in its on phase, stopped at the cabinet meanwhile") << "stopped" << false;
    QTest::newRow("from the pause, attempts failing into the on phase") << "pause" << true;
    QTest::newRow("the on phase's Start lost in a link that died silently") << "silent" << true;
}

void tst_Cabinet::loopBackAfterAnOutage()
{
    QFETCH(QString, outage);
    QFETCH(bool, loopGoesOn);
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    RotorHead *head = cabinet->rotor(0);
    const bool silent = outage == QLatin1String("silent");
    const int runSecs = silent ? 5 : 3;
    head->setLoopRunSecs(runSecs);
    head->setLoopPauseSecs(silent ? 1 : 2);
    QObject context;
    QElapsedTimer clock;
    clock.start();
    QList<QPair<bool, qint64>> commands; // start or stop, as the cabinet got them
    connect(sim, &SimCabinet::requestReceived, &context, [&](const SimCabinet::Request &r) {
        if (r.unit == 0 && r.function == WriteSingleRegister && r.reg == RunRegister)
            commands.append({r.value == RunStart, clock.elapsed()});
    });
    int confirmed = 0; // run commands the cabinet echoed
    connect(head, &RotorHead::commandConfirmed, &context, [&](PumpCommand command) {
        confirmed += command == PumpCommand::Start || command == PumpCommand::Stop ? 1 : 0;
    });
    QSignalSpy errors(cabinet.get(), &Cabinet::connectionError);
    QSignalSpy halted(head, &RotorHead::loopHalted);
    head->start();
    QTRY_COMPARE(sim->rotorState(0), int(Running));
    head->setLoopMode(true); // the rotor runs: the loop starts on the answer
    QTRY_COMPARE(confirmed, 2);
    QVERIFY(head->isLoopRunning());
    const qint64 begun = commands.at(1).second;
    qint64 onPhase = begun; // the on phase the link comes back in

    if (outage == QLatin1String("stopped")) {
        sim->setRefusing(true);
        QTRY_VERIFY(!cabinet->isConnected());
        sim->setRotorState(0, EmergencyStop); // pressed, and released
        sim->setRotorState(0, Stopped);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(confirmed == 3, runSecs * 1000 + 2000); // the pause's Stop
        onPhase = commands.at(2).second + head->loopPauseSecs() * 1000;
        if (silent) {
            // Requests are taken, but neither carried out nor answered, till the answer
            // deadline drops the link.
            QList<QByteArray> lost;
            for (int i = 0; i < 50; ++i)
                lost << QByteArray();
            sim->scriptAnswers(lost);
            QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 6000);
            // The on phase's Start was given: taken by the cabinet, or lost on the way.
            QVERIFY(head->isRunCommandPending());
        } else {
            QTest::qWait(int(commands.at(2).second + 500 - clock.elapsed()));
            sim->setRefusing(true);
            QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, 5000); // the link, then an attempt
        }
    }
    QVERIFY2(clock.elapsed() > onPhase, "back in the on phase after its Start was due");
    const int before = commands.size();
    sim->clearFaults();
    cabinet->connectToCabinet();
    if (loopGoesOn) {
        QTRY_COMPARE(sim->rotorState(0), int(Running));
        QCOMPARE(commands.size(), before + 1);
        QVERIFY(commands.last().first);
        QVERIFY(head->isLoopRunning());
        QCOMPARE(halted.count(), 0);
    } else {
        QTRY_COMPARE(halted.count(), 1);
        QCOMPARE(halted.at(0).at(0).toString(), QStringLiteral("STOPPED"));
        QVERIFY(!head->isLoopRunning());
        QVERIFY(head->loopModeEnabled());
    }
    QVERIFY2(clock.elapsed() < onPhase + runSecs * 1000, "decided within the on phase");
    QTest::qWait(int(onPhase + runSecs * 1000 + 300 - clock.elapsed())); // past the phase's end
    QCOMPARE(commands.size(), before + (loopGoesOn ? 2 : 0)); // its start, and the pause's stop
    QCOMPARE(sim->rotorState(0), int(Stopped));
}

void tst_Cabinet::reconnectDelays_data()
{
    // Seconds: "fail T -> D" is a failure at T answered with a wait of D, "up T" a
    // link made at T, "restart" the operator's own attempt.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("doubles up to 30 s")
            << QStringList({"fail 0 -> 2", "fail 2 -> 4", "fail 6 -> 8", "fail 14 -> 16",
                            "fail 30 -> 30", "fail 60 -> 30"});
    QTest::newRow("a link that held starts over")
            << QStringList({"fail 0 -> 2", "fail 2 -> 4", "up 6", "fail 36 -> 2"});
    QTest::newRow("a link dropped soon after it was made backs off")
            << QStringList({"fail 0 -> 2", "up 2", "fail 3 -> 4", "up 7", "fail 36 -> 8"});
    QTest::newRow("the operator's attempt starts over")
            << QStringList({"fail 0 -> 2", "fail 2 -> 4", "restart", "fail 5 -> 2"});
}

void tst_Cabinet::reconnectDelays()
{
    QFETCH(QStringList, steps);
    ReconnectPolicy policy;
    for (const QString &step : qAsConst(steps)) {
        const QStringList words = step.split(QLatin1Char(' '));
        const qint64 atMs = words.value(1).toLongLong() * 1000;
        if (words.first() == QLatin1String("restart"))
            policy.restart();
        else if (words.first() == QLatin1String("up"))
            policy.linkUp(atMs);
        else
            QCOMPARE(policy.delayAfterFailure(atMs), words.value(3).toInt() * 1000);
    }
}

void tst_Cabinet::noActiveLoops()
{
    {
        auto empty = connectedCabinet(0);
        QVERIFY(empty);
        QVERIFY(empty->noActiveLoops());
    }
    sim->clearRequests();
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    QVERIFY(cabinet->noActiveLoops());
    RotorHead *head = cabinet->rotor(3);
    head->start();
    QSignalSpy states(head, &RotorHead::stateChanged);
    head->queryState(false);
    QVERIFY(states.wait(5000));
    head->setLoopMode(true);
    QTRY_VERIFY(head->isLoopRunning()); // on the answer to its question
    QVERIFY(!cabinet->noActiveLoops());

    // A loop whose link is lost still counts: the rotor pumps on, and the loop goes
    // on once the link is back.
    sim->dropConnections();
    QTRY_VERIFY(!cabinet->isConnected());
    QVERIFY(!cabinet->noActiveLoops());
    QTest::qWait(1200); // past the end of the run phase
    QVERIFY(!cabinet->noActiveLoops());
    head->stop();
    QVERIFY(cabinet->noActiveLoops());
}

void tst_Cabinet::teardownWhileConnected()
{
    auto cabinet = connectedCabinet();
    QVERIFY(cabinet);
    QSignalSpy gone(sim, &SimCabinet::clientDisconnected);
    cabinet->rotor(0)->setLoopMode(true);
    cabinet.reset();
    QTRY_COMPARE(gone.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Cabinet)
#include "tst_cabinet.moc"
