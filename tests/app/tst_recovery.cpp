#include "appdriver.h"

#include "cabinet.h"
#include "cabinetprotocol.h"
#include "history.h"
#include "historydatabase.h"
#include "mainwindow.h"
#include "recovery.h"
#include "recoverydialog.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "startup.h"
#include "testsupport.h"

#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <cstdio>

using namespace CabinetProtocol;

namespace {

// The loops of the run that is killed: two rotors in a run phase at the kill (3 s
// on), two in a pause phase (1 s on, then 2 s off).
struct Looping
{
    int row;
    int rotor;
    int onSecs;
    int offSecs;
};
const Looping Loops[] = {{0, 0, 3, 1}, {0, 1, 1, 2}, {1, 0, 3, 1}, {1, 2, 1, 2}};

QString settingsFile()
{
    return QSettings().fileName();
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The run that dies and the next one write one history, beside their settings.
std::function<void()> historyBeside(const QString &settingsFolder)
{
    return [settingsFolder] {
        qputenv("XDG_DATA_HOME", QFile::encodeName(settingsFolder + QStringLiteral("/data")));
    };
}

// The program's own rows in the history, as "time|text".
QStringList programRows()
{
    QStringList rows;
    HistoryDatabase db(QDir(History::defaultFolder()).filePath(History::fileName()), HistoryDatabase::Mode::Read);
    HistoryFilter filter;
    filter.kind = HistoryKind::program();
    db.forEach(filter, [&](const HistoryEvent &e) {
        rows.prepend(QString::number(e.time) + QLatin1Char('|') + e.text);
        return true;
    });
    return rows;
}

// The run that dies: two cabinets connected, the second on display, four loops
// started; once they are on disk it says so and waits for its SIGKILL.
int firstRun(const QString &settingsFolder)
{
    TestSupport::failOnConnectWarnings();
    QApplication::setQuitOnLastWindowClosed(false);
    AppDriver driver(nullptr, settingsFolder, historyBeside(settingsFolder));
    if (driver.connectFirst(2) >= 0)
        return 2;
    driver.click(1);
    QStringList saved;
    for (const Looping &loop : Loops) {
        RotorHead *rotor = driver.cabinet(loop.row)->rotor(loop.rotor);
        rotor->setLoopRunSecs(loop.onSecs);
        rotor->setLoopPauseSecs(loop.offSecs);
        rotor->setLoopMode(true);
        rotor->start();
        saved << QStringLiteral("%1\\rotor%2\\looping=true").arg(driver.cabinet(loop.row)->host()).arg(loop.rotor + 1);
    }
    const QString file = settingsFile();
    const bool onDisk = QTest::qWaitFor([&] {
        const QByteArray text = fileText(file);
        for (const QString &line : qAsConst(saved)) {
            if (!text.contains(line.toLatin1()))
                return false;
        }
        return true;
    }, 10000);
    if (!onDisk)
        return 3;
    std::printf("looping\n");
    std::fflush(stdout);
    return QApplication::exec();
}

} // namespace

// What a program that died left behind, and what the next start makes of it.
class tst_Recovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void choiceAfterKill_data();
    void choiceAfterKill();
    void badSettingsLeaveControlAsItIs();
};

void tst_Recovery::initTestCase()
{
    qRegisterMetaType<Cabinet *>();
    qRegisterMetaType<Recovery::Choice>();
    TAVREL_REQUIRE_PRIVATE_NETWORK();
    TestSupport::failOnConnectWarnings();
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_Recovery::choiceAfterKill_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("choice");
    QTest::addColumn<QList<QStringList>>("commands"); // per entry of Loops
    QTest::addColumn<bool>("loopsRun");

    // Resumed: a run phase for a running rotor (stop 3 s on), a pause phase for a
    // stopped one (start 2 s on, stop 1 s later); looked at once the first has started again.
    QTest::newRow("resume") << "resumeButton" << int(Recovery::ResumeLoops)
                            << QList<QStringList>({{"stop", "start"}, {"start", "stop"},
                                                   {"stop", "start"}, {"start", "stop"}})
                            << true;
    QTest::newRow("stop") << "stopButton" << int(Recovery::StopRotors)
                          << QList<QStringList>({{"stop"}, {"stop"}, {"stop"}, {"stop"}}) << false;
    QTest::newRow("leave") << "leaveButton" << int(Recovery::LeaveAsTheyAre)
                           << QList<QStringList>({{}, {}, {}, {}}) << false;
}

void tst_Recovery::choiceAfterKill()
{
    QFETCH(QString, button);
    QFETCH(int, choice);
    QFETCH(QList<QStringList>, commands);
    QFETCH(bool, loopsRun);

    QObject simParent;
    SimCabinet *sims[] = {TestSupport::startSimulator(&simParent, TestSupport::installationHost(10), 502),
                          TestSupport::startSimulator(&simParent, TestSupport::installationHost(11), 502)};
    QTemporaryDir settings;
    QVERIFY(settings.isValid());

    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--first-run"), settings.path()});
    QVERIFY(first.waitForStarted());
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += first.readAllStandardOutput()).contains("looping\n"), 15000);
    // Killed while the first of each pair runs and the second pauses.
    QTRY_VERIFY_WITH_TIMEOUT(sims[0]->stopCount(1) == 1 && sims[1]->stopCount(2) == 1, 5000);
    first.kill(); // SIGKILL: nothing of the program runs any more
    QVERIFY(first.waitForFinished(5000));
    QCOMPARE(first.exitStatus(), QProcess::CrashExit);
    for (const Looping &loop : Loops)
        QCOMPARE(sims[loop.row]->rotorState(loop.rotor), loop.onSecs == 3 ? 0 : 1);
    for (SimCabinet *sim : sims)
        sim->clearRequests();
    const QSettings left(QDir(settings.path()).filePath(QStringLiteral("Dosivo A/S/Tavrel Control.conf")),
                         QSettings::IniFormat);
    const QDateTime lastAlive = QDateTime::fromString(left.value(QStringLiteral("run/lastAlive")).toString(),
                                                      Qt::ISODateWithMs);
    QVERIFY(lastAlive.isValid());

    QElapsedTimer sinceStart;
    sinceStart.start();
    auto driver = std::make_unique<AppDriver>(nullptr, settings.path(), historyBeside(settings.path()));
    QPointer<RecoveryDialog> dialog;
    QVERIFY(QTest::qWaitFor([&] {
        dialog = driver->window()->findChild<RecoveryDialog *>();
        return dialog && dialog->isVisible();
    }, 10000));
    qInfo("recovery window %lld ms after start", static_cast<long long>(sinceStart.elapsed()));

    QStringList rows;
    const QTreeWidget *list = dialog->findChild<QTreeWidget *>(QStringLiteral("rotorList"));
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = list->topLevelItem(i);
        rows << item->text(0) + QLatin1String(" | ") + item->text(1) + QLatin1String(" | ") + item->text(2);
    }
    QCOMPARE(rows, QStringList({"10.0.85.10, rotor 1 | 3 s on, 1 s off | RUNNING",
                                "10.0.85.10, rotor 2 | 1 s on, 2 s off | STOPPED",
                                "10.0.85.11, rotor 1 | 3 s on, 1 s off | RUNNING",
                                "10.0.85.11, rotor 3 | 1 s on, 2 s off | STOPPED"}));
    QVERIFY(dialog->findChild<QLabel *>(QStringLiteral("introLbl"))->text().contains(QLatin1String(" away for about ")));
    // The history says when the run that died was last seen alive.
    const QString died = QString::number(lastAlive.toMSecsSinceEpoch())
            + QStringLiteral("|Ended without closing (last seen alive)");
    QTRY_VERIFY(programRows().contains(died));
    // The cabinet on display, its row and its loop settings came back; nothing has been sent.
    QCOMPARE(driver->list()->currentIndex().row(), 1);
    QCOMPARE(driver->panel(3)->ui.loopEnableCheck->checkState(), Qt::Checked);
    QCOMPARE(driver->panel(3)->ui.onTimeBox->value(), 1);
    QCOMPARE(driver->panel(3)->ui.offTimeBox->value(), 2);
    for (SimCabinet *sim : sims) {
        for (const SimCabinet::Request &r : sim->requests())
            QCOMPARE(r.function, int(ReadInputRegister));
    }

    QSignalSpy chosen(dialog->recovery(), &Recovery::choiceMade);
    QTest::mouseClick(dialog->findChild<QPushButton *>(button), Qt::LeftButton);
    QCOMPARE(chosen.count(), 1);
    QCOMPARE(chosen.at(0).at(0).value<Recovery::Choice>(), Recovery::Choice(choice));
    QCOMPARE(chosen.at(0).at(1).toStringList(), QStringList({"10.0.85.10, rotor 1", "10.0.85.10, rotor 2",
                                                            "10.0.85.11, rotor 1", "10.0.85.11, rotor 3"}));
    QTRY_VERIFY(!dialog);

    auto sent = [&] {
        QList<QStringList> all;
        for (const Looping &loop : Loops) {
            QStringList rotor;
            for (const SimCabinet::Request &r : sims[loop.row]->requests()) {
                if (r.unit == loop.rotor && r.function == WriteSingleRegister)
                    rotor << (r.reg != RunRegister ? QStringLiteral("register %1").arg(r.reg)
                                                   : r.value == RunStart ? QStringLiteral("start")
                                                                         : QStringLiteral("stop"));
            }
            all << rotor;
        }
        return all;
    };
    if (loopsRun) {
        QTRY_VERIFY_WITH_TIMEOUT(sent().at(0).size() == 2 && sent().at(2).size() == 2, 8000);
    } else {
        // Longer than a pause phase: a loop left going would have started its rotor.
        QTRY_COMPARE(sent(), commands);
        QTest::qWait(2500);
    }
    QCOMPARE(sent(), commands);
    for (const Looping &loop : Loops) {
        QCOMPARE(driver->cabinet(loop.row)->rotor(loop.rotor)->isLoopRunning(), loopsRun);
        QCOMPARE(driver->cabinet(loop.row)->rotor(loop.rotor)->loopModeEnabled(), true);
    }
    if (choice == Recovery::StopRotors)
        QCOMPARE(sims[0]->rotorState(0), 1);
    if (choice == Recovery::LeaveAsTheyAre)
        QCOMPARE(sims[0]->rotorState(0), 0);

    // Closed, the run ends cleanly: the next start asks nothing.
    if (loopsRun)
        TestSupport::onNextDialog([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    driver->window()->close();
    QTRY_VERIFY_WITH_TIMEOUT(!driver->window()->isVisible(), 5000);
    const QString file = settingsFile();
    driver.reset();
    QVERIFY(fileText(file).contains("state=ended"));
}

void tst_Recovery::badSettingsLeaveControlAsItIs()
{
    {
        QTemporaryDir config;
        QVERIFY(config.isValid());
        QVERIFY(QDir(config.path()).mkpath(QStringLiteral("Dosivo A/S")));
        const QString file = config.filePath(QStringLiteral("Dosivo A/S/Tavrel Control.conf"));
        QFile corrupt(file);
        QVERIFY(corrupt.open(QIODevice::WriteOnly));
        corrupt.write("[run]\nstate=maybe\nlastAlive=yesterday\n\x01\xff\xfe[[[ garbage\n"
                      "[cabinets]\n10.0.85.10\\rotor1\\loop=true\n10.0.85.10\\rotor1\\onSecs=0\n"
                      "10.0.85.10\\rotor1\\offSecs=99999\n10.0.85.10\\rotor2\\loop=yes\n"
                      "10.0.85.99\\rotor1\\loop=true\n10.0.85.11\\rotor7\\loop=true\n10.0.85.12\\connected=true\n"
                      "[window]\ngeometry=@ByteArray(zz)\ncabinet=10.0.85.200\n");
        corrupt.close();

        QProcess program;
        program.setProcessEnvironment(TestSupport::programEnvironment(config.path()));
        program.start(QStringLiteral(TAVREL_CONTROL_BINARY), QStringList());
        QVERIFY(program.waitForStarted());

        // The defaults take the place of what was wrong, on disk too; what was right stays.
        QTRY_VERIFY_WITH_TIMEOUT(fileText(file).contains("10.0.85.10\\rotor1\\offSecs=1\n"), 10000);
        const QByteArray text = fileText(file);
        QVERIFY(text.contains("10.0.85.10\\rotor1\\loop=true\n"));
        QVERIFY(text.contains("10.0.85.10\\rotor1\\onSecs=1\n"));
        QVERIFY(text.contains("10.0.85.10\\rotor2\\loop=false\n"));
        QVERIFY(text.contains("state=running\n"));
        // An earlier version's record of connected cabinets goes without a word.
        for (const char *gone : {"garbage", "10.0.85.99", "rotor7", "zz", "10.0.85.200", "yesterday", "connected"})
            QVERIFY2(!text.contains(gone), gone);
        QCOMPARE(program.state(), QProcess::Running);

        const QString prefix = QStringLiteral("Settings file ") + file;
        QStringList expected = {
            prefix + " is corrupt; what could not be read is left at its default",
            prefix + ": cabinets/10.0.85.10/rotor1/offSecs: \"99999\" is not a time of 1 to 36000 s; using 1 s",
            prefix + ": cabinets/10.0.85.10/rotor1/onSecs: \"0\" is not a time of 1 to 36000 s; using 1 s",
            prefix + ": cabinets/10.0.85.10/rotor2/loop: \"yes\" is not true or false; loop mode off",
            prefix + ": cabinets/10.0.85.11/rotor7/loop: no rotor 7 on a cabinet; ignored",
            prefix + ": cabinets/10.0.85.99/rotor1/loop: no cabinet 10.0.85.99 in this installation; ignored",
            prefix + ": run/lastAlive: \"yesterday\" is not a time; the time away is not known",
            prefix + ": run/state: \"maybe\" is not running, ended or loopsLeft; taken as ended",
            prefix + ": window/cabinet: \"10.0.85.200\" is not a cabinet of this installation; none is shown",
            prefix + ": window/geometry: not a saved window geometry; using the default size and place",
        };
        expected.sort();
        QByteArray said;
        auto saidLines = [&] {
            said += program.readAllStandardError();
            QStringList lines = QString::fromLocal8Bit(said).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            lines.sort();
            return lines;
        };
        QTRY_COMPARE(saidLines(), expected);
        program.kill();
        QVERIFY(program.waitForFinished(5000));
    }
    {
        // A folder that cannot be made, even by root: its parent is a file.
        QTemporaryFile blocker;
        QVERIFY(blocker.open());
        AppDriver driver(nullptr, blocker.fileName() + QStringLiteral("/config"));
        const QLabel *cannotSave = driver.window()->statusBar()->findChild<QLabel *>(QStringLiteral("cannotSaveLbl"));
        QVERIFY(cannotSave);
        QTRY_VERIFY(cannotSave->isVisible());
        QCOMPARE(cannotSave->text(), QStringLiteral("Settings cannot be saved"));
        // Control is as it was.
        QObject simParent;
        SimCabinet *sim = TestSupport::startSimulator(&simParent, TestSupport::installationHost(10), 502);
        QVERIFY(driver.showConnected(0));
        QTest::mouseClick(driver.panel(1)->ui.rotorBtn, Qt::LeftButton);
        QTRY_COMPARE(sim->rotorState(0), 0);
    }
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    Startup::setIdentity();
    if (argc == 3 && qstrcmp(argv[1], "--first-run") == 0)
        return firstRun(QString::fromLocal8Bit(argv[2]));
    tst_Recovery test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_recovery.moc"
