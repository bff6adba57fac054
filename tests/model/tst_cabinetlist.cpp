#include "cabinetlist.h"
#include "cabinetlistmodel.h"

#include "cabinet.h"
#include "cabinetprotocol.h"
#include "overviewmodel.h"
#include "rotorhead.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QtTest>

class tst_CabinetList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void relaysEventsAsRows();
    void errorOfACabinetOutsideTheRoster();
    void noActiveLoopsAcrossTheRoster();
    void tipSaysWhenLoopsOutrunTheCabinet();
    void modelShowsTheInstallation();
    void marksAndTipsFollowTheLink();
    void outOfRangeQuestions();
    void overviewFollowsTheRotorHeads();
};

void tst_CabinetList::initTestCase()
{
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    qRegisterMetaType<Cabinet *>();
}

void tst_CabinetList::relaysEventsAsRows()
{
    SimCabinet *sim = TestSupport::startSimulator(this, TestSupport::installationHost(12), 502);
    QObject owner;
    CabinetList list;
    QSignalSpy appended(&list, &CabinetList::childAppended);
    QSignalSpy changed(&list, &CabinetList::childHasChanged);
    QSignalSpy removed(&list, &CabinetList::childRemoved);
    for (int host = 10; host <= 12; ++host)
        list.appendCabinet(new Cabinet(TestSupport::installationHost(host), 4, &owner));
    QCOMPARE(appended.count(), 3);
    QCOMPARE(list.size(), 3);

    list.at(2)->connectToCabinet();
    QTRY_COMPARE(changed.count(), 2); // will connect, did connect
    QCOMPARE(changed.at(0), QVariantList({2}));
    QCOMPARE(changed.at(1), QVariantList({2}));

    // A refused cabinet: its error goes to the debug log and its row changes.
    QTest::ignoreMessage(QtDebugMsg, "\"Connection refused\"");
    list.at(0)->connectToCabinet();
    QTRY_COMPARE(changed.count(), 4);
    QCOMPARE(changed.at(3), QVariantList({0}));
    QCOMPARE(removed.count(), 0);
    delete sim;
}

void tst_CabinetList::errorOfACabinetOutsideTheRoster()
{
    CabinetList list;
    Cabinet member(TestSupport::installationHost(10), 4, nullptr);
    Cabinet outsider(TestSupport::installationHost(11), 4, nullptr);
    list.appendCabinet(&member);
    QVERIFY(connect(&outsider, SIGNAL(connectionError(Cabinet*,QString)),
                    &list, SLOT(childConnectError(Cabinet*,QString))));
    QSignalSpy changed(&list, &CabinetList::childHasChanged);
    QSignalSpy errors(&outsider, &Cabinet::connectionError);
    QTest::ignoreMessage(QtDebugMsg, "\"Connection refused\"");
    outsider.connectToCabinet();
    QVERIFY(errors.wait(5000));
    QCOMPARE(changed.count(), 0);
}

void tst_CabinetList::noActiveLoopsAcrossTheRoster()
{
    CabinetList list;
    QVERIFY(list.noActiveLoops());
    SimCabinet *sim = TestSupport::startSimulator(this, TestSupport::installationHost(15), 502);
    Cabinet idle(TestSupport::installationHost(14), 4, nullptr);
    Cabinet looping(TestSupport::installationHost(15), 4, nullptr);
    list.appendCabinet(&idle);
    list.appendCabinet(&looping);
    CabinetListModel model(&list, nullptr);

    QSignalSpy connected(&looping, &Cabinet::didConnect);
    looping.connectToCabinet();
    QVERIFY(connected.wait(5000));
    QTRY_COMPARE(sim->requests().size(), 12);
    RotorHead *head = looping.rotor(1);
    QVERIFY(list.noActiveLoops());
    head->setLoopMode(true);
    head->start();
    QVERIFY(head->isLoopRunning());
    QVERIFY(!list.noActiveLoops());
    QVERIFY(!model.noActiveLoops());
    head->stop();
    QVERIFY(list.noActiveLoops());
    QVERIFY(model.noActiveLoops());
    delete sim;
}

void tst_CabinetList::tipSaysWhenLoopsOutrunTheCabinet()
{
    SimCabinet *sim = TestSupport::startSimulator(this, TestSupport::installationHost(16), 502);
    CabinetList list;
    Cabinet cabinet(TestSupport::installationHost(16), 4, nullptr);
    list.appendCabinet(&cabinet);
    CabinetListModel model(&list, nullptr);
    QSignalSpy connected(&cabinet, &Cabinet::didConnect);
    cabinet.connectToCabinet();
    QVERIFY(connected.wait(5000));

    // Four 1 s loops want eight answers a second; at 0.3 s each they cannot have them.
    sim->setAnswerDelay(300);
    for (int i = 0; i < 4; ++i) {
        cabinet.rotor(i)->setLoopMode(true);
        cabinet.rotor(i)->start();
    }
    const QModelIndex row = model.index(0);
    QTRY_VERIFY_WITH_TIMEOUT(row.data(Qt::ToolTipRole).toString().endsWith(
            QLatin1String(" s: too slow for its loops)")), 8000);
    QVERIFY(row.data(Qt::StatusTipRole).toString().startsWith(
            QLatin1String("Connected to: 10.0.85.16 (answers take 0.")));
    for (int i = 0; i < 4; ++i)
        cabinet.rotor(i)->stop();
    QCOMPARE(row.data(Qt::ToolTipRole).toString(), QStringLiteral("Connected to: 10.0.85.16"));
    delete sim;
}

void tst_CabinetList::modelShowsTheInstallation()
{
    QObject owner;
    CabinetList list;
    CabinetListModel model(&list, nullptr);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    for (int host = 10; host <= 22; ++host)
        list.appendCabinet(new Cabinet(TestSupport::installationHost(host), 4, &owner));
    // Each append refreshes every row there is.
    QCOMPARE(changed.count(), 13);
    QCOMPARE(changed.last().at(0).toModelIndex().row(), 0);
    QCOMPARE(changed.last().at(1).toModelIndex().row(), 12);

    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QCOMPARE(model.rowCount(), 13);
    QCOMPARE(model.rowCount(model.index(3)), 0); // rows have no children
    for (int row = 0; row < 13; ++row) {
        const QModelIndex index = model.index(row);
        QCOMPARE(model.data(index, Qt::DisplayRole).toString(), TestSupport::installationHost(10 + row));
        QCOMPARE(model.data(index, Qt::EditRole), model.data(index, Qt::DisplayRole));
        QCOMPARE(model.data(index, Qt::DecorationRole).value<QColor>(), QColor(Qt::gray));
        QVERIFY(!model.data(index, Qt::ToolTipRole).isValid());
        QVERIFY(!model.data(index, Qt::StatusTipRole).isValid());
        QCOMPARE(model.cabinetAt(index), list.at(row));
    }
    QVERIFY(!model.headerData(0, Qt::Horizontal, Qt::DisplayRole).isValid());
    QVERIFY(!model.headerData(0, Qt::Vertical, Qt::DisplayRole).isValid());
}

void tst_CabinetList::marksAndTipsFollowTheLink()
{
    const QString host = TestSupport::installationHost(16);
    SimCabinet *sim = TestSupport::startSimulator(this, host, 502);
    QObject owner;
    CabinetList list;
    CabinetListModel model(&list, nullptr);
    for (int number = 10; number <= 22; ++number)
        list.appendCabinet(new Cabinet(TestSupport::installationHost(number), 4, &owner));
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy errors(list.at(6), &Cabinet::connectionError);
    const QModelIndex row = model.index(6);
    auto mark = [&] { return model.data(row, Qt::DecorationRole).value<QColor>(); };
    auto tip = [&] { return model.data(row, Qt::ToolTipRole).toString(); };

    // Connecting, held there by a listener that never takes the call.
    sim->setRefusing(true);
    {
        TestSupport::BlackHole hole{QHostAddress(host), 502};
        QVERIFY(hole.isReady());
        list.at(6)->connectToCabinet();
        QCOMPARE(mark(), QColor(Qt::yellow));
        QCOMPARE(tip(), QStringLiteral("Connecting to pump cabinet: 10.0.85.16"));
        QCOMPARE(model.data(row, Qt::StatusTipRole).toString(), tip());
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), row);
        QCOMPARE(changed.at(0).at(1).toModelIndex(), row);
    }
    // The hole closing ends that attempt with an error: red, with the socket's text
    // and when the link is tried again.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(".+")));
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(mark(), QColor(Qt::red));
    QCOMPARE(tip(), QStringLiteral("Error: %1. Next attempt in 2 s").arg(errors.at(0).at(1).toString()));

    // Refused: red with the refusal.
    QTest::ignoreMessage(QtDebugMsg, "\"Connection refused\"");
    list.at(6)->connectToCabinet();
    QTRY_COMPARE(errors.count(), 2);
    QCOMPARE(tip(), QStringLiteral("Error: Connection refused. Next attempt in 2 s"));
    QCOMPARE(mark(), QColor(Qt::red));

    // Activated again once the cabinet takes calls: green.
    sim->setRefusing(false);
    list.at(6)->connectToCabinet();
    QTRY_COMPARE(mark(), QColor(Qt::green));
    QCOMPARE(tip(), QStringLiteral("Connected to: 10.0.85.16"));
    QCOMPARE(model.data(model.index(5), Qt::DecorationRole).value<QColor>(), QColor(Qt::gray));
    delete sim;
}

void tst_CabinetList::outOfRangeQuestions()
{
    QObject owner;
    CabinetList list;
    CabinetListModel model(&list, nullptr);
    list.appendCabinet(new Cabinet(TestSupport::installationHost(10), 4, &owner));
    QVERIFY(!model.cabinetAt(QModelIndex()));
    QVERIFY(!model.data(QModelIndex(), Qt::DisplayRole).isValid());
    QVERIFY(!model.data(model.index(0), Qt::UserRole).isValid());
    QVERIFY(!model.cabinetAt(model.index(1)));
}

QTEST_GUILESS_MAIN(tst_CabinetList)
#include "tst_cabinetlist.moc"

void tst_CabinetList::overviewFollowsTheRotorHeads()
{
    SimCabinet *sim = TestSupport::startSimulator(this, TestSupport::installationHost(12), 502);
    QObject owner;
    CabinetList list;
    CabinetListModel tips(&list, nullptr);
    OverviewModel overview(&list, &tips, nullptr);
    QAbstractItemModelTester tester(&overview, QAbstractItemModelTester::FailureReportingMode::QtTest);
    list.appendCabinet(new Cabinet(TestSupport::installationHost(11), 4, &owner));
    Cabinet *cabinet = new Cabinet(TestSupport::installationHost(12), 4, &owner);
    list.appendCabinet(cabinet);
    QCOMPARE(overview.rowCount(), 2);
    QCOMPARE(overview.columnCount(), 5);
    QCOMPARE(overview.headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Rotor 4"));
    const auto text = [&](int rotor) { return overview.indexOf(cabinet, rotor).data().toString(); };
    QCOMPARE(text(-1), QStringLiteral("10.0.85.12\nnot connected"));
    QCOMPARE(text(0), QStringLiteral("not known\nloop off"));
    QCOMPARE(overview.indexOf(cabinet, 0).data(OverviewModel::StateCodeRole).toInt(), -1);
    QCOMPARE(overview.counts().notConnected, 2);

    QSignalSpy changed(&overview, &QAbstractItemModel::dataChanged);
    cabinet->connectToCabinet();
    QTRY_COMPARE(overview.counts().stopped, 4);
    QCOMPARE(overview.counts().notConnected, 1);
    QCOMPARE(text(0), QStringLiteral("STOPPED\n0 cRPM CW \u00B7 loop off"));
    QCOMPARE(overview.indexOf(cabinet, -1).data(OverviewModel::KindRole).toInt(), int(OverviewModel::Connected));

    // An emergency stop and a code no table names are faults; only their cells change.
    changed.clear();
    sim->setRotorState(1, CabinetProtocol::EmergencyStop);
    sim->setRotorState(3, 9);
    QTRY_COMPARE(overview.counts().faults, 2);
    QCOMPARE(overview.counts().stopped, 2);
    QCOMPARE(text(1), QStringLiteral("EMERGENCY STOP\n0 cRPM CW \u00B7 loop off"));
    QCOMPARE(text(3), QStringLiteral("UNKOWN STATE\n0 cRPM CW \u00B7 loop off"));
    QCOMPARE(overview.indexOf(cabinet, 1).data(OverviewModel::StateCodeRole).toInt(), 2);
    QCOMPARE(overview.indexOf(cabinet, 1).data(OverviewModel::KindRole).toInt(), int(OverviewModel::Fault));
    QVERIFY(RotorHead::isFaultState(cabinet->rotor(3)->stateCode()));
    QSet<QPair<int, int>> cellsChanged;
    for (const QList<QVariant> &args : qAsConst(changed)) {
        const QModelIndex cell = args.at(0).toModelIndex();
        QCOMPARE(args.at(1).toModelIndex(), cell);
        cellsChanged.insert(qMakePair(cell.row(), cell.column()));
    }
    QCOMPARE(cellsChanged, (QSet<QPair<int, int>>{{1, 2}, {1, 4}}));

    // A cabinet answering late: a state older than 3 s shows its age.
    sim->setAnswerDelay(2000);
    QTRY_VERIFY_WITH_TIMEOUT(text(0).startsWith(QStringLiteral("STOPPED, ")), 10000);
    QVERIFY2(QRegularExpression(QStringLiteral("^STOPPED, [3-9] s ago\n")).match(text(0)).hasMatch(),
             qPrintable(text(0)));
    QCOMPARE(overview.indexOf(cabinet, 0).data(OverviewModel::KindRole).toInt(), int(OverviewModel::Stale));

    // Marked for whoever needs it to stand out.
    overview.setMarked(cabinet, 2, true);
    QVERIFY(overview.indexOf(cabinet, 2).data(OverviewModel::MarkedRole).toBool());
    QVERIFY(!overview.indexOf(cabinet, 1).data(OverviewModel::MarkedRole).toBool());
    delete sim;
}
