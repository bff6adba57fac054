#include "shutdownsequence.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "cabinetprotocol.h"
#include "recovery.h"
#include "rotorhead.h"
#include "settingsstore.h"
#include "simcabinet.h"
#include "stopwaiter.h"
#include "testsupport.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class tst_Lifetime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shutdownNamesEveryRotorItCannotConfirm();
    void stopWaiterSaysWhatBecameOfEachStop_data();
    void stopWaiterSaysWhatBecameOfEachStop();
    void loopTickedAMomentBeforeTheEnd();
    void recoveryIsReadyAfterTheAnswerIsHandled();
    void settingsReachTheFileWithinASecondAndAtTheEnd();
};

void tst_Lifetime::initTestCase()
{
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    qRegisterMetaType<Cabinet *>();
}

void tst_Lifetime::shutdownNamesEveryRotorItCannotConfirm()
{
    // Rotor 1 of .14 confirms its stop; .15 refuses it; .16 has lost its link
    // before the end, and its rotor 1, not looping, was given a Stop since, kept for
    // the link; .17 falls silent, so its link fails while the end waits.
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
    cabinets.at(2)->rotor(0)->stop();
    QVERIFY(cabinets.at(2)->rotor(0)->hasKeptStop());
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
    QCOMPARE(shutdown.notConnected(), QStringList({"10.0.85.16, rotor 1", "10.0.85.16, rotor 3"}));
    QCOMPARE(shutdown.refused(), QStringList({"10.0.85.15, rotor 2"}));
    QCOMPARE(shutdown.linkFailed(), QStringList({"10.0.85.17, rotor 4"}));
    QCOMPARE(shutdown.unconfirmedLine(), QStringLiteral(
            "Pumps may still be running: 10.0.85.16 rotor 1, 10.0.85.16 rotor 3, 10.0.85.17 rotor 4, "
            "10.0.85.15 rotor 2"));
    QVERIFY(!shutdown.allConfirmed());
    qDeleteAll(cabinets);
    qDeleteAll(sims);
}

void tst_Lifetime::stopWaiterSaysWhatBecameOfEachStop_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("takeUp"); // the Stops were the operator's, given before
    QTest::addColumn<QStringList>("settled"); // rotor, outcome, reason

    const QStringList confirmed{"0 Confirmed", "1 Confirmed", "2 Confirmed", "3 Confirmed"};
    const QStringList lost{"0 LinkLost", "1 LinkLost", "2 LinkLost", "3 LinkLost"};
    const QStringList kept{"0 NotConnected", "1 NotConnected", "2 NotConnected", "3 NotConnected"};
    QTest::newRow("confirmed by their echoes") << "" << false << confirmed;
    QTest::newRow("Stops given before, confirmed") << "" << true << confirmed;
    // The third exception in a row ends the link, and the fourth Stop with it.
    QTest::newRow("refused, with the cabinet's reason") << "exception" << false
            << QStringList({"0 Refused Modbus exception 4", "1 Refused Modbus exception 4",
                            "2 Refused Modbus exception 4", "3 LinkLost"});
    QTest::newRow("link lost before the answers") << "drop" << false << lost;
    QTest::newRow("cabinet gone while waiting") << "delete" << false << lost;
    QTest::newRow("not connected: kept for the link") << "down" << false << kept;
    QTest::newRow("Stops kept for the link, taken up") << "down" << true << kept;
    // A Start given while the Stop still waited to go out took its place.
    QTest::newRow("replaced before they were sent") << "replaced" << false
            << QStringList({"0 Replaced", "1 Replaced", "2 Replaced", "3 Replaced"});
    // Rotor 1's own Stop was on the wire and is refused; the one sent after it is
    // what says whether the rotor stopped.
    QTest::newRow("an earlier Stop refused, this one confirmed") << "earlier refused" << false << confirmed;
}

void tst_Lifetime::stopWaiterSaysWhatBecameOfEachStop()
{
    QFETCH(QString, fault);
    QFETCH(bool, takeUp);
    QFETCH(QStringList, settled);

    std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr, TestSupport::installationHost(14), 502));
    QPointer<Cabinet> cabinet = new Cabinet(TestSupport::installationHost(14), 4, this);
    QSignalSpy connected(cabinet, &Cabinet::didConnect);
    cabinet->connectToCabinet();
    QVERIFY(connected.wait(5000));
    QTRY_COMPARE(cabinet->pendingRequestCount(), 0);
    if (fault == QLatin1String("down")) {
        sim->setRefusing(true);
        sim->dropConnections();
        QTRY_VERIFY(!cabinet->isConnected());
    }
    sim->setExceptionAnswers(fault == QLatin1String("exception"));
    sim->setSilent(fault == QLatin1String("drop") || fault == QLatin1String("delete"));
    const bool replaced = fault == QLatin1String("replaced");
    if (replaced) {
        sim->setAnswerDelay(300);
        cabinet->rotor(0)->queryState(false); // on the wire: the Stops wait behind it
    }

    StopWaiter waiter;
    QSignalSpy settledSpy(&waiter, &StopWaiter::settled);
    QSignalSpy finished(&waiter, &StopWaiter::finished);
    QCOMPARE(waiter.takeUp(cabinet, 0), false); // no Stop given yet
    if (fault == QLatin1String("earlier refused")) {
        sim->setAnswerDelay(100);
        sim->rejectWrites(CabinetProtocol::RunRegister, 1);
        bool onWire = false;
        const auto sent = connect(cabinet->rotor(0), &RotorHead::commandSent, this, [&] { onWire = true; });
        cabinet->rotor(0)->stop();
        QTRY_VERIFY(onWire); // the next Stop goes after it
        disconnect(sent);
    }
    for (int i = 0; i < 4; ++i) {
        if (takeUp) {
            cabinet->rotor(i)->stop();
            QVERIFY(waiter.takeUp(cabinet, i));
        } else {
            waiter.stop(cabinet, i, CommandCause::Close);
        }
    }
    for (int i = 0; replaced && i < 4; ++i)
        cabinet->rotor(i)->start();
    if (fault == QLatin1String("drop"))
        sim->dropConnections();
    if (fault == QLatin1String("delete"))
        delete cabinet;
    QCOMPARE(finished.count(), 0); // queued, whatever settled at once
    QTRY_COMPARE(finished.count(), 1);

    QStringList seen;
    for (const QList<QVariant> &args : qAsConst(settledSpy)) {
        QVERIFY(args.at(0).value<Cabinet *>() == cabinet);
        seen << QStringLiteral("%1 %2 %3").arg(args.at(1).toInt())
                        .arg(QMetaEnum::fromType<StopWaiter::Outcome>().valueToKey(
                                int(args.at(2).value<StopWaiter::Outcome>())),
                             args.at(3).toString()).trimmed();
    }
    QCOMPARE(seen, settled);
    QCOMPARE(waiter.confirmedCount(), settled.filter(QStringLiteral("Confirmed")).size());
    using Outcome = StopWaiter::Outcome;
    // Named as when they were taken in, a cabinet gone or not.
    QCOMPARE(waiter.names({Outcome::Confirmed, Outcome::Refused, Outcome::LinkLost, Outcome::NotConnected,
                           Outcome::Replaced}),
             QStringList({"10.0.85.14, rotor 1", "10.0.85.14, rotor 2", "10.0.85.14, rotor 3",
                          "10.0.85.14, rotor 4"}));
    delete cabinet;
}

void tst_Lifetime::loopTickedAMomentBeforeTheEnd()
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
    // The loop's question answered too (the rotors' watch goes on asking; answered
    // at once, it leaves moments with nothing pending).
    sim->setAnswerDelay(0);
    QTRY_COMPARE(cabinet.pendingRequestCount(), 0);
    QCOMPARE(sim->startCount(0), 1);
    QCOMPARE(sim->rotorState(0), 1);
    QVERIFY(!head->mayStartByItself());
    delete sim;
}

void tst_Lifetime::recoveryIsReadyAfterTheAnswerIsHandled()
{
    // The last rotor's answer ends the reading. Its window must not open from inside
    // that answer's handling: the dialog's event loop would take the next answers in
    // the middle of it.
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("Dosivo A/S"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder.path());
    const QString host = TestSupport::installationHost(19);
    {
        SettingsStore died; // never marked as ended
        died.load({host}, 4);
        died.setLoop(host, 1, {true, 2, 2, true});
        died.markRunning();
    }
    SettingsStore store;
    store.load({host}, 4);
    std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr, host, 502));
    Cabinet cabinet(host, 4, nullptr);
    Recovery recovery;
    recovery.collect(store, {&cabinet});
    QCOMPARE(recovery.rotorCount(), 1);
    QCOMPARE(recovery.rotorName(0), QStringLiteral("10.0.85.19, rotor 2"));

    bool answering = false;
    bool readyWhileAnswering = false;
    QObject context;
    connect(cabinet.rotor(1), &RotorHead::stateChanged, &context, [&] { answering = true; });
    recovery.readRotors(); // its own listener comes between these two
    connect(cabinet.rotor(1), &RotorHead::stateChanged, &context, [&] { answering = false; });
    QSignalSpy ready(&recovery, &Recovery::ready);
    connect(&recovery, &Recovery::ready, &context, [&] { readyWhileAnswering = answering; });
    QVERIFY(ready.wait(5000));
    QVERIFY(!readyWhileAnswering);
    QCOMPARE(recovery.reading(0), Recovery::Stands);
}

// Changes are gathered before they go to the file, yet each is there within a second,
// and those still gathered when the program ends are written before it does.
void tst_Lifetime::settingsReachTheFileWithinASecondAndAtTheEnd()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("Dosivo A/S"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder.path());
    const QString host = TestSupport::installationHost(19);
    QString fileName;
    const auto onDisk = [&fileName] {
        QFile file(fileName);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    {
        SettingsStore store;
        fileName = store.fileName();
        store.load({host}, 4);
        QElapsedTimer clock;
        clock.start();
        store.setLoop(host, 0, {true, 7, 3, false});
        QTRY_VERIFY(onDisk().contains(QLatin1String("onSecs=7")));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        store.setLoop(host, 0, {true, 8, 3, false});
    }
    QVERIFY2(onDisk().contains(QLatin1String("onSecs=8")), qPrintable(onDisk()));
}

QTEST_MAIN(tst_Lifetime)
#include "tst_lifetime.moc"
