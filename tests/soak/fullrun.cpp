// The whole program for a long run, driven as an operator would: connect all
// thirteen cabinets, switch on loop mode (1 s on, 1 s off) and start all 52 rotors, let it
// run, then close the window and answer the question with OK. The cabinets are a
// separate simulator process whose log this reads to count the commands it got.
// Runs only inside the private network namespace (scripts/soak, scripts/memcheck).

#include "appdriver.h"
#include "cabinet.h"
#include "installation.h"
#include "mainwindow.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "startup.h"
#include "testsupport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Cabinets = Installation::CabinetCount;
constexpr int Rotors = Installation::RotorsPerCabinet;

// Lines go to standard error, so that standard output holds only what the program printed.
void report(const QString &line)
{
    std::fprintf(stderr, "fullrun: %s\n", qPrintable(line));
    std::fflush(stderr);
}

[[noreturn]] void giveUp(const QString &why)
{
    report(QStringLiteral("FAILED: ") + why);
    std::exit(1);
}

// Start and stop commands per "host unit", as the simulator logged them, and the
// last of them.
QHash<QString, QPair<int, int>> commandsInLog(const QString &path,
                                              QHash<QString, QString> *last = nullptr)
{
    QHash<QString, QPair<int, int>> counts;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text))
        giveUp(QStringLiteral("cannot read the simulator log ") + path);
    const QRegularExpression command(QStringLiteral("^(\\S+) unit (\\d): (start|stop)$"));
    while (!log.atEnd()) {
        const QRegularExpressionMatch m = command.match(QString::fromUtf8(log.readLine()).trimmed());
        if (!m.hasMatch())
            continue;
        const QString key = m.captured(1) + QLatin1Char(' ') + m.captured(2);
        auto &entry = counts[key];
        (m.captured(3) == QLatin1String("start") ? entry.first : entry.second) += 1;
        if (last)
            last->insert(key, m.captured(3));
    }
    return counts;
}

} // namespace

int main(int argc, char **argv)
{
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();

    QCommandLineParser parser;
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
            QStringLiteral("How long the loops run."), QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption logOption(QStringLiteral("sim-log"),
            QStringLiteral("The simulator's log, to count its start and stop commands."),
            QStringLiteral("file"));
    const QCommandLineOption slowOption(QStringLiteral("slow-host"),
            QStringLiteral("A cabinet that answers late: its figures are reported, not checked."),
            QStringLiteral("address"));
    const QCommandLineOption slowMsOption(QStringLiteral("slow-ms"),
            QStringLiteral("How late it answers, once the loops run."), QStringLiteral("ms"));
    const QCommandLineOption commandsOption(QStringLiteral("sim-commands"),
            QStringLiteral("Where the simulator takes its commands."), QStringLiteral("file"));
    parser.addOptions({secondsOption, logOption, slowOption, slowMsOption, commandsOption});
    parser.addHelpOption();
    parser.process(app);
    const int seconds = parser.value(secondsOption).toInt();

    if (!TestSupport::inPrivateNetwork())
        giveUp(QStringLiteral("not inside a private network namespace; run it through scripts/netns-run"));

    AppDriver driver(nullptr);
    if (!driver.window())
        giveUp(QStringLiteral("no window"));

    if (const int row = driver.connectFirst(Cabinets); row >= 0)
        giveUp(QStringLiteral("cabinet %1 did not connect").arg(row));

    // Loop mode on every rotor, through the panels, one cabinet after the other.
    QElapsedTimer sinceLoopsOn;
    QList<qint64> loopOnAt; // per rotor, ms after the first loop went on
    for (int row = 0; row < Cabinets; ++row) {
        driver.click(row);
        if (!QTest::qWaitFor([&] { return driver.panel(1)->ui.loopEnableCheck->isEnabled(); }, 5000))
            giveUp(QStringLiteral("the panels of cabinet %1 stayed disabled").arg(row));
        for (int number = 1; number <= Rotors; ++number) {
            if (!sinceLoopsOn.isValid())
                sinceLoopsOn.start();
            QTest::mouseClick(driver.panel(number)->ui.loopEnableCheck, Qt::LeftButton, {},
                              QPoint(4, driver.panel(number)->ui.loopEnableCheck->height() / 2));
            // Loop mode on a standing rotor waits for the operator's Start; the button
            // says Start once the panel has this cabinet's state.
            QPushButton *button = driver.panel(number)->ui.rotorBtn;
            if (!QTest::qWaitFor([&] { return button->text() == QLatin1String("Start"); }, 5000))
                giveUp(QStringLiteral("cabinet %1 rotor %2 does not show Start").arg(row).arg(number - 1));
            QTest::mouseClick(button, Qt::LeftButton);
            if (!driver.cabinet(row)->rotor(number - 1)->isLoopRunning())
                giveUp(QStringLiteral("the loop did not start on cabinet %1 rotor %2").arg(row).arg(number - 1));
            loopOnAt.append(sinceLoopsOn.elapsed());
        }
    }
    const long startKiB = TestSupport::procStatus("VmRSS");
    report(QStringLiteral("52 loops on; resident memory %1 KiB; running %2 s").arg(startKiB).arg(seconds));
    const QString slowHost = parser.value(slowOption);
    if (!slowHost.isEmpty()) {
        QFile commands(parser.value(commandsOption));
        if (!commands.open(QIODevice::WriteOnly | QIODevice::Text))
            giveUp(QStringLiteral("cannot write to the simulator's commands"));
        commands.write(QStringLiteral("delay %1 %2\n").arg(slowHost, parser.value(slowMsOption)).toUtf8());
    }
    Cabinet *slow = nullptr;
    for (int row = 0; row < Cabinets; ++row) {
        if (driver.cabinet(row)->host() == slowHost)
            slow = driver.cabinet(row);
    }
    // Its pending requests once the loops have settled, and at the end.
    QTest::qWait(qMin(seconds, 10) * 1000);
    const int slowPendingEarly = slow ? slow->pendingRequestCount() : 0;
    int slowPendingMost = slowPendingEarly;
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < (seconds - qMin(seconds, 10)) * 1000LL) {
        QTest::qWait(1000);
        if (slow)
            slowPendingMost = qMax(slowPendingMost, slow->pendingRequestCount());
    }
    if (slow) {
        report(QStringLiteral("%1 answering late: %2 pending requests after 10 s, %3 at the end, "
                              "%4 at most")
                   .arg(slowHost).arg(slowPendingEarly).arg(slow->pendingRequestCount())
                   .arg(slowPendingMost));
    }
    const qint64 endMs = sinceLoopsOn.elapsed();
    const long endKiB = TestSupport::procStatus("VmRSS");
    const auto counts = commandsInLog(parser.value(logOption));

    // A cycle is a start, 1 s running, a stop and 1 s standing: one start and one
    // stop per 2 s, the first start at once.
    report(QStringLiteral("rotor              starts  expected  stops  expected"));
    int off = 0;
    for (int row = 0; row < Cabinets; ++row) {
        for (int rotor = 0; rotor < Rotors; ++rotor) {
            const QString key = driver.cabinet(row)->host() + QLatin1Char(' ') + QString::number(rotor);
            const qint64 looped = endMs - loopOnAt.at(row * Rotors + rotor);
            const int expectedStarts = int(looped / 2000) + 1;
            const int expectedStops = int((looped + 1000) / 2000);
            const auto got = counts.value(key);
            // One phase either way: the log is read while the loops keep going.
            const bool ok = qAbs(got.first - expectedStarts) <= 1 && qAbs(got.second - expectedStops) <= 1;
            if (driver.cabinet(row)->host() != slowHost)
                off += ok ? 0 : 1;
            report(QStringLiteral("%1  %2  %3  %4  %5%6")
                       .arg(key, -16).arg(got.first, 6).arg(expectedStarts, 8)
                       .arg(got.second, 5).arg(expectedStops, 8).arg(ok ? "" : "  <- off"));
        }
    }
    report(QStringLiteral("resident memory: %1 KiB with the loops on, %2 KiB after %3 s (%4%5 KiB)")
               .arg(startKiB).arg(endKiB).arg(endMs / 1000)
               .arg(endKiB >= startKiB ? "+" : "").arg(endKiB - startKiB));

    // Close as the operator would: the question, answered with OK.
    QElapsedTimer closing;
    TestSupport::onNextDialog([&closing](QMessageBox *box) {
        closing.start();
        box->button(QMessageBox::Ok)->click();
    });
    driver.window()->close();
    if (!QTest::qWaitFor([&] { return !driver.window()->isVisible(); }, 20000))
        giveUp(QStringLiteral("the window did not close"));
    const qint64 closeMs = closing.elapsed();
    // Every rotor's last command, as the cabinets got it before the program ended.
    QHash<QString, QString> lastCommands;
    commandsInLog(parser.value(logOption), &lastCommands);
    const int lastNotStop = int(std::count_if(lastCommands.cbegin(), lastCommands.cend(),
                                              [](const QString &c) { return c != QLatin1String("stop"); }));
    report(QStringLiteral("close: %1 ms from OK to the window closing; %2 of %3 rotors got "
                          "stop as their last command")
               .arg(closeMs).arg(lastCommands.size() - lastNotStop).arg(lastCommands.size()));
    int stillLooping = 0;
    for (int row = 0; row < Cabinets; ++row) {
        for (int rotor = 0; rotor < Rotors; ++rotor)
            stillLooping += driver.cabinet(row)->rotor(rotor)->isLoopRunning() ? 1 : 0;
    }
    report(QStringLiteral("closed; %1 rotors off the expected count, %2 loops still running")
               .arg(off).arg(stillLooping));
    return off == 0 && stillLooping == 0 && lastNotStop == 0 ? 0 : 1;
}
