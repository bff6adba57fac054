#include "testsupport.h"

#include "installation.h"
#include "simcabinet.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QRegularExpression>
#include <QTimer>
#include <QAbstractButton>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QtMessageHandler previousHandler = nullptr;

void guardHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("QObject::connect:"))
        || message.startsWith(QLatin1String("QObject::disconnect:"))) {
        std::fprintf(stderr, "FAIL: broken signal connection: %s\n", qPrintable(message));
        std::fflush(stderr);
        std::abort();
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

void TestSupport::failOnConnectWarnings()
{
    QtMessageHandler previous = qInstallMessageHandler(guardHandler);
    if (previous != guardHandler)
        previousHandler = previous;
}

QProcessEnvironment TestSupport::programEnvironment(const QString &folder)
{
    const QDir base(folder);
    base.mkpath(QStringLiteral("data"));
    base.mkpath(QStringLiteral("runtime"));
    // Qt refuses a runtime folder that others may enter.
    QFile::setPermissions(base.filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAVREL_LOCK_DIR"), folder);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), base.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), base.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

SimCabinet *TestSupport::startSimulator(QObject *parent, const QString &address, quint16 port)
{
    auto *cabinet = new SimCabinet(parent);
    cabinet->setLogging(false);
    if (!cabinet->listen(QHostAddress(address), port))
        qFatal("cannot start the cabinet simulator on %s: %s", qPrintable(address),
               qPrintable(cabinet->errorString()));
    return cabinet;
}

quint16 TestSupport::unusedPort(const QHostAddress &address)
{
    QTcpServer probe;
    probe.listen(address, 0);
    return probe.serverPort(); // closed again on return, so connections are refused
}

bool TestSupport::inPrivateNetwork()
{
    bool holdsInstallation = false;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!(interface.flags() & QNetworkInterface::IsLoopBack))
            return false;
        for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
            if (entry.ip() == QHostAddress(installationHost(Installation::FirstHost)))
                holdsInstallation = true;
        }
    }
    return holdsInstallation;
}

QString TestSupport::installationHost(int number)
{
    return Installation::hostAddress(number);
}

void TestSupport::onNextDialog(const std::function<void(QMessageBox *)> &answer)
{
    // Polled by a timer rather than waited for: the box may open later, inside any
    // event loop, and the timer fires in its modal loop too.
    // The poll owns its clock: a test that ends before the box came leaks nothing.
    auto *poll = new QTimer(qApp);
    poll->setObjectName(QStringLiteral("dialogAnswer"));
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, clock, answer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box && clock->elapsed() < 15000)
            return;
        poll->stop();
        poll->deleteLater();
        if (box)
            answer(box);
    });
    poll->start(10);
}

void TestSupport::clickCheckBox(QAbstractButton *box)
{
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, box->height() / 2));
}

void TestSupport::forgetDialogAnswers()
{
    const auto polls = qApp->findChildren<QTimer *>(QStringLiteral("dialogAnswer"), Qt::FindDirectChildrenOnly);
    for (QTimer *poll : polls)
        delete poll;
}

TestSupport::BlackHole::BlackHole(const QHostAddress &address, quint16 port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address.toIPv4Address());
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0
        || ::listen(listener, 0) != 0)
        return;
    // One connection that is never accepted fills the queue.
    filler = ::socket(AF_INET, SOCK_STREAM, 0);
    ready = ::connect(filler, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0;
}

TestSupport::BlackHole::~BlackHole()
{
    if (filler >= 0)
        ::close(filler);
    if (listener >= 0)
        ::close(listener);
}

StdoutCapture::StdoutCapture()
{
    QTemporaryFile file;
    file.setAutoRemove(false);
    file.open();
    path = QFile::encodeName(file.fileName());
    std::fflush(stdout);
    savedFd = ::dup(STDOUT_FILENO);
    std::FILE *target = std::fopen(path.constData(), "w");
    ::dup2(::fileno(target), STDOUT_FILENO);
    std::fclose(target);
}

StdoutCapture::~StdoutCapture()
{
    const QString captured = text();
    QFile::remove(QFile::decodeName(path));
    // QtTest reports a failure on standard output too: a failure inside the capture
    // would otherwise show in the totals only, without its message and location.
    if (QTest::currentTestFailed()) {
        std::fputs(captured.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
}

QString StdoutCapture::text()
{
    if (savedFd >= 0) {
        std::fflush(stdout);
        ::dup2(savedFd, STDOUT_FILENO);
        ::close(savedFd);
        savedFd = -1;
    }
    QFile file(QFile::decodeName(path));
    file.open(QIODevice::ReadOnly);
    return QString::fromLocal8Bit(file.readAll());
}

long TestSupport::procStatus(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+)").arg(QLatin1String(field)),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(status.readAll()));
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}
