#include "rotorwidgetcontroller.h"

#include "cabinetprotocol.h"
#include "motorclient.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

using namespace CabinetProtocol;

class tst_RotorWidgetController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void init();
    void cleanup();

    void refreshShowsDashesUntilTheFirstState();
    void startWritesTheBoxSpeedFirst();
    void pressWhileRunningOrLoopingStopsOnly();
    void speedEditsStopAndCommitWritesTheSpeed();
    void answersDoNotOverrideTyping();
    void directionRoundTrip();
    void loopControlsReachTheRotor();
    void reattachingMovesThePoll();
    void stopWithoutALinkIsKept();
    void refusedCommandShownTillOneOfItsKindIsConfirmed();
    void loopActsOnFreshInput();

private:
    void attach(int rotor);
    QStringList requestsOf(int unit) const;

    SimCabinet *sim = nullptr;
    std::unique_ptr<MotorClient> client;
    QList<RotorHead *> heads;
    std::unique_ptr<QWidget> window;
    RotorWidget *panel = nullptr;
    QPushButton *elsewhere = nullptr;
    RotorWidgetController *controller = nullptr;
};

void tst_RotorWidgetController::init()
{
    sim = TestSupport::startSimulator(this);
    client = std::make_unique<MotorClient>(sim->name(), sim->port());
    window = std::make_unique<QWidget>();
    for (int i = 0; i < 2; ++i)
        heads.append(new RotorHead(client.get(), i, window.get()));
    auto *layout = new QVBoxLayout(window.get());
    panel = new RotorWidget(window.get());
    elsewhere = new QPushButton(QStringLiteral("elsewhere"), window.get());
    layout->addWidget(panel);
    layout->addWidget(elsewhere);
    controller = new RotorWidgetController(panel, window.get());
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));

    QSignalSpy refreshed(heads.last(), &RotorHead::directionChanged);
    client->connectToHost();
    QVERIFY(refreshed.wait(5000));
    sim->clearRequests();
}

void tst_RotorWidgetController::cleanup()
{
    window.reset();
    heads.clear();
    client.reset();
    delete sim;
}

void tst_RotorWidgetController::attach(int rotor)
{
    controller->setRotor(heads.at(rotor));
    controller->refresh();
    QTRY_VERIFY(panel->ui.rotorBtn->isEnabled());
    QTRY_VERIFY(panel->ui.cwBtn->isChecked() || panel->ui.ccwBtn->isChecked());
    sim->clearRequests();
}

// What the simulator received for one unit, in words.
QStringList tst_RotorWidgetController::requestsOf(int unit) const
{
    QStringList words;
    for (const SimCabinet::Request &r : sim->requests()) {
        if (r.unit != unit)
            continue;
        if (r.function == ReadInputRegister)
            words << QStringLiteral("read %1").arg(r.reg);
        else if (r.reg == RunRegister)
            words << (r.value == RunStart ? QStringLiteral("start") : QStringLiteral("stop"));
        else
            words << QStringLiteral("write %1=%2").arg(r.reg).arg(r.value);
    }
    return words;
}

void tst_RotorWidgetController::refreshShowsDashesUntilTheFirstState()
{
    sim->setRotorState(1, 6);
    controller->setRotor(heads.at(1));
    controller->refresh();
    const Ui::rotorWidget &ui = panel->ui;
    QCOMPARE(ui.rotorInfoLbl->text(), QStringLiteral("-"));
    QCOMPARE(ui.rotorBtn->text(), QStringLiteral("-"));
    QVERIFY(!ui.rotorBtn->isEnabled());
    QVERIFY(!ui.rotorSpeedBox->isEnabled());
    QVERIFY(!ui.cwBtn->isChecked() && !ui.ccwBtn->isChecked());
    QVERIFY(!ui.loopEnableCheck->isEnabled());

    QTRY_VERIFY(ui.rotorBtn->isEnabled());
    QCOMPARE(ui.rotorInfoLbl->text(), QStringLiteral("PRIMING"));
    QCOMPARE(ui.rotorBtn->text(), QStringLiteral("Start"));
    for (QWidget *control : {static_cast<QWidget *>(ui.rotorSpeedBox), static_cast<QWidget *>(ui.ccwBtn),
                             static_cast<QWidget *>(ui.cwBtn), static_cast<QWidget *>(ui.loopEnableCheck),
                             static_cast<QWidget *>(ui.onTimeBox), static_cast<QWidget *>(ui.offTimeBox)})
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
    QTRY_VERIFY(ui.cwBtn->isChecked());
    QCOMPARE(ui.rotorSpeedBox->value(), 0);
    QCOMPARE(requestsOf(1), QStringList({"read 2", "read 0", "read 3"}));
}

void tst_RotorWidgetController::startWritesTheBoxSpeedFirst()
{
    attach(0);
    panel->committedCrpm = 800;
    panel->ui.rotorSpeedBox->setValue(800);
    QTest::mouseClick(panel->ui.rotorBtn, Qt::LeftButton);
    QVERIFY(!panel->ui.rotorBtn->isEnabled());
    QCOMPARE(panel->ui.rotorBtn->text(), QStringLiteral("-"));
    QTRY_VERIFY(panel->ui.rotorBtn->isEnabled());
    QCOMPARE(panel->ui.rotorBtn->text(), QStringLiteral("Stop"));
    QCOMPARE(panel->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING"));
    QCOMPARE(requestsOf(0), QStringList({"write 2=800", "start", "read 0"}));
}

void tst_RotorWidgetController::pressWhileRunningOrLoopingStopsOnly()
{
    attach(0);
    QTest::mouseClick(panel->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(panel->ui.rotorBtn->text(), QStringLiteral("Stop"));
    sim->clearRequests();
    // By keyboard: the button gets its focus back with the answer.
    panel->ui.rotorBtn->setFocus();
    QTest::keyClick(panel->ui.rotorBtn, Qt::Key_Space);
    QVERIFY(!panel->ui.rotorBtn->hasFocus());
    QTRY_COMPARE(panel->ui.rotorBtn->text(), QStringLiteral("Start"));
    QVERIFY(panel->ui.rotorBtn->hasFocus());
    QCOMPARE(requestsOf(0), QStringList({"stop", "read 0"}));

    // In a loop's pause the rotor stands, yet the button stops the loop.
    heads.at(0)->setLoopMode(true);
    heads.at(0)->start();
    QVERIFY(heads.at(0)->isLoopRunning());
    QTRY_COMPARE(panel->ui.rotorBtn->text(), QStringLiteral("Stop"));
    sim->clearRequests();
    QTest::mouseClick(panel->ui.rotorBtn, Qt::LeftButton);
    QVERIFY(!heads.at(0)->isLoopRunning());
    QTRY_COMPARE(panel->ui.rotorBtn->text(), QStringLiteral("Start"));
    QCOMPARE(requestsOf(0).first(), QStringLiteral("stop"));
    QVERIFY(!requestsOf(0).contains(QStringLiteral("start")));
}

void tst_RotorWidgetController::speedEditsStopAndCommitWritesTheSpeed()
{
    attach(1);
    QSpinBox *box = panel->ui.rotorSpeedBox;
    QSignalSpy edits(panel, &RotorWidget::willChangeCrpm);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("1500"));
    QTest::keyClick(box, Qt::Key_Return);
    QTRY_COMPARE(sim->rotorSpeed(1), 1500);
    // The edit stopped the rotor once, however many keys it took; Enter wrote the
    // speed once, though moving the focus finishes the edit a second time.
    const QStringList sent = requestsOf(1);
    QVERIFY(edits.count() >= 4);
    QCOMPARE(sent.count(QStringLiteral("stop")), 1);
    QCOMPARE(sent.count(QStringLiteral("write 2=1500")), 1);
    QCOMPARE(sent.last(), QStringLiteral("write 2=1500"));
    QVERIFY(!sent.contains(QStringLiteral("start")));
    QVERIFY(panel->ui.rotorBtn->hasFocus());
}

void tst_RotorWidgetController::answersDoNotOverrideTyping()
{
    attach(0);
    QSpinBox *box = panel->ui.rotorSpeedBox;
    heads.at(0)->setCrpm(2200);
    QSignalSpy speeds(heads.at(0), &RotorHead::crpmChanged);
    heads.at(0)->queryCrpm();
    QVERIFY(speeds.wait(5000));
    QCOMPARE(box->value(), 2200);

    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("12"));
    heads.at(0)->queryCrpm();
    QVERIFY(speeds.wait(5000));
    QCOMPARE(box->value(), 12);

    // Leaving the box commits 12; an answer equal to the box changes nothing,
    // not even the committed speed.
    elsewhere->setFocus();
    QTRY_COMPARE(sim->rotorSpeed(0), 12);
    panel->committedCrpm = 7;
    heads.at(0)->queryCrpm();
    QVERIFY(speeds.wait(5000));
    QCOMPARE(panel->committedCrpm, 7);
}

void tst_RotorWidgetController::directionRoundTrip()
{
    attach(1);
    QTest::mouseClick(panel->ui.ccwBtn, Qt::LeftButton);
    QTRY_COMPARE(requestsOf(1), QStringList({"write 3=1", "read 3"}));
    QCOMPARE(sim->rotorDirection(1), 1);
    QTRY_VERIFY(panel->ui.ccwBtn->isChecked());
    QVERIFY(!panel->ui.cwBtn->isChecked());

    QTest::mouseClick(panel->ui.cwBtn, Qt::LeftButton);
    QTRY_COMPARE(sim->rotorDirection(1), 0);
    QTRY_VERIFY(panel->ui.cwBtn->isChecked());
}

void tst_RotorWidgetController::loopControlsReachTheRotor()
{
    attach(0);
    for (QSpinBox *box : {panel->ui.onTimeBox, panel->ui.offTimeBox}) {
        box->setFocus();
        box->selectAll();
        QTest::keyClicks(box, box == panel->ui.onTimeBox ? QStringLiteral("5") : QStringLiteral("7"));
        QTest::keyClick(box, Qt::Key_Return);
    }
    TestSupport::clickCheckBox(panel->ui.loopEnableCheck);
    RotorHead *head = heads.at(0);
    QVERIFY(head->loopModeEnabled());
    QCOMPARE(head->loopRunSecs(), 5);
    QCOMPARE(head->loopPauseSecs(), 7);

    // Another rotor shows its own loop settings; coming back shows these again.
    attach(1);
    QCOMPARE(panel->ui.loopEnableCheck->checkState(), Qt::Unchecked);
    QCOMPARE(panel->ui.onTimeBox->value(), 1);
    QVERIFY(head->loopModeEnabled());
    attach(0);
    QCOMPARE(panel->ui.loopEnableCheck->checkState(), Qt::Checked);
    QCOMPARE(panel->ui.offTimeBox->value(), 7);
}

void tst_RotorWidgetController::reattachingMovesThePoll()
{
    attach(0);
    attach(1);
    QTRY_VERIFY_WITH_TIMEOUT(requestsOf(1).contains(QStringLiteral("read 0")), 3000);
    QTest::qWait(1200);
    QVERIFY(requestsOf(0).isEmpty());
    const int polls = requestsOf(1).count(QStringLiteral("read 0"));
    QVERIFY2(polls >= 2 && polls <= 3, qPrintable(QString::number(polls)));
}

void tst_RotorWidgetController::stopWithoutALinkIsKept()
{
    attach(0);
    const Ui::rotorWidget &ui = panel->ui;
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorBtn->text(), QStringLiteral("Stop"));
    sim->dropConnections();
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("NOT CONNECTED")); // by the next poll
    QVERIFY(ui.rotorBtn->isEnabled() && ui.loopEnableCheck->isEnabled());
    QVERIFY(!ui.rotorSpeedBox->isEnabled() && !ui.cwBtn->isEnabled() && !ui.ccwBtn->isEnabled());

    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QVERIFY(heads.at(0)->hasKeptStop());
    QCOMPARE(ui.rotorInfoLbl->text(), QStringLiteral("NOT CONNECTED\nSTOP WAITING"));
    QCOMPARE(sim->rotorState(0), 0);

    // Back: the stop is the first thing the rotor hears.
    sim->clearRequests();
    client->connectToHost();
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
    QCOMPARE(requestsOf(0).first(), QStringLiteral("stop"));
    QVERIFY(!heads.at(0)->hasKeptStop());
    QCOMPARE(ui.rotorBtn->text(), QStringLiteral("Start"));
}

void tst_RotorWidgetController::refusedCommandShownTillOneOfItsKindIsConfirmed()
{
    attach(0);
    const Ui::rotorWidget &ui = panel->ui;
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorBtn->text(), QStringLiteral("Stop"));

    // The Stop refused, then the direction: each on its own line below the state.
    sim->rejectWrites(RunRegister, 1);
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("RUNNING\nSTOP REFUSED (Modbus exception 4)"));
    QCOMPARE(sim->rotorState(0), 0);
    sim->rejectWrites(DirectionRegister, 1);
    QTest::mouseClick(ui.ccwBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("RUNNING\nSTOP REFUSED (Modbus exception 4)\n"
                                                         "DIRECTION REFUSED (Modbus exception 4)"));
    // Kept while the panel shows another rotor, and the state is asked again.
    attach(1);
    QCOMPARE(ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
    attach(0);
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("RUNNING\nSTOP REFUSED (Modbus exception 4)\n"
                                                         "DIRECTION REFUSED (Modbus exception 4)"));

    // A Stop confirmed ends the Stop's line; the direction's stays.
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("STOPPED\nDIRECTION REFUSED (Modbus exception 4)"));
    QTest::mouseClick(ui.ccwBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
}

void tst_RotorWidgetController::loopActsOnFreshInput()
{
    attach(0);
    const Ui::rotorWidget &ui = panel->ui;
    RotorHead *head = heads.at(0);
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(ui.rotorBtn->text(), QStringLiteral("Stop"));

    // Stop, and Loop mode ticked before the panel heard of the stop: the rotor stays.
    QTest::mouseClick(ui.rotorBtn, Qt::LeftButton);
    TestSupport::clickCheckBox(ui.loopEnableCheck);
    QTRY_COMPARE(ui.rotorBtn->text(), QStringLiteral("Start"));
    QTest::qWait(200);
    QVERIFY(head->loopModeEnabled());
    QVERIFY(!head->isLoopRunning());
    QCOMPARE(requestsOf(0).count(QStringLiteral("start")), 1);

    // A time takes effect once the box is left or Enter pressed, not at every key.
    QSpinBox *on = ui.onTimeBox;
    on->setFocus();
    on->selectAll();
    QTest::keyClicks(on, QStringLiteral("12"));
    QCOMPARE(head->loopRunSecs(), 1);
    QTest::keyClick(on, Qt::Key_Return);
    QCOMPARE(head->loopRunSecs(), 12);
    ui.offTimeBox->setFocus();
    ui.offTimeBox->selectAll();
    QTest::keyClicks(ui.offTimeBox, QStringLiteral("30"));
    QCOMPARE(head->loopPauseSecs(), 1);
    elsewhere->setFocus();
    QCOMPARE(head->loopPauseSecs(), 30);
}

QTEST_MAIN(tst_RotorWidgetController)
#include "tst_rotorwidgetcontroller.moc"
