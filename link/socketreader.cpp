#include "socketreader.h"

#include "cabinetprotocol.h"

#include <QMutexLocker>
#include <QtEndian>
#include <QTcpSocket>
#include <QTimer>

using namespace CabinetProtocol;

namespace {
constexpr int AnswerDeadlineMs = 3000;
// Far more than any cabinet answers while the pacing holds; past it, the bytes
// are not answers, and they must not pile up in memory.
constexpr qint64 MaxUnreadBytes = 64 * 1024;
} // namespace

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
    return wireIds.contains(transactionId);
}

bool SocketReader::withdraw(quint16 transactionId)
{
    QMutexLocker locker(&linkMutex);
    if (wireIds.contains(transactionId))
        return false;
    withdrawnIds.insert(transactionId);
    return true;
}

int SocketReader::takeOldestFromWire()
{
    QMutexLocker locker(&linkMutex);
    return wireIds.isEmpty() ? -1 : int(wireIds.takeFirst());
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
        // Exactly what is there: readAll() would grow a 16 KiB chunk per answer.
        const QByteArray data = socket->read(socket->bytesAvailable());
        incoming.write(data);
        if (incoming.bytesAvailable() > MaxUnreadBytes) {
            fail(QAbstractSocket::SocketResourceError, tr("Pump cabinet sent more data than requested"));
            return;
        }
        countAnswers(data);
        emit readyRead();
    }
    writePending = false;
    while (!writePending && !writeQueue.isEmpty()) {
        if (queuedCommands > 0)
            --queuedCommands;
        writePending = writeToSocket(writeQueue.takeFirst());
    }
}

void SocketReader::writeData(QByteArray data)
{
    // A frame for a link that is not up would only be refused by the socket and
    // leave the pacing waiting for an answer that cannot come.
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (writePending) {
        // A command waits only for the request on the wire and the commands before it.
        if (data.size() == FrameSize && data.at(FunctionOffset) == char(WriteSingleRegister)) {
            if (!replaceWithdrawnCommand(data))
                writeQueue.insert(queuedCommands++, data);
        } else {
            writeQueue.append(data);
        }
        return;
    }
    writePending = writeToSocket(data);
}

// A command that replaces one withdrawn for the same unit and register takes its
// place in the queue, so that a rotor whose commands keep changing keeps its turn.
bool SocketReader::replaceWithdrawnCommand(const QByteArray &command)
{
    for (int i = 0; i < queuedCommands; ++i) {
        const QByteArray &queued = writeQueue.at(i);
        if (queued.at(6) != command.at(6) || queued.mid(8, 2) != command.mid(8, 2))
            continue;
        QMutexLocker locker(&linkMutex);
        if (withdrawnIds.remove(qFromBigEndian<quint16>(queued.constData()))) {
            writeQueue[i] = command;
            return true;
        }
    }
    return false;
}

// False for a request withdrawn while it waited: it never goes out.
bool SocketReader::writeToSocket(const QByteArray &data)
{
    if (data.size() >= 2) {
        const quint16 transactionId = qFromBigEndian<quint16>(data.constData());
        QMutexLocker locker(&linkMutex);
        if (withdrawnIds.remove(transactionId))
            return false;
        wireIds.append(transactionId);
    }
    socket->write(data);
    // Out now, not on the socket's next write notification: a queued frame goes out
    // from the answer handler, where no flush request follows it.
    socket->flush();
    answerDue.append(clock.elapsed() + AnswerDeadlineMs);
    if (!answerTimer->isActive())
        armAnswerDeadline();
    return true;
}

// Each complete answer, 12 bytes or a 9-byte exception answer, answers the oldest
// request on the wire.
void SocketReader::countAnswers(const QByteArray &received)
{
    for (const char byte : received) {
        if (answerDue.isEmpty())
            break; // unasked bytes answer nothing sent later
        if (answerBytesSoFar == FunctionOffset)
            answerLength = answerLengthFor(byte);
        if (++answerBytesSoFar == qMax(answerLength, FunctionOffset + 1)) {
            answerBytesSoFar = 0;
            answerLength = 0;
            answerDue.removeFirst();
        }
    }
    if (answerDue.isEmpty()) {
        answerBytesSoFar = 0;
        answerLength = 0;
    }
    // The timer is left as it is: due times only grow, so it can only fire early,
    // and then it re-arms for the oldest request still waiting. Restarting it for
    // every answer is work the common case never needs.
}

void SocketReader::armAnswerDeadline()
{
    if (answerDue.isEmpty())
        answerTimer->stop();
    else
        answerTimer->start(int(qMax<qint64>(0, answerDue.first() - clock.elapsed())));
}

void SocketReader::answerDeadlinePassed()
{
    if (!answerDue.isEmpty() && answerDue.first() <= clock.elapsed())
        fail(QAbstractSocket::SocketTimeoutError, tr("Pump cabinet did not answer within 3 s"));
    else
        armAnswerDeadline();
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
    delete socket; // and the deadline timer with it
    socket = nullptr;
    answerTimer = nullptr;
}

void SocketReader::resetPacing()
{
    writeQueue.clear();
    queuedCommands = 0;
    writePending = false;
    answerDue.clear();
    answerBytesSoFar = 0;
    answerLength = 0;
    if (answerTimer)
        answerTimer->stop();
    QMutexLocker locker(&linkMutex);
    wireIds.clear();
    withdrawnIds.clear();
}

// A new attempt starts with a clean slate.
void SocketReader::resetLinkStatus()
{
    QMutexLocker locker(&linkMutex);
    linkState = socket->state();
    linkError = QAbstractSocket::UnknownSocketError;
    linkErrorString.clear();
}
