#include "socketreader.h"

#include <QMutexLocker>
#include <QTcpSocket>

SocketReader::SocketReader()
{
    qRegisterMetaType<QAbstractSocket::SocketError>();
    qRegisterMetaType<QAbstractSocket::SocketState>();

    moveToThread(&thread);
    writePending = false;

    connect(this, SIGNAL(writeDataNotify(QByteArray)), this, SLOT(writeData(QByteArray)),
            Qt::QueuedConnection);
    connect(this, SIGNAL(flushNotify()), this, SLOT(flushSlot()), Qt::QueuedConnection);
    connect(this, SIGNAL(setupNotify()), this, SLOT(setupSlot()), Qt::BlockingQueuedConnection);
    connect(this, SIGNAL(connectNotify(QString,int)), this, SLOT(connectHost(QString,int)),
            Qt::BlockingQueuedConnection);

    thread.start();
    emit setupNotify();
}

SocketReader::~SocketReader()
{
    // The socket belongs to the worker thread and has to die there, while it still runs.
    QMetaObject::invokeMethod(this, "releaseSocket", Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void SocketReader::connectToHost(const QString &ip, int port)
{
    emit connectNotify(ip, port);
}

qint64 SocketReader::write(const char *data, qint64 len)
{
    emit writeDataNotify(QByteArray(data, int(len)));
    return len;
}

void SocketReader::flush()
{
    emit flushNotify();
}

qint64 SocketReader::read(char *data, qint64 maxLen)
{
    return incoming.read(data, maxLen);
}

qint64 SocketReader::bytesAvailable() const
{
    return incoming.bytesAvailable();
}

QAbstractSocket::SocketState SocketReader::state() const
{
    QMutexLocker locker(&linkMutex);
    return linkState;
}

QAbstractSocket::SocketError SocketReader::error() const
{
    QMutexLocker locker(&linkMutex);
    return linkError;
}

QString SocketReader::errorString() const
{
    QMutexLocker locker(&linkMutex);
    return linkErrorString;
}

void SocketReader::sockConnected()
{
    emit connected();
}

void SocketReader::sockDisconnected()
{
    // A reply lost with the link must not hold back the requests of the next one.
    resetPacing();
    emit disconnected();
}

void SocketReader::sockError(QAbstractSocket::SocketError err)
{
    {
        QMutexLocker locker(&linkMutex);
        linkState = socket->state();
        linkError = err;
        linkErrorString = socket->errorString();
    }
    emit error(err);
}

void SocketReader::sockStateChanged(QAbstractSocket::SocketState socketState)
{
    QMutexLocker locker(&linkMutex);
    linkState = socketState;
}

void SocketReader::readIncomingData()
{
    if (socket->isReadable() && socket->bytesAvailable() > 0) {
        incoming.write(socket->readAll());
        emit readyRead();
    }
    if (!writeQueue.isEmpty()) {
        writePending = true;
        socket->write(writeQueue.takeFirst());
    } else {
        writePending = false;
    }
}

void SocketReader::writeData(QByteArray data)
{
    // A frame for a link that is not up would only be refused by the socket and
    // leave the pacing waiting for an answer that cannot come.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (writePending) {
        writeQueue.append(data);
        return;
    }
    writePending = true;
    socket->write(data);
}

void SocketReader::connectHost(QString ip, int port)
{
    resetPacing();
    incoming.clear();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    socket->connectToHost(ip, quint16(port), QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    resetLinkStatus();
}

void SocketReader::flushSlot()
{
    socket->flush();
}

void SocketReader::setupSlot()
{
    socket = new QTcpSocket;
    connect(socket, SIGNAL(connected()), this, SLOT(sockConnected()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(sockDisconnected()));
    connect(socket, SIGNAL(error(QAbstractSocket::SocketError)),
            this, SLOT(sockError(QAbstractSocket::SocketError)));
    connect(socket, SIGNAL(readyRead()), this, SLOT(readIncomingData()), Qt::DirectConnection);
    connect(socket, SIGNAL(stateChanged(QAbstractSocket::SocketState)),
            this, SLOT(sockStateChanged(QAbstractSocket::SocketState)), Qt::DirectConnection);
    resetLinkStatus();
}

void SocketReader::releaseSocket()
{
    if (!socket)
        return;
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    delete socket;
    socket = nullptr;
    resetPacing();
}

void SocketReader::resetPacing()
{
    writeQueue.clear();
    writePending = false;
}

// A new attempt starts with a clean slate, as the socket itself does.
void SocketReader::resetLinkStatus()
{
    QMutexLocker locker(&linkMutex);
    linkState = socket->state();
    linkError = QAbstractSocket::UnknownSocketError;
    linkErrorString = socket->errorString();
}
