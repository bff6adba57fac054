// Benchmarks that print figures: the pump link against a plain blocking socket client
// (the floor), libmodbus and Qt's own Modbus client, an operator's click to its frame,
// start-up, close and idle cost of the whole program against a minimal window. Every comparison runs side by side in one run, against the same
// simulator process. Runs inside the private network namespace (scripts/bench); with
// --child it is one measured process of the run.

#include "appcontroller.h"
#include "appdriver.h"
#include "cabinet.h"
#include "cabinetprotocol.h"
#include "installation.h"
#include "mainwindow.h"
#include "motorclient.h"
#include "rotorwidget.h"
#include "simcabinet.h"
#include "startup.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QMainWindow>
#include <QModbusTcpClient>
#include <QModbusReply>
#include <QPushButton>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStringListModel>
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
    const double cpuBefore = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTest::qWait(seconds * 1000);
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("%.3f %ld\n", 100.0 * cpu / (wall.nsecsElapsed() / 1e9), TestSupport::procStatus("VmRSS"));
    return 0;
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
    // Waits by the event loop alone: QTest's waits sleep between looks, and the
    // simulators answer on this thread.
    auto waitFor = [](const std::function<bool()> &done, const char *what) {
        QElapsedTimer waited;
        waited.start();
        while (!done()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            if (waited.elapsed() > 5000)
                giveUp(QString::fromLatin1(what));
        }
    };
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
    const Spread spread = spreadOf(micros);
    std::printf("%.1f %.1f\n", spread.median, spread.p99);
    return 0;
}

// The client alone, for callgrind: count requests handed over at once.
int childCost(int count)
{
    LinkDriver link;
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

struct Table
{
    QStringList rows;
    void add(const QString &what, const QString &ours, const QString &against, const QString &ratio)
    {
        rows << QStringLiteral("| %1 | %2 | %3 | %4 |").arg(what, ours, against, ratio);
        std::fprintf(stderr, "  %s\n", qPrintable(rows.last()));
    }
};

// Instructions per request on the GUI thread and on the worker: the difference
// between two runs, so that start-up and teardown cancel out.
QPair<double, double> callgrindPerRequest(const QString &dir)
{
    auto totals = [&](int count) {
        const QString prefix = QStringLiteral("%1/cost-%2").arg(dir).arg(count);
        runChild({QStringLiteral("--tool=callgrind"), QStringLiteral("--separate-threads=yes"),
                  QStringLiteral("--callgrind-out-file=%1.%p").arg(prefix), self,
                  QStringLiteral("--child"), QStringLiteral("cost"), QString::number(count)},
                 nullptr, QStringLiteral("valgrind"));
        double gui = 0, workers = 0;
        const QDir where(dir);
        for (const QString &name : where.entryList({QStringLiteral("cost-%1.*").arg(count)})) {
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

int runAll(bool withCallgrind, int idleSeconds, const QString &scratch)
{
    Table table;
    table.rows << QStringLiteral("| What | This program | Against | Ratio |")
               << QStringLiteral("|---|---|---|---|");

    // Round trips, interleaved in rounds so that machine noise hits all three alike.
    {
        LinkDriver link;
        BlockingClient floor;
        std::vector<double> ours, floors, modbus;
        link.roundTrips(500); // warm-up
        quint16 tid = 0;
        for (int round = 0; round < 5; ++round) {
            const auto a = link.roundTrips(2000);
            ours.insert(ours.end(), a.begin(), a.end());
            QElapsedTimer clock;
            for (int i = 0; i < 2000; ++i) {
                clock.start();
                floor.readState(tid++);
                floors.push_back(clock.nsecsElapsed() / 1000.0);
            }
            const auto m = libmodbusRoundTrips(2000);
            modbus.insert(modbus.end(), m.begin(), m.end());
        }
        const Spread o = spreadOf(ours), f = spreadOf(floors), m = spreadOf(modbus);
        table.add(QStringLiteral("Round trip, one at a time (median / p99)"),
                  QStringLiteral("%1 / %2 µs").arg(o.median, 0, 'f', 1).arg(o.p99, 0, 'f', 1),
                  QStringLiteral("floor %1 / %2 µs; libmodbus %3 / %4 µs")
                      .arg(f.median, 0, 'f', 1).arg(f.p99, 0, 'f', 1)
                      .arg(m.median, 0, 'f', 1).arg(m.p99, 0, 'f', 1),
                  QStringLiteral("%1× floor (goal ≤ 1.5×); %2× libmodbus (goal < 1×)")
                      .arg(o.median / f.median, 0, 'f', 2).arg(o.median / m.median, 0, 'f', 2));

        std::vector<double> oursTotal, floorTotal;
        for (int round = 0; round < 3; ++round) {
            oursTotal.push_back(link.pipelinedMs(10000));
            QElapsedTimer clock;
            clock.start();
            for (int i = 0; i < 10000; ++i)
                floor.readState(tid++);
            floorTotal.push_back(clock.nsecsElapsed() / 1e6);
        }
        const double ourMs = median(oursTotal), floorMs = median(floorTotal);
        table.add(QStringLiteral("Pipelined, 10,000 requests, 16 waiting at any time (median of 3)"),
                  QStringLiteral("%1 ms").arg(ourMs, 0, 'f', 1),
                  QStringLiteral("floor, 10,000 round trips: %1 ms").arg(floorMs, 0, 'f', 1),
                  QStringLiteral("%1× (goal ≤ 1.1×)").arg(ourMs / floorMs, 0, 'f', 2));

        // Writes against Qt's own Modbus client, interleaved in rounds as above.
        QtModbusDriver qtModbus;
        std::vector<double> ourWrites, qtWrites;
        link.writeRoundTrips(500); // warm-up
        qtModbus.roundTrips(500);
        for (int round = 0; round < 5; ++round) {
            const auto a = link.writeRoundTrips(2000);
            ourWrites.insert(ourWrites.end(), a.begin(), a.end());
            const auto q = qtModbus.roundTrips(2000);
            qtWrites.insert(qtWrites.end(), q.begin(), q.end());
        }
        const Spread ow = spreadOf(ourWrites), qw = spreadOf(qtWrites);
        table.add(QStringLiteral("Write round trip, one at a time (median / p99)"),
                  QStringLiteral("%1 / %2 µs").arg(ow.median, 0, 'f', 1).arg(ow.p99, 0, 'f', 1),
                  QStringLiteral("QModbusTcpClient %1 / %2 µs").arg(qw.median, 0, 'f', 1).arg(qw.p99, 0, 'f', 1),
                  QStringLiteral("%1× QModbusTcpClient (goal ≤ 1×)").arg(ow.median / qw.median, 0, 'f', 2));

        std::vector<double> ourBurst, qtBurst;
        for (int round = 0; round < 5; ++round) {
            ourBurst.push_back(link.writeBurstMs(1000));
            qtBurst.push_back(qtModbus.burstMs(1000));
        }
        const double ob = median(ourBurst), qb = median(qtBurst);
        table.add(QStringLiteral("1,000 speed writes issued at once, until the last is answered (median of 5)"),
                  QStringLiteral("%1 ms (each write replaces the one before it that has not gone out)").arg(ob, 0, 'f', 2),
                  QStringLiteral("QModbusTcpClient %1 ms (sends all 1,000)").arg(qb, 0, 'f', 2),
                  QStringLiteral("%1× QModbusTcpClient (goal ≤ 1×)").arg(ob / qb, 0, 'f', 2));
    }

    // Click to frame, in a namespace of its own: its cabinets are its own simulators.
    {
        const QString netnsRun = qEnvironmentVariable("TAVREL_NETNS_RUN");
        if (netnsRun.isEmpty())
            giveUp(QStringLiteral("TAVREL_NETNS_RUN is not set; run scripts/bench"));
        const QStringList figures = runChild({self, QStringLiteral("--child"), QStringLiteral("clicks"),
                                              QStringLiteral("150")}, nullptr, netnsRun)
                                        .split(QLatin1Char(' '));
        table.add(QStringLiteral("Operator's Start/Stop click to its frame at the cabinet, four panels polling (150 clicks, median / p99)"),
                  QStringLiteral("%1 / %2 µs").arg(figures.value(0), figures.value(1)),
                  QStringLiteral("-"), QStringLiteral("-"));
    }

    if (withCallgrind) {
        const auto perRequest = callgrindPerRequest(scratch);
        table.add(QStringLiteral("Client cost per request (callgrind)"),
                  QStringLiteral("GUI thread %1, worker %2 instructions")
                      .arg(perRequest.first, 0, 'f', 0).arg(perRequest.second, 0, 'f', 0),
                  QStringLiteral("-"), QStringLiteral("-"));
    }

    // Start-up, each run a fresh process, alternating.
    {
        std::vector<double> app, minimal;
        for (int run = 0; run < 7; ++run) {
            app.push_back(runChild({QStringLiteral("--child"), QStringLiteral("startup"),
                                    QStringLiteral("app"), QString::number(monotonicNs())}).toDouble());
            minimal.push_back(runChild({QStringLiteral("--child"), QStringLiteral("startup"),
                                        QStringLiteral("minimal"), QString::number(monotonicNs())}).toDouble());
        }
        const double a = median(app), m = median(minimal);
        table.add(QStringLiteral("Start-up to a shown window, 13 rows (median of 7)"),
                  QStringLiteral("%1 ms").arg(a, 0, 'f', 1),
                  QStringLiteral("minimal window: %1 ms").arg(m, 0, 'f', 1),
                  QStringLiteral("%1× (goal ≤ 1.5×)").arg(a / m, 0, 'f', 2));
    }

    // Close: from the accepted close to the end of the process.
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

    // Idle.
    {
        const QStringList app = runChild({QStringLiteral("--child"), QStringLiteral("idle"),
                                          QStringLiteral("app"), QString::number(idleSeconds)})
                                    .split(QLatin1Char(' '));
        const QStringList minimal = runChild({QStringLiteral("--child"), QStringLiteral("idle"),
                                              QStringLiteral("minimal"), QString::number(idleSeconds)})
                                        .split(QLatin1Char(' '));
        table.add(QStringLiteral("Idle %1 s: 13 connected, 1 shown (CPU of one core, resident)").arg(idleSeconds),
                  QStringLiteral("%1 %, %2 MB").arg(app.value(0).toDouble(), 0, 'f', 2)
                      .arg(app.value(1).toDouble() / 1024, 0, 'f', 1),
                  QStringLiteral("minimal window: %1 %, %2 MB").arg(minimal.value(0).toDouble(), 0, 'f', 2)
                      .arg(minimal.value(1).toDouble() / 1024, 0, 'f', 1),
                  QStringLiteral("+%1 MB (goals < 1 %, ≤ +15 MB)")
                      .arg((app.value(1).toDouble() - minimal.value(1).toDouble()) / 1024, 0, 'f', 1));
    }

    std::printf("%s\n", qPrintable(table.rows.join(QLatin1Char('\n'))));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Startup::beforeApplication();
    QApplication app(argc, argv);
    Startup::setIdentity();
    self = QApplication::applicationFilePath();
    // The programs measured keep their settings to themselves, never in the user's.
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
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
            return childCost(args.value(2).toInt());
        if (what == QLatin1String("clicks"))
            return childClicks(args.value(2).toInt());
        giveUp(QStringLiteral("unknown child ") + what);
    }
    // tavrel-bench [--no-callgrind] [--idle SECONDS] [--scratch DIR]
    const int idleAt = args.indexOf(QStringLiteral("--idle"));
    const int scratchAt = args.indexOf(QStringLiteral("--scratch"));
    return runAll(!args.contains(QStringLiteral("--no-callgrind")),
                  idleAt >= 0 ? args.value(idleAt + 1).toInt() : 30,
                  scratchAt >= 0 ? args.value(scratchAt + 1) : QStringLiteral("/tmp"));
}

#include "bench.moc"
