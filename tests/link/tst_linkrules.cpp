// The link's own rules, without sockets or threads: what goes on the wire next,
// when an answer is due, and which request an answer is for.

#include "answerdeadline.h"
#include "cabinetframe.h"
#include "requestbook.h"
#include "sendqueue.h"

#include "testsupport.h"

#include <QtTest>

using namespace CabinetProtocol;

class tst_LinkRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void sendOrder_data();
    void sendOrder();
    void answerDeadline();
    void answerGoesOnlyToTheRequestOnTheWire();
    void outOfStepAndExceptionsInARow();
    void repeatsAreNotQueued();
};

namespace {

// "R5:1:0" reads register 0 of unit 1 as transaction 5; "W6:1:7:1" writes 1 to it.
QByteArray frameFor(const QString &text)
{
    const QStringList parts = text.mid(1).split(QLatin1Char(':'));
    const bool write = text.startsWith(QLatin1Char('W'));
    return CabinetFrame::request(quint16(parts.value(0).toInt()), parts.value(1).toInt(),
                                 write ? WriteSingleRegister : ReadInputRegister,
                                 parts.value(2).toInt(), quint16(write ? parts.value(3).toInt() : 1));
}

PendingRequest read(quint16 id, int reg, QObject *receiver, const char *slot, int unit = 0)
{
    return PendingRequest{receiver, slot, id, reg, unit, false, 0};
}

PendingRequest command(quint16 id, int reg, quint16 value, int unit = 0)
{
    return PendingRequest{nullptr, nullptr, id, reg, unit, true, value};
}

CabinetFrame::Frame answerTo(quint16 id, quint16 value = 0)
{
    CabinetFrame::Frame answer;
    CabinetFrame::decodeAnswer(CabinetFrame::readAnswer(id, 0, value).constData(), FrameSize, &answer);
    return answer;
}

} // namespace

void tst_LinkRules::sendOrder_data()
{
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("sent");

    // Steps: a frame handed over; "-N" withdraws N (refused when on the wire: "!N");
    // "T" writes the next, "." when none is left.
    QTest::newRow("commands pass waiting reads, each in its own order")
            << "R1:1:0 R2:1:2 W3:1:2:1500 R4:1:3 W5:1:7:0 T T T T T T" << "3 5 1 2 4 .";
    QTest::newRow("a withdrawn request never goes out")
            << "W1:0:7:0 R2:0:0 -1 T T" << "2 .";
    QTest::newRow("a replacing command keeps the replaced one's turn")
            << "W1:0:2:800 W2:1:7:1 -1 W3:0:2:1200 T T T" << "3 2 .";
    QTest::newRow("while reads wait, four commands in a row, then the oldest read")
            << "R1:0:0 R2:1:0 W3:0:2:1 W4:1:2:1 W5:2:2:1 W6:3:2:1 W7:0:3:1 T T T T T T T"
            << "3 4 5 6 1 7 2";
    QTest::newRow("a Stop is not held back for the reads")
            << "R1:0:0 W2:0:2:1 W3:1:2:1 W4:2:2:1 W5:3:2:1 W6:2:7:1 T T T T T T"
            << "2 3 4 5 6 1";
    QTest::newRow("nor are the commands ahead of a Stop")
            << "R1:0:0 W2:0:2:1 W3:1:2:1 W4:2:2:1 W5:3:2:1 W6:0:3:1 W7:1:3:1 W8:2:7:1 R9:1:0 T T T T T T T T T"
            << "2 3 4 5 6 7 8 1 9";
    QTest::newRow("a request on the wire cannot be withdrawn")
            << "R1:0:0 T !1 R2:0:0 T" << "1 2";
}

void tst_LinkRules::sendOrder()
{
    QFETCH(QString, steps);
    QFETCH(QString, sent);

    QList<QByteArray> frames;
    SendQueue queue(frames);
    QStringList out;
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        if (step == QLatin1String("T")) {
            const QByteArray frame = queue.takeNext();
            CabinetFrame::Frame request;
            QCOMPARE(CabinetFrame::decodeRequest(frame.constData(), frame.size(), &request),
                     frame.isEmpty() ? 0 : FrameSize);
            out << (frame.isEmpty() ? QStringLiteral(".") : QString::number(request.transactionId));
            if (!frame.isEmpty())
                QVERIFY(queue.isOnWire(request.transactionId));
        } else if (step.startsWith(QLatin1Char('-')) || step.startsWith(QLatin1Char('!'))) {
            QCOMPARE(queue.withdraw(quint16(step.mid(1).toInt())), step.startsWith(QLatin1Char('-')));
        } else {
            queue.add(frameFor(step));
        }
    }
    QCOMPARE(out.join(QLatin1Char(' ')), sent);
}

void tst_LinkRules::answerDeadline()
{
    AnswerDeadline deadline;
    QCOMPARE(deadline.nextDue(), qint64(-1));
    deadline.sent(0);
    deadline.sent(100);
    QCOMPARE(deadline.nextDue(), qint64(3000));

    // An answer counts once it is complete, whatever pieces it comes in.
    const QByteArray answer = CabinetFrame::readAnswer(0, 0, 7);
    QCOMPARE(deadline.received(answer.constData(), 5, 40), 0);
    QCOMPARE(deadline.received(answer.constData() + 5, 7, 50), 1);
    QCOMPARE(deadline.answerMs(), qint64(50));
    QCOMPARE(deadline.nextDue(), qint64(3100));
    QVERIFY(!deadline.hasPassed(3099));
    QVERIFY(deadline.hasPassed(3100));

    // A new deadline applies to the request already on the wire.
    deadline.setTimeout(1000);
    QCOMPARE(deadline.nextDue(), qint64(1100));

    // A 9-byte exception answer is complete; bytes with nothing on the wire answer
    // nothing sent later.
    const QByteArray exception = CabinetFrame::exceptionAnswer(1, 0, ReadInputRegister, 2);
    QCOMPARE(deadline.received((exception + answer).constData(), exception.size() + 5, 400), 1);
    QVERIFY(!deadline.isWaiting());
    deadline.sent(500);
    QCOMPARE(deadline.received(answer.constData(), FrameSize, 520), 1);
    QCOMPARE(deadline.answerMs(), qint64((3 * ((3 * 50 + 300) / 4) + 20) / 4));
}

void tst_LinkRules::answerGoesOnlyToTheRequestOnTheWire()
{
    QObject asker;
    QList<PendingRequest> pending;
    QList<quint16> wire{1};
    RequestBook book(pending, [&](quint16 id) { return wire.contains(id); },
                     [&](quint16 id) { return !wire.contains(id); });
    pending << read(1, StateRegister, &asker, "1stateReply(int,QString)")
            << read(2, CrpmRegister, &asker, "1crpmReply(int)");

    // It names the other waiting request, but answers the one on the wire: one
    // register's value must not reach the asker of another.
    RequestBook::Outcome outcome = book.take(answerTo(2, 1500), 1);
    QCOMPARE(int(outcome.verdict), int(RequestBook::Verdict::OutOfStep));
    QCOMPARE(pending.size(), 1);
    QCOMPARE(pending.at(0).transactionId, quint16(2));

    outcome = book.take(answerTo(2, 1500), 2);
    QCOMPARE(int(outcome.verdict), int(RequestBook::Verdict::Answered));
    QCOMPARE(outcome.request.kind, int(CrpmRegister));
    QVERIFY(pending.isEmpty());
}

void tst_LinkRules::outOfStepAndExceptionsInARow()
{
    QObject asker;
    QList<PendingRequest> pending;
    RequestBook book(pending, [](quint16) { return true; }, [](quint16) { return false; });
    auto takeAnswer = [&](quint16 id, const CabinetFrame::Frame &answer) {
        pending << read(id, CrpmRegister, &asker, "1crpmReply(int)");
        return book.take(answer, id).verdict;
    };
    using Verdict = RequestBook::Verdict;
    CabinetFrame::Frame wrong = answerTo(99);
    CabinetFrame::Frame exception;
    CabinetFrame::Frame badCount;

    // Two misses, then a match: still in step; the third miss in a row drops the link.
    QCOMPARE(takeAnswer(1, wrong), Verdict::OutOfStep);
    QCOMPARE(takeAnswer(2, wrong), Verdict::OutOfStep);
    QCOMPARE(takeAnswer(3, answerTo(3)), Verdict::Answered);
    QCOMPARE(takeAnswer(4, wrong), Verdict::OutOfStep);
    QCOMPARE(book.unasked(-1).verdict, Verdict::OutOfStep);
    QCOMPARE(takeAnswer(5, wrong), Verdict::DropForMismatches);
    QVERIFY(pending.isEmpty());

    // Exceptions take their request; three in a row mean the cabinet will not take them.
    for (quint16 id = 6; id <= 8; ++id) {
        CabinetFrame::decodeAnswer(CabinetFrame::exceptionAnswer(id, 0, ReadInputRegister, 4).constData(),
                                   ExceptionFrameSize, &exception);
        QCOMPARE(exception.exceptionCode(), 4);
        QCOMPARE(takeAnswer(id, exception), id < 8 ? Verdict::Exception : Verdict::DropForExceptions);
    }
    CabinetFrame::decodeAnswer(CabinetFrame::readAnswer(9, 0, 44, 3).constData(), FrameSize, &badCount);
    QCOMPARE(takeAnswer(9, badCount), Verdict::BadByteCount);
    QVERIFY(pending.isEmpty());
}

void tst_LinkRules::repeatsAreNotQueued()
{
    QObject asker;
    QList<PendingRequest> pending;
    QList<quint16> wire;
    QList<quint16> withdrawn;
    RequestBook book(pending, [&](quint16 id) { return wire.contains(id); },
                     [&](quint16 id) { return !wire.contains(id) && (withdrawn << id, true); });

    // A poll asked again while it waits to go out is the same question; one on the
    // wire is asked again, as its answer may predate what was asked since.
    const char *slot = "1stateReply(int,QString)";
    QVERIFY(!book.isAskedAlready(StateRegister, 0, &asker, slot));
    pending << read(1, StateRegister, &asker, slot);
    QVERIFY(book.isAskedAlready(StateRegister, 0, &asker, slot));
    QVERIFY(!book.isAskedAlready(StateRegister, 1, &asker, slot));
    QVERIFY(!book.isAskedAlready(StateRegister, 0, &asker, "1otherStateReply(int,QString)"));
    wire << 1;
    QVERIFY(!book.isAskedAlready(StateRegister, 0, &asker, slot));

    // A command for a register whose last command still waits to go out is not
    // queued behind it: the same is not repeated, another one replaces it.
    QVERIFY(book.addCommand(command(2, RunRegister, RunStop)));
    QVERIFY(!book.addCommand(command(3, RunRegister, RunStop)));
    QVERIFY(book.addCommand(command(4, RunRegister, RunStart)));
    QCOMPARE(withdrawn, QList<quint16>({2}));
    QVERIFY(book.addCommand(command(5, RunRegister, RunStop, 1)));
    QVERIFY(book.isWritePending(0, RunRegister));
    QVERIFY(!book.isWritePending(0, CrpmRegister));
    // One on the wire is followed, not replaced.
    wire << 4;
    QVERIFY(book.addCommand(command(6, RunRegister, RunStop)));
    QVERIFY(book.addCommand(command(7, RunRegister, RunStop)) == false);
    QStringList ids;
    for (const PendingRequest &request : qAsConst(pending))
        ids << QString::number(request.transactionId);
    QCOMPARE(ids, QStringList({"1", "4", "5", "6"}));
}

QTEST_GUILESS_MAIN(tst_LinkRules)
#include "tst_linkrules.moc"
