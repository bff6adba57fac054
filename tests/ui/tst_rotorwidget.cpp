#include "rotorwidget.h"

#include "testsupport.h"

#include <QtTest>

class tst_RotorWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TestSupport::failOnConnectWarnings(); }
    void startsBlankAndDisabled();
    void speedEditsAgainstTheCommittedSpeed();
    void finishingAnEdit_data();
    void finishingAnEdit();
    void directionButtonsAreExclusive();
    void loopTimesFollowTheLoopCheck();
    void spinBoxesClampInput();
};

void tst_RotorWidget::startsBlankAndDisabled()
{
    RotorWidget panel(nullptr);
    const Ui::rotorWidget &ui = panel.ui;
    QCOMPARE(panel.objectName(), QStringLiteral("rotorWidget"));
    QCOMPARE(panel.windowTitle(), QStringLiteral("Form"));
    QCOMPARE(panel.minimumSize(), QSize(150, 0));
    QCOMPARE(panel.committedCrpm, 0);
    QCOMPARE(ui.frame->parent(), &panel);

    // Top to bottom, as the operator reads it.
    const QList<QWidget *> order = {ui.label_3, ui.rotorSpeedBox, ui.rotorBtn, ui.rotorInfoLbl,
                                    ui.line, ui.loopEnableCheck, ui.label, ui.onTimeBox,
                                    ui.label_2, ui.offTimeBox};
    QCOMPARE(ui.verticalLayout_2->itemAt(0)->layout(), ui.horizontalLayout);
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(ui.verticalLayout_2->indexOf(order.at(i)), i + 1);
    QVERIFY(ui.verticalLayout_2->itemAt(11)->spacerItem());
    QCOMPARE(ui.horizontalLayout->indexOf(ui.ccwBtn), 0);
    QCOMPARE(ui.horizontalLayout->indexOf(ui.cwBtn), 1);

    QCOMPARE(ui.rotorBtn->text(), QStringLiteral("-"));
    QCOMPARE(ui.rotorInfoLbl->text(), QStringLiteral("-"));
    QCOMPARE(ui.ccwBtn->text(), QStringLiteral("CCW"));
    QCOMPARE(ui.ccwBtn->toolTip(), QStringLiteral("Set rotation direction to Counter Clockwise"));
    QCOMPARE(ui.cwBtn->toolTip(), QStringLiteral("Set rotation direction to Clockwise"));
    QCOMPARE(ui.label_3->text(), QStringLiteral("Pump velocity:"));
    QCOMPARE(ui.loopEnableCheck->text(), QStringLiteral("Loop mode"));
    QCOMPARE(ui.rotorSpeedBox->value(), 1000);
    QCOMPARE(ui.rotorSpeedBox->suffix(), QStringLiteral(" cRPM"));
    QVERIFY(!ui.rotorSpeedBox->hasFrame());
    QCOMPARE(ui.onTimeBox->value(), 1);
    QCOMPARE(ui.offTimeBox->suffix(), QStringLiteral(" secs"));
    QCOMPARE(ui.line->frameShape(), QFrame::HLine);

    for (QWidget *control : {static_cast<QWidget *>(ui.ccwBtn), static_cast<QWidget *>(ui.cwBtn),
                             static_cast<QWidget *>(ui.rotorSpeedBox), static_cast<QWidget *>(ui.rotorBtn),
                             static_cast<QWidget *>(ui.loopEnableCheck), static_cast<QWidget *>(ui.onTimeBox),
                             static_cast<QWidget *>(ui.offTimeBox)})
        QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
    QVERIFY(ui.rotorInfoLbl->isEnabled());
    QVERIFY(ui.ccwBtn->isCheckable() && ui.cwBtn->isCheckable());
}

void tst_RotorWidget::speedEditsAgainstTheCommittedSpeed()
{
    RotorWidget panel(nullptr);
    QSpinBox *box = panel.ui.rotorSpeedBox;
    box->setEnabled(true);
    panel.committedCrpm = 1000;
    QSignalSpy willChange(&panel, &RotorWidget::willChangeCrpm);

    for (int i = 0; i < 3; ++i)
        box->stepUp();
    QCOMPARE(willChange.count(), 3);
    box->stepDown();
    box->stepDown();
    box->stepDown(); // back at the committed speed: no news
    QCOMPARE(willChange.count(), 5);

    // The controller stores a speed before showing it: no edit is reported.
    panel.committedCrpm = 2500;
    box->setValue(2500);
    QCOMPARE(willChange.count(), 5);
}

void tst_RotorWidget::finishingAnEdit_data()
{
    QTest::addColumn<int>("committed");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("byReturn");
    QTest::addColumn<bool>("changed");

    QTest::newRow("Return, same speed") << 1200 << "1200" << true << false;
    QTest::newRow("Return, new speed") << 1200 << "800" << true << true;
    QTest::newRow("focus leaves, new speed") << 1200 << "950" << false << true;
    QTest::newRow("nothing committed yet") << 0 << "1000" << true << true;
}

void tst_RotorWidget::finishingAnEdit()
{
    QFETCH(int, committed);
    QFETCH(QString, typed);
    QFETCH(bool, byReturn);
    QFETCH(bool, changed);

    QWidget window;
    auto *panel = new RotorWidget(&window);
    auto *elsewhere = new QPushButton(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QSpinBox *box = panel->ui.rotorSpeedBox;
    box->setEnabled(true);
    panel->committedCrpm = committed;
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, typed);

    QSignalSpy didChange(panel, &RotorWidget::didChangeCrpm);
    if (byReturn)
        QTest::keyClick(box, Qt::Key_Return);
    else
        elsewhere->setFocus();
    QCOMPARE(didChange.count(), 1);
    QCOMPARE(didChange.at(0), QVariantList({typed.toInt(), changed}));
    QCOMPARE(panel->committedCrpm, typed.toInt());

    // A second finish right after has nothing new to report.
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Enter);
    QCOMPARE(didChange.last(), QVariantList({typed.toInt(), false}));
}

void tst_RotorWidget::directionButtonsAreExclusive()
{
    RotorWidget panel(nullptr);
    panel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&panel));
    QPushButton *cw = panel.ui.cwBtn;
    QPushButton *ccw = panel.ui.ccwBtn;
    cw->setEnabled(true);
    ccw->setEnabled(true);
    QSignalSpy direction(&panel, &RotorWidget::directionChanged);

    QTest::mouseClick(ccw, Qt::LeftButton);
    QVERIFY(ccw->isChecked());
    QVERIFY(!cw->isChecked());
    QTest::mouseClick(cw, Qt::LeftButton);
    QVERIFY(cw->isChecked());
    QVERIFY(!ccw->isChecked());
    // Clicking the checked one keeps it checked and says so again.
    QTest::mouseClick(cw, Qt::LeftButton);
    QVERIFY(cw->isChecked());
    QVERIFY(!ccw->isChecked());
    QCOMPARE(direction.count(), 3);
    QCOMPARE(direction.at(0), QVariantList({false}));
    QCOMPARE(direction.at(2), QVariantList({true}));
}

void tst_RotorWidget::loopTimesFollowTheLoopCheck()
{
    RotorWidget panel(nullptr);
    QCheckBox *check = panel.ui.loopEnableCheck;
    check->setEnabled(true);
    check->setCheckState(Qt::Checked);
    QVERIFY(panel.ui.onTimeBox->isEnabled());
    QVERIFY(panel.ui.offTimeBox->isEnabled());
    check->setCheckState(Qt::PartiallyChecked);
    QVERIFY(!panel.ui.onTimeBox->isEnabled());
    QVERIFY(!panel.ui.offTimeBox->isEnabled());
    check->setCheckState(Qt::Checked);
    check->setCheckState(Qt::Unchecked);
    QVERIFY(!panel.ui.onTimeBox->isEnabled());
}

void tst_RotorWidget::spinBoxesClampInput()
{
    RotorWidget panel(nullptr);
    const Ui::rotorWidget &ui = panel.ui;
    ui.rotorSpeedBox->setValue(40000);
    QCOMPARE(ui.rotorSpeedBox->value(), 30000);
    ui.rotorSpeedBox->setValue(-5);
    QCOMPARE(ui.rotorSpeedBox->value(), 0);
    ui.onTimeBox->setValue(0);
    QCOMPARE(ui.onTimeBox->value(), 1);
    ui.offTimeBox->setValue(99999);
    QCOMPARE(ui.offTimeBox->value(), 36000);
}

QTEST_MAIN(tst_RotorWidget)
#include "tst_rotorwidget.moc"
