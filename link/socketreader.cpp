#include "socketreader.h"

#include <QMutexLocker>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Far more than any cabinet answers while the pacing holds; past it, the bytes
// are not answers, and they must not pile up in memory.
constexpr qint64 MaxUnreadBytes = 64 * 1024;
} // namespace

SocketReader::SocketReader()
{
    qRegisterMetaType<QAbstractSocket::SocketError>();
    qRegisterMetaType<QAbstractSocket::SocketState>();

    moveToThread(&thread);

    connect(this, SIGNAL(writeDataNotify(QByteArray)), this, SLOT(writeData(QByteArray)),
            Qt::QueuedConnection);
    connect(this, SIGNAL(flushNotify()), this, SLOT(flushSlot()), Qt::QueuedConnection);
    connect(this, SIGNAL(setupNotify()), this, SLOT(setupSlot()), Qt::BlockingQueuedConnection);
    connect(this, SIGNAL(connectNotify(QString,int)), this, SLOT(connectHost(QString,int)),
            Qt::BlockingQueuedConnection);
    connect(this, SIGNAL(dropNotify(QAbstractSocket::SocketError,QString)),
            this, SLOT(dropSlot(QAbstractSocket::SocketError,QString)), Qt::QueuedConnection);

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

qint64 SocketReader::write(const QByteArray &data)
{
    emit writeDataNotify(data);
    return data.size();
}

void SocketReader::dropLink(QAbstractSocket::SocketError code, const QString &reason)
{
    emit dropNotify(code, reason);
}

void SocketReader::flush()
{
    emit flushNotify();
}

qint64 SocketReader::read(char *data, qint64 maxLen)
{
    return incoming.read(data, maxLen);
}

qint64 SocketReader::peek(char *data, qint64 maxLen)
{
    return incoming.peek(data, maxLen);
}

qint64 SocketReader::bytesAvailable() const
{
    return incoming.bytesAvailable();
}

bool SocketReader::isOnWire(quint16 transactionId) const
{
    QMutexLocker locker(&linkMutex);
    return sendQueue.isOnWire(transactionId);
}

bool SocketReader::withdraw(quint16 transactionId)
{
    QMutexLocker locker(&linkMutex);
    return sendQueue.withdraw(transactionId);
}

int SocketReader::takeOldestFromWire()
{
    QMutexLocker locker(&linkMutex);
    return sendQueue.takeOldestOnWire();
}

void SocketReader::setAnswerTimeout(int ms)
{
    {
        QMutexLocker locker(&linkMutex);
        deadline.setTimeout(ms);
    }
    // A shorter deadline may fall before the timer set for the old one.
    QMetaObject::invokeMethod(this, [this] { armAnswerDeadline(); }, Qt::QueuedConnection);
}

int SocketReader::answerTimeout() const
{
    QMutexLocker locker(&linkMutex);
    return deadline.timeout();
}

int SocketReader::answerMs() const
{
    QMutexLocker locker(&linkMutex);
    return int(deadline.answerMs());
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
    connectTimer->stop();
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
        // Exactly what is there: readAll() would grow a 16 KiB chunk per answer.
        const QByteArray data = socket->read(socket->bytesAvailable());
        incoming.write(data);
        if (incoming.bytesAvailable() > MaxUnreadBytes) {
            fail(QAbstractSocket::SocketResourceError, tr("Pump cabinet sent more data than requested"));
            return;
        }
        {
            QMutexLocker locker(&linkMutex);
            deadline.received(data.constData(), data.size(), clock.elapsed());
        }
        // The timer is left as it is: it can only fire early, and then it re-arms
        // for the oldest request still waiting. Restarting it for every answer is
        // work the common case never needs.
        emit readyRead();
    }
    writePending = sendNext();
}

void SocketReader::writeData(QByteArray data)
{
    // A frame for a link that is not up would only be refused by the socket and
    // leave the pacing waiting for an answer that cannot come.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    {
        QMutexLocker locker(&linkMutex);
        sendQueue.add(data);
    }
    if (!writePending)
        writePending = sendNext();
}

// False when nothing is left to send.
bool SocketReader::sendNext()
{
    QByteArray frame;
    bool command = false;
    {
        QMutexLocker locker(&linkMutex);
        frame = sendQueue.takeNext(&command);
        if (frame.isEmpty())
            return false;
        deadline.sent(clock.elapsed());
    }
    socket->write(frame);
    // Out now, not on the socket's next write notification: a queued frame goes out
    // from the answer handler, where no flush request follows it.
    socket->flush();
    if (command)
        emit commandWritten(frame);
    if (!answerTimer->isActive())
        armAnswerDeadline();
    return true;
}

void SocketReader::armAnswerDeadline()
{
    if (!answerTimer)
        return;
    qint64 due = 0;
    {
        QMutexLocker locker(&linkMutex);
        due = deadline.nextDue();
    }
    if (due < 0)
        answerTimer->stop();
    else
        answerTimer->start(int(qMax<qint64>(0, due - clock.elapsed())));
}

void SocketReader::answerDeadlinePassed()
{
    int timeoutMs = 0;
    bool passed = false;
    {
        QMutexLocker locker(&linkMutex);
        passed = deadline.hasPassed(clock.elapsed());
        timeoutMs = deadline.timeout();
    }
    if (passed) {
        fail(QAbstractSocket::SocketTimeoutError, tr("Pump cabinet did not answer within %1 s")
                                                          .arg(QString::number(timeoutMs / 1000.0)));
    } else {
        armAnswerDeadline();
    }
}

void SocketReader::connectDeadlinePassed()
{
    const QAbstractSocket::SocketState now = socket->state();
    if (now != QAbstractSocket::HostLookupState && now != QAbstractSocket::ConnectingState)
        return;
    int timeoutMs = 0;
    {
        QMutexLocker locker(&linkMutex);
        timeoutMs = deadline.timeout();
    }
    fail(QAbstractSocket::SocketTimeoutError, tr("Pump cabinet did not take the connection within %1 s")
                                                      .arg(QString::number(timeoutMs / 1000.0)));
}

void SocketReader::dropSlot(QAbstractSocket::SocketError code, QString reason)
{
    fail(code, reason);
}

// A fault of the cabinet's making takes the path of a socket error: reported,
// then the connection is dropped.
void SocketReader::fail(QAbstractSocket::SocketError code, const QString &reason)
{
    if (socket->state() == QAbstractSocket::UnconnectedState)
        return;
    {
        QMutexLocker locker(&linkMutex);
        linkError = code;
        linkErrorString = reason;
    }
    emit error(code);
    socket->abort();
    resetPacing();
}

void SocketReader::connectHost(QString ip, int port)
{
    resetPacing();
    incoming.clear();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    // Cleared before the attempt: an error the socket reports from inside
    // connectToHost() (no route to the address) belongs to this attempt.
    resetLinkStatus();
    socket->connectToHost(ip, quint16(port), QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    {
        QMutexLocker locker(&linkMutex);
        connectTimer->start(deadline.timeout());
    }
    QMutexLocker locker(&linkMutex);
    linkState = socket->state();
}

void SocketReader::flushSlot()
{
    socket->flush();
}

void SocketReader::setupSlot()
{
    socket = new QTcpSocket;
    socket->setReadBufferSize(MaxUnreadBytes);
    clock.start();
    answerTimer = new QTimer(socket);
    answerTimer->setSingleShot(true);
    connect(answerTimer, SIGNAL(timeout()), this, SLOT(answerDeadlinePassed()));
    connectTimer = new QTimer(socket);
    connectTimer->setSingleShot(true);
    connect(connectTimer, SIGNAL(timeout()), this, SLOT(connectDeadlinePassed()));
    connect(socket, SIGNAL(connected()), this, SLOT(sockConnected()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(sockDisconnected()));
    // errorOccurred: the name Qt 5.15 and Qt 6 both have.
    connect(socket, SIGNAL(errorOccurred(QAbstractSocket::SocketError)),
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
    resetPacing();
    QObject::disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    delete socket; // and the deadline timers with it
    socket = nullptr;
    answerTimer = nullptr;
    connectTimer = nullptr;
}

void SocketReader::resetPacing()
{
    writePending = false;
    if (answerTimer)
        answerTimer->stop();
    QMutexLocker locker(&linkMutex);
    sendQueue.clear();
    deadline.clear();
}

// A new attempt starts with a clean slate.
void SocketReader::resetLinkStatus()
{
    QMutexLocker locker(&linkMutex);
    linkState = socket->state();
    linkError = QAbstractSocket::UnknownSocketError;
    linkErrorString.clear();
}
