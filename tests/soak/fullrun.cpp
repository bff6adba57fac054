// The whole program for a long run, driven as an operator would: connect all
// thirteen cabinets, switch on loop mode (1 s on, 1 s off) and start all 52 rotors, let it
// run, then close the window and answer the question with OK. The cabinets are a
// separate simulator process whose log this reads to count the commands it got, and,
// when the log is stamped with the time, to check each phase against the schedule.
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
#include <QTimer>

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

// The clock the simulator stamps its log with.
qint64 monotonicMs()
{
    QElapsedTimer now;
    now.start();
    return now.msecsSinceReference();
}

struct Command
{
    qint64 atMs = -1; // -1 when the log is not stamped
    bool start = false;
};

// Start and stop commands per "host unit", as the simulator logged them, and the
// last of them.
QHash<QString, QPair<int, int>> commandsInLog(const QString &path,
                                              QHash<QString, QString> *last = nullptr,
                                              QHash<QString, QList<Command>> *timed = nullptr)
{
    QHash<QString, QPair<int, int>> counts;
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly | QIODevice::Text))
        giveUp(QStringLiteral("cannot read the simulator log ") + path);
    const QRegularExpression command(QStringLiteral("^(?:(\\d+) )?(\\S+) unit (\\d): (start|stop)$"));
    while (!log.atEnd()) {
        const QRegularExpressionMatch m = command.match(QString::fromUtf8(log.readLine()).trimmed());
        if (!m.hasMatch())
            continue;
        const QString key = m.captured(2) + QLatin1Char(' ') + m.captured(3);
        const bool start = m.captured(4) == QLatin1String("start");
        auto &entry = counts[key];
        (start ? entry.first : entry.second) += 1;
        if (last)
            last->insert(key, m.captured(4));
        if (timed)
            (*timed)[key].append({m.captured(1).isEmpty() ? -1 : m.captured(1).toLongLong(), start});
    }
    return counts;
}

struct Interval
{
    qint64 fromMs = 0;
    qint64 toMs = 0;
};

// A loop of 1 s on and 1 s off begun at loopOnMs wants, by the end of each phase, that
// phase's command as the last one the cabinet got: a command may come late, but within
// its phase. Phases that touch an outage of the link are left out, as are those that
// end after untilMs. Returns the phases checked and how many of them were off.
QPair<int, int> phasesOff(const QList<Command> &commands, qint64 loopOnMs, qint64 untilMs,
                          const QList<Interval> &outages)
{
    constexpr qint64 PhaseMs = 1000;
    int checked = 0;
    int off = 0;
    int next = 0; // the first command not before the end of the phase checked last
    for (qint64 begin = loopOnMs, k = 0; begin + PhaseMs <= untilMs; begin += PhaseMs, ++k) {
        const qint64 end = begin + PhaseMs;
        // Both clocks are read to the millisecond, so the next phase's command may be
        // logged up to 2 ms before this phase's end as reckoned here.
        while (next < commands.size() && commands.at(next).atMs < end - 2)
            ++next;
        const bool touched = std::any_of(outages.cbegin(), outages.cend(), [&](const Interval &o) {
            return begin <= o.toMs && o.fromMs <= end;
        });
        if (touched)
            continue;
        ++checked;
        const bool wantsStart = k % 2 == 0;
        if (next == 0 || commands.at(next - 1).start != wantsStart)
            ++off;
    }
    return {checked, off};
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
    const QCommandLineOption dropOption(QStringLiteral("drop-host"),
            QStringLiteral("A cabinet whose link the simulator drops every 60 s, the first time "
                           "30 s after the loops went on."), QStringLiteral("address"));
    parser.addOptions({secondsOption, logOption, slowOption, slowMsOption, commandsOption, dropOption});
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
    QList<qint64> startClickedMs; // per rotor, on the simulator's clock, just before Start
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
            startClickedMs.append(monotonicMs());
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
    int slowRow = -1;
    for (int row = 0; row < Cabinets; ++row) {
        if (driver.cabinet(row)->host() == slowHost) {
            slow = driver.cabinet(row);
            slowRow = row;
        }
    }

    // How long each of the slow cabinet's rotors went without a state answer.
    QVector<qint64> lastStateAt(4, -1);
    QVector<qint64> longestStateGap(4, 0);
    QObject slowWatch;
    for (int unit = 0; slow && unit < 4; ++unit) {
        QObject::connect(slow->rotor(unit), &RotorHead::stateChanged, &slowWatch, [&, unit] {
            const qint64 now = sinceLoopsOn.elapsed();
            if (lastStateAt[unit] >= 0)
                longestStateGap[unit] = qMax(longestStateGap[unit], now - lastStateAt[unit]);
            lastStateAt[unit] = now;
        });
    }

    // The dropped cabinet's outages, from the drop to the link made again by itself.
    const QString dropHost = parser.value(dropOption);
    Cabinet *dropped = nullptr;
    for (int row = 0; row < Cabinets; ++row) {
        if (driver.cabinet(row)->host() == dropHost)
            dropped = driver.cabinet(row);
    }
    if (!dropHost.isEmpty() && !dropped)
        giveUp(QStringLiteral("no cabinet %1 to drop").arg(dropHost));
    QList<Interval> outages;
    QTimer dropTimer;
    dropTimer.setSingleShot(true);
    QObject::connect(&dropTimer, &QTimer::timeout, &app, [&] {
        QFile commands(parser.value(commandsOption));
        if (!commands.open(QIODevice::WriteOnly | QIODevice::Text))
            giveUp(QStringLiteral("cannot write to the simulator's commands"));
        outages.append({monotonicMs(), -1});
        commands.write(QStringLiteral("drop %1\n").arg(dropHost).toUtf8());
        dropTimer.start(60000);
    });
    if (dropped) {
        QObject::connect(dropped, &Cabinet::didConnect, &app, [&] {
            if (!outages.isEmpty() && outages.last().toMs < 0)
                outages.last().toMs = monotonicMs();
        });
        dropTimer.start(qMax<qint64>(0, 30000 - sinceLoopsOn.elapsed()));
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
        QStringList gaps;
        for (const qint64 gap : qAsConst(longestStateGap))
            gaps << QString::number(gap);
        report(QStringLiteral("%1: longest time without a state answer per rotor %2 ms; its row says \"%3\"")
                   .arg(slowHost, gaps.join(QStringLiteral(", ")),
                        driver.list()->model()->index(slowRow, 0).data(Qt::ToolTipRole).toString()));
    }
    dropTimer.stop();
    const qint64 endMs = sinceLoopsOn.elapsed();
    const qint64 endClockMs = monotonicMs();
    const long endKiB = TestSupport::procStatus("VmRSS");
    QHash<QString, QList<Command>> timed;
    const auto counts = commandsInLog(parser.value(logOption), nullptr, &timed);
    for (Interval &outage : outages) {
        if (outage.toMs < 0)
            outage.toMs = endClockMs; // not back by the end
    }

    // A cycle is a start, 1 s running, a stop and 1 s standing: one start and one
    // stop per 2 s, the first start at once. A dropped cabinet misses the commands of
    // its outages, so its rotors are judged by their phases only.
    report(QStringLiteral("rotor              starts  expected  stops  expected  phases  off"));
    int off = 0;
    int phasesChecked = 0;
    int phasesWrong = 0;
    for (int row = 0; row < Cabinets; ++row) {
        const QString host = driver.cabinet(row)->host();
        for (int rotor = 0; rotor < Rotors; ++rotor) {
            const QString key = host + QLatin1Char(' ') + QString::number(rotor);
            const qint64 looped = endMs - loopOnAt.at(row * Rotors + rotor);
            const int expectedStarts = int(looped / 2000) + 1;
            const int expectedStops = int((looped + 1000) / 2000);
            const auto got = counts.value(key);
            // One phase either way: the log is read while the loops keep going.
            bool ok = host == dropHost
                    || (qAbs(got.first - expectedStarts) <= 1 && qAbs(got.second - expectedStops) <= 1);
            const QList<Command> commands = timed.value(key);
            const bool stamped = !commands.isEmpty() && commands.first().atMs >= 0;
            // The last few commands may still be on their way into the log.
            const auto phases = stamped
                    ? phasesOff(commands, startClickedMs.at(row * Rotors + rotor), endClockMs - 200,
                                host == dropHost ? outages : QList<Interval>())
                    : qMakePair(0, 0);
            ok = ok && phases.second == 0;
            if (host != slowHost) {
                off += ok ? 0 : 1;
                phasesChecked += phases.first;
                phasesWrong += phases.second;
            }
            report(QStringLiteral("%1  %2  %3  %4  %5  %6  %7%8")
                       .arg(key, -16).arg(got.first, 6).arg(expectedStarts, 8)
                       .arg(got.second, 5).arg(expectedStops, 8)
                       .arg(phases.first, 6).arg(phases.second, 3).arg(ok ? "" : "  <- off"));
        }
    }
    if (phasesChecked > 0) {
        report(QStringLiteral("phases against the schedule: %1 checked, %2 with the wrong command "
                              "at their end").arg(phasesChecked).arg(phasesWrong));
    }
    if (dropped) {
        QStringList lasted;
        for (const Interval &outage : qAsConst(outages))
            lasted << QString::number((outage.toMs - outage.fromMs) / 1000.0, 'f', 1) + QStringLiteral(" s");
        report(QStringLiteral("%1 dropped %2 times; link back by itself after %3")
                   .arg(dropHost).arg(outages.size()).arg(lasted.join(QStringLiteral(", "))));
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
    report(QStringLiteral("closed; %1 rotors off their count or schedule, %2 loops still running")
               .arg(off).arg(stillLooping));
    return off == 0 && stillLooping == 0 && lastNotStop == 0 ? 0 : 1;
}
