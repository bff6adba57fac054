#include "socketreader.h"

#include "cabinetframe.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

class tst_SocketReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void connectsOnItsOwnThread();
    void pacesOneRequestAtATime();
    void refusedThenConnectsAgain();
    void pacingStartsAfreshWithANewLink();
    void teardownWithLiveConnection();
    void deadlineDropsTheLink_data();
    void deadlineDropsTheLink();
    void lateAnswersWithinTheDeadline();
    void connectDeadlineEndsAnAttemptNobodyAnswers();
    void floodDropsTheLink();

private:
    static QByteArray frame(int transactionId)
    {
        return CabinetFrame::request(quint16(transactionId), 0, CabinetProtocol::ReadInputRegister,
                                     CabinetProtocol::StateRegister, 1);
    }
    static void send(SocketReader &reader, const QByteArray &bytes)
    {
        QCOMPARE(reader.write(bytes.constData(), bytes.size()), qint64(bytes.size()));
        reader.flush();
    }
};

void tst_SocketReader::connectsOnItsOwnThread()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    SocketReader reader;
    QCOMPARE(reader.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(reader.error(), QAbstractSocket::UnknownSocketError);
    QVERIFY(static_cast<QObject &>(reader).thread() != QThread::currentThread());

    QSignalSpy connected(&reader, SIGNAL(connected()));
    reader.connectToHost(sim->name(), sim->port());
    // The attempt has started by the time connectToHost() returns.
    QVERIFY(reader.state() == QAbstractSocket::ConnectingState
            || reader.state() == QAbstractSocket::ConnectedState);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(reader.state(), QAbstractSocket::ConnectedState);

    QSignalSpy readyRead(&reader, SIGNAL(readyRead()));
    send(reader, frame(7));
    QTRY_COMPARE(reader.bytesAvailable(), qint64(12));
    QVERIFY(readyRead.count() >= 1);
    char answer[12];
    QCOMPARE(reader.read(answer, 12), qint64(12));
    QCOMPARE(QByteArray(answer, 12).toHex(), QByteArray("000700000006000400020001"));
}

void tst_SocketReader::pacesOneRequestAtATime()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    sim->setSilent(true);
    SocketReader reader;
    QSignalSpy connected(&reader, SIGNAL(connected()));
    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 1);

    send(reader, frame(1));
    send(reader, frame(2));
    send(reader, frame(3));
    QTRY_COMPARE(sim->requests().size(), 1);
    QTest::qWait(150); // the other two must stay behind
    QCOMPARE(sim->requests().size(), 1);

    // Any arrival of data releases exactly one more.
    sim->sendUnrequested(5);
    QTRY_COMPARE(sim->requests().size(), 2);
    sim->sendUnrequested(5);
    QTRY_COMPARE(sim->requests().size(), 3);
    QTest::qWait(50);
    QCOMPARE(sim->requests().size(), 3);

    // The arrival after the last queued one leaves the link idle: the next goes at once.
    QSignalSpy readyRead(&reader, SIGNAL(readyRead()));
    sim->sendUnrequested(2);
    QTRY_COMPARE(readyRead.count(), 1);
    send(reader, frame(4));
    QTRY_COMPARE(sim->requests().size(), 4);
    QCOMPARE(sim->requests().at(0).transactionId, quint16(1));
    QCOMPARE(sim->requests().at(3).transactionId, quint16(4));
    QCOMPARE(reader.bytesAvailable(), qint64(12));
}

void tst_SocketReader::refusedThenConnectsAgain()
{
    SocketReader reader;
    QSignalSpy errors(&reader, SIGNAL(error(QAbstractSocket::SocketError)));
    QSignalSpy connected(&reader, SIGNAL(connected()));
    const quint16 port = TestSupport::unusedPort();
    reader.connectToHost(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(),
             QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(reader.error(), QAbstractSocket::ConnectionRefusedError);
    QVERIFY(!reader.errorString().isEmpty());
    QTRY_COMPARE(reader.state(), QAbstractSocket::UnconnectedState);

    // A new attempt clears the last error, as the socket itself does.
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    reader.connectToHost(sim->name(), sim->port());
    QCOMPARE(reader.error(), QAbstractSocket::UnknownSocketError);
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(reader.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(errors.count(), 1);
}

void tst_SocketReader::pacingStartsAfreshWithANewLink()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    sim->setSilent(true);
    SocketReader reader;
    QSignalSpy connected(&reader, SIGNAL(connected()));
    QSignalSpy disconnected(&reader, SIGNAL(disconnected()));
    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 1);

    send(reader, frame(1));
    send(reader, frame(2)); // held back behind the unanswered first one
    QTRY_COMPARE(sim->requests().size(), 1);
    sim->sendUnrequested(3); // half an answer, then the link dies
    QTRY_COMPARE(reader.bytesAvailable(), qint64(3));
    sim->dropConnections();
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(reader.state(), QAbstractSocket::UnconnectedState);
    sim->clearRequests();

    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 2);
    // Nothing of the dead link survives: neither the queued request nor its half answer.
    QCOMPARE(reader.bytesAvailable(), qint64(0));
    send(reader, frame(9));
    QTRY_COMPARE(sim->requests().size(), 1);
    QTest::qWait(50);
    QCOMPARE(sim->requests().size(), 1);
    QCOMPARE(sim->requests().at(0).transactionId, quint16(9));
}

void tst_SocketReader::teardownWithLiveConnection()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    QSignalSpy clients(sim.get(), &SimCabinet::clientConnected);
    QSignalSpy gone(sim.get(), &SimCabinet::clientDisconnected);
    auto *reader = new SocketReader;
    QThread *worker = static_cast<QObject *>(reader)->thread();
    QSignalSpy finished(worker, &QThread::finished);
    reader->connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(reader->state(), QAbstractSocket::ConnectedState);
    QTRY_COMPARE(clients.count(), 1);
    send(*reader, frame(1));
    QTRY_COMPARE(reader->bytesAvailable(), qint64(12));

    delete reader; // returns only once the worker thread has ended
    QCOMPARE(finished.count(), 1);
    QTRY_COMPARE(gone.count(), 1);
}

void tst_SocketReader::deadlineDropsTheLink_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("timeoutMs"); // 0: as the link comes
    QTest::addColumn<QString>("reason");
    QTest::newRow("silence") << true << QByteArray() << 0
                             << "Pump cabinet did not answer within 3 s";
    QTest::newRow("answer cut short, deadline set")
            << false << QByteArray::fromHex("0001000000060004000200") << 1500
            << "Pump cabinet did not answer within 1.5 s";
}

void tst_SocketReader::deadlineDropsTheLink()
{
    QFETCH(bool, silent);
    QFETCH(QByteArray, answer);
    QFETCH(int, timeoutMs);
    QFETCH(QString, reason);
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    sim->setSilent(silent);
    if (!answer.isEmpty())
        sim->scriptAnswers({answer});
    SocketReader reader;
    QSignalSpy connected(&reader, SIGNAL(connected()));
    QSignalSpy disconnected(&reader, SIGNAL(disconnected()));
    QSignalSpy errors(&reader, SIGNAL(error(QAbstractSocket::SocketError)));
    if (timeoutMs > 0)
        reader.setAnswerTimeout(timeoutMs);
    else
        timeoutMs = reader.answerTimeout();
    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 1);

    QElapsedTimer waited;
    waited.start();
    send(reader, frame(1));
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 1, 6000);
    QVERIFY2(waited.elapsed() >= timeoutMs - 100, qPrintable(QString::number(waited.elapsed())));
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::SocketTimeoutError);
    QCOMPARE(reader.errorString(), reason);
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(reader.state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(sim->connectionCount(), 0);

    // The next attempt starts clean.
    sim->clearFaults();
    reader.connectToHost(sim->name(), sim->port());
    QCOMPARE(reader.error(), QAbstractSocket::UnknownSocketError);
    QTRY_COMPARE(connected.count(), 2);
}

void tst_SocketReader::connectDeadlineEndsAnAttemptNobodyAnswers()
{
    // The listener's queue is full, so the attempt's packets go unanswered, as to a
    // cabinet that is off: the attempt ends at the deadline, not at the system's.
    const quint16 port = TestSupport::unusedPort();
    TestSupport::BlackHole hole(QHostAddress::LocalHost, port);
    QVERIFY(hole.isReady());
    SocketReader reader;
    reader.setAnswerTimeout(1500);
    QSignalSpy errors(&reader, SIGNAL(error(QAbstractSocket::SocketError)));
    reader.connectToHost(QStringLiteral("127.0.0.1"), port);
    QCOMPARE(reader.state(), QAbstractSocket::ConnectingState);
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::SocketTimeoutError);
    QCOMPARE(reader.errorString(), QStringLiteral("Pump cabinet did not take the connection within 1.5 s"));
    QTRY_COMPARE(reader.state(), QAbstractSocket::UnconnectedState);
}

void tst_SocketReader::lateAnswersWithinTheDeadline()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    sim->setAnswerDelay(700);
    SocketReader reader;
    reader.setAnswerTimeout(1000);
    QSignalSpy connected(&reader, SIGNAL(connected()));
    QSignalSpy errors(&reader, SIGNAL(error(QAbstractSocket::SocketError)));
    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 1);
    // Each waits behind the other, but is sent only when its turn comes.
    send(reader, frame(1));
    send(reader, frame(2));
    QTRY_COMPARE_WITH_TIMEOUT(reader.bytesAvailable(), qint64(24), 8000);
    QCOMPARE(errors.count(), 0);
    QCOMPARE(reader.state(), QAbstractSocket::ConnectedState);
}

void tst_SocketReader::floodDropsTheLink()
{
    // Outlives the reader: closed while the worker runs, it would make the worker
    // emit into spies that are already gone.
    const std::unique_ptr<SimCabinet> sim(TestSupport::startSimulator(nullptr));
    SocketReader reader;
    QSignalSpy connected(&reader, SIGNAL(connected()));
    QSignalSpy errors(&reader, SIGNAL(error(QAbstractSocket::SocketError)));
    reader.connectToHost(sim->name(), sim->port());
    QTRY_COMPARE(connected.count(), 1);
    QTRY_COMPARE(sim->connectionCount(), 1);

    sim->sendUnrequested(4 * 1024 * 1024);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::SocketResourceError);
    QCOMPARE(reader.errorString(), QStringLiteral("Pump cabinet sent more data than requested"));
    QVERIFY2(reader.bytesAvailable() <= 2 * 64 * 1024, qPrintable(QString::number(reader.bytesAvailable())));
    QTRY_COMPARE(reader.state(), QAbstractSocket::UnconnectedState);
}

QTEST_GUILESS_MAIN(tst_SocketReader)
#include "tst_socketreader.moc"
