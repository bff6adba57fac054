#include "mainwindow.h"
#include "mainwindowcontroller.h"

#include "cabinetlist.h"
#include "rotorwidget.h"
#include "stopall.h"
#include "stopallcontrols.h"
#include "testsupport.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>


class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void formBuildsTheWindow();
    void sizesHold();
    void keepsAnObjectNameItAlreadyHas();
    void closeRequestsAskTheListener();
    void temperatureText_data();
    void temperatureText();
    void aboutBox();
    void closesAtOnceWithoutLoops();

private:
    static MainWindow *mainWindow();
};

void tst_MainWindow::initTestCase()
{
    TestSupport::failOnConnectWarnings();
    QApplication::setApplicationName(QStringLiteral("Tavrel Control"));
    QApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
}

MainWindow *tst_MainWindow::mainWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<MainWindow *>(widget); window && window->isVisible())
            return window;
    }
    return nullptr;
}

void tst_MainWindow::formBuildsTheWindow()
{
    MainWindowController controller(nullptr);
    CabinetList cabinets;
    StopAll stopAll(&cabinets);
    controller.setStopAll(&stopAll);
    MainWindow *window = mainWindow();
    QVERIFY(window);
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Tavrel Control"));
    QCOMPARE(window->locale(), QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(window->findChild<RotorWidget *>(QStringLiteral("rotor2"))->ui.rotorSpeedBox->locale(),
             QLocale(QLocale::English, QLocale::UnitedStates));

    // File, View, Control, then Help, which holds exactly About; the website action is
    // in no menu. Stop all pumps is in the Control menu and on a tool bar that cannot
    // be hidden.
    const QList<QAction *> menus = window->menuBar()->actions();
    QCOMPARE(menus.size(), 4);
    QCOMPARE(menus.at(0)->text(), QStringLiteral("File"));
    QCOMPARE(menus.at(0)->menu()->actions().at(0)->text(), QStringLiteral("Export history\u2026"));
    QCOMPARE(menus.at(1)->text(), QStringLiteral("View"));
    QCOMPARE(menus.at(2)->text(), QStringLiteral("Control"));
    QAction *stopAllAction = controller.stopControls()->stopAllAction();
    QCOMPARE(menus.at(2)->menu()->actions(), QList<QAction *>({stopAllAction}));
    QCOMPARE(stopAllAction->text(), QStringLiteral("Stop all pumps"));
    QCOMPARE(stopAllAction->shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+S")));
    auto *toolBar = window->findChild<QToolBar *>(QStringLiteral("controlToolBar"));
    QVERIFY(toolBar && toolBar->actions().contains(stopAllAction));
    QVERIFY(!toolBar->toggleViewAction()->isVisible());
    QVERIFY(!toolBar->isMovable());
    QCOMPARE(menus.at(3)->text(), QStringLiteral("Help"));
    const QList<QAction *> entries = menus.at(3)->menu()->actions();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.at(0)->objectName(), QStringLiteral("actionAbout"));
    QCOMPARE(entries.at(0)->text(), QStringLiteral("About"));
    auto *website = window->findChild<QAction *>(QStringLiteral("actionDosivo_Website"));
    QVERIFY(website);
    QCOMPARE(website->text(), QStringLiteral("Dosivo Website"));
    QVERIFY(!window->menuBar()->actions().contains(website));
    for (const QMenu *menu : window->findChildren<QMenu *>())
        QVERIFY(!menu->actions().contains(website));

    auto *identify = window->findChild<QPushButton *>(QStringLiteral("identifyButton"));
    QVERIFY(!identify->isEnabled());
    QVERIFY(identify->isCheckable());
    QVERIFY(!identify->isChecked());
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("tempLbl"))->text(), QStringLiteral("-"));
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label_2"))->text(),
             QStringLiteral("Cabinet Temperature:"));
    QCOMPARE(window->findChild<QLabel *>(QStringLiteral("label"))->text(),
             QStringLiteral("Max hose dimension: OD 4.0 (5/32), ID 2.0 (5/64), wall 0.8 mm(1/32)"));

    // The panels run rotor4 ... rotor1 from left to right, on the Cabinet page.
    window->findChild<QTabWidget *>(QStringLiteral("viewTabWidget"))
            ->setCurrentWidget(window->findChild<QWidget *>(QStringLiteral("cabinetPage")));
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(toolBar->isVisible());
    int lastX = -1;
    for (const char *name : {"rotor4", "rotor3", "rotor2", "rotor1"}) {
        auto *panel = window->findChild<RotorWidget *>(QLatin1String(name));
        QVERIFY(panel);
        const int x = panel->mapTo(window, QPoint(0, 0)).x();
        QVERIFY2(x > lastX, name);
        lastX = x;
    }

    // The version sits at the right end of the status bar from the start.
    auto *version = window->statusBar()->findChild<QLabel *>();
    QVERIFY(version);
    QCOMPARE(version->text(), QStringLiteral("Tavrel Control " TAVREL_VERSION));
    QVERIFY(version->isVisible());
    QVERIFY(version->mapTo(window, QPoint(0, 0)).x() > window->width() / 2);
}

void tst_MainWindow::sizesHold()
{
    MainWindowController controller(nullptr);
    MainWindow *window = mainWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    auto *list = window->findChild<QListView *>(QStringLiteral("cabinetListView"));
    QCOMPARE(list->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);

    // The least size holds the Control tool bar too.
    const QSize least(720, 410 + window->findChild<QToolBar *>(QStringLiteral("controlToolBar"))->sizeHint().height());
    window->resize(300, 200);
    QCOMPARE(window->size(), least);
    for (const QSize &size : {least, QSize(1900, 800), QSize(1000, 500)}) {
        window->resize(size);
        QTRY_COMPARE(window->size(), size);
        QTRY_VERIFY(list->width() >= 115 && list->width() <= 450);
    }
}

void tst_MainWindow::keepsAnObjectNameItAlreadyHas()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("controlRoom"));
    Ui::MainWindow form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("controlRoom"));
    QCOMPARE(form.rotor1->objectName(), QStringLiteral("rotor1"));
    QCOMPARE(form.rotor1->ui.frame->parent(), form.rotor1);
}

void tst_MainWindow::closeRequestsAskTheListener()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(window.close()); // nobody listening: it closes
    }
    {
        MainWindow window;
        connect(&window, &MainWindow::canCloseWindow, this, [](QCloseEvent *event) { event->ignore(); });
        window.show();
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
    }
    {
        MainWindow window;
        connect(&window, &MainWindow::canCloseWindow, this, [](QCloseEvent *event) { event->accept(); });
        window.show();
        QVERIFY(window.close());
    }
}

void tst_MainWindow::temperatureText_data()
{
    QTest::addColumn<qreal>("celsius");
    QTest::addColumn<QString>("text");
    QTest::newRow("tenths") << 23.5 << QStringLiteral("23.5 \u00B0C");
    QTest::newRow("whole") << 20.0 << QStringLiteral("20 \u00B0C");
    QTest::newRow("zero") << 0.0 << QStringLiteral("0 \u00B0C");
    QTest::newRow("register maximum") << 6553.5 << QStringLiteral("6553.5 \u00B0C");
    QTest::newRow("six digits") << 23.456789 << QStringLiteral("23.4568 \u00B0C");
}

void tst_MainWindow::temperatureText()
{
    QFETCH(qreal, celsius);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale(QLocale::German)); // the point stays a point
    MainWindowController controller(nullptr);
    controller.cabinetChangedTemp(nullptr, celsius);
    QCOMPARE(mainWindow()->findChild<QLabel *>(QStringLiteral("tempLbl"))->text(), text);
    QLocale::setDefault(QLocale::c());
}

void tst_MainWindow::aboutBox()
{
    MainWindowController controller(nullptr);
    MainWindow *window = mainWindow();
    QString title;
    QString text;
    int buttons = 0;
    TestSupport::onNextDialog([&](QMessageBox *box) {
        title = box->windowTitle();
        text = box->text();
        buttons = box->buttons().size();
        box->accept();
    });
    window->findChild<QAction *>(QStringLiteral("actionAbout"))->trigger();
    QCOMPARE(title, QStringLiteral("About Tavrel Control " TAVREL_VERSION));
    QCOMPARE(text, QStringLiteral("Copyright \u00A9 2026 Dosivo A/S\n\n"
                                  "This software controls Tavrel peristaltic pumps.\n"
                                  "See www.dosivo.com for more details."));
    QCOMPARE(buttons, 1);
}

void tst_MainWindow::closesAtOnceWithoutLoops()
{
    MainWindowController controller(nullptr);
    MainWindow *window = mainWindow();
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
