#include "appdriver.h"

#include "alarmpanel.h"
#include "appcontroller.h"
#include "cabinet.h"
#include "cabinetprotocol.h"
#include "history.h"
#include "historydatabase.h"
#include "historypanel.h"
#include "mainwindow.h"
#include "mainwindowcontroller.h"
#include "overviewmodel.h"
#include "overviewview.h"
#include "plantnames.h"
#include "recoverydialog.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "singleinstance.h"
#include "startup.h"
#include "stopalldialog.h"
#include "stoprun.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QScrollBar>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QHeaderView>
#include <QMessageBox>
#include <QStatusBar>
#include <QTableView>
#include <QTreeWidget>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace CabinetProtocol;

// The whole program against thirteen simulated cabinets at the installation's
// addresses, driven through its window as an operator would.
class tst_Application : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startsWithThirteenGrayRowsAndNoConnection();
    void activationConnectsAndAClickShows();
    void startOnAPanelWritesSpeedThenStart();
    void loopRunsUntilAnEmergencyStop();
    void loopWhoseStopIsRefusedTwice();
    void stopAllPumps();
    void overviewShowsAnEmergencyStopOnAnyCabinet();
    void windowHasRoomForTheOverviewAndTheHistory();
    void closeAsksWhileLoopsRun();
    void closeNamesRotorsWhoseStopFailed_data();
    void closeNamesRotorsWhoseStopFailed();
    void closeSendsTheCommandsThatWait();
    void signalEndsAsTheCloseDoes();
    void identifyShowsWhatTheCabinetConfirms();
    void refusedCabinetIsTriedAgainUntilItConnects();
    void oneProgramPerWorkstation();
    void historyOfASession();
    void damagedHistoryIsMovedAsideControlGoesOn();
    void historyHeldAtTheEndIsWrittenAtTheNextStart();
    void alarmRaisedCommandedClearedAndKeptUntilAcknowledged();

private:
    MainWindow *window() const { return driver->window(); }
    QListView *list() const { return driver->list(); }
    RotorWidget *panel(int number) const { return driver->panel(number); }
    QString text(const char *labelName) const { return driver->labelText(labelName); }
    void click(int row, bool twice = false) { driver->click(row, twice); }
    void showConnected(int row) { QVERIFY(driver->showConnected(row)); }
    QStringList runCommands(int host, int unit) const;
    QStringList historyRows() const;

    std::unique_ptr<AppDriver> driver;
};

void tst_Application::initTestCase()
{
    qRegisterMetaType<Cabinet *>();
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    Startup::setIdentity();
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_Application::init()
{
    driver = std::make_unique<AppDriver>(this);
    QVERIFY(window()->isVisible());
}

void tst_Application::cleanup()
{
    driver.reset();
    TestSupport::forgetDialogAnswers();
}

QStringList tst_Application::runCommands(int host, int unit) const
{
    QStringList commands;
    for (const SimCabinet::Request &r : driver->sim(host - 10)->requests()) {
        if (r.unit == unit && r.function == WriteSingleRegister && r.reg == RunRegister)
            commands << (r.value == RunStart ? QStringLiteral("start") : QStringLiteral("stop"));
    }
    return commands;
}

void tst_Application::startsWithThirteenGrayRowsAndNoConnection()
{
    QAbstractItemModel *model = list()->model();
    QCOMPARE(model->rowCount(), 13);
    for (int row = 0; row < 13; ++row) {
        const QModelIndex index = model->index(row, 0);
        QCOMPARE(index.data().toString(), TestSupport::installationHost(10 + row));
        QCOMPARE(index.data(Qt::DecorationRole).value<QColor>(), QColor(Qt::gray));
        QVERIFY(!index.data(Qt::ToolTipRole).isValid());
    }
    QCOMPARE(window()->statusBar()->findChild<QLabel *>()->text(), QStringLiteral("Tavrel Control " TAVREL_VERSION));

    // At the smallest window every address reads in full, with room for the scroll bar.
    window()->resize(window()->minimumSize());
    QTRY_COMPARE(window()->size(), window()->minimumSize());
    const int scrollBar = list()->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list());
    for (int row = 0; row < 13; ++row) {
        const QModelIndex index = model->index(row, 0);
        QVERIFY2(list()->sizeHintForIndex(index).width() + scrollBar <= list()->viewport()->width(),
                 qPrintable(index.data().toString()));
    }
    QVERIFY(!list()->horizontalScrollBar()->isVisible());
    QCOMPARE(panel(1)->ui.rotorInfoLbl->text(), QStringLiteral("-"));
    QTest::qWait(100);
    for (int row = 0; row < 13; ++row)
        QCOMPARE(driver->sim(row)->connectionCount(), 0);
}

void tst_Application::activationConnectsAndAClickShows()
{
    SimCabinet *sim = driver->sim(2);
    sim->setRotorState(0, 5);
    sim->setRotorState(3, 7);

    // Enter connects the cabinet without putting it on display.
    driver->pressEnterOn(2);
    QTRY_COMPARE(sim->connectionCount(), 1);
    QTRY_COMPARE(list()->model()->index(2, 0).data(Qt::DecorationRole).value<QColor>(), QColor(Qt::green));
    QCOMPARE(list()->model()->index(2, 0).data(Qt::ToolTipRole).toString(),
             QStringLiteral("Connected to: 10.0.85.12"));
    QTRY_COMPARE(sim->requests().size(), 12); // speed, state, direction of each rotor
    QCOMPARE(panel(1)->ui.rotorInfoLbl->text(), QStringLiteral("-"));
    QCOMPARE(text("tempLbl"), QStringLiteral("-"));

    // A click shows it: rotor1 is rotor 0, rotor4 is rotor 3.
    click(2);
    QTRY_COMPARE(panel(1)->ui.rotorInfoLbl->text(), QStringLiteral("PAUSED"));
    QTRY_COMPARE(panel(4)->ui.rotorInfoLbl->text(), QStringLiteral("TEMPERATURE STOP"));
    QCOMPARE(panel(2)->ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
    QTRY_COMPARE(text("tempLbl"), QStringLiteral("23.5 \u00B0C"));
    QPushButton *identify = driver->identifyButton();
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(!identify->isChecked());

    // A second click on the current row asks nothing again.
    const int before = sim->requests().size();
    click(2);
    QTest::qWait(100);
    for (const SimCabinet::Request &r : sim->requests().mid(before))
        QCOMPARE(r.reg, int(StateRegister)); // panel polls only

    // Moving the current row by keyboard does not change what is shown.
    list()->setCurrentIndex(list()->model()->index(4, 0));
    QTest::qWait(50);
    QCOMPARE(panel(1)->ui.rotorInfoLbl->text(), QStringLiteral("PAUSED"));
}

void tst_Application::startOnAPanelWritesSpeedThenStart()
{
    showConnected(3);
    SimCabinet *sim = driver->sim(3);
    RotorWidget *second = panel(2); // rotor 1
    QSpinBox *box = second->ui.rotorSpeedBox;
    QSignalSpy commits(second, &RotorWidget::didChangeCrpm);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("1200"));
    QTest::keyClick(box, Qt::Key_Return);
    // Every commit of a changed speed is written; wait for all of them.
    int changedCommits = 0;
    for (const QList<QVariant> &commit : qAsConst(commits))
        changedCommits += commit.at(1).toBool() ? 1 : 0;
    QVERIFY(changedCommits >= 1);
    auto speedWrites = [sim] {
        int writes = 0;
        for (const SimCabinet::Request &r : sim->requests())
            writes += r.function == WriteSingleRegister && r.reg == CrpmRegister ? 1 : 0;
        return writes;
    };
    QTRY_COMPARE(speedWrites(), changedCommits);
    QCOMPARE(sim->rotorSpeed(1), 1200);
    sim->clearRequests();

    QTest::mouseClick(second->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(second->ui.rotorBtn->text(), QStringLiteral("Stop"));
    QCOMPARE(second->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING"));
    QList<SimCabinet::Request> writes;
    for (const SimCabinet::Request &r : sim->requests()) {
        if (r.function == WriteSingleRegister)
            writes.append(r);
    }
    QString seen;
    for (const SimCabinet::Request &r : writes)
        seen += QStringLiteral(" unit %1 reg %2 = %3;").arg(r.unit).arg(r.reg).arg(r.value);
    QVERIFY2(writes.size() == 2, qPrintable(seen));
    QCOMPARE(writes.at(0).unit, 1);
    QCOMPARE(writes.at(0).reg, int(CrpmRegister));
    QCOMPARE(writes.at(0).value, 1200);
    QCOMPARE(writes.at(1).unit, 1);
    QCOMPARE(writes.at(1).reg, int(RunRegister));
    QCOMPARE(writes.at(1).value, RunStart);
    QCOMPARE(sim->rotorState(1), 0);
    QCOMPARE(sim->rotorState(0), 1);

    // Another cabinet on display: the panel shows that cabinet's rotor, not the speed
    // the last one had, which its next Start would write.
    driver->pressEnterOn(4);
    QTRY_VERIFY(driver->cabinet(4)->isConnected());
    QTRY_COMPARE(driver->sim(4)->requests().size(), 12); // its rotors' own refresh, done
    click(4);
    QTRY_COMPARE(box->value(), 0);
    QTRY_COMPARE(second->ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
    QCOMPARE(second->ui.rotorBtn->text(), QStringLiteral("Start"));
}

void tst_Application::loopRunsUntilAnEmergencyStop()
{
    showConnected(4);
    SimCabinet *sim = driver->sim(4);
    RotorWidget *first = panel(1); // rotor 0
    TestSupport::clickCheckBox(first->ui.loopEnableCheck);
    QTest::mouseClick(first->ui.rotorBtn, Qt::LeftButton);
    // Run and pause of a second each, timed by the program.
    QTRY_VERIFY_WITH_TIMEOUT(runCommands(14, 0).size() >= 4, 6000);
    QCOMPARE(runCommands(14, 0).mid(0, 4), QStringList({"start", "stop", "start", "stop"}));

    sim->setRotorState(0, 2);
    QTRY_COMPARE_WITH_TIMEOUT(first->ui.rotorInfoLbl->text(), QStringLiteral("EMERGENCY STOP"), 3000);
    QTRY_COMPARE(first->ui.rotorBtn->text(), QStringLiteral("Start"));
    const int commands = runCommands(14, 0).size();
    QTest::qWait(2200);
    QCOMPARE(runCommands(14, 0).size(), commands);
    QCOMPARE(first->ui.loopEnableCheck->checkState(), Qt::Checked);
}

void tst_Application::overviewShowsAnEmergencyStopOnAnyCabinet()
{
    QCOMPARE(driver->connectFirst(3), -1);
    auto *tabs = window()->findChild<QTabWidget *>(QStringLiteral("viewTabWidget"));
    auto *view = window()->findChild<OverviewView *>(QStringLiteral("overviewView"));
    QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("overviewPage"));
    QVERIFY(view->isVisible());
    OverviewModel *model = view->model();
    Cabinet *cabinet = driver->cabinet(1);
    QTRY_COMPARE(model->counts().stopped, 12);

    // Cabinet 10.0.85.11 is not on display, and no loop runs on it.
    driver->sim(1)->setRotorState(2, EmergencyStop);
    const QModelIndex cell = model->indexOf(cabinet, 2);
    QTRY_COMPARE_WITH_TIMEOUT(cell.data().toString().section(QLatin1Char('\n'), 0, 0),
                              QStringLiteral("EMERGENCY STOP"), 2500);
    QCOMPARE(model->counts().faults, 1);
    QVERIFY(window()->findChild<QLabel *>(QStringLiteral("overviewCountsLbl"))->text().contains(
            QStringLiteral("<b>Fault: 1</b>")));

    // The hook for a cabinet's menu, and a click that puts the cabinet on display.
    QTableView *table = view->table();
    const QPoint at = table->visualRect(cell).center();
    QCOMPARE(view->cabinetAt(at), cabinet);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("cabinetPage"));
    QCOMPARE(list()->currentIndex().row(), 1);
    QTRY_COMPARE(panel(3)->ui.rotorInfoLbl->text(), QStringLiteral("EMERGENCY STOP"));
    // F2 goes back, and the cabinet's menu there stops its four rotors.
    QTest::keyClick(window(), Qt::Key_F2);
    QCOMPARE(tabs->currentWidget()->objectName(), QStringLiteral("overviewPage"));
    emit table->customContextMenuRequested(at);
    auto *menu = view->findChild<QMenu *>(QStringLiteral("cabinetMenu"));
    QVERIFY(menu);
    QCOMPARE(menu->actions().at(0)->text(), QStringLiteral("Stop this cabinet"));
    menu->actions().at(0)->trigger();
    menu->close();
    auto *result = window()->findChild<StopAllDialog *>();
    QVERIFY(result);
    QTRY_COMPARE(result->run()->rotors().size(), 4);
    QTRY_COMPARE(runCommands(11, 2), QStringList({"stop"}));
}

// At the default size every cabinet shows without scrolling, and the history opens
// with rows to read, taking its room from the overview rather than growing the window.
void tst_Application::windowHasRoomForTheOverviewAndTheHistory()
{
    QCOMPARE(window()->size(), QSize(1280, 800));
    auto *view = window()->findChild<OverviewView *>(QStringLiteral("overviewView"));
    QTableView *table = view->table();
    QTRY_VERIFY2(table->viewport()->height() >= 13 * table->verticalHeader()->defaultSectionSize(),
                 qPrintable(QStringLiteral("%1 %2 %3").arg(table->viewport()->height())
                            .arg(table->verticalHeader()->defaultSectionSize()).arg(window()->height())));
    QVERIFY(!table->verticalScrollBar()->isVisible());
    QVERIFY(table->verticalHeader()->defaultSectionSize() >= 2 * table->fontMetrics().lineSpacing());

    window()->findChild<QAction *>(QStringLiteral("actionShowHistory"))->trigger();
    auto *rows = driver->historyPanel()->findChild<QTableView *>(QStringLiteral("historyView"));
    QTRY_VERIFY(rows->isVisible());
    QTRY_VERIFY2(rows->viewport()->height() >= HistoryPanel::RowsShown * rows->verticalHeader()->defaultSectionSize(),
                 qPrintable(QString::number(rows->viewport()->height())));
    QCOMPARE(window()->size(), QSize(1280, 800));

    // The panels keep their natural height on the Cabinet page.
    QTest::keyClick(window(), Qt::Key_F3);
    QTRY_VERIFY(panel(1)->isVisible());
    QVERIFY2(panel(1)->height() <= panel(1)->sizeHint().height(), qPrintable(QString::number(panel(1)->height())));
}

void tst_Application::loopWhoseStopIsRefusedTwice()
{
    showConnected(6);
    SimCabinet *sim = driver->sim(6);
    RotorWidget *first = panel(1); // rotor 0
    TestSupport::clickCheckBox(first->ui.loopEnableCheck);
    QTest::mouseClick(first->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(runCommands(16, 0), QStringList({"start"}));
    sim->rejectWrites(RunRegister, 2);

    // The run phase's Stop refused, sent again at once and refused again: the loop
    // halts, and the rotor is named as one that may still be running.
    const QString refused = QStringLiteral("STOP REFUSED (Modbus exception 4) \u2014 MAY STILL BE RUNNING");
    QTRY_COMPARE_WITH_TIMEOUT(first->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING\n") + refused, 4000);
    QCOMPARE(window()->statusBar()->currentMessage(),
             QStringLiteral("10.0.85.16, rotor 1 may still be running: its stop was refused (Modbus exception 4)"));
    // Wrapped at the panel's width, every line shows: the window grew to make room.
    QLabel *info = first->ui.rotorInfoLbl;
    QTRY_VERIFY(info->height() >= info->heightForWidth(info->width()));
    QVERIFY(info->heightForWidth(info->width()) >= 2 * info->fontMetrics().lineSpacing());
    QCOMPARE(runCommands(16, 0), QStringList({"start", "stop", "stop"}));
    QTest::qWait(1300); // past the pause that would have ended with a Start
    QCOMPARE(runCommands(16, 0), QStringList({"start", "stop", "stop"}));
    QCOMPARE(first->ui.rotorBtn->text(), QStringLiteral("Stop"));

    // No loop runs, yet the end stops it, as one that may still be running.
    window()->close();
    QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Stopping pumps: 0 of 1 confirmed"));
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    QCOMPARE(runCommands(16, 0), QStringList({"start", "stop", "stop", "stop"}));
    QCOMPARE(sim->rotorState(0), 1);
    QCOMPARE(driver->controller()->exitStatus(), 0);
    driver->endProgram();
    const QString c = QStringLiteral("|10.0.85.16|1|");
    QCOMPARE(historyRows().filter(QRegularExpression(QStringLiteral("^(command|loop)\\|"))), QStringList({
        "loop" + c + "Loop mode|off|on|operator",
        "command" + c + "Speed (cRPM)|0|0|operator",
        "command" + c + "Start|||operator",
        "command" + c + "Stop|||loop phase",
        "command" + c + "Stop refused (Modbus exception 4)|||loop phase",
        "command" + c + "Stop|||loop phase",
        "command" + c + "Stop refused (Modbus exception 4): may still be running|||loop phase",
        "loop" + c + "Loop halted: command refused|||",
        "command" + c + "Stop|||close",
    }));
}

void tst_Application::closeAsksWhileLoopsRun()
{
    showConnected(5);
    SimCabinet *sim = driver->sim(5);
    TestSupport::clickCheckBox(panel(3)->ui.loopEnableCheck); // rotor 2
    QTest::mouseClick(panel(3)->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(runCommands(15, 2), QStringList({"start"}));

    QString title;
    QString message;
    TestSupport::onNextDialog([&](QMessageBox *box) {
        title = box->windowTitle();
        message = box->text();
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Ok));
        box->button(QMessageBox::Cancel)->click();
    });
    QVERIFY(!window()->close());
    QCOMPARE(title, QStringLiteral("Stop pump operation?"));
    QCOMPARE(message, QStringLiteral("If you exit Tavrel Control,\nthe loop behaviour will stop.\n\n"
                                     "Are you sure you want to stop pump operation and exit?"));
    QVERIFY(window()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(runCommands(15, 2).size() >= 3, 4000); // still looping

    TestSupport::onNextDialog([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); });
    QVERIFY(!window()->close());
    QVERIFY(window()->isVisible());

    // OK, with the slow cabinet on display and the panels' polls queued: the stop
    // goes ahead of them, nothing new can start, and the window closes only once
    // the cabinet has answered the stop.
    sim->setAnswerDelay(1200);
    QTRY_VERIFY(driver->cabinet(5)->pendingRequestCount() >= 3);
    TestSupport::onNextDialog([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    window()->close();
    QVERIFY(window()->isVisible());
    QVERIFY(!panel(3)->ui.rotorBtn->isEnabled());
    QVERIFY(!list()->isEnabled());
    QCOMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Stopping pumps: 0 of 1 confirmed"));
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    QCOMPARE(runCommands(15, 2).last(), QStringLiteral("stop"));
    QCOMPARE(sim->rotorState(2), 1);
}

void tst_Application::closeNamesRotorsWhoseStopFailed_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("warning");
    QTest::newRow("the cabinet falls silent: the link fails")
            << "silent" << "The link failed before these rotors confirmed their stop. "
                           "They may still be running:\n\n10.0.85.15, rotor 2";
    QTest::newRow("the cabinet refuses the stop")
            << "exception" << "The cabinet did not confirm the stop of these rotors. "
                              "They may still be running:\n\n10.0.85.15, rotor 2";
}

void tst_Application::closeNamesRotorsWhoseStopFailed()
{
    QFETCH(QString, fault);
    QFETCH(QString, warning);

    showConnected(5);
    TestSupport::clickCheckBox(panel(2)->ui.loopEnableCheck); // rotor 1
    QTest::mouseClick(panel(2)->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(runCommands(15, 1), QStringList({"start"}));

    if (fault == QLatin1String("silent"))
        driver->sim(5)->setSilent(true);
    else
        driver->sim(5)->setExceptionAnswers(true);
    TestSupport::onNextDialog([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    window()->close();
    QString shown;
    TestSupport::onNextDialog([&](QMessageBox *box) {
        shown = box->windowTitle() + QLatin1Char('|') + box->text();
        box->accept();
    });
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    QCOMPARE(shown, QStringLiteral("Pumps may still be running|") + warning);
    QCOMPARE(driver->controller()->exitStatus(), 1);

    // The run ended, yet leaves its loop to the next start's recovery, as last known.
    const QString settings = QSettings().fileName();
    driver->endProgram();
    QFile file(settings);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("state=loopsLeft\n"));
    QVERIFY(text.contains("10.0.85.15\\rotor2\\looping=true\n"));

    // The next start puts that loop to the operator, as after a program that died.
    driver->sim(5)->clearFaults();
    // The driver's folder, above the organisation's ("Dosivo A/S" is two levels).
    const QString folder = settings.left(settings.indexOf(QLatin1Char('/') + QCoreApplication::organizationName()));
    AppDriver next(nullptr, folder);
    QPointer<RecoveryDialog> recovery;
    QTRY_VERIFY_WITH_TIMEOUT(recovery = next.window()->findChild<RecoveryDialog *>(), 8000);
    const auto *rotors = recovery->findChild<QTreeWidget *>(QStringLiteral("rotorList"));
    QCOMPARE(rotors->topLevelItemCount(), 1);
    QCOMPARE(rotors->topLevelItem(0)->text(0), QStringLiteral("10.0.85.15, rotor 2"));
    recovery->findChild<QPushButton *>(QStringLiteral("leaveButton"))->click();
}

void tst_Application::closeSendsTheCommandsThatWait()
{
    // A Stop pressed while a slow cabinet's poll is on the wire, then the window
    // closed at once, with no loop running: the stop still reaches the cabinet.
    showConnected(5);
    SimCabinet *sim = driver->sim(5);
    QTest::mouseClick(panel(2)->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(panel(2)->ui.rotorBtn->text(), QStringLiteral("Stop"));
    sim->setAnswerDelay(1500);
    const int asked = sim->requests().size();
    QTRY_VERIFY(sim->requests().size() > asked); // a poll is on the wire
    QTest::mouseClick(panel(2)->ui.rotorBtn, Qt::LeftButton);
    QTest::qWait(100);
    QElapsedTimer sinceClose;
    sinceClose.start();
    QVERIFY(!window()->close());
    QVERIFY(!list()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    qInfo("Stop 100 ms before the close, cabinet 1.5 s late: closed after %lld ms", sinceClose.elapsed());
    QCOMPARE(runCommands(15, 1), QStringList({"start", "stop"}));
    QCOMPARE(sim->rotorState(1), 1);
    QCOMPARE(driver->controller()->exitStatus(), 0);
}

void tst_Application::signalEndsAsTheCloseDoes()
{
    showConnected(5);
    for (int number = 1; number <= 4; ++number) {
        TestSupport::clickCheckBox(panel(number)->ui.loopEnableCheck);
        QTest::mouseClick(panel(number)->ui.rotorBtn, Qt::LeftButton);
    }
    for (int unit = 0; unit < 4; ++unit)
        QTRY_COMPARE(runCommands(15, unit), QStringList({"start"}));

    QSignalSpy ended(driver->controller(), &AppController::ended);
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    ::raise(SIGTERM); // no dialog: nobody may be there to answer it
    QTRY_VERIFY(!list()->isEnabled());
    QTRY_COMPARE(ended.count(), 1);
    qInfo("SIGTERM with four looping rotors: ended after %lld ms", sinceSignal.elapsed());
    QCOMPARE(ended.at(0).at(0).toInt(), 0);
    for (int unit = 0; unit < 4; ++unit)
        QCOMPARE(runCommands(15, unit).last(), QStringLiteral("stop"));
}

void tst_Application::identifyShowsWhatTheCabinetConfirms()
{
    showConnected(7);
    SimCabinet *sim = driver->sim(7);
    QPushButton *identify = driver->identifyButton();
    QTest::mouseClick(identify, Qt::LeftButton);
    QVERIFY(!identify->isEnabled());
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(identify->isChecked());
    QVERIFY(sim->identify());

    QTest::mouseClick(identify, Qt::LeftButton);
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(!identify->isChecked());
    QVERIFY(!sim->identify());

    // On again, then a cabinet that is not connected is shown: the button is
    // cleared without switching the first cabinet's identify off.
    QTest::mouseClick(identify, Qt::LeftButton);
    QTRY_VERIFY(identify->isEnabled());
    click(8);
    QCOMPARE(text("tempLbl"), QStringLiteral("-"));
    QVERIFY(!identify->isEnabled());
    QVERIFY(!identify->isChecked());
    QTest::qWait(100);
    QVERIFY(sim->identify());

    // Connecting the shown cabinet brings its temperature and identify state.
    driver->sim(8)->setTemperature(200);
    click(8, true);
    QTRY_COMPARE(text("tempLbl"), QStringLiteral("20 \u00B0C"));
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(!identify->isChecked());

    // Shown while connected, its link lost and made again: asked afresh, not shown as before.
    click(7);
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(identify->isChecked());
    sim->dropConnections();
    QTRY_VERIFY(list()->model()->index(7, 0).data(Qt::ToolTipRole).toString().startsWith(QLatin1String("Error: ")));
    sim->setTemperature(300);
    QTest::mouseClick(identify, Qt::LeftButton); // nothing to send it to
    QVERIFY(!identify->isEnabled());
    click(7, true);
    QTRY_COMPARE(text("tempLbl"), QStringLiteral("30 \u00B0C"));
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(identify->isChecked());
    QVERIFY(sim->identify());

    // Refused: the row's tip says so till an identify is confirmed.
    const QModelIndex row = list()->model()->index(7, 0);
    sim->rejectWrites(IdentifyRegister, 1);
    QTest::mouseClick(identify, Qt::LeftButton);
    QTRY_COMPARE(row.data(Qt::ToolTipRole).toString(),
                 QStringLiteral("Connected to: 10.0.85.17. Identify refused (Modbus exception 4)"));
    QCOMPARE(row.data(Qt::StatusTipRole), row.data(Qt::ToolTipRole));
    QTRY_VERIFY(identify->isEnabled());
    QVERIFY(identify->isChecked());
    QTest::mouseClick(identify, Qt::LeftButton);
    QTRY_COMPARE(row.data(Qt::ToolTipRole).toString(), QStringLiteral("Connected to: 10.0.85.17"));
    QVERIFY(!sim->identify());
}

void tst_Application::refusedCabinetIsTriedAgainUntilItConnects()
{
    SimCabinet *sim = driver->sim(9);
    sim->setRefusing(true);
    const QModelIndex row = list()->model()->index(9, 0);
    Cabinet *cabinet = driver->cabinet(9);
    QSignalSpy attempts(cabinet, &Cabinet::willConnect);
    QSignalSpy errors(cabinet, &Cabinet::connectionError);
    QTest::ignoreMessage(QtDebugMsg, "\"Connection refused\"");
    QTest::ignoreMessage(QtDebugMsg, "\"Connection refused\"");
    // Shown, then activated with Enter: a test's double-click leaves a button down.
    click(9);
    driver->pressEnterOn(9);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(row.data(Qt::DecorationRole).value<QColor>(), QColor(Qt::red));
    QCOMPARE(row.data(Qt::ToolTipRole).toString(), QStringLiteral("Error: Connection refused. Next attempt in 2 s"));

    // Tried again by itself after 2 s, then after 4 s; the row under the pointer counts
    // down in the status bar.
    // Through the window, as the pointer comes: the view shows tips on plain moves that
    // change the pointer's position.
    const QPoint onRow = list()->viewport()->mapTo(window(), list()->visualRect(row).center());
    QTest::mouseMove(window()->windowHandle(), onRow + QPoint(3, 0));
    QTRY_COMPARE_WITH_TIMEOUT(errors.count(), 2, 4000);
    QCOMPARE(attempts.count(), 2);
    const QString waiting = QStringLiteral("Error: Connection refused. Next attempt in %1 s");
    QTRY_COMPARE(window()->statusBar()->currentMessage(), waiting.arg(4));
    QTRY_COMPARE(window()->statusBar()->currentMessage(), waiting.arg(3));
    QCOMPARE(row.data(Qt::StatusTipRole).toString(), waiting.arg(3));
    sim->clearFaults();
    QTRY_COMPARE_WITH_TIMEOUT(row.data(Qt::DecorationRole).value<QColor>(), QColor(Qt::green), 5000);
    QCOMPARE(attempts.count(), 3);
    QCOMPARE(row.data(Qt::ToolTipRole).toString(), QStringLiteral("Connected to: 10.0.85.19"));
    QTRY_COMPARE(window()->statusBar()->currentMessage(), QStringLiteral("Connected to: 10.0.85.19"));
    QTRY_VERIFY(sim->requests().size() >= 12); // every rotor refreshed
    QTRY_VERIFY(panel(1)->ui.rotorBtn->isEnabled()); // the shown cabinet refreshes
    QTRY_COMPARE(text("tempLbl"), QStringLiteral("23.5 \u00B0C"));

    // Lost again soon after, it waits longer; a double-click connects at once.
    QTest::ignoreMessage(QtDebugMsg, "\"The remote host closed the connection\"");
    sim->setRefusing(true);
    QTRY_COMPARE(errors.count(), 3);
    QVERIFY(row.data(Qt::ToolTipRole).toString().endsWith(QLatin1String(". Next attempt in 8 s")));
    sim->setRefusing(false);
    click(9, true);
    QTRY_COMPARE_WITH_TIMEOUT(row.data(Qt::DecorationRole).value<QColor>(), QColor(Qt::green), 2000);
}

void tst_Application::oneProgramPerWorkstation()
{
    // A lock folder of the test's own: an operator's copy may be open on this machine.
    QTemporaryDir lockDirectory;
    QVERIFY(lockDirectory.isValid());
    const QString lockPath = lockDirectory.filePath(QStringLiteral("tavrel-control.lock"));
    const QProcessEnvironment environment = TestSupport::programEnvironment(lockDirectory.path());
    auto start = [&](QProcess &program) {
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TAVREL_CONTROL_BINARY), QStringList());
        QVERIFY(program.waitForStarted());
    };
    // A later start opens nothing, says whose program runs, and ends.
    auto expectRefusal = [&](const QString &user) {
        QProcess later;
        start(later);
        QVERIFY(later.waitForFinished(10000));
        QCOMPARE(later.exitStatus(), QProcess::NormalExit);
        QCOMPARE(later.exitCode(), 1);
        const QString expected = QStringLiteral(
                "Tavrel Control is already running on this workstation (user %1).\n").arg(user);
        QVERIFY(QString::fromLocal8Bit(later.readAllStandardError()).contains(expected));
    };

    // Another user's program holds the lock; this process stands in for it.
    const int held = ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(::write(held, "operator2\n", 10), ssize_t(10));
    expectRefusal(QStringLiteral("operator2"));
    ::close(held);
    QVERIFY(QFile::remove(lockPath));

    // The first start creates the lock for every user, whatever its umask, and names itself.
    QProcess first;
    start(first);
    QTRY_VERIFY(QFile::exists(lockDirectory.filePath(QStringLiteral("tavrel-control.socket"))));
    QVERIFY(QFile::permissions(lockPath).testFlag(QFile::WriteOther));
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLocal8Bit(lock.readAll()), PlantNames::currentUser() + QLatin1Char('\n'));
    expectRefusal(PlantNames::currentUser());
    QCOMPARE(first.state(), QProcess::Running);

    // A program that was killed holds nothing: the next start runs.
    first.kill();
    QVERIFY(first.waitForFinished(5000));
    QProcess third;
    start(third);
    QVERIFY(!third.waitForFinished(1500));
    QCOMPARE(third.state(), QProcess::Running);
    third.terminate();
    QVERIFY(third.waitForFinished(5000));
}

// Oldest first, as "kind|cabinet|rotor|text|old|new|cause", after the program ended;
// every row on the account of the user running the tests.
QStringList tst_Application::historyRows() const
{
    QStringList rows;
    HistoryDatabase db(driver->historyFile(), HistoryDatabase::Mode::Read);
    const QString user = PlantNames::currentUser();
    db.forEach({}, [&](const HistoryEvent &e) {
        rows.prepend(QStringList({e.kind, e.cabinet, QString::number(e.rotor), e.text, e.oldValue,
                                  e.newValue, e.cause}).join(QLatin1Char('|')));
        if (e.user != user)
            rows.prepend(QStringLiteral("user ") + e.user + QStringLiteral(": ") + rows.first());
        return true;
    });
    if (!db.isOpen())
        rows << db.errorText();
    return rows;
}

void tst_Application::historyOfASession()
{
    SimCabinet *sim = driver->sim(2);
    QAbstractItemModelTester tester(driver->historyPanel()->model());
    QCOMPARE(panel(1)->ui.rotorNameLbl->text(), QStringLiteral("Rotor 1"));
    QCOMPARE(panel(4)->ui.rotorNameLbl->text(), QStringLiteral("Rotor 4"));
    showConnected(2);
    QTRY_COMPARE(panel(4)->ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));

    // Start, then a new speed while running, which stops the rotor first.
    RotorWidget *first = panel(1);
    QTest::mouseClick(first->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(first->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING"));
    first->ui.rotorSpeedBox->setFocus();
    first->ui.rotorSpeedBox->selectAll();
    QTest::keyClicks(first->ui.rotorSpeedBox, QStringLiteral("1200"));
    QTest::keyClick(first->ui.rotorSpeedBox, Qt::Key_Return);
    QTRY_COMPARE(sim->rotorSpeed(0), 1200);
    QTRY_COMPARE(first->ui.rotorInfoLbl->text(), QStringLiteral("STOPPED"));
    sim->setRotorState(0, 2);
    QTRY_COMPARE(first->ui.rotorInfoLbl->text(), QStringLiteral("EMERGENCY STOP"));

    // The link lost, a Stop kept for it, and the link made again by the operator.
    const QModelIndex row = list()->model()->index(2, 0);
    sim->dropConnections();
    QTRY_VERIFY(row.data(Qt::ToolTipRole).toString().startsWith(QLatin1String("Error: ")));
    // The panel's rows come live, newest on top.
    HistoryModel *shown = driver->historyPanel()->model();
    QTRY_VERIFY(shown->rowCount() > 0 && shown->eventAt(0).text.startsWith(QLatin1String("Link lost")));
    QTest::mouseClick(first->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(shown->eventAt(0).text, QStringLiteral("Stop kept until the link is back"));
    click(2, true);
    QTRY_COMPARE(row.data(Qt::DecorationRole).value<QColor>(), QColor(Qt::green));
    QTRY_COMPARE(shown->eventAt(0).text, QStringLiteral("Stop"));
    QCOMPARE(shown->eventAt(1).text.left(11), QStringLiteral("Reconnected"));

    // A direction the cabinet refuses.
    QTRY_VERIFY(first->ui.ccwBtn->isEnabled());
    sim->rejectWrites(DirectionRegister, 1);
    TestSupport::clickCheckBox(first->ui.ccwBtn);
    QTRY_COMPARE(first->ui.rotorInfoLbl->text(),
                 QStringLiteral("EMERGENCY STOP\nDIRECTION REFUSED (Modbus exception 4)"));

    // A long loop on rotor 2, stopped by the close.
    RotorWidget *second = panel(2);
    QTRY_VERIFY(second->ui.loopEnableCheck->isEnabled());
    TestSupport::clickCheckBox(second->ui.loopEnableCheck);
    second->ui.onTimeBox->setFocus();
    second->ui.onTimeBox->selectAll();
    QTest::keyClicks(second->ui.onTimeBox, QStringLiteral("36000"));
    QTest::keyClick(second->ui.onTimeBox, Qt::Key_Return);
    QTest::mouseClick(second->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(second->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING"));
    TestSupport::onNextDialog([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    driver->endProgram();

    QStringList rows = historyRows();
    rows.replaceInStrings(QRegularExpression(QStringLiteral("after \\d+\\.\\d s")), QStringLiteral("after N s"));
    // The alarms of this session have a test of their own.
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const QString &r) { return r.startsWith(QLatin1String("alarm|")); }),
               rows.end());
    const QString c = QStringLiteral("|10.0.85.12|");
    // The panel's poll may or may not see rotor 2 stand before the end: that is the
    // scheduler's choice, and either history is true.
    rows.removeOne("state" + c + "2|State|RUNNING|STOPPED|");
    QCOMPARE(rows, QStringList({
        "program||0|Program started||" TAVREL_VERSION "|",
        "link" + c + "0|Connected|||",
        "state" + c + "1|State||STOPPED|",
        "state" + c + "2|State||STOPPED|",
        "state" + c + "3|State||STOPPED|",
        "state" + c + "4|State||STOPPED|",
        "command" + c + "1|Speed (cRPM)|0|0|operator",
        "command" + c + "1|Start|||operator",
        "state" + c + "1|State|STOPPED|RUNNING|",
        "command" + c + "1|Stop|||operator",
        "command" + c + "1|Speed (cRPM)|0|1200|operator",
        "state" + c + "1|State|RUNNING|STOPPED|",
        "state" + c + "1|State|STOPPED|EMERGENCY STOP|",
        "link" + c + "0|Link lost: The remote host closed the connection|||",
        "command" + c + "1|Stop kept until the link is back|||operator",
        "link" + c + "0|Reconnected after N s|||",
        "command" + c + "1|Stop|||operator",
        "command" + c + "1|Direction|clockwise|counter-clockwise|operator",
        "command" + c + "1|Direction refused (Modbus exception 4)|clockwise|counter-clockwise|operator",
        "loop" + c + "2|Loop mode|off|on|operator",
        "loop" + c + "2|On time (s)|1|36000|operator",
        "command" + c + "2|Speed (cRPM)|0|0|operator",
        "command" + c + "2|Start|||operator",
        "state" + c + "2|State|STOPPED|RUNNING|",
        "command" + c + "2|Stop|||close",
        "program||0|Program ended|||",
    }));
}

void tst_Application::damagedHistoryIsMovedAsideControlGoesOn()
{
    const QByteArray garbage = QByteArray("not a history file, only bytes ").repeated(200);
    driver.reset();
    driver = std::make_unique<AppDriver>(this, QString(), [&garbage] {
        QDir().mkpath(History::defaultFolder());
        QFile file(QDir(History::defaultFolder()).filePath(History::fileName()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    });
    auto *state = window()->statusBar()->findChild<QLabel *>(QStringLiteral("historyStateLbl"));
    QTRY_VERIFY(state->isVisible());
    QVERIFY2(state->text().startsWith(QLatin1String("History unavailable: the file was damaged; it is kept as "
                                                    "history-damaged-")), qPrintable(state->text()));
    const QStringList aside = QDir(History::defaultFolder()).entryList({QStringLiteral("history-damaged-*.sqlite")});
    QCOMPARE(aside.size(), 1);
    QFile kept(QDir(History::defaultFolder()).filePath(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), garbage);

    // Control goes on, and the fresh file has it all.
    showConnected(3);
    QTest::mouseClick(panel(1)->ui.rotorBtn, Qt::LeftButton);
    QTRY_COMPARE(panel(1)->ui.rotorInfoLbl->text(), QStringLiteral("RUNNING"));
    QCOMPARE(driver->sim(3)->rotorState(0), 0);
    driver->endProgram();
    const QStringList rows = historyRows();
    QVERIFY2(rows.size() > 4, qPrintable(rows.join(QLatin1Char('\n'))));
    // The two come in whichever order the file was opened and the start was recorded.
    const QStringList first = rows.mid(0, 2);
    QVERIFY(first.contains(QStringLiteral("program||0|Program started||" TAVREL_VERSION "|")));
    QVERIFY2(first.at(0).startsWith(QLatin1String("program||0|History file damaged; kept as history-damaged-"))
                 || first.at(1).startsWith(QLatin1String("program||0|History file damaged; kept as history-damaged-")),
             qPrintable(first.join(QLatin1Char('\n'))));
    QVERIFY(rows.contains(QStringLiteral("command|10.0.85.13|1|Start|||operator")));
    QCOMPARE(rows.last(), QStringLiteral("program||0|Program ended|||"));
}

// Another program holds the history file as this one ends: the rows still waiting are
// written at the next start, and the end, though missing from the file, is no death.
void tst_Application::historyHeldAtTheEndIsWrittenAtTheNextStart()
{
    driver.reset();
    QTemporaryDir settings;
    QTemporaryDir data;
    const auto sameHistory = [&data] { qputenv("XDG_DATA_HOME", QFile::encodeName(data.path())); };
    driver = std::make_unique<AppDriver>(nullptr, settings.path(), sameHistory);
    QTRY_VERIFY(driver->historyPanel()->model()->rowCount() > 0); // the file is open and written
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        other.setDatabaseName(driver->historyFile());
        QVERIFY(other.open());
        QSqlQuery hold(other);
        QVERIFY(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        driver->endProgram();
        QVERIFY(hold.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));

    driver = std::make_unique<AppDriver>(nullptr, settings.path(), sameHistory);
    driver->endProgram();
    const QString started = QStringLiteral("program||0|Program started||" TAVREL_VERSION "|");
    const QString ended = QStringLiteral("program||0|Program ended|||");
    QCOMPARE(historyRows(), QStringList({started, ended, started, ended}));
}


void tst_Application::alarmRaisedCommandedClearedAndKeptUntilAcknowledged()
{
    // The plant's command: a script that writes what it was given, one line a run.
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("alarm command"));
    const QString log = dir.filePath(QStringLiteral("alarms.log"));
    {
        QFile file(script);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n"
                   "echo \"$TAVREL_ALARM_EVENT|$TAVREL_ALARM_CABINET|$TAVREL_ALARM_ROTOR|$TAVREL_ALARM_TEXT|"
                   "$TAVREL_ALARM_USER|$TAVREL_ALARM_TIME\" >> \"$1\"\n");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    driver.reset();
    QTemporaryDir settings;
    driver = std::make_unique<AppDriver>(this, settings.path(), [&] {
        QSettings().setValue(QStringLiteral("alarms/command"), QStringLiteral("\"%1\" \"%2\"").arg(script, log));
    });
    const auto logLines = [&log] {
        QFile file(log);
        QStringList lines;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                lines << line.section(QLatin1Char('|'), 0, 4);
        }
        return lines;
    };
    auto *alarms = window()->findChild<AlarmPanel *>();
    QVERIFY(alarms);
    QAbstractItemModelTester tester(alarms->model());
    auto *count = window()->findChild<QLabel *>(QStringLiteral("alarmCountLbl"));
    QCOMPARE(count->text(), QStringLiteral("No alarms"));

    // Connected, and another cabinet on display: its rotors are watched all the same.
    SimCabinet *sim = driver->sim(3);
    showConnected(5);
    driver->pressEnterOn(3);
    QTRY_COMPARE(list()->model()->index(3, 0).data(Qt::DecorationRole).value<QColor>(), QColor(Qt::green));
    QTest::qWait(500);
    sim->setRotorState(1, 2);
    QTRY_COMPARE_WITH_TIMEOUT(alarms->model()->rowCount(), 1, 4000);
    QCOMPARE(driver->controller()->findChild<MainWindowController *>()->displayedCabinet()->host(),
             QStringLiteral("10.0.85.15"));
    const auto row = [alarms] {
        QStringList cells;
        for (int column = 0; column < AlarmModel::ColumnCount; ++column) {
            if (column != AlarmModel::RaisedColumn)
                cells << alarms->model()->index(0, column).data().toString();
        }
        return cells.join(QLatin1Char('|'));
    };
    QCOMPARE(row(), QStringLiteral("10.0.85.13, rotor 2|EMERGENCY STOP|ACTIVE, NOT ACKNOWLEDGED|0"));
    QCOMPARE(count->text(), QStringLiteral("ALARMS: 1, 1 NOT ACKNOWLEDGED"));
    QTRY_COMPARE_WITH_TIMEOUT(logLines(), QStringList({"raised|10.0.85.13|2|EMERGENCY STOP|"}), 4000);

    // Released: cleared, but kept for the person who has not seen it.
    sim->setRotorState(1, 1);
    QTRY_COMPARE_WITH_TIMEOUT(row(), QStringLiteral("10.0.85.13, rotor 2|EMERGENCY STOP|CLEARED, NOT ACKNOWLEDGED|0"), 4000);
    QTRY_COMPARE(logLines().size(), 2);
    QCOMPARE(logLines().at(1), QStringLiteral("cleared|10.0.85.13|2|EMERGENCY STOP|"));
    QTest::qWait(1500);
    QCOMPARE(alarms->model()->rowCount(), 1);
    QCOMPARE(count->text(), QStringLiteral("ALARMS: 1, 1 NOT ACKNOWLEDGED"));

    // Acknowledged by the user at the workstation: gone.
    QTest::mouseClick(count, Qt::LeftButton);
    QVERIFY(alarms->isVisible());
    auto *view = alarms->findChild<QTableView *>(QStringLiteral("alarmView"));
    view->selectRow(0);
    auto *acknowledge = alarms->findChild<QPushButton *>(QStringLiteral("acknowledgeBtn"));
    QVERIFY(acknowledge->isEnabled());
    acknowledge->click();
    QCOMPARE(alarms->model()->rowCount(), 0);
    QCOMPARE(count->text(), QStringLiteral("No alarms"));
    const QString user = PlantNames::currentUser();
    QTRY_COMPARE(logLines().size(), 3);
    QCOMPARE(logLines().at(2), QStringLiteral("acknowledged|10.0.85.13|2|EMERGENCY STOP|") + user);

    // Each change in the history, the acknowledgement on its user's account.
    const auto alarmRows = [this] {
        QStringList rows;
        for (const QString &r : historyRows()) {
            if (r.contains(QLatin1String("alarm|")))
                rows << r;
        }
        return rows;
    };
    QTRY_COMPARE(alarmRows(), QStringList({"alarm|10.0.85.13|2|Alarm raised: EMERGENCY STOP|||",
                                           "alarm|10.0.85.13|2|Alarm cleared: EMERGENCY STOP|||",
                                           "alarm|10.0.85.13|2|Alarm acknowledged: EMERGENCY STOP|||"}));
}

QTEST_MAIN(tst_Application)
#include "tst_application.moc"

void tst_Application::stopAllPumps()
{
    // Twelve cabinets connected, 10.0.85.22 not; a loop runs on 10.0.85.10; 10.0.85.13
    // refuses its first Stop.
    QCOMPARE(driver->connectFirst(12), -1);
    RotorHead *looping = driver->cabinet(0)->rotor(1);
    looping->setLoopRunSecs(3600);
    looping->setLoopMode(true);
    looping->start();
    QTRY_VERIFY(looping->isLoopRunning());
    QTRY_COMPARE(driver->sim(0)->rotorState(1), 0);
    driver->sim(3)->rejectWrites(RunRegister, 1);
    const QStringList before = runCommands(10, 1);

    // Escape cancels: nothing is sent.
    QString question;
    QString more;
    QString defaultButton;
    TestSupport::onNextDialog([&](QMessageBox *box) {
        question = box->text();
        more = box->informativeText();
        defaultButton = box->defaultButton()->text();
        QTest::keyClick(box, Qt::Key_Escape);
    });
    QTest::keyClick(window(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_COMPARE(question, QStringLiteral("Stop all 48 pumps on 12 connected cabinets?"));
    QCOMPARE(more, QStringLiteral("Every loop ends. Not connected: 10.0.85.22. Their 4 pumps get their "
                                  "Stops first when their link is back, and may run till then."));
    QCOMPARE(defaultButton, QStringLiteral("Stop all"));
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(!window()->findChild<StopAllDialog *>());
    QCOMPARE(runCommands(10, 1), before);

    // Return confirms: a Stop to every rotor, the loop ended, the refusal named, and
    // the cabinet not connected has its Stops kept.
    TestSupport::onNextDialog([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Return); });
    QApplication::setActiveWindow(window()); // as the desktop gives it back after the question
    QTest::keyClick(window(), Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    QTRY_VERIFY(window()->findChild<StopAllDialog *>());
    auto *result = window()->findChild<StopAllDialog *>();
    QVERIFY(result->isVisible() && !result->isModal());
    StopRun *run = result->run();
    QTRY_VERIFY(run->isSettled());
    QCOMPARE(run->count(StopRun::Outcome::Confirmed), 47);
    QCOMPARE(run->unconfirmed(), QStringList({
        "10.0.85.13, rotor 1: refused (Modbus exception 4), may still be running",
        "10.0.85.22, rotor 1: kept for the cabinet, not connected: sent first when its link is back",
        "10.0.85.22, rotor 2: kept for the cabinet, not connected: sent first when its link is back",
        "10.0.85.22, rotor 3: kept for the cabinet, not connected: sent first when its link is back",
        "10.0.85.22, rotor 4: kept for the cabinet, not connected: sent first when its link is back"}));
    QCOMPARE(result->findChild<QLabel *>(QStringLiteral("summaryLbl"))->text(),
             QStringLiteral("47 of 52 stops confirmed, 1 refused, 4 kept for cabinets not connected. "
                            "The rotors not confirmed may still be running."));
    for (int host = 10; host <= 21; ++host) {
        for (int unit = 0; unit < 4; ++unit)
            QCOMPARE(runCommands(host, unit).last(), QStringLiteral("stop"));
    }
    QVERIFY(!looping->isLoopRunning());
    QCOMPARE(driver->sim(0)->rotorState(1), 1);
    for (int i = 0; i < 4; ++i)
        QVERIFY(driver->cabinet(12)->rotor(i)->hasKeptStop());

    // Retry the failed: the refused rotor confirms now; then the last cabinet's link
    // comes, and its kept Stops go out first and are confirmed.
    auto *retry = result->findChild<QPushButton *>(QStringLiteral("retryButton"));
    QVERIFY(retry->isEnabled());
    QTest::mouseClick(retry, Qt::LeftButton);
    QTRY_COMPARE(run->count(StopRun::Outcome::Confirmed), 48);
    QCOMPARE(runCommands(13, 0), QStringList({"stop", "stop"}));
    driver->pressEnterOn(12);
    QTRY_COMPARE(run->count(StopRun::Outcome::Confirmed), 52);
    QVERIFY(!retry->isEnabled());
    QVERIFY(result->isVisible());
    QTest::mouseClick(result->findChild<QPushButton *>(QStringLiteral("closeButton")), Qt::LeftButton);
    QTRY_VERIFY(!window()->findChild<StopAllDialog *>());

    // Stop this cabinet, from the list's context menu.
    emit list()->customContextMenuRequested(list()->visualRect(list()->model()->index(3, 0)).center());
    auto *menu = list()->findChild<QMenu *>(QStringLiteral("cabinetMenu"));
    QVERIFY(menu);
    QCOMPARE(menu->actions().at(0)->text(), QStringLiteral("Stop this cabinet"));
    menu->actions().at(0)->trigger();
    menu->close();
    result = window()->findChild<StopAllDialog *>();
    QVERIFY(result);
    QCOMPARE(result->windowTitle(), QStringLiteral("Stop this cabinet"));
    QTRY_COMPARE(result->run()->count(StopRun::Outcome::Confirmed), 4);
    QCOMPARE(result->run()->rotors().size(), 4);
    QCOMPARE(runCommands(13, 0), QStringList({"stop", "stop", "stop"}));

    window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!window()->isVisible(), 6000);
    driver->endProgram();
    const QStringList rows = historyRows();
    QCOMPARE(rows.filter(QStringLiteral("|10.0.85.13|1|Stop")), QStringList({
        "command|10.0.85.13|1|Stop|||stop all",
        "command|10.0.85.13|1|Stop refused (Modbus exception 4)|||stop all",
        "command|10.0.85.13|1|Stop|||stop all",
        "command|10.0.85.13|1|Stop|||stop cabinet"}));
    QCOMPARE(rows.filter(QStringLiteral("|10.0.85.22|1|Stop")), QStringList({
        "command|10.0.85.22|1|Stop kept until the link is back|||stop all",
        "command|10.0.85.22|1|Stop|||stop all"}));
    QCOMPARE(rows.filter(QStringLiteral("Stop all pumps:")), QStringList({
        "program||0|Stop all pumps: 47 of 52 confirmed; not confirmed: 10.0.85.13, rotor 1: refused "
        "(Modbus exception 4), may still be running; "
        "10.0.85.22, rotor 1: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 2: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 3: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 4: kept for the cabinet, not connected: sent first when its link is back|||stop all",
        "program||0|Stop all pumps: 48 of 52 confirmed; not confirmed: "
        "10.0.85.22, rotor 1: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 2: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 3: kept for the cabinet, not connected: sent first when its link is back; "
        "10.0.85.22, rotor 4: kept for the cabinet, not connected: sent first when its link is back|||stop all"}));
    QCOMPARE(rows.filter(QStringLiteral("stop cabinet")).last(),
             QStringLiteral("program||0|Stop this cabinet: 4 of 4 confirmed|||stop cabinet"));
}
