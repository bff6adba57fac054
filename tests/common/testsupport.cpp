#include "testsupport.h"

#include "simcabinet.h"

#include <QFile>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>

#include <cstdio>
#include <cstdlib>
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

SimCabinet *TestSupport::startSimulator(QObject *parent, const QString &address)
{
    auto *cabinet = new SimCabinet(parent);
    cabinet->setLogging(false);
    if (!cabinet->listen(QHostAddress(address), 0))
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
    text();
    QFile::remove(QFile::decodeName(path));
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
