#include "appdriver.h"

#include "appcontroller.h"
#include "cabinet.h"
#include "cabinetlistmodel.h"
#include "installation.h"
#include "history.h"
#include "historymenus.h"
#include "historypanel.h"
#include "mainwindow.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListView>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

AppDriver::AppDriver(QObject *simParent, const QString &settingsFolder,
                     const std::function<void()> &beforeStart)
    : simParent(simParent)
{
    QString folder = settingsFolder;
    if (folder.isEmpty()) {
        ownSettings = std::make_unique<QTemporaryDir>();
        folder = ownSettings->path();
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
    // Never the user's own history.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    if (beforeStart)
        beforeStart();
    for (int host = Installation::FirstHost; simParent && host <= Installation::LastHost; ++host) {
        SimCabinet *sim = TestSupport::startSimulator(simParent, TestSupport::installationHost(host), 502);
        sim->setTemperature(235);
        sims.append(sim);
    }
    app = std::make_unique<AppController>();
    if (!QTest::qWaitForWindowExposed(window()))
        qWarning("the main window was not shown");
}

AppDriver::~AppDriver()
{
    app.reset();
    qDeleteAll(sims);
}

void AppDriver::endProgram()
{
    app.reset();
}

QString AppDriver::historyFile() const
{
    return QDir(History::defaultFolder()).filePath(History::fileName());
}

HistoryPanel *AppDriver::historyPanel() const
{
    return window()->findChild<HistoryMenus *>()->panel();
}

MainWindow *AppDriver::window() const
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *main = qobject_cast<MainWindow *>(widget))
            return main;
    }
    return nullptr;
}

QListView *AppDriver::list() const
{
    return window()->findChild<QListView *>(QStringLiteral("cabinetListView"));
}

RotorWidget *AppDriver::panel(int number) const
{
    return window()->findChild<RotorWidget *>(QStringLiteral("rotor%1").arg(number));
}

QPushButton *AppDriver::identifyButton() const
{
    return window()->findChild<QPushButton *>(QStringLiteral("identifyButton"));
}

QString AppDriver::labelText(const char *name) const
{
    return window()->findChild<QLabel *>(QLatin1String(name))->text();
}

Cabinet *AppDriver::cabinet(int row) const
{
    auto *model = qobject_cast<CabinetListModel *>(list()->model());
    return model->cabinetAt(model->index(row));
}

SimCabinet *AppDriver::restartSim(int row)
{
    delete sims.at(row);
    sims[row] = TestSupport::startSimulator(simParent, TestSupport::installationHost(Installation::FirstHost + row), 502);
    sims[row]->setTemperature(235);
    return sims[row];
}

void AppDriver::click(int row, bool twice)
{
    const QModelIndex index = list()->model()->index(row, 0);
    list()->scrollTo(index);
    const QPoint centre = list()->visualRect(index).center();
    // A double-click reaches the view as press, release, then the double-click.
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, centre);
    if (twice)
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, centre);
}

void AppDriver::pressEnterOn(int row)
{
    list()->setFocus();
    list()->setCurrentIndex(list()->model()->index(row, 0));
    QTest::keyClick(list(), Qt::Key_Return);
}

bool AppDriver::showConnected(int row)
{
    click(row, true);
    return QTest::qWaitFor([this] {
        return panel(1)->ui.rotorBtn->isEnabled() && identifyButton()->isEnabled();
    }, 5000);
}

int AppDriver::connectFirst(int count)
{
    // Connected as the program knows it: the socket is up a moment before the news of
    // it is handled, and a loop started in between is taken up again by that news as
    // one back from an outage, with a second Start.
    QObject listening;
    QSet<const Cabinet *> handled;
    for (int row = 0; row < count; ++row) {
        QObject::connect(cabinet(row), &Cabinet::didConnect, &listening,
                         [&handled](Cabinet *which) { handled.insert(which); });
    }
    for (int row = 0; row < count; ++row)
        pressEnterOn(row);
    for (int row = 0; row < count; ++row) {
        if (!QTest::qWaitFor([&, row] { return cabinet(row)->isConnected() && handled.contains(cabinet(row)); },
                             10000))
            return row;
    }
    return -1;
}
