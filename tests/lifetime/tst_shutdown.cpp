#include "shutdownsequence.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "rotorhead.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QtTest>

class tst_Shutdown : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shutdownNamesEveryRotorItCannotConfirm();
    void loopTickedAMomentBeforeTheEnd();
};

void tst_Shutdown::initTestCase()
{
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    qRegisterMetaType<Cabinet *>();
}

void tst_Shutdown::shutdownNamesEveryRotorItCannotConfirm()
{
    // Rotor 1 of .14 confirms its stop; .15 refuses it; .16 has lost its link
    // before the end; .17 falls silent, so its link fails while the end waits.
    CabinetList list;
    QList<SimCabinet *> sims;
    QList<Cabinet *> cabinets;
    for (int host = 14; host <= 17; ++host) {
        sims << TestSupport::startSimulator(this, TestSupport::installationHost(host), 502);
        cabinets << new Cabinet(TestSupport::installationHost(host), 4, this);
        list.appendCabinet(cabinets.last());
        QSignalSpy connected(cabinets.last(), &Cabinet::didConnect);
        cabinets.last()->connectToCabinet();
        QVERIFY(connected.wait(5000));
        RotorHead *head = cabinets.last()->rotor(host - 14);
        head->setLoopMode(true);
        head->start();
        QTRY_COMPARE(sims.last()->rotorState(host - 14), 0);
    }
    sims.at(1)->setExceptionAnswers(true);
    sims.at(2)->dropConnections();
    QTRY_VERIFY(!cabinets.at(2)->isConnected());
    sims.at(3)->setSilent(true);

    ShutdownSequence shutdown(&list);
    QVERIFY(shutdown.hasActiveLoops());
    QSignalSpy finished(&shutdown, &ShutdownSequence::finished);
    shutdown.start();
    QVERIFY(!shutdown.isFinished());
    QCOMPARE(shutdown.progressText(), QStringLiteral("Stopping pumps: 0 of 3 confirmed"));
    QVERIFY(finished.wait(6000));
    QCOMPARE(shutdown.confirmedStopCount(), 1);
    QCOMPARE(sims.at(0)->rotorState(0), 1);
    QCOMPARE(shutdown.notConnected(), QStringList({"10.0.85.16, rotor 3"}));
    QCOMPARE(shutdown.refused(), QStringList({"10.0.85.15, rotor 2"}));
    QCOMPARE(shutdown.linkFailed(), QStringList({"10.0.85.17, rotor 4"}));
    QCOMPARE(shutdown.unconfirmedLine(), QStringLiteral(
            "Pumps may still be running: 10.0.85.16 rotor 3, 10.0.85.17 rotor 4, 10.0.85.15 rotor 2"));
    QVERIFY(!shutdown.allConfirmed());
    qDeleteAll(cabinets);
    qDeleteAll(sims);
}

void tst_Shutdown::loopTickedAMomentBeforeTheEnd()
{
    // Loop mode ticked on a running rotor; the answer that would start the loop comes
    // once the end has begun. The end stops the rotor, and the answer starts nothing.
    CabinetList list;
    const QString host = TestSupport::installationHost(18);
    SimCabinet *sim = TestSupport::startSimulator(this, host, 502);
    Cabinet cabinet(host, 4, nullptr);
    list.appendCabinet(&cabinet);
    QSignalSpy connected(&cabinet, &Cabinet::didConnect);
    cabinet.connectToCabinet();
    QVERIFY(connected.wait(5000));
    RotorHead *head = cabinet.rotor(0);
    head->start();
    QTRY_COMPARE(sim->rotorState(0), 0);
    sim->setAnswerDelay(300);
    head->setLoopMode(true);
    QVERIFY(!head->isLoopRunning());

    ShutdownSequence shutdown(&list);
    shutdown.start();
    QTRY_VERIFY(shutdown.isFinished());
    QCOMPARE(shutdown.stopCount(), 1);
    QCOMPARE(shutdown.confirmedStopCount(), 1);
    QTRY_COMPARE(cabinet.pendingRequestCount(), 0); // the loop's question answered too
    QCOMPARE(sim->startCount(0), 1);
    QCOMPARE(sim->rotorState(0), 1);
    QVERIFY(!head->mayStartByItself());
    delete sim;
}

QTEST_MAIN(tst_Shutdown)
#include "tst_shutdown.moc"
