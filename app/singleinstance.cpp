#include "singleinstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

namespace {

// The user's own runtime directory, so that each user has one program of their own.
QString instanceDirectory()
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (path.isEmpty())
        path = QDir::tempPath();
    return path;
}

} // namespace

SingleInstance::SingleInstance()
    : directory(instanceDirectory())
    , lock(directory + QStringLiteral("/tavrel-control.lock"))
{
    // Never stale by age: only a lock whose program is gone is taken over.
    lock.setStaleLockTime(0);
}

bool SingleInstance::acquire()
{
    if (!lock.tryLock(0))
        return false;
    const QString name = directory + QStringLiteral("/tavrel-control.socket");
    QLocalServer::removeServer(name); // left by a program that died; the lock is ours now
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.listen(name);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = server.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            raiseWindow();
        }
    });
    return true;
}

void SingleInstance::raiseRunning()
{
    QLocalSocket socket;
    socket.connectToServer(directory + QStringLiteral("/tavrel-control.socket"));
    if (socket.waitForConnected(1000))
        socket.disconnectFromServer();
}

void SingleInstance::setWindow(QWidget *window)
{
    this->window = window;
}

void SingleInstance::raiseWindow()
{
    if (!window)
        return;
    window->showNormal();
    window->raise();
    window->activateWindow();
}
