#include "singleinstance.h"

#include "plantnames.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tests and scripts that start the program set this to a folder of their own, so
// that an operator's copy on the same machine neither blocks them nor is blocked.
QString ownLockDirectory()
{
    return qEnvironmentVariable("TAVREL_LOCK_DIR");
}

// A folder every local user can write to, the same for all of them.
QString sharedLockDirectory()
{
    if (!ownLockDirectory().isEmpty())
        return ownLockDirectory();
    if (::access("/run/lock", W_OK | X_OK) == 0)
        return QStringLiteral("/run/lock");
    return QDir::tempPath();
}

// The user's own: only their own later starts reach the running window.
QString userSocketPath()
{
    if (!ownLockDirectory().isEmpty())
        return ownLockDirectory() + QStringLiteral("/tavrel-control.socket");
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/tavrel-control.socket");
    // In the shared temporary folder another user's socket may be left behind.
    return QDir::tempPath() + QStringLiteral("/tavrel-control-%1.socket").arg(::geteuid());
}

// The file is created once, by whichever user starts first, and must open for all.
int openLockFile(const QByteArray &path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Without O_CREAT first: in a sticky folder the kernel refuses O_CREAT on
        // another user's file (fs.protected_regular), world-writable or not.
        int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC); // still lockable
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666); // the umask took some of it away
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

QString readHolder(int fd)
{
    // The holder writes its name just after taking the lock; a start in between
    // finds the file empty for a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        char text[256];
        const ssize_t size = ::pread(fd, text, sizeof text, 0);
        const QString name = QString::fromLocal8Bit(text, size > 0 ? int(size) : 0).trimmed();
        if (!name.isEmpty())
            return name;
        QThread::msleep(50);
    }
    return QStringLiteral("?");
}

} // namespace

SingleInstance::SingleInstance()
    : lockPath(sharedLockDirectory() + QStringLiteral("/tavrel-control.lock"))
    , socketPath(userSocketPath())
{
}

SingleInstance::~SingleInstance()
{
    if (lockFile >= 0)
        ::close(lockFile);
}

bool SingleInstance::acquire()
{
    lockFile = openLockFile(QFile::encodeName(lockPath));
    if (lockFile < 0) {
        lockError = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (::flock(lockFile, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            holder = readHolder(lockFile);
        else
            lockError = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    holder = PlantNames::currentUser();
    const QByteArray line = holder.toLocal8Bit() + '\n';
    if (::ftruncate(lockFile, 0) != 0 || ::pwrite(lockFile, line.constData(), line.size(), 0) < 0)
        qWarning("cannot write the user's name into %s", qPrintable(lockPath));

    QLocalServer::removeServer(socketPath); // left by a program that died; the lock is ours now
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.listen(socketPath);
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = server.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            raiseWindow();
        }
    });
    return true;
}

QString SingleInstance::refusal() const
{
    if (!lockError.isEmpty())
        return tr("Tavrel Control cannot take its lock %1: %2.").arg(lockPath, lockError);
    return tr("Tavrel Control is already running on this workstation (user %1).").arg(holder);
}

void SingleInstance::raiseRunning()
{
    if (holder != PlantNames::currentUser())
        return;
    QLocalSocket socket;
    socket.connectToServer(socketPath);
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
