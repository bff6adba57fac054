// Benchmarks that print figures: the pump link against a plain blocking socket client
// (the floor), libmodbus and Qt's own Modbus client, an operator's click to its frame,
// start-up, close and idle cost of the whole program against a minimal window, the
// GUI thread's busy time with every rotor's state asked each second, the overview's
// cost with every rotor changing, and the requests a second of watching every cabinet. Every comparison
// runs side by side in one run, against the same simulator process. Runs inside the
// private network namespace (scripts/bench); with --child it is one measured process
// of the run. With --check it also judges each figure against its goal (see Verdict)
// and exits 1 when one misses it.

#include "alarmkeeper.h"
#include "alarmmodel.h"
#include "alarmpanel.h"
#include "appcontroller.h"
#include "appdriver.h"
#include "cabinet.h"
#include "cabinetprotocol.h"
#include "installation.h"
#include "mainwindow.h"
#include "overviewview.h"
#include "motorclient.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "startup.h"
#include "stopalldialog.h"
#include "stoprun.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QAction>
#include <QListView>
#include <QMessageBox>
#include <QMainWindow>
#include <QModbusTcpClient>
#include <QModbusReply>
#include <QPushButton>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStringListModel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QDir>
#include <QTest>

#include <modbus.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace CabinetProtocol;

namespace {

const char *const LoopbackHost = "127.0.0.1";
constexpr quint16 LoopbackPort = 1502;

qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] void giveUp(const QString &why)
{
    std::fprintf(stderr, "tavrel-bench: %s\n", qPrintable(why));
    std::exit(1);
}

struct Spread
{
    double median = 0;
    double p99 = 0;
};

Spread spreadOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    Spread s;
    s.median = samples.at(samples.size() / 2);
    s.p99 = samples.at(std::min(samples.size() - 1, samples.size() * 99 / 100));
    return s;
}

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time, user and system, of the calling thread alone.
double threadCpuSeconds()
{
    timespec used {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

// How far apart repeats of one figure lie, relative to their median: (Q3 - Q1) /
// median, which for three repeats or fewer is the whole range (highest - lowest).
double relativeSpread(std::vector<double> samples)
{
    if (samples.size() < 2)
        return 0;
    std::sort(samples.begin(), samples.end());
    const double middle = samples.at(samples.size() / 2);
    const double spread = samples.at(samples.size() * 3 / 4) - samples.at(samples.size() / 4);
    return middle > 0 ? spread / middle : 0;
}

std::vector<double> numbersOf(const QString &line)
{
    std::vector<double> numbers;
    for (const QString &word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        numbers.push_back(word.toDouble());
    return numbers;
}

// --- The floor: a blocking socket doing the same 12-byte exchange -------------------

class BlockingClient
{
public:
    BlockingClient()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where {};
        where.sin_family = AF_INET;
        where.sin_port = htons(LoopbackPort);
        inet_pton(AF_INET, LoopbackHost, &where.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0)
            giveUp(QStringLiteral("the floor client cannot connect to the simulator"));
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~BlockingClient() { ::close(fd); }

    void readState(quint16 transactionId)
    {
        const unsigned char frame[FrameSize] = {
            quint8(transactionId >> 8), quint8(transactionId), 0, 0, 0, 6, 0,
            ReadInputRegister, 0, StateRegister, 0, 1,
        };
        if (::write(fd, frame, FrameSize) != FrameSize)
            giveUp(QStringLiteral("the floor client cannot write"));
        char answer[FrameSize];
        for (int got = 0; got < FrameSize;) {
            const ssize_t n = ::read(fd, answer + got, size_t(FrameSize - got));
            if (n <= 0)
                giveUp(QStringLiteral("the floor client lost the simulator"));
            got += int(n);
        }
    }

private:
    int fd = -1;
};

// Each of count exchanges timed on its own, in microseconds; exchange(i) returns
// once the i-th is answered.
std::vector<double> timeEach(int count, const std::function<void(int)> &exchange)
{
    std::vector<double> micros;
    micros.reserve(size_t(count));
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        exchange(i);
        micros.push_back(clock.nsecsElapsed() / 1000.0);
    }
    return micros;
}

// Runs the event loop until done, without QTest's sleeps between looks.
void spinUntil(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// --- The pump link ---------------------------------------------------------------

// One of the askers that keep the link's queue full.
class Asker : public QObject
{
    Q_OBJECT

public:
    std::function<void(Asker *)> answered;

public slots:
    void stateReceived(int, QString) { answered(this); }
};

constexpr int PipelineDepth = 16;

class LinkDriver : public QObject
{
    Q_OBJECT

public:
    LinkDriver()
        : client(QString::fromLatin1(LoopbackHost), LoopbackPort)
    {
        client.connectToHost();
        if (!QTest::qWaitFor([this] { return client.isConnected(); }, 5000))
            giveUp(QStringLiteral("the pump link cannot connect to the simulator"));
    }

    // One request at a time: ask, wait for the answer slot, ask again.
    std::vector<double> roundTrips(int count)
    {
        return timeEach(count, [this](int) {
            const int before = answers;
            client.readState(this, SLOT(stateReceived(int,QString)));
            spinUntil([&] { return answers != before; });
        });
    }

    // The queue kept full: each of several askers asks again as soon as its answer
    // is in, until count answers have come. The client asks no question twice while
    // it waits, so "at once" is as many questions as there are askers.
    double pipelinedMs(int count)
    {
        QElapsedTimer clock;
        clock.start();
        int asked = 0;
        int answered = 0;
        std::vector<std::unique_ptr<Asker>> askers;
        auto ask = [&](Asker *asker) {
            ++asked;
            client.readState(asker, SLOT(stateReceived(int,QString)));
        };
        for (int i = 0; i < PipelineDepth; ++i) {
            askers.push_back(std::make_unique<Asker>());
            askers.back()->answered = [&](Asker *asker) {
                ++answered;
                if (asked < count)
                    ask(asker);
            };
        }
        for (auto &asker : askers)
            ask(asker.get());
        spinUntil([&] { return answered >= count; });
        return clock.nsecsElapsed() / 1e6;
    }

    // One speed write at a time: write, wait until it is answered, write again.
    std::vector<double> writeRoundTrips(int count)
    {
        return timeEach(count, [this](int i) {
            client.sendCrpm(i % 3000);
            spinUntil([this] { return client.pendingRequestCount() == 0; });
        });
    }

    // Speed writes handed over all at once; the time until the last is answered.
    // Each replaces the one before it that has not gone out yet.
    double writeBurstMs(int count)
    {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i)
            client.sendCrpm(i % 3000);
        spinUntil([this] { return client.pendingRequestCount() == 0; });
        return clock.nsecsElapsed() / 1e6;
    }

public slots:
    void stateReceived(int, QString) { ++answers; }

private:
    MotorClient client;
    int answers = 0;
};

// --- Qt's own Modbus client, writing (it cannot take the 12-byte read answers) -------

class QtModbusDriver
{
public:
    QtModbusDriver()
    {
        client.setConnectionParameter(QModbusDevice::NetworkAddressParameter,
                                      QString::fromLatin1(LoopbackHost));
        client.setConnectionParameter(QModbusDevice::NetworkPortParameter, LoopbackPort);
        if (!client.connectDevice()
            || !QTest::qWaitFor([this] { return client.state() == QModbusDevice::ConnectedState; }, 5000))
            giveUp(QStringLiteral("QModbusTcpClient cannot connect to the simulator"));
    }

    std::vector<double> roundTrips(int count)
    {
        return timeEach(count, [this](int i) {
            QModbusReply *reply = write(i % 3000);
            spinUntil([reply] { return reply->isFinished(); });
            check(reply);
        });
    }

    // Every write handed over at once; Qt's client sends them all without waiting.
    double burstMs(int count)
    {
        QElapsedTimer clock;
        clock.start();
        std::vector<QModbusReply *> replies;
        for (int i = 0; i < count; ++i)
            replies.push_back(write(i % 3000));
        for (QModbusReply *reply : replies)
            spinUntil([reply] { return reply->isFinished(); });
        const double ms = clock.nsecsElapsed() / 1e6;
        for (QModbusReply *reply : replies)
            check(reply);
        return ms;
    }

private:
    QModbusReply *write(int value)
    {
        QModbusReply *reply = client.sendWriteRequest(
                QModbusDataUnit(QModbusDataUnit::HoldingRegisters, CrpmRegister,
                                QVector<quint16>{quint16(value)}), 0);
        if (!reply)
            giveUp(QStringLiteral("QModbusTcpClient: %1").arg(client.errorString()));
        return reply;
    }
    static void check(QModbusReply *reply)
    {
        if (reply->error() != QModbusDevice::NoError)
            giveUp(QStringLiteral("QModbusTcpClient: %1").arg(reply->errorString()));
        reply->deleteLater();
    }

    QModbusTcpClient client;
};

// --- libmodbus, writing (it cannot take the cabinets' 12-byte read answers) ---------

std::vector<double> libmodbusRoundTrips(int count)
{
    modbus_t *ctx = modbus_new_tcp(LoopbackHost, LoopbackPort);
    if (!ctx || modbus_connect(ctx) != 0)
        giveUp(QStringLiteral("libmodbus cannot connect to the simulator"));
    modbus_set_slave(ctx, 0);
    const std::vector<double> micros = timeEach(count, [ctx](int i) {
        if (modbus_write_register(ctx, CrpmRegister, i % 3000) != 1)
            giveUp(QStringLiteral("libmodbus: %1").arg(QString::fromLocal8Bit(modbus_strerror(errno))));
    });
    modbus_close(ctx);
    modbus_free(ctx);
    return micros;
}

// --- The minimal window the program is held against -------------------------------

class MinimalWindow : public QMainWindow
{
public:
    MinimalWindow()
    {
        QStringList rows;
        for (int host = Installation::FirstHost; host <= Installation::LastHost; ++host)
            rows << Installation::hostAddress(host);
        model.setStringList(rows);
        view.setModel(&model);
        setCentralWidget(&view);
        // The program's window at its first start (ui/mainwindow.ui): a window's pixels
        // cost the same whoever draws them, so the two are held against each other at one size.
        resize(1280, 800);
        show();
    }

private:
    QStringListModel model;
    QListView view;
};

// --- Child processes ---------------------------------------------------------------

void waitExposed(QWidget *window)
{
    if (!window || !QTest::qWaitForWindowExposed(window))
        giveUp(QStringLiteral("the window was not shown"));
}

int childStartup(const QString &which, qint64 spawnedNs)
{
    std::unique_ptr<AppController> app;
    std::unique_ptr<MinimalWindow> minimal;
    QWidget *window = nullptr;
    if (which == QLatin1String("app")) {
        app = std::make_unique<AppController>();
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (qobject_cast<MainWindow *>(w))
                window = w;
        }
    } else {
        minimal = std::make_unique<MinimalWindow>();
        window = minimal.get();
    }
    waitExposed(window);
    std::printf("%.3f\n", (monotonicNs() - spawnedNs) / 1e6);
    return 0;
}

void connectAndShow(AppDriver &driver, int cabinets)
{
    if (const int row = driver.connectFirst(cabinets); row >= 0)
        giveUp(QStringLiteral("cabinet %1 did not connect").arg(row));
    if (cabinets > 0 && !driver.showConnected(0))
        giveUp(QStringLiteral("the first cabinet's panels stayed disabled"));
}

int childClose(int cabinets)
{
    std::unique_ptr<AppDriver> driver = std::make_unique<AppDriver>(nullptr);
    connectAndShow(*driver, cabinets);
    QTest::qWait(500);
    const int threadsBefore = int(TestSupport::procStatus("Threads"));
    // The close comes from inside the event loop, which ends once the last window
    // is gone, as the program's does.
    QTimer::singleShot(0, driver->window(), [&driver] {
        std::printf("close-at %lld\n", static_cast<long long>(monotonicNs()));
        std::fflush(stdout);
        driver->window()->close();
    });
    QApplication::exec();
    driver.reset();
    // A joined thread may take a moment more to leave the kernel's list.
    long threadsAfter = TestSupport::procStatus("Threads");
    for (int i = 0; i < 50 && threadsAfter > 1; ++i) {
        QThread::msleep(2);
        threadsAfter = TestSupport::procStatus("Threads");
    }
    std::printf("threads %d -> %ld\n", threadsBefore, threadsAfter);
    std::fflush(stdout);
    return 0;
}

int childIdle(const QString &which, int seconds)
{
    std::unique_ptr<AppDriver> driver;
    std::unique_ptr<MinimalWindow> minimal;
    if (which == QLatin1String("app")) {
        driver = std::make_unique<AppDriver>(nullptr);
        connectAndShow(*driver, Installation::CabinetCount);
    } else {
        minimal = std::make_unique<MinimalWindow>();
        waitExposed(minimal.get());
    }
    QTest::qWait(2000); // settle
    // Three windows, so that the run can tell its own noise.
    for (int window = 0; window < 3; ++window) {
        const double cpuBefore = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QTest::qWait(seconds * 1000 / 3);
        std::printf("%.3f ", 100.0 * (cpuSeconds() - cpuBefore) / (wall.nsecsElapsed() / 1e9));
    }
    std::printf("%ld\n", TestSupport::procStatus("VmRSS"));
    return 0;
}

// The GUI thread's own CPU time over the wall time of each of three windows, in per
// cent of one core, while the program's event loop runs as it does in the program
// (no sleeps between looks, which would gather events into fewer wake-ups).
std::vector<double> guiBusyPercent(int windowMs)
{
    std::vector<double> percent;
    for (int window = 0; window < 3; ++window) {
        const double cpuBefore = threadCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QEventLoop loop;
        QTimer::singleShot(windowMs, &loop, &QEventLoop::quit);
        loop.exec();
        percent.push_back(100.0 * (threadCpuSeconds() - cpuBefore) / (wall.nsecsElapsed() / 1e9));
    }
    return percent;
}

// Thirteen cabinets connected, one shown (its four panels polling), first as they are,
// then with every rotor's state asked once a second, as an overview of all rotors
// would. Prints the three windows of each, then the state answers a second in the
// second part.
int childBudget(int seconds)
{
    AppDriver driver(nullptr);
    connectAndShow(driver, Installation::CabinetCount);
    QList<RotorHead *> rotors;
    QObject counter;
    int answers = 0;
    for (int row = 0; row < Installation::CabinetCount; ++row) {
        for (int i = 0; RotorHead *rotor = driver.cabinet(row)->rotor(i); ++i) {
            rotors << rotor;
            QObject::connect(rotor, &RotorHead::stateChanged, &counter, [&answers] { ++answers; });
        }
    }
    QTest::qWait(2000); // settle
    const std::vector<double> alone = guiBusyPercent(seconds * 1000 / 3);

    QTimer overview;
    overview.setTimerType(Qt::PreciseTimer);
    overview.setInterval(1000);
    QObject::connect(&overview, &QTimer::timeout, &counter, [&rotors] {
        for (RotorHead *rotor : qAsConst(rotors))
            rotor->queryState(false);
    });
    overview.start();
    QTest::qWait(2000); // the first answers in
    answers = 0;
    QElapsedTimer wall;
    wall.start();
    const std::vector<double> loaded = guiBusyPercent(seconds * 1000 / 3);
    const double perSecond = answers / (wall.nsecsElapsed() / 1e9);
    for (double percent : alone)
        std::printf("%.3f ", percent);
    for (double percent : loaded)
        std::printf("%.3f ", percent);
    std::printf("%.1f\n", perSecond);
    return 0;
}

// The overview on screen, thirteen cabinets connected, and every one of the 52 rotors
// changing state and speed each second (told to the rotor heads as their answers
// are). Prints the GUI thread's time for each second's changes up to their painting,
// as milliseconds: mean per second, then the longest.
int childOverview(int seconds)
{
    AppDriver driver(nullptr);
    connectAndShow(driver, Installation::CabinetCount);
    auto *tabs = driver.window()->findChild<QTabWidget *>(QStringLiteral("viewTabWidget"));
    tabs->setCurrentWidget(driver.window()->findChild<QWidget *>(QStringLiteral("overviewPage")));
    QTest::qWait(1500);
    std::vector<double> perSecond;
    for (int second = 0; second < seconds; ++second) {
        QElapsedTimer busy;
        busy.start();
        for (int row = 0; row < Installation::CabinetCount; ++row) {
            for (int i = 0; RotorHead *rotor = driver.cabinet(row)->rotor(i); ++i) {
                const int code = (second + i) % 2 == 0 ? Running : Stopped;
                rotor->rotorStateResponse(code, rotorStateName(code));
                rotor->rotorCrpmResponse(1000 + 10 * second + i);
            }
        }
        QCoreApplication::processEvents(); // the view paints what changed
        perSecond.push_back(busy.nsecsElapsed() / 1e6);
        QTest::qWait(1000 - int(busy.elapsed() % 1000));
    }
    const double mean = std::accumulate(perSecond.begin(), perSecond.end(), 0.0) / perSecond.size();
    std::printf("%.3f %.3f\n", mean, *std::max_element(perSecond.begin(), perSecond.end()));
    return 0;
}

// Thirteen cabinets connected and watched, one on display with its four panels asking:
// the requests a second each cabinet gets, counted by their answers. Prints the mean
// of the twelve not on display, then the one on display.
int childWatch(int seconds)
{
    AppDriver driver(nullptr);
    connectAndShow(driver, Installation::CabinetCount);
    QTest::qWait(2000); // past the connections' refresh
    QObject counter;
    std::vector<int> answers(Installation::CabinetCount, 0);
    for (int row = 0; row < Installation::CabinetCount; ++row) {
        Cabinet *cabinet = driver.cabinet(row);
        int *count = &answers[row];
        const auto one = [count] { ++*count; };
        QObject::connect(cabinet, &Cabinet::temperatureChanged, &counter, one);
        for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
            QObject::connect(rotor, &RotorHead::stateChanged, &counter, one);
            QObject::connect(rotor, &RotorHead::crpmChanged, &counter, one);
            QObject::connect(rotor, &RotorHead::directionChanged, &counter, one);
        }
    }
    QTest::qWait(seconds * 1000);
    const double idle = std::accumulate(answers.begin() + 1, answers.end(), 0.0) / (answers.size() - 1);
    std::printf("%.2f %.2f\n", idle / seconds, double(answers.front()) / seconds);
    return 0;
}

// Waits by the event loop alone: QTest's waits sleep between looks, and the
// simulators answer on this thread. Gives up after limitMs.
void waitFor(const std::function<bool()> &done, const char *what, int limitMs = 5000)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
        if (waited.elapsed() > limitMs)
            giveUp(QString::fromLatin1(what));
    }
}

// An operator's Start or Stop, clicked on the real window with the four panels
// polling, until its run command arrives at the cabinet. The cabinets are this
// process's own simulators (on the GUI thread), so it runs in a namespace of its own.
int childClicks(int count)
{
    QObject sims;
    AppDriver driver(&sims);
    connectAndShow(driver, 1);
    QPushButton *button = driver.panel(1)->ui.rotorBtn;
    qint64 clickedNs = 0;
    bool waiting = false;
    std::vector<double> micros;
    QObject::connect(driver.sim(0), &SimCabinet::requestReceived, &sims,
                     [&](const SimCabinet::Request &r) {
        if (waiting && r.unit == 0 && r.function == WriteSingleRegister && r.reg == RunRegister) {
            micros.push_back((monotonicNs() - clickedNs) / 1000.0);
            waiting = false;
        }
    });
    QTest::qWait(1500); // the panels' polls under way
    for (int i = 0; i < count; ++i) {
        waitFor([button] { return button->isEnabled(); }, "the Start/Stop button stayed disabled");
        // Between polls and within them alike: a click lands wherever it lands.
        QTest::qWait(37 + (i * 53) % 200);
        waiting = true;
        clickedNs = monotonicNs();
        QTest::mouseClick(button, Qt::LeftButton);
        waitFor([&waiting] { return !waiting; }, "a click's command never arrived");
    }
    for (double sample : micros)
        std::printf("%.1f ", sample);
    std::printf("\n");
    return 0;
}

// Stop all pumps with every cabinet connected and the panels polling: from the
// Return that confirms to the last of the 52 Stops at its cabinet, and to the last
// echo taken in, each cabinet answering after 1 ms. The simulators are this
// process's own, so that the arrival is seen where it happens.
int childStopAll(int count)
{
    QObject sims;
    AppDriver driver(&sims);
    connectAndShow(driver, Installation::CabinetCount);
    int stopsSeen = 0;
    qint64 confirmedNs = 0;
    qint64 lastStopNs = 0;
    for (int row = 0; row < Installation::CabinetCount; ++row) {
        driver.sim(row)->setAnswerDelay(1);
        QObject::connect(driver.sim(row), &SimCabinet::requestReceived, &sims,
                         [&](const SimCabinet::Request &r) {
            if (r.function == WriteSingleRegister && r.reg == RunRegister && r.value == RunStop
                && ++stopsSeen == Installation::CabinetCount * Installation::RotorsPerCabinet)
                lastStopNs = monotonicNs();
        });
    }
    auto *action = driver.window()->findChild<QAction *>(QStringLiteral("actionStopAll"));
    if (!action)
        giveUp(QStringLiteral("no Stop all action"));
    QTest::qWait(1500); // the panels' polls under way
    for (int i = 0; i < count; ++i) {
        QTest::qWait(37 + (i * 53) % 200);
        action->trigger();
        QMessageBox *box = nullptr;
        waitFor([&box] { return (box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())); },
                "the question never came");
        stopsSeen = 0;
        lastStopNs = 0;
        StopAllDialog *result = nullptr;
        const qint64 confirmNs = monotonicNs();
        QTest::keyClick(box, Qt::Key_Return);
        waitFor([&] { return (result = driver.window()->findChild<StopAllDialog *>()); },
                "no result window");
        QObject::connect(result->run(), &StopRun::finished, result, [&confirmedNs] { confirmedNs = monotonicNs(); });
        confirmedNs = 0;
        waitFor([&] { return result->run()->isSettled() && confirmedNs; }, "the Stops were not all answered");
        if (result->run()->count(StopRun::Outcome::Confirmed) != 52 || !lastStopNs)
            giveUp(QStringLiteral("not every Stop was confirmed"));
        std::printf("%.3f %.3f ", (lastStopNs - confirmNs) / 1e6, (confirmedNs - confirmNs) / 1e6);
        delete result;
    }
    std::printf("\n");
    return 0;
}

// A rotor of a cabinet not on display goes into EMERGENCY STOP at the simulator; the
// time until the alarm's row is in the window's list, and until the plant's command
// (here /bin/true) started; five times. Then every cabinet's link dropped at once,
// each with a loop running: the link alarms raised and the longest gap between turns
// of a 1 ms timer on the GUI thread. The simulators are this process's own.
int childAlarms()
{
    QObject sims;
    AppDriver driver(&sims, QString(), [] {
        QSettings().setValue(QStringLiteral("alarms/command"), QStringLiteral("/bin/true"));
    });
    connectAndShow(driver, Installation::CabinetCount);
    AlarmKeeper *alarms = driver.controller()->alarmKeeper();
    AlarmModel *shown = alarms->panel()->model();
    qint64 changedNs = 0, shownNs = 0, startedNs = 0;
    QObject::connect(shown, &QAbstractItemModel::rowsInserted, &sims, [&] { shownNs = monotonicNs(); });
    QObject::connect(alarms->command(), &AlarmCommand::started, &sims, [&](const QString &event) {
        if (event == QLatin1String("raised"))
            startedNs = monotonicNs();
    });
    QTest::qWait(2500); // every rotor's first state answers in
    SimCabinet *sim = driver.sim(7);
    std::vector<double> toShown, toStarted;
    for (int i = 0; i < 5; ++i) {
        shownNs = startedNs = 0;
        changedNs = monotonicNs();
        sim->setRotorState(0, EmergencyStop);
        waitFor([&] { return shownNs && startedNs; }, "no alarm for an emergency stop", 10000);
        toShown.push_back((shownNs - changedNs) / 1e6);
        toStarted.push_back((startedNs - changedNs) / 1e6);
        sim->setRotorState(0, Stopped);
        waitFor([&] { return alarms->list()->unacknowledgedCount() == 1
                             && alarms->list()->book().alarms().first().state == AlarmState::ClearedUnacknowledged; },
                "the alarm was not cleared", 10000);
        alarms->list()->acknowledgeAll(QStringLiteral("bench"));
        QTest::qWait(300 + 137 * i);
    }

    for (int row = 0; row < Installation::CabinetCount; ++row) {
        RotorHead *rotor = driver.cabinet(row)->rotor(3);
        rotor->setLoopRunSecs(3600);
        rotor->setLoopMode(true);
        rotor->start();
    }
    QTest::qWait(2000);
    int linkRaises = 0;
    QObject::connect(alarms->list(), &AlarmList::changed, &sims, [&](const AlarmBook::Outcome &outcome) {
        if (outcome.alarm.place.condition == QLatin1String("link") && outcome.change != AlarmBook::Change::Cleared
            && outcome.change != AlarmBook::Change::Acknowledged)
            ++linkRaises;
    });
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    qint64 lastNs = monotonicNs(), longestNs = 0;
    QObject::connect(&tick, &QTimer::timeout, &sims, [&] {
        const qint64 now = monotonicNs();
        longestNs = std::max(longestNs, now - lastNs);
        lastNs = now;
    });
    tick.start();
    QTest::qWait(200);
    longestNs = 0;
    for (int row = 0; row < Installation::CabinetCount; ++row)
        driver.sim(row)->dropConnections();
    // The simulators' own dropping is not the window's.
    lastNs = monotonicNs();
    QTest::qWait(5000); // lost, and made again
    tick.stop();
    for (double ms : toShown)
        std::printf("%.1f ", ms);
    for (double ms : toStarted)
        std::printf("%.1f ", ms);
    std::printf("%d %.1f\n", linkRaises, longestNs / 1e6);
    return 0;
}

// The client alone, for callgrind: count requests, one at a time or with the queue
// kept full.
int childCost(int count, bool oneAtATime)
{
    LinkDriver link;
    if (oneAtATime)
        link.roundTrips(count);
    else
        link.pipelinedMs(count);
    return 0;
}

// --- The parent: runs everything and prints the table -----------------------------

QString self;

QString runChild(const QStringList &arguments, qint64 *finishedNs = nullptr,
                 const QString &program = QString())
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program.isEmpty() ? self : program, arguments);
    if (!child.waitForFinished(600000) || child.exitStatus() != QProcess::NormalExit
        || child.exitCode() != 0)
        giveUp(QStringLiteral("child %1 failed: %2").arg(arguments.join(QLatin1Char(' ')),
                                                         QString::fromLocal8Bit(child.readAll())));
    if (finishedNs)
        *finishedNs = monotonicNs();
    return QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
}

double median(std::vector<double> values)
{
    return spreadOf(std::move(values)).median;
}

// A figure held against its goal. The run measures its own noise: how far the figure
// moved between the repeats of this same run (relativeSpread), a ratio taken repeat by
// repeat against its baseline measured beside it (the floor, the peer, the minimal
// window). A figure misses its goal only beyond the goal widened by that noise, figure
// > goal * (1 + noise): when the ratio itself moved by 20 % between repeats, 10 % over
// the goal cannot be told from the machine. The baseline's spread alone would not do:
// the floor is one thread and often steady while the load of the machine falls on the
// program's threads, and every busy hour would read as a regression.
struct Verdict
{
    QString what;
    double figure = 0;
    double goal = 0;
    double noise = 0;

    double limit() const { return goal * (1 + noise); }
    bool passes() const { return figure <= limit(); }
};

struct Table
{
    QStringList rows;
    QVector<Verdict> verdicts;

    void add(const QString &what, const QString &ours, const QString &against, const QString &ratio)
    {
        rows << QStringLiteral("| %1 | %2 | %3 | %4 |").arg(what, ours, against, ratio);
        std::fprintf(stderr, "  %s\n", qPrintable(rows.last()));
    }
    void judge(const QString &what, double figure, double goal, double noise)
    {
        verdicts.append(Verdict{what, figure, goal, noise});
    }
    // Writes every verdict to the file; false when a figure missed its goal.
    bool report(const QString &fileName) const
    {
        QFile file(fileName);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
            giveUp(QStringLiteral("cannot write %1").arg(fileName));
        auto shown = [](double x) { return QString::number(x, 'f', x < 10 ? 2 : 0); };
        bool allPass = true;
        for (const Verdict &v : verdicts) {
            file.write(QStringLiteral("%1: %2 %3, goal %4, noise %5 %, limit %6\n")
                           .arg(QLatin1String(v.passes() ? "pass" : "MISS"), v.what, shown(v.figure),
                                shown(v.goal), QString::number(100 * v.noise, 'f', 0), shown(v.limit()))
                           .toUtf8());
            allPass = allPass && v.passes();
        }
        return allPass;
    }
};

// Instructions per request on the GUI thread and on the worker: the difference
// between two runs, so that start-up and teardown cancel out.
QPair<double, double> callgrindPerRequest(const QString &dir, bool oneAtATime)
{
    const QString mode = oneAtATime ? QStringLiteral("single") : QStringLiteral("full");
    auto totals = [&](int count) {
        const QString prefix = QStringLiteral("%1/cost-%2-%3").arg(dir, mode).arg(count);
        runChild({QStringLiteral("--tool=callgrind"), QStringLiteral("--separate-threads=yes"),
                  QStringLiteral("--callgrind-out-file=%1.%p").arg(prefix), self,
                  QStringLiteral("--child"), QStringLiteral("cost"), QString::number(count), mode},
                 nullptr, QStringLiteral("valgrind"));
        double gui = 0, workers = 0;
        const QDir where(dir);
        for (const QString &name : where.entryList({QStringLiteral("cost-%1-%2.*").arg(mode).arg(count)})) {
            QFile file(where.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QRegularExpression summary(QStringLiteral("^summary:\\s+(\\d+)"),
                                             QRegularExpression::MultilineOption);
            const double instructions = summary.match(QString::fromLatin1(file.readAll()))
                                            .captured(1).toDouble();
            (name.endsWith(QLatin1String("-01")) ? gui : workers) += instructions;
        }
        return qMakePair(gui, workers);
    };
    const auto small = totals(2000);
    const auto large = totals(4000);
    return qMakePair((large.first - small.first) / 2000, (large.second - small.second) / 2000);
}

// Round trips, interleaved in rounds so that machine noise hits all three alike; then
// the queue kept full against the floor's plain round trips.
void readRows(Table &table, LinkDriver &link, BlockingClient &floor)
{
    std::vector<double> ours, floors, modbus, floorRatios, modbusRatios;
    link.roundTrips(500); // warm-up
    quint16 tid = 0;
    for (int round = 0; round < 5; ++round) {
        const auto a = link.roundTrips(2000);
        ours.insert(ours.end(), a.begin(), a.end());
        const auto f = timeEach(2000, [&](int) { floor.readState(tid++); });
        floors.insert(floors.end(), f.begin(), f.end());
        floorRatios.push_back(spreadOf(a).median / spreadOf(f).median);
        const auto m = libmodbusRoundTrips(2000);
        modbus.insert(modbus.end(), m.begin(), m.end());
        modbusRatios.push_back(spreadOf(a).median / spreadOf(m).median);
    }
    const Spread o = spreadOf(ours), f = spreadOf(floors), m = spreadOf(modbus);
    table.add(QStringLiteral("Round trip, one at a time (median / p99)"),
              QStringLiteral("%1 / %2 µs").arg(o.median, 0, 'f', 1).arg(o.p99, 0, 'f', 1),
              QStringLiteral("floor %1 / %2 µs; libmodbus %3 / %4 µs")
                  .arg(f.median, 0, 'f', 1).arg(f.p99, 0, 'f', 1)
                  .arg(m.median, 0, 'f', 1).arg(m.p99, 0, 'f', 1),
              QStringLiteral("%1× floor (goal ≤ 1.5×); %2× libmodbus (goal < 1×)")
                  .arg(o.median / f.median, 0, 'f', 2).arg(o.median / m.median, 0, 'f', 2));
    table.judge(QStringLiteral("round trip / floor"), o.median / f.median, 1.5, relativeSpread(floorRatios));
    table.judge(QStringLiteral("round trip / libmodbus"), o.median / m.median, 1.0, relativeSpread(modbusRatios));

    std::vector<double> oursTotal, floorTotal, ratios;
    for (int round = 0; round < 3; ++round) {
        oursTotal.push_back(link.pipelinedMs(10000));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 10000; ++i)
            floor.readState(tid++);
        floorTotal.push_back(clock.nsecsElapsed() / 1e6);
        ratios.push_back(oursTotal.back() / floorTotal.back());
    }
    const double ourMs = median(oursTotal), floorMs = median(floorTotal);
    table.add(QStringLiteral("Pipelined, 10,000 requests, 16 waiting at any time (median of 3)"),
              QStringLiteral("%1 ms").arg(ourMs, 0, 'f', 1),
              QStringLiteral("floor, 10,000 round trips: %1 ms").arg(floorMs, 0, 'f', 1),
              QStringLiteral("%1× (goal ≤ 1.1×)").arg(ourMs / floorMs, 0, 'f', 2));
    table.judge(QStringLiteral("pipelined / floor"), ourMs / floorMs, 1.1, relativeSpread(ratios));
}

// Writes against Qt's own Modbus client, interleaved in rounds as above.
void writeRows(Table &table, LinkDriver &link)
{
    QtModbusDriver qtModbus;
    std::vector<double> ourWrites, qtWrites, ratios;
    link.writeRoundTrips(500); // warm-up
    qtModbus.roundTrips(500);
    for (int round = 0; round < 5; ++round) {
        const auto a = link.writeRoundTrips(2000);
        ourWrites.insert(ourWrites.end(), a.begin(), a.end());
        const auto q = qtModbus.roundTrips(2000);
        qtWrites.insert(qtWrites.end(), q.begin(), q.end());
        ratios.push_back(spreadOf(a).median / spreadOf(q).median);
    }
    const Spread ow = spreadOf(ourWrites), qw = spreadOf(qtWrites);
    table.add(QStringLiteral("Write round trip, one at a time (median / p99)"),
              QStringLiteral("%1 / %2 µs").arg(ow.median, 0, 'f', 1).arg(ow.p99, 0, 'f', 1),
              QStringLiteral("QModbusTcpClient %1 / %2 µs").arg(qw.median, 0, 'f', 1).arg(qw.p99, 0, 'f', 1),
              QStringLiteral("%1× QModbusTcpClient (goal ≤ 1×)").arg(ow.median / qw.median, 0, 'f', 2));
    table.judge(QStringLiteral("write round trip / QModbusTcpClient"), ow.median / qw.median, 1.0,
                relativeSpread(ratios));

    std::vector<double> ourBurst, qtBurst, burstRatios;
    for (int round = 0; round < 5; ++round) {
        ourBurst.push_back(link.writeBurstMs(1000));
        qtBurst.push_back(qtModbus.burstMs(1000));
        burstRatios.push_back(ourBurst.back() / qtBurst.back());
    }
    const double ob = median(ourBurst), qb = median(qtBurst);
    table.add(QStringLiteral("1,000 speed writes issued at once, until the last is answered (median of 5)"),
              QStringLiteral("%1 ms (each write replaces the one before it that has not gone out)").arg(ob, 0, 'f', 2),
              QStringLiteral("QModbusTcpClient %1 ms (sends all 1,000)").arg(qb, 0, 'f', 2),
              QStringLiteral("%1× QModbusTcpClient (goal ≤ 1×)").arg(ob / qb, 0, 'f', 2));
    table.judge(QStringLiteral("write burst / QModbusTcpClient"), ob / qb, 1.0, relativeSpread(burstRatios));
}

// Click to frame, in namespaces of their own: the cabinets are each run's own
// simulators. Three runs of 50 clicks; their medians tell the noise.
void clickRow(Table &table)
{
    const QString netnsRun = qEnvironmentVariable("TAVREL_NETNS_RUN");
    if (netnsRun.isEmpty())
        giveUp(QStringLiteral("TAVREL_NETNS_RUN is not set; run scripts/bench"));
    std::vector<double> all, medians, p99s;
    for (int run = 0; run < 3; ++run) {
        const std::vector<double> micros = numbersOf(
                runChild({self, QStringLiteral("--child"), QStringLiteral("clicks"), QStringLiteral("50")},
                         nullptr, netnsRun));
        all.insert(all.end(), micros.begin(), micros.end());
        medians.push_back(spreadOf(micros).median);
        p99s.push_back(spreadOf(micros).p99);
    }
    const Spread spread = spreadOf(all);
    table.add(QStringLiteral("Operator's Start/Stop click to its frame at the cabinet, four panels polling (150 clicks, median / p99)"),
              QStringLiteral("%1 / %2 µs").arg(spread.median, 0, 'f', 1).arg(spread.p99, 0, 'f', 1),
              QStringLiteral("-"), QStringLiteral("goal ≤ 1000 / 3000 µs"));
    table.judge(QStringLiteral("click to frame, median µs"), spread.median, 1000, relativeSpread(medians));
    table.judge(QStringLiteral("click to frame, p99 µs"), spread.p99, 3000, relativeSpread(p99s));
}

// Three runs of ten, in namespaces of their own like the clicks.
void stopAllRow(Table &table)
{
    const QString netnsRun = qEnvironmentVariable("TAVREL_NETNS_RUN");
    if (netnsRun.isEmpty())
        giveUp(QStringLiteral("TAVREL_NETNS_RUN is not set; run scripts/bench"));
    std::vector<double> wire, echo, wireMedians, echoMedians;
    for (int run = 0; run < 3; ++run) {
        const std::vector<double> pairs = numbersOf(
                runChild({self, QStringLiteral("--child"), QStringLiteral("stopall"), QStringLiteral("10")},
                         nullptr, netnsRun));
        std::vector<double> w, e;
        for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
            w.push_back(pairs.at(i));
            e.push_back(pairs.at(i + 1));
        }
        wire.insert(wire.end(), w.begin(), w.end());
        echo.insert(echo.end(), e.begin(), e.end());
        wireMedians.push_back(median(w));
        echoMedians.push_back(median(e));
    }
    const Spread w = spreadOf(wire), e = spreadOf(echo);
    table.add(QStringLiteral("Stop all, 13 connected, panels polling: confirm to the last of 52 Stops at its cabinet (30 runs, median / p99)"),
              QStringLiteral("%1 / %2 ms").arg(w.median, 0, 'f', 1).arg(w.p99, 0, 'f', 1),
              QStringLiteral("-"), QStringLiteral("goal < 50 ms"));
    table.add(QStringLiteral("Stop all, as above, confirm to the last echo taken in, 1 ms answers (median / p99)"),
              QStringLiteral("%1 / %2 ms").arg(e.median, 0, 'f', 1).arg(e.p99, 0, 'f', 1),
              QStringLiteral("-"), QStringLiteral("goal < 1000 ms"));
    table.judge(QStringLiteral("Stop all to the last Stop at its cabinet, median ms"), w.median, 50,
                relativeSpread(wireMedians));
    table.judge(QStringLiteral("Stop all to the last echo, median ms"), e.median, 1000, relativeSpread(echoMedians));
}

// The alarms, in a namespace of their own: the cabinets are the child's own simulators.
void alarmRow(Table &table)
{
    const QString netnsRun = qEnvironmentVariable("TAVREL_NETNS_RUN");
    if (netnsRun.isEmpty())
        giveUp(QStringLiteral("TAVREL_NETNS_RUN is not set; run scripts/bench"));
    const std::vector<double> figures = numbersOf(
            runChild({self, QStringLiteral("--child"), QStringLiteral("alarms")}, nullptr, netnsRun));
    if (figures.size() != 12)
        giveUp(QStringLiteral("the alarm child did not report"));
    const std::vector<double> toShown(figures.begin(), figures.begin() + 5);
    const std::vector<double> toStarted(figures.begin() + 5, figures.begin() + 10);
    const double worst = std::max(*std::max_element(toShown.begin(), toShown.end()),
                                  *std::max_element(toStarted.begin(), toStarted.end()));
    table.add(QStringLiteral("Emergency stop at a cabinet not on display to its alarm in the list / to the alarm command started (5 times, median / worst)"),
              QStringLiteral("%1 / %2 ms; %3 / %4 ms").arg(median(toShown), 0, 'f', 0)
                  .arg(*std::max_element(toShown.begin(), toShown.end()), 0, 'f', 0)
                  .arg(median(toStarted), 0, 'f', 0)
                  .arg(*std::max_element(toStarted.begin(), toStarted.end()), 0, 'f', 0),
              QStringLiteral("-"), QStringLiteral("goal < 2000 ms"));
    table.judge(QStringLiteral("state change to alarm shown and command started, worst ms"), worst, 2000, 0);
    table.add(QStringLiteral("13 cabinets' links dropped at once, each looping: link alarms raised, longest GUI stall"),
              QStringLiteral("%1 alarms, %2 ms").arg(figures.at(10), 0, 'f', 0).arg(figures.at(11), 0, 'f', 1),
              QStringLiteral("-"), QStringLiteral("goals ≤ 13 alarms, no stall over 16 ms"));
    table.judge(QStringLiteral("link alarms for 13 dropped links"), figures.at(10), 13, 0);
    table.judge(QStringLiteral("GUI stall while 13 links drop, ms"), figures.at(11), 16, 0);
}

void callgrindRow(Table &table, const QString &scratch)
{
    const auto single = callgrindPerRequest(scratch, true);
    const auto full = callgrindPerRequest(scratch, false);
    table.add(QStringLiteral("Client cost per request (callgrind)"),
              QStringLiteral("one at a time: GUI thread %1, worker %2 instructions; 16 waiting: GUI thread %3, worker %4")
                  .arg(single.first, 0, 'f', 0).arg(single.second, 0, 'f', 0)
                  .arg(full.first, 0, 'f', 0).arg(full.second, 0, 'f', 0),
              QStringLiteral("-"), QStringLiteral("-"));
}

// Each run a fresh process, alternating; the first start of each is not counted, so
// that every counted start finds its history file and its libraries as a second start does.
void startupRow(Table &table)
{
    auto startMs = [](const QString &which) {
        return runChild({QStringLiteral("--child"), QStringLiteral("startup"), which,
                         QString::number(monotonicNs())}).toDouble();
    };
    startMs(QStringLiteral("app"));
    startMs(QStringLiteral("minimal"));
    std::vector<double> app, minimal, ratios;
    for (int run = 0; run < 7; ++run) {
        app.push_back(startMs(QStringLiteral("app")));
        minimal.push_back(startMs(QStringLiteral("minimal")));
        ratios.push_back(app.back() / minimal.back());
    }
    const double a = median(app), m = median(minimal);
    table.add(QStringLiteral("Start-up to a shown window, 13 rows (median of 7)"),
              QStringLiteral("%1 ms").arg(a, 0, 'f', 1),
              QStringLiteral("minimal window: %1 ms").arg(m, 0, 'f', 1),
              QStringLiteral("%1× (goal ≤ 1.5×)").arg(a / m, 0, 'f', 2));
    table.judge(QStringLiteral("start-up / minimal window"), a / m, 1.5, relativeSpread(ratios));
}

// From the accepted close to the end of the process.
void closeRow(Table &table)
{
    auto closeMs = [](int cabinets, QString *threads) {
        qint64 endedNs = 0;
        const QString out = runChild({QStringLiteral("--child"), QStringLiteral("close"),
                                      QString::number(cabinets)}, &endedNs);
        const qint64 closeAt = QRegularExpression(QStringLiteral("close-at (\\d+)"))
                                   .match(out).captured(1).toLongLong();
        *threads = QRegularExpression(QStringLiteral("threads (\\d+ -> \\d+)")).match(out).captured(1);
        return (endedNs - closeAt) / 1e6;
    };
    std::vector<double> connected, none;
    QString threadsConnected, threadsNone;
    for (int run = 0; run < 3; ++run) {
        connected.push_back(closeMs(Installation::CabinetCount, &threadsConnected));
        none.push_back(closeMs(0, &threadsNone));
    }
    table.add(QStringLiteral("Close, accepted to process end (median of 3)"),
              QStringLiteral("13 connected: %1 ms (threads %2)").arg(median(connected), 0, 'f', 1)
                  .arg(threadsConnected),
              QStringLiteral("none connected: %1 ms (threads %2)").arg(median(none), 0, 'f', 1)
                  .arg(threadsNone),
              QStringLiteral("%1×").arg(median(connected) / median(none), 0, 'f', 2));
}

// CPU: the mean of three windows, whose spread is the noise. Resident memory
// varies little from run to run; it is judged as it stands.
void idleRow(Table &table, int idleSeconds)
{
    auto idle = [idleSeconds](const QString &which) {
        return numbersOf(runChild({QStringLiteral("--child"), QStringLiteral("idle"), which,
                                   QString::number(idleSeconds)}));
    };
    const std::vector<double> app = idle(QStringLiteral("app"));
    const std::vector<double> minimal = idle(QStringLiteral("minimal"));
    if (app.size() != 4 || minimal.size() != 4)
        giveUp(QStringLiteral("the idle children did not report"));
    const std::vector<double> appCpu(app.begin(), app.begin() + 3);
    const std::vector<double> minimalCpu(minimal.begin(), minimal.begin() + 3);
    auto mean = [](const std::vector<double> &v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); };
    const double moreMb = (app.at(3) - minimal.at(3)) / 1024;
    table.add(QStringLiteral("Idle %1 s: 13 connected, 1 shown (CPU of one core, resident)").arg(idleSeconds),
              QStringLiteral("%1 %, %2 MB").arg(mean(appCpu), 0, 'f', 2).arg(app.at(3) / 1024, 0, 'f', 1),
              QStringLiteral("minimal window: %1 %, %2 MB").arg(mean(minimalCpu), 0, 'f', 2)
                  .arg(minimal.at(3) / 1024, 0, 'f', 1),
              QStringLiteral("+%1 MB (goals < 1 %, ≤ +5 MB)").arg(moreMb, 0, 'f', 1));
    table.judge(QStringLiteral("idle CPU, % of one core"), mean(appCpu), 1.0, relativeSpread(appCpu));
    table.judge(QStringLiteral("idle resident memory over the minimal window, MB"), moreMb, 5.0, 0);
}

void budgetRow(Table &table, int seconds)
{
    const std::vector<double> figures = numbersOf(
            runChild({QStringLiteral("--child"), QStringLiteral("budget"), QString::number(seconds)}));
    if (figures.size() != 7)
        giveUp(QStringLiteral("the budget child did not report"));
    const std::vector<double> alone(figures.begin(), figures.begin() + 3);
    const std::vector<double> loaded(figures.begin() + 3, figures.begin() + 6);
    auto mean = [](const std::vector<double> &v) { return std::accumulate(v.begin(), v.end(), 0.0) / v.size(); };
    table.add(QStringLiteral("GUI thread busy, 13 connected, 1 shown, every rotor's state asked each second (the thread's CPU time over %1 s)").arg(seconds),
              QStringLiteral("%1 % of one core (%2 state answers a second)").arg(mean(loaded), 0, 'f', 2)
                  .arg(figures.at(6), 0, 'f', 1),
              QStringLiteral("without the questions: %1 %").arg(mean(alone), 0, 'f', 2),
              QStringLiteral("goal < 5 %"));
    table.judge(QStringLiteral("GUI busy with every rotor asked each second, % of one core"), mean(loaded), 5.0,
                relativeSpread(loaded));
}

void overviewRows(Table &table, int seconds)
{
    const std::vector<double> cost = numbersOf(
            runChild({QStringLiteral("--child"), QStringLiteral("overview"), QString::number(seconds)}));
    const std::vector<double> load = numbersOf(
            runChild({QStringLiteral("--child"), QStringLiteral("watch"), QString::number(seconds)}));
    if (cost.size() != 2 || load.size() != 2)
        giveUp(QStringLiteral("the overview children did not report"));
    table.add(QStringLiteral("Overview on screen, 52 rotors changing each second: GUI thread per second (%1 s)").arg(seconds),
              QStringLiteral("%1 ms, longest %2 ms").arg(cost.at(0), 0, 'f', 2).arg(cost.at(1), 0, 'f', 2),
              QString(), QStringLiteral("goals < 5 ms, no stall > 16 ms"));
    table.judge(QStringLiteral("overview's GUI thread per second, ms"), cost.at(0), 5.0, 0);
    table.judge(QStringLiteral("overview's longest stall, ms"), cost.at(1), 16.0, 0);
    table.add(QStringLiteral("Watching 13 connected cabinets: requests a second per cabinet (%1 s)").arg(seconds),
              QStringLiteral("%1 not on display").arg(load.at(0), 0, 'f', 1),
              QStringLiteral("on display, four panels asking: %1").arg(load.at(1), 0, 'f', 1), QString());
}

struct Options
{
    bool callgrind = true;
    bool check = false;
    bool alarmsOnly = false;
    int idleSeconds = 30;
    int budgetSeconds = 15;
    QString scratch = QStringLiteral("/tmp");
};

int runAll(const Options &options)
{
    Table table;
    table.rows << QStringLiteral("| What | This program | Against | Ratio |")
               << QStringLiteral("|---|---|---|---|");
    if (options.alarmsOnly) {
        alarmRow(table);
        std::printf("%s\n", qPrintable(table.rows.join(QLatin1Char('\n'))));
        return table.report(QDir(options.scratch).filePath(QStringLiteral("verdicts.txt"))) || !options.check ? 0 : 1;
    }
    {
        LinkDriver link;
        BlockingClient floor;
        readRows(table, link, floor);
        writeRows(table, link);
    }
    clickRow(table);
    stopAllRow(table);
    if (options.callgrind)
        callgrindRow(table, options.scratch);
    startupRow(table);
    closeRow(table);
    idleRow(table, options.idleSeconds);
    budgetRow(table, options.budgetSeconds);
    overviewRows(table, options.budgetSeconds);
    alarmRow(table);

    std::printf("%s\n", qPrintable(table.rows.join(QLatin1Char('\n'))));
    std::fflush(stdout);
    const bool allPass = table.report(QDir(options.scratch).filePath(QStringLiteral("verdicts.txt")));
    return options.check && !allPass ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();
    self = QApplication::applicationFilePath();
    // The programs measured keep their settings and their history to themselves, never
    // in the user's; the children inherit both places.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    std::unique_ptr<QTemporaryDir> data;
    if (!qEnvironmentVariableIsSet("TAVREL_BENCH_DATA")) {
        data = std::make_unique<QTemporaryDir>();
        qputenv("TAVREL_BENCH_DATA", "1");
        qputenv("XDG_DATA_HOME", QFile::encodeName(data->path()));
    }
    if (!TestSupport::inPrivateNetwork())
        giveUp(QStringLiteral("not inside a private network namespace; run scripts/bench"));

    const QStringList args = QApplication::arguments().mid(1);
    if (args.value(0) == QLatin1String("--child")) {
        const QString what = args.value(1);
        if (what == QLatin1String("startup"))
            return childStartup(args.value(2), args.value(3).toLongLong());
        if (what == QLatin1String("close"))
            return childClose(args.value(2).toInt());
        if (what == QLatin1String("idle"))
            return childIdle(args.value(2), args.value(3).toInt());
        if (what == QLatin1String("cost"))
            return childCost(args.value(2).toInt(), args.value(3) == QLatin1String("single"));
        if (what == QLatin1String("clicks"))
            return childClicks(args.value(2).toInt());
        if (what == QLatin1String("alarms"))
            return childAlarms();
        if (what == QLatin1String("stopall"))
            return childStopAll(args.value(2).toInt());
        if (what == QLatin1String("budget"))
            return childBudget(args.value(2).toInt());
        if (what == QLatin1String("overview"))
            return childOverview(args.value(2).toInt());
        if (what == QLatin1String("watch"))
            return childWatch(args.value(2).toInt());
        giveUp(QStringLiteral("unknown child ") + what);
    }
    // tavrel-bench [--check] [--no-callgrind] [--idle SECONDS] [--budget SECONDS] [--scratch DIR]
    //              [--alarms-only]
    Options options;
    options.alarmsOnly = args.contains(QStringLiteral("--alarms-only"));
    options.check = args.contains(QStringLiteral("--check"));
    // The instruction counts have no goal: a check leaves them out.
    options.callgrind = !options.check && !args.contains(QStringLiteral("--no-callgrind"));
    if (const int at = args.indexOf(QStringLiteral("--idle")); at >= 0)
        options.idleSeconds = args.value(at + 1).toInt();
    if (const int at = args.indexOf(QStringLiteral("--budget")); at >= 0)
        options.budgetSeconds = args.value(at + 1).toInt();
    if (const int at = args.indexOf(QStringLiteral("--scratch")); at >= 0)
        options.scratch = args.value(at + 1);
    return runAll(options);
}

#include "bench.moc"
