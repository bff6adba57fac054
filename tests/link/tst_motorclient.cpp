#include "motorclient.h"

#include "cabinetframe.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QScopeGuard>
#include <QtTest>

#include <memory>

class tst_MotorClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void init();
    void cleanup();

    void frames_data();
    void frames();
    void deliversEachAnswerToItsSlotOnce();
    void decodesValues_data();
    void decodesValues();
    void takesTwoAnswersFromOneRead();
    void commandSentIsToldBeforeItsAnswer();
    void matchesAnswersToRequests();
    void discardsBytesThatCameUnasked();
    void commandsPassWaitingReads();
    void transactionIdentifierWraps();
    void forgetsReceiverThatWentAway();
    void connectsAgainAfterDetach();
    void dropsALinkThatLostStep();
    void exceptionAnswersKeepTheStreamInStep();
    void trafficLog_data();
    void trafficLog();

private:
    std::unique_ptr<MotorClient> connectedClient();

    SimCabinet *sim = nullptr;
};

namespace {

// A read answer as this installation's cabinets send it: 16-bit byte count.
QByteArray readAnswer(quint16 transactionId, quint16 value, quint16 byteCount = 2)
{
    return CabinetFrame::readAnswer(transactionId, 0, value, byteCount);
}

} // namespace

void tst_MotorClient::init()
{
    sim = TestSupport::startSimulator(this);
}

void tst_MotorClient::cleanup()
{
    delete sim;
    sim = nullptr;
}

std::unique_ptr<MotorClient> tst_MotorClient::connectedClient()
{
    auto client = std::make_unique<MotorClient>(sim->name(), sim->port());
    client->connectToHost();
    // Both ends: the simulator has taken the call too.
    if (!QTest::qWaitFor([&] { return client->isConnected() && sim->connectionCount() == 1; }, 5000))
        qFatal("the client did not connect to the simulator");
    return client;
}

void tst_MotorClient::frames_data()
{
    QTest::addColumn<int>("earlierRequests");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("read speed of unit 1 as transaction 5")
            << 5 << 1 << "readCrpm" << QByteArray("000500000006010400020001");
    QTest::newRow("write 1500 cRPM to unit 3 as transaction 256")
            << 256 << 3 << "sendCrpm 1500" << QByteArray("0100000000060306000205dc");
    QTest::newRow("read state") << 0 << 2 << "readState" << QByteArray("000000000006020400000001");
    QTest::newRow("read direction") << 1 << 0 << "readDirection" << QByteArray("000100000006000400030001");
    QTest::newRow("read identify") << 0 << 3 << "readIdentify" << QByteArray("000000000006030400080001");
    QTest::newRow("read temperature") << 0 << 0 << "readTemperature" << QByteArray("0000000000060004000d0001");
    QTest::newRow("speed keeps its low 16 bits") << 0 << 0 << "sendCrpm 70000" << QByteArray("000000000006000600021170");
    QTest::newRow("counter-clockwise") << 0 << 1 << "sendDirection" << QByteArray("000000000006010600030001");
    QTest::newRow("identify on") << 0 << 0 << "sendIdentify" << QByteArray("000000000006000600080001");
    QTest::newRow("start") << 0 << 2 << "sendStart" << QByteArray("000000000006020600070000");
    QTest::newRow("stop") << 0 << 2 << "sendStop" << QByteArray("000000000006020600070001");
    QTest::newRow("unit keeps its low 8 bits") << 0 << 0x104 << "sendStop" << QByteArray("000000000006040600070001");
}

void tst_MotorClient::frames()
{
    QFETCH(int, earlierRequests);
    QFETCH(int, unit);
    QFETCH(QString, operation);
    QFETCH(QByteArray, frame);

    auto client = connectedClient();
    // Four at a time, one per rotor: a command still waiting to go out would be
    // replaced by the next one for its register, not followed by it.
    for (int i = 0; i < earlierRequests; ++i) {
        client->setUnitId(i % 4);
        QVERIFY(client->sendStop());
        if (i % 4 == 3)
            QVERIFY(QTest::qWaitFor([&] { return client->pendingRequestCount() == 0; }));
    }
    QTRY_COMPARE(sim->requests().size(), earlierRequests);
    sim->clearRequests();

    ReplyRecorder recorder;
    client->setUnitId(unit);
    bool handedOver = false;
    if (operation == QLatin1String("readCrpm"))
        handedOver = client->readCrpm(&recorder, SLOT(crpmReply(int)));
    else if (operation == QLatin1String("readState"))
        handedOver = client->readState(&recorder, SLOT(stateReply(int,QString)));
    else if (operation == QLatin1String("readDirection"))
        handedOver = client->readDirection(&recorder, SLOT(directionReply(int)));
    else if (operation == QLatin1String("readIdentify"))
        handedOver = client->readIdentify(&recorder, SLOT(identifyReply(bool)));
    else if (operation == QLatin1String("readTemperature"))
        handedOver = client->readTemperature(&recorder, SLOT(temperatureReply(qreal)));
    else if (operation.startsWith(QLatin1String("sendCrpm ")))
        handedOver = client->sendCrpm(operation.section(QLatin1Char(' '), 1).toInt());
    else if (operation == QLatin1String("sendDirection"))
        handedOver = client->sendDirection(true);
    else if (operation == QLatin1String("sendIdentify"))
        handedOver = client->sendIdentify(true);
    else if (operation == QLatin1String("sendStart"))
        handedOver = client->sendStart();
    else if (operation == QLatin1String("sendStop"))
        handedOver = client->sendStop();
    QVERIFY(handedOver);

    QTRY_COMPARE(sim->receivedFrames().size(), 1);
    QCOMPARE(sim->receivedFrames().at(0).toHex(), frame);
}

void tst_MotorClient::deliversEachAnswerToItsSlotOnce()
{
    auto client = connectedClient();
    sim->setRotorState(1, 6);
    sim->setTemperature(235);
    client->setUnitId(1);
    client->sendCrpm(1234);
    client->sendDirection(true);
    client->sendIdentify(true);

    ReplyRecorder first;
    ReplyRecorder second;
    client->readCrpm(&first, SLOT(otherCrpmReply(int)));
    client->readState(&first, SLOT(stateReply(int,QString)));
    client->readDirection(&second, SLOT(directionReply(int)));
    client->readIdentify(&second, SLOT(identifyReply(bool)));
    client->readTemperature(&first, SLOT(temperatureReply(qreal)));

    QTRY_COMPARE(first.calls.size() + second.calls.size(), 5);
    QCOMPARE(first.calls.size(), 3);
    QCOMPARE(first.calls.at(0).slot, QByteArray("otherCrpm"));
    QCOMPARE(first.calls.at(0).args, QVariantList({1234}));
    QCOMPARE(first.calls.at(1).slot, QByteArray("state"));
    QCOMPARE(first.calls.at(1).args, QVariantList({6, QStringLiteral("PRIMING")}));
    QCOMPARE(first.calls.at(2).slot, QByteArray("temperature"));
    QVERIFY(qFuzzyCompare(first.calls.at(2).args.at(0).toDouble(), 23.5));
    QCOMPARE(second.calls.at(0).slot, QByteArray("direction"));
    QCOMPARE(second.calls.at(0).args, QVariantList({1}));
    QCOMPARE(second.calls.at(1).slot, QByteArray("identify"));
    QCOMPARE(second.calls.at(1).args, QVariantList({true}));

    // The delivery connections are gone: a later emission reaches nobody.
    emit client->crpmResponse(99);
    emit client->stateResponse(0, QStringLiteral("RUNNING"));
    emit client->temperatureResponse(1.0);
    QCOMPARE(first.calls.size(), 3);
    QCOMPARE(second.calls.size(), 2);
}

void tst_MotorClient::decodesValues_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<int>("value");
    QTest::addColumn<QVariantList>("delivered");

    QTest::newRow("state 0") << "state" << 0 << QVariantList{0, "RUNNING"};
    QTest::newRow("state 5") << "state" << 5 << QVariantList{5, "PAUSED"};
    QTest::newRow("state 6") << "state" << 6 << QVariantList{6, "PRIMING"};
    QTest::newRow("state 7") << "state" << 7 << QVariantList{7, "TEMPERATURE STOP"};
    QTest::newRow("state 8") << "state" << 8 << QVariantList{8, "UNKOWN STATE"};
    QTest::newRow("state 65535") << "state" << 65535 << QVariantList{65535, "UNKOWN STATE"};
    QTest::newRow("speed 65535") << "crpm" << 65535 << QVariantList{65535};
    QTest::newRow("direction 0") << "direction" << 0 << QVariantList{0};
    QTest::newRow("direction 5") << "direction" << 5 << QVariantList{1};
    QTest::newRow("identify 1") << "identify" << 1 << QVariantList{true};
    QTest::newRow("identify 2") << "identify" << 2 << QVariantList{false};
    QTest::newRow("temperature 0") << "temperature" << 0 << QVariantList{0.0};
    QTest::newRow("temperature 65535") << "temperature" << 65535 << QVariantList{6553.5};
}

void tst_MotorClient::decodesValues()
{
    QFETCH(QString, request);
    QFETCH(int, value);
    QFETCH(QVariantList, delivered);

    auto client = connectedClient();
    sim->scriptAnswers({readAnswer(0, quint16(value))});
    ReplyRecorder recorder;
    if (request == QLatin1String("state"))
        client->readState(&recorder, SLOT(stateReply(int,QString)));
    else if (request == QLatin1String("crpm"))
        client->readCrpm(&recorder, SLOT(crpmReply(int)));
    else if (request == QLatin1String("direction"))
        client->readDirection(&recorder, SLOT(directionReply(int)));
    else if (request == QLatin1String("identify"))
        client->readIdentify(&recorder, SLOT(identifyReply(bool)));
    else
        client->readTemperature(&recorder, SLOT(temperatureReply(qreal)));

    QTRY_COMPARE(recorder.calls.size(), 1);
    QCOMPARE(QString::fromLatin1(recorder.calls.at(0).slot), request);
    const QVariantList args = recorder.calls.at(0).args;
    QCOMPARE(args.size(), delivered.size());
    if (request == QLatin1String("temperature"))
        QVERIFY(qAbs(args.at(0).toDouble() - delivered.at(0).toDouble()) < 1e-9);
    else
        QCOMPARE(args, delivered);
}

void tst_MotorClient::takesTwoAnswersFromOneRead()
{
    auto client = connectedClient();
    ReplyRecorder recorder;
    // The first request's answer carries the second's too; the second goes unanswered.
    sim->scriptAnswers({readAnswer(0, 11) + readAnswer(1, 22), QByteArray()});
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    client->readCrpm(&recorder, SLOT(otherCrpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 2);
    QCOMPARE(recorder.calls.at(0).slot, QByteArray("crpm"));
    QCOMPARE(recorder.calls.at(0).args, QVariantList({11}));
    QCOMPARE(recorder.calls.at(1).slot, QByteArray("otherCrpm"));
    QCOMPARE(recorder.calls.at(1).args, QVariantList({22}));
    QCOMPARE(client->reader.bytesAvailable(), qint64(0));
}

void tst_MotorClient::commandSentIsToldBeforeItsAnswer()
{
    // A cabinet on a thread of its own answers while this thread takes nothing in. The
    // question's answer carries the Stop's echo too: both are taken at once, while the
    // worker's word that the Stop went out still waits behind them.
    QThread simThread;
    SimCabinet *fast = TestSupport::startSimulator(nullptr);
    fast->scriptAnswers({readAnswer(0, 11) + CabinetFrame::request(1, 0, CabinetProtocol::WriteSingleRegister,
                                                                   CabinetProtocol::RunRegister, 1),
                         QByteArray()});
    fast->moveToThread(&simThread);
    simThread.start();
    const auto stopSim = qScopeGuard([&] {
        fast->deleteLater();
        simThread.quit();
        simThread.wait();
    });
    {
        MotorClient client(fast->name(), fast->port());
        client.connectToHost();
        QTRY_VERIFY(client.isConnected());
        QStringList told;
        connect(&client, &MotorClient::commandSent, this, [&](int unit, int reg, int value) {
            told << QStringLiteral("sent %1 %2 %3").arg(unit).arg(reg).arg(value);
        });
        connect(&client, &MotorClient::commandConfirmed, this, [&](int unit, int reg, int value) {
            told << QStringLiteral("confirmed %1 %2 %3").arg(unit).arg(reg).arg(value);
        });
        ReplyRecorder recorder;
        client.readCrpm(&recorder, SLOT(crpmReply(int)));
        client.sendStop();
        QElapsedTimer waited;
        waited.start();
        while (!(client.reader.bytesAvailable() == 24 && client.reader.isOnWire(1)) && waited.elapsed() < 5000)
            QThread::yieldCurrentThread();
        QCOMPARE(client.reader.bytesAvailable(), qint64(24));
        QVERIFY(told.isEmpty());
        QTRY_COMPARE(told, QStringList({"sent 0 7 1", "confirmed 0 7 1"}));
        QTest::qWait(50); // the worker's word, taken at last, adds nothing
        QCOMPARE(told.size(), 2);
    }
}

void tst_MotorClient::matchesAnswersToRequests()
{
    auto client = connectedClient();
    ReplyRecorder recorder;
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    client->readCrpm(&recorder, SLOT(otherCrpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 2);

    // Eleven bytes wait for the twelfth.
    const QByteArray answer = readAnswer(2, 33);
    sim->scriptAnswers({answer.left(11)});
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(client->reader.bytesAvailable(), qint64(11));
    QTest::qWait(20);
    QCOMPARE(recorder.calls.size(), 2);
    sim->sendUnrequested(answer.right(1));
    QTRY_COMPARE(recorder.calls.size(), 3);
    QCOMPARE(recorder.calls.at(2).args, QVariantList({33}));
    QCOMPARE(client->reader.bytesAvailable(), qint64(0));

    {
        // A read answer with a byte count of 3 costs its entry; the next one matches.
        StdoutCapture out;
        sim->scriptAnswers({readAnswer(3, 44, 3)});
        client->readCrpm(&recorder, SLOT(crpmReply(int)));
        client->readState(&recorder, SLOT(stateReply(int,QString)));
        QTRY_COMPARE(recorder.calls.size(), 4);
        QCOMPARE(recorder.calls.at(3).slot, QByteArray("state"));
        QCOMPARE(out.text(), QStringLiteral("Read Err: Response byte count was unexpected: 3, expected 2!\n"));
    }
    {
        // Write echoes are never put to the byte-count test and deliver nothing; one
        // that differs fails its command.
        StdoutCapture out;
        QSignalSpy failed(client.get(), &MotorClient::commandFailed);
        QByteArray oddEcho = QByteArray::fromHex("000500000006000600030099");
        sim->scriptAnswers({oddEcho});
        client->sendDirection(false);
        client->readCrpm(&recorder, SLOT(crpmReply(int)));
        QTRY_COMPARE(recorder.calls.size(), 5);
        QCOMPARE(recorder.calls.at(4).slot, QByteArray("crpm"));
        QCOMPARE(out.text(), QString());
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0), QVariantList({0, 3, 0, "answered with a different echo"}));
    }
    {
        // An answer for another transaction is reported and dropped with its entry.
        StdoutCapture out;
        const int before = sim->requests().size();
        sim->setWrongTransactionId(true);
        client->readState(&recorder, SLOT(stateReply(int,QString)));
        QTRY_COMPARE(sim->requests().size(), before + 1);
        sim->setWrongTransactionId(false);
        client->readCrpm(&recorder, SLOT(crpmReply(int)));
        QTRY_COMPARE(recorder.calls.size(), 6);
        QCOMPARE(recorder.calls.at(5).slot, QByteArray("crpm"));
        QCOMPARE(out.text(), QStringLiteral("Read Err: Response from TRX header did not match the requests\n"));
    }
}

void tst_MotorClient::discardsBytesThatCameUnasked()
{
    auto client = connectedClient();
    ReplyRecorder recorder;
    QSignalSpy arrived(&client->reader, SIGNAL(readyRead()));
    StdoutCapture out;
    sim->sendUnrequested(readAnswer(0, 777));
    QTRY_VERIFY(!arrived.isEmpty());
    QTRY_COMPARE(client->reader.bytesAvailable(), qint64(0));
    QCOMPARE(out.text(), QStringLiteral("Read Err: Response from TRX header did not match the requests\n"));
    // Kept, they would have been taken for this request's answer.
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 1);
    QCOMPARE(recorder.calls.at(0).args, QVariantList({0}));
}

void tst_MotorClient::commandsPassWaitingReads()
{
    auto client = connectedClient();
    sim->setAnswerDelay(100);
    ReplyRecorder recorder;
    client->setUnitId(1);
    client->readState(&recorder, SLOT(stateReply(int,QString))); // on the wire at once
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    client->readDirection(&recorder, SLOT(directionReply(int)));
    client->sendCrpm(1500);
    client->sendStart();
    QTRY_COMPARE(recorder.calls.size(), 3);

    QStringList order;
    for (const SimCabinet::Request &request : sim->requests())
        order << QStringLiteral("%1:%2").arg(request.function).arg(request.reg);
    QCOMPARE(order, QStringList({"4:0", "6:2", "6:7", "4:2", "4:3"}));
    // Each answer reached its own asker, though they came in another order than asked.
    QCOMPARE(recorder.calls.at(0).slot, QByteArray("state"));
    QCOMPARE(recorder.calls.at(1).slot, QByteArray("crpm"));
    QCOMPARE(recorder.calls.at(1).args, QVariantList({1500}));
    QCOMPARE(recorder.calls.at(2).slot, QByteArray("direction"));
}

void tst_MotorClient::transactionIdentifierWraps()
{
    auto client = connectedClient();
    sim->setSilent(true);
    // 65,536 requests use every identifier once; the worker holds all but the first.
    for (int i = 0; i < 65536; ++i)
        i % 2 ? client->sendStart() : client->sendStop();
    QTRY_COMPARE(sim->requests().size(), 1);
    sim->dropConnections();
    QTRY_VERIFY(!client->isConnected());
    sim->setSilent(false);
    sim->clearRequests();

    client->connectToHost();
    QTRY_VERIFY(client->isConnected());
    ReplyRecorder recorder;
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 1);
    QCOMPARE(sim->requests().size(), 1);
    QCOMPARE(sim->requests().at(0).transactionId, quint16(0));
}

void tst_MotorClient::forgetsReceiverThatWentAway()
{
    auto client = connectedClient();
    sim->setAnswerDelay(100);
    auto *gone = new ReplyRecorder;
    ReplyRecorder stays;
    client->readCrpm(gone, SLOT(crpmReply(int)));
    client->readState(&stays, SLOT(stateReply(int,QString)));
    delete gone;
    QTRY_COMPARE(stays.calls.size(), 1);
    QCOMPARE(stays.calls.at(0).slot, QByteArray("state"));
}

void tst_MotorClient::connectsAgainAfterDetach()
{
    sim->setRefusing(true);
    MotorClient client(sim->name(), sim->port());
    QSignalSpy errors(&client.reader, SIGNAL(error(QAbstractSocket::SocketError)));
    QSignalSpy listenerBeforeDetach(&client.reader, SIGNAL(connected()));
    client.connectToHost();
    QTRY_COMPARE(errors.count(), 1);
    client.detachSocket();

    // The worker's own hand-over survives, so a new attempt reaches the socket.
    sim->setRefusing(false);
    QSignalSpy listenerAfterDetach(&client.reader, SIGNAL(connected()));
    client.connectToHost();
    QTRY_COMPARE(listenerAfterDetach.count(), 1);
    QVERIFY(client.isConnected());
    QCOMPARE(listenerBeforeDetach.count(), 0);
    QCOMPARE(errors.count(), 1);

    ReplyRecorder recorder;
    client.readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 1);
}

void tst_MotorClient::dropsALinkThatLostStep()
{
    auto client = connectedClient();
    QSignalSpy errors(&client->reader, SIGNAL(error(QAbstractSocket::SocketError)));
    ReplyRecorder recorder;
    auto readAndWait = [&](bool wrong) {
        const int before = sim->requests().size();
        sim->setWrongTransactionId(wrong);
        client->readCrpm(&recorder, SLOT(crpmReply(int)));
        QTRY_COMPARE(sim->requests().size(), before + 1);
        QTRY_COMPARE(client->pendingRequestCount(), 0);
    };

    StdoutCapture out;
    readAndWait(true);
    readAndWait(true);
    QCOMPARE(errors.count(), 0);
    QVERIFY(client->isConnected());

    // The third miss in a row drops the link, as a socket error would.
    readAndWait(true);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::OperationError);
    QCOMPARE(client->reader.errorString(),
             QStringLiteral("Lost step with pump cabinet: answers do not match the requests"));
    QTRY_VERIFY(!client->isConnected());
    QCOMPARE(out.text().count(QStringLiteral("Read Err: Response from TRX header did not match the requests\n")), 3);

    // Activated again, the link is in step from the first answer.
    sim->clearFaults();
    client->connectToHost();
    QTRY_VERIFY(client->isConnected());
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 1);
}

void tst_MotorClient::exceptionAnswersKeepTheStreamInStep()
{
    auto client = connectedClient();
    QSignalSpy errors(&client->reader, SIGNAL(error(QAbstractSocket::SocketError)));
    ReplyRecorder recorder;
    StdoutCapture out;

    // A 9-byte exception answer delivers nothing, and the answer after it is read
    // whole; a command it answers fails, saying so.
    QSignalSpy failed(client.get(), &MotorClient::commandFailed);
    sim->setExceptionAnswers(true);
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    client->sendStop();
    QTRY_COMPARE(client->pendingRequestCount(), 0);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0), QVariantList({0, 7, 1, "Modbus exception 4"}));
    sim->setExceptionAnswers(false);
    client->sendCrpm(1500);
    client->readCrpm(&recorder, SLOT(crpmReply(int)));
    QTRY_COMPARE(recorder.calls.size(), 1);
    QCOMPARE(recorder.calls.at(0).args, QVariantList({1500}));
    QCOMPARE(client->reader.bytesAvailable(), qint64(0));

    // Three in a row: the cabinet will not take the requests, and the link goes.
    sim->setExceptionAnswers(true);
    client->readState(&recorder, SLOT(stateReply(int,QString)));
    client->readDirection(&recorder, SLOT(directionReply(int)));
    client->readTemperature(&recorder, SLOT(temperatureReply(qreal)));
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(client->reader.errorString(),
             QStringLiteral("Pump cabinet rejected the requests (Modbus exception 4)"));
    QTRY_VERIFY(!client->isConnected());
    QCOMPARE(recorder.calls.size(), 1);
    QCOMPARE(out.text(), QStringLiteral("Read Err: Pump cabinet answered register 2 with Modbus exception 4\n"
                                        "Read Err: Pump cabinet answered register 7 with Modbus exception 4\n"
                                        "Read Err: Pump cabinet answered register 0 with Modbus exception 4\n"
                                        "Read Err: Pump cabinet answered register 3 with Modbus exception 4\n"
                                        "Read Err: Pump cabinet answered register 13 with Modbus exception 4\n"));
}

namespace {

QStringList trafficLines;
QtMessageHandler handlerBeforeTraffic = nullptr;

// Everything but the traffic goes on to the handler before, so the connect guard stays on.
void recordTraffic(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "tavrel.link") == 0)
        trafficLines << message;
    else if (handlerBeforeTraffic)
        handlerBeforeTraffic(type, context, message);
}

} // namespace

void tst_MotorClient::trafficLog_data()
{
    QTest::addColumn<QString>("rules");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("off by default") << QString() << QStringList();
    QTest::newRow("switched on by a logging rule") << QStringLiteral("tavrel.link.debug=true")
            << QStringList{QStringLiteral("%1 request 00 00 00 00 00 06 02 04 00 00 00 01"),
                           QStringLiteral("%1 request 00 01 00 00 00 06 02 06 00 07 00 00"),
                           QStringLiteral("%1 answer 00 00 00 00 00 06 02 04 00 02 00 01"),
                           QStringLiteral("%1 answer 00 01 00 00 00 06 02 06 00 07 00 00")};
}

void tst_MotorClient::trafficLog()
{
    QFETCH(QString, rules);
    QFETCH(QStringList, lines);

    auto client = connectedClient();
    trafficLines.clear();
    QLoggingCategory::setFilterRules(rules);
    handlerBeforeTraffic = qInstallMessageHandler(recordTraffic);
    client->setUnitId(2);
    ReplyRecorder recorder;
    QVERIFY(client->readState(&recorder, SLOT(stateReply(int,QString))));
    QVERIFY(client->sendStart());
    QTRY_COMPARE(client->pendingRequestCount(), 0);
    qInstallMessageHandler(handlerBeforeTraffic);
    QLoggingCategory::setFilterRules(QString());

    QCOMPARE(recorder.calls.size(), 1);
    QCOMPARE(recorder.calls.at(0).slot, QByteArray("state"));
    QCOMPARE(recorder.calls.at(0).args, QVariantList({1, QStringLiteral("STOPPED")}));

    for (QString &line : lines)
        line = line.arg(sim->name());
    QCOMPARE(trafficLines, lines);
}

QTEST_GUILESS_MAIN(tst_MotorClient)
#include "tst_motorclient.moc"
