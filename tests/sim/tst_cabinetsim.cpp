#include "simcabinet.h"
#include "simconsole.h"

#include "testsupport.h"

#include <QTcpSocket>
#include <QtTest>

// A raw Modbus peer, to see exactly what the simulator sends.
class RawPeer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RawPeer)

public:
    explicit RawPeer(SimCabinet *sim)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            received += socket.readAll();
            ++reads;
        });
        socket.connectToHost(sim->address(), sim->port());
        socket.waitForConnected(5000);
    }
    void send(const char *hex)
    {
        socket.write(QByteArray::fromHex(hex));
        socket.flush();
    }

    QTcpSocket socket;
    QByteArray received;
    int reads = 0;
};

class tst_CabinetSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void init() { sim = TestSupport::startSimulator(this); }
    void cleanup() { delete sim; }

    void answers_data();
    void answers();
    void runCommandsAndLatchedStates();
    void requestInPiecesIsPutTogether();
    void malformedHeaderClosesTheConnection();
    void answerFaults();
    void connectionFaults();
    void console();

private:
    SimCabinet *sim = nullptr;
};

void tst_CabinetSim::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("read state") << QByteArray("000100000006010400000001") << QByteArray("000100000006010400020001");
    QTest::newRow("read temperature") << QByteArray("0002000000060004000d0001") << QByteArray("00020000000600040002 00fd").replace(' ', "");
    QTest::newRow("read identify") << QByteArray("000300000006030400080001") << QByteArray("000300000006030400020000");
    QTest::newRow("write speed is echoed") << QByteArray("0003000000060306000205dc") << QByteArray("0003000000060306000205dc");
    QTest::newRow("unknown register") << QByteArray("000400000006010400630001") << QByteArray("000400000003018402");
    QTest::newRow("unit 4") << QByteArray("000500000006040400000001") << QByteArray("000500000003048402");
    QTest::newRow("quantity 2") << QByteArray("000600000006010400000002") << QByteArray("000600000003018403");
    QTest::newRow("function 3") << QByteArray("000700000006010300000001") << QByteArray("000700000003018301");
    QTest::newRow("speed above 30000") << QByteArray("000a00000006010600027531") << QByteArray("000a00000003018603");
    QTest::newRow("run command 5") << QByteArray("000800000006010600070005") << QByteArray("000800000003018603");
    QTest::newRow("state is read-only") << QByteArray("000900000006010600000000") << QByteArray("000900000003018602");
}

void tst_CabinetSim::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    sim->setTemperature(253);
    RawPeer peer(sim);
    peer.send(request.constData());
    QTRY_COMPARE(peer.received.toHex(), answer);
}

void tst_CabinetSim::runCommandsAndLatchedStates()
{
    QSignalSpy log(sim, &SimCabinet::logLine);
    sim->setLogging(true);
    RawPeer peer(sim);
    peer.send("000100000006020600070000"); // start unit 2
    QTRY_COMPARE(sim->rotorState(2), 0);
    peer.send("000200000006020600070001"); // stop
    QTRY_COMPARE(sim->rotorState(2), 1);

    // Emergency stop holds against start and stop until the simulator is told otherwise.
    QTRY_COMPARE(peer.received.size(), 24);
    peer.received.clear();
    sim->setRotorState(2, 2);
    peer.send("000300000006020600070000");
    peer.send("000400000006020600070001");
    peer.send("000500000006020400000001");
    QTRY_COMPARE(peer.received.size(), 36);
    QCOMPARE(peer.received.mid(24).toHex(), QByteArray("000500000006020400020002"));
    QCOMPARE(sim->rotorState(2), 2);
    QCOMPARE(sim->startCount(2), 2);
    QCOMPARE(sim->stopCount(2), 2);

    // Priming does not hold: a start runs the rotor.
    sim->setRotorState(2, 6);
    peer.send("000600000006020600070000");
    QTRY_COMPARE(sim->rotorState(2), 0);

    QStringList lines;
    for (const QList<QVariant> &args : qAsConst(log))
        lines << args.at(0).toString();
    QVERIFY(lines.contains(QStringLiteral("127.0.0.1 unit 2: start")));
    QVERIFY(lines.contains(QStringLiteral("127.0.0.1 unit 2: start, ignored in EMERGENCY STOP")));
    QVERIFY(lines.contains(QStringLiteral("127.0.0.1 unit 2: read state -> 2 EMERGENCY STOP")));
}

void tst_CabinetSim::requestInPiecesIsPutTogether()
{
    RawPeer peer(sim);
    peer.send("00010000");
    QTRY_COMPARE(sim->connectionCount(), 1);
    QTest::qWait(20);
    peer.send("0006030600");
    QTest::qWait(20);
    peer.send("02 05dc");
    QTRY_COMPARE(peer.received.toHex(), QByteArray("0001000000060306000205dc"));
    QCOMPARE(sim->rotorSpeed(3), 1500);
}

void tst_CabinetSim::malformedHeaderClosesTheConnection()
{
    QSignalSpy log(sim, &SimCabinet::logLine);
    sim->setLogging(true);
    for (const char *request : {"000100010006010400000001", "000100000007010400000001"}) {
        RawPeer peer(sim);
        QSignalSpy closed(&peer.socket, &QTcpSocket::disconnected);
        peer.send(request);
        QTRY_COMPARE(closed.count(), 1);
        QVERIFY(peer.received.isEmpty());
    }
    QVERIFY(log.last().at(0).toString().contains(QLatin1String("malformed request header")));
    QTRY_COMPARE(sim->connectionCount(), 0);
    QVERIFY(sim->requests().isEmpty());
}

void tst_CabinetSim::answerFaults()
{
    RawPeer peer(sim);
    {
        sim->setAnswerDelay(200);
        peer.send("000100000006000400000001");
        QTest::qWait(50);
        QVERIFY(peer.received.isEmpty());
        QTRY_COMPARE(peer.received.size(), 12);
        sim->clearFaults();
    }
    {
        peer.received.clear();
        peer.reads = 0;
        sim->setSplitAnswers(true);
        peer.send("000200000006000400000001");
        QTRY_COMPARE(peer.received.toHex(), QByteArray("000200000006000400020001"));
        QVERIFY(peer.reads > 1);
        sim->clearFaults();
    }
    {
        peer.received.clear();
        sim->setSilent(true);
        peer.send("000300000006000400000001");
        QTRY_COMPARE(sim->requests().size(), 3);
        QTest::qWait(50);
        QVERIFY(peer.received.isEmpty());
        sim->clearFaults();
    }
    {
        sim->setWrongTransactionId(true);
        peer.send("000400000006000400000001");
        QTRY_COMPARE(peer.received.toHex(), QByteArray("000500000006000400020001"));
        sim->clearFaults();
    }
    {
        peer.received.clear();
        sim->setExceptionAnswers(true);
        peer.send("000600000006000400000001");
        QTRY_COMPARE(peer.received.toHex(), QByteArray("000600000003008404"));
        sim->clearFaults();
    }
    {
        // Only the writes to the register named, and only as many as asked.
        peer.received.clear();
        sim->rejectWrites(7, 1);
        peer.send("000700000006000600020064"); // speed 100
        peer.send("000800000006000600070001"); // stop
        peer.send("000900000006000600070000"); // start
        QTRY_COMPARE(peer.received.toHex(), QByteArray("000700000006000600020064" "000800000003008604"
                                                       "000900000006000600070000"));
        QCOMPARE(sim->stopCount(0), 0);
        QCOMPARE(sim->startCount(0), 1);
    }
    {
        peer.received.clear();
        sim->sendUnrequested(100);
        QTRY_COMPARE(peer.received, QByteArray(100, char(0xa5)));
    }
}

void tst_CabinetSim::connectionFaults()
{
    {
        sim->setCloseAfterRequests(2);
        RawPeer peer(sim);
        QSignalSpy closed(&peer.socket, &QTcpSocket::disconnected);
        peer.send("000100000006000400000001");
        peer.send("000200000006000400000001");
        peer.send("000300000006000400000001");
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(peer.received.size(), 24);
        sim->clearFaults();
    }
    {
        sim->setCutAnswers(true);
        RawPeer peer(sim);
        QSignalSpy closed(&peer.socket, &QTcpSocket::disconnected);
        peer.send("000100000006000400000001");
        QTRY_COMPARE(closed.count(), 1);
        QCOMPARE(peer.received.toHex(), QByteArray("000100000006"));
        sim->clearFaults();
    }
    {
        RawPeer open(sim);
        QSignalSpy dropped(&open.socket, &QTcpSocket::disconnected);
        sim->setRefusing(true);
        QTRY_COMPARE(dropped.count(), 1);
        QTcpSocket refused;
        QSignalSpy errors(&refused, &QTcpSocket::errorOccurred);
        refused.connectToHost(sim->address(), sim->port());
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);

        sim->clearFaults();
        RawPeer again(sim);
        QCOMPARE(again.socket.state(), QAbstractSocket::ConnectedState);
        again.send("000100000006000400000001");
        QTRY_COMPARE(again.received.size(), 12);
    }
}

void tst_CabinetSim::console()
{
    SimConsole console;
    console.addCabinet(sim);
    const QString ok = QStringLiteral("ok");

    QCOMPARE(console.execute(QStringLiteral("state 127.0.0.1 2 2")), ok);
    QCOMPARE(sim->rotorState(2), 2);
    QCOMPARE(console.execute(QStringLiteral("state all 3 7")), ok);
    QCOMPARE(sim->rotorState(3), 7);
    QCOMPARE(console.execute(QStringLiteral("temp 1 23.5")), ok);
    QCOMPARE(sim->temperature(), 235);
    QCOMPARE(console.execute(QStringLiteral("delay %1:%2 40").arg(sim->name()).arg(sim->port())), ok);
    QCOMPARE(console.execute(QStringLiteral("silent all on")), ok);
    QCOMPARE(console.execute(QStringLiteral("reject all 7 2")), ok);
    QVERIFY(sim->faultSummary().contains(QLatin1String("rejects the next 2 writes to register 7")));
    QVERIFY(sim->faultSummary().contains(QLatin1String("answers delayed 40 ms")));
    QVERIFY(sim->faultSummary().contains(QLatin1String("silent")));
    QVERIFY(console.execute(QStringLiteral("status")).contains(QLatin1String("unit 2: 2 EMERGENCY STOP")));
    QCOMPARE(console.execute(QStringLiteral("clear all")), ok);
    QCOMPARE(sim->faultSummary(), QStringLiteral("no faults"));

    QCOMPARE(console.execute(QStringLiteral("state 10.0.85.99 1 1")),
             QStringLiteral("no cabinet matches '10.0.85.99'"));
    QCOMPARE(console.execute(QStringLiteral("state all 4 1")), QStringLiteral("usage error; try help"));
    QCOMPARE(console.execute(QStringLiteral("split all maybe")), QStringLiteral("usage error; try help"));
    QCOMPARE(console.execute(QStringLiteral("explode all")), QStringLiteral("unknown command 'explode'; try help"));
    QCOMPARE(console.execute(QStringLiteral("   ")), QString());

    QSignalSpy quit(&console, &SimConsole::quitRequested);
    console.execute(QStringLiteral("quit"));
    QCOMPARE(quit.count(), 1);
}

QTEST_GUILESS_MAIN(tst_CabinetSim)
#include "tst_cabinetsim.moc"
