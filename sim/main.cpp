#include "installation.h"
#include "simcabinet.h"
#include "simconsole.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

bool stampLines = false;

// Stamped with the monotonic clock that every process on the machine shares, so that
// another program can line the log up with what it did itself.
void printLine(const QString &text)
{
    QString line = text + QLatin1Char('\n');
    if (stampLines) {
        QElapsedTimer now;
        now.start();
        line.prepend(QString::number(now.msecsSinceReference()) + QLatin1Char(' '));
    }
    std::fputs(qPrintable(line), stdout);
    std::fflush(stdout);
}

bool parseListen(const QString &text, QHostAddress *address, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535 || !address->setAddress(text.left(colon)))
        return false;
    *port = quint16(number);
    return true;
}

struct Options
{
    QStringList listens;
    bool quiet = false;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates Tavrel pump cabinets: Modbus TCP servers with four rotor heads each.\n"
        "Every listening address is one independent cabinet. Commands typed on standard\n"
        "input set rotor states and the temperature, and inject faults.\n\n")
        + SimConsole::help());
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Serve one cabinet at <address:port>; may be given many times."),
        QStringLiteral("address:port"));
    const QCommandLineOption installationOption(
        QStringLiteral("installation"),
        QStringLiteral("Serve the %1 installation cabinets, %2 to %3 on port 502. Only inside a "
                       "private network namespace that holds those addresses.")
            .arg(Installation::CabinetCount)
            .arg(Installation::hostAddress(Installation::FirstHost),
                 Installation::hostAddress(Installation::LastHost)));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Do not log every request."));
    const QCommandLineOption timestampsOption(
        QStringLiteral("timestamps"),
        QStringLiteral("Begin every line with the monotonic clock in milliseconds (the clock "
                       "QElapsedTimer reads), to line the log up with another program's events."));
    parser.addOption(listenOption);
    parser.addOption(installationOption);
    parser.addOption(quietOption);
    parser.addOption(timestampsOption);
    parser.process(app);
    stampLines = parser.isSet(timestampsOption);

    Options options;
    options.quiet = parser.isSet(quietOption);
    options.listens = parser.values(listenOption);
    if (parser.isSet(installationOption)) {
        for (int host = Installation::FirstHost; host <= Installation::LastHost; ++host)
            options.listens << Installation::hostAddress(host) + QStringLiteral(":502");
    }
    return options;
}

// Whole lines typed on standard input go to the console; what it says is printed.
void takeInput(QSocketNotifier *input, QByteArray *typed, SimConsole *console)
{
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) {
        input->setEnabled(false); // end of input: keep serving
        return;
    }
    typed->append(chunk, int(n));
    int newline;
    while ((newline = typed->indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(typed->left(newline));
        typed->remove(0, newline + 1);
        const QString reply = console->execute(line);
        if (!reply.isEmpty())
            printLine(reply);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-cabinet-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));
    const Options options = parseOptions(app);
    if (options.listens.isEmpty()) {
        std::fputs("tavrel-cabinet-sim: nothing to serve; give --listen or --installation "
                   "(see --help)\n", stderr);
        return 2;
    }

    SimConsole console;
    for (const QString &listen : options.listens) {
        QHostAddress address;
        quint16 port = 0;
        if (!parseListen(listen, &address, &port)) {
            std::fprintf(stderr, "tavrel-cabinet-sim: not an address:port: %s\n", qPrintable(listen));
            return 2;
        }
        auto *cabinet = new SimCabinet(&app);
        cabinet->setLogging(!options.quiet);
        QObject::connect(cabinet, &SimCabinet::logLine, &app, printLine);
        if (!cabinet->listen(address, port)) {
            std::fprintf(stderr, "tavrel-cabinet-sim: cannot listen on %s: %s\n",
                         qPrintable(listen), qPrintable(cabinet->errorString()));
            return 1;
        }
        console.addCabinet(cabinet);
        printLine(QStringLiteral("cabinet listening on %1:%2")
                      .arg(cabinet->name()).arg(cabinet->port()));
    }
    printLine(QStringLiteral("ready; type help for commands"));

    QObject::connect(&console, &SimConsole::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray typed;
    QObject::connect(&input, &QSocketNotifier::activated, &app,
                     [&] { takeInput(&input, &typed, &console); });
    return app.exec();
}
