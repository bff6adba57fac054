#include "motorclient.h"

#include "cabinetprotocol.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

using namespace CabinetProtocol;

// Every request and answer as hex, for troubleshooting at the plant; off unless
// switched on with a logging rule such as QT_LOGGING_RULES="tavrel.link.debug=true".
Q_LOGGING_CATEGORY(lcLink, "tavrel.link", QtInfoMsg)

namespace {

// Answers that keep missing their requests mean the stream is out of step for
// good; a cabinet that keeps rejecting them will not change its mind.
constexpr int MaxMismatchesInARow = 3;
constexpr int MaxExceptionsInARow = 3;

void buildFrame(char *frame, quint16 transactionId, int unitId, int function, int reg,
                quint16 value)
{
    qToBigEndian<quint16>(transactionId, frame);
    qToBigEndian<quint16>(0, frame + 2);
    qToBigEndian<quint16>(6, frame + 4);
    frame[6] = char(unitId & 0xff);
    frame[7] = char(function);
    qToBigEndian<quint16>(quint16(reg), frame + 8);
    qToBigEndian<quint16>(value, frame + 10);
}

// Only called once the category is known to be on: the hex costs an allocation.
void logFrame(const QString &host, const char *direction, const char *frame,
              int length = FrameSize)
{
    qCDebug(lcLink, "%s %s %s", qPrintable(host), direction,
            QByteArray::fromRawData(frame, length).toHex(' ').constData());
}

} // namespace

MotorClient::MotorClient(const QString &host, int port)
    : host(host)
    , port(port)
{
}

void MotorClient::connectToHost()
{
    connect(&reader, SIGNAL(readyRead()), this, SLOT(dataIsReady()),
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    // Requests of a link that died will never be answered; kept, they would
    // turn every answer of the new link into a mismatch.
    pending.clear();
    mismatchesInARow = 0;
    exceptionsInARow = 0;
    reader.connectToHost(host, port);
}

bool MotorClient::isConnected() const
{
    return reader.state() == QAbstractSocket::ConnectedState;
}

void MotorClient::detachSocket()
{
    // Everyone listening to the link lets go; the worker keeps its own hand-over
    // so that a later connectToHost() still reaches the socket.
    QObject::disconnect(&reader, SIGNAL(readyRead()), nullptr, nullptr);
    QObject::disconnect(&reader, SIGNAL(connected()), nullptr, nullptr);
    QObject::disconnect(&reader, SIGNAL(disconnected()), nullptr, nullptr);
    QObject::disconnect(&reader, SIGNAL(error(QAbstractSocket::SocketError)), nullptr, nullptr);
}

int MotorClient::pendingRequestCount() const
{
    return pending.size();
}

bool MotorClient::isWritePending(int unit, int reg) const
{
    return std::any_of(pending.cbegin(), pending.cend(), [=](const PendingRequest &request) {
        return request.isWrite && request.unit == unit && request.kind == reg;
    });
}

void MotorClient::setUnitId(int unitId)
{
    this->unitId = unitId;
}

bool MotorClient::readState(QObject *receiver, const char *slot)
{
    return readRegister(StateRegister, receiver, slot);
}

bool MotorClient::readCrpm(QObject *receiver, const char *slot)
{
    return readRegister(CrpmRegister, receiver, slot);
}

bool MotorClient::readDirection(QObject *receiver, const char *slot)
{
    return readRegister(DirectionRegister, receiver, slot);
}

bool MotorClient::readIdentify(QObject *receiver, const char *slot)
{
    return readRegister(IdentifyRegister, receiver, slot);
}

bool MotorClient::readTemperature(QObject *receiver, const char *slot)
{
    return readRegister(TemperatureRegister, receiver, slot);
}

bool MotorClient::sendCrpm(int crpm)
{
    return writeRegister(CrpmRegister, crpm);
}

bool MotorClient::sendDirection(bool counterClockwise)
{
    return writeRegister(DirectionRegister, counterClockwise ? 1 : 0);
}

bool MotorClient::sendIdentify(bool on)
{
    return writeRegister(IdentifyRegister, on ? 1 : 0);
}

bool MotorClient::sendStart()
{
    return writeRegister(RunRegister, RunStart);
}

bool MotorClient::sendStop()
{
    return writeRegister(RunRegister, RunStop);
}

QString MotorClient::stateName(int code) const
{
    return rotorStateName(code);
}

bool MotorClient::readRegister(int reg, QObject *receiver, const char *slot)
{
    // Asked again while it still waits to go out, the same question would only queue
    // behind itself: a poll that outpaces a slow cabinet must not pile up. One already
    // on the wire is asked again: its answer may predate a write made since.
    for (const PendingRequest &request : qAsConst(pending)) {
        if (!request.isWrite && request.kind == reg && request.unit == unitId
            && request.receiver == receiver && qstrcmp(request.slot, slot) == 0
            && !reader.isOnWire(request.transactionId))
            return true;
    }
    quint16 id = 0;
    if (!sendReadRequest(reg, &id))
        return false;
    pending.append(PendingRequest{receiver, slot, id, reg, unitId, false, 0});
    return true;
}

bool MotorClient::sendReadRequest(int reg, quint16 *transactionId)
{
    const quint16 id = transactionCounter++;
    char frame[FrameSize];
    buildFrame(frame, id, unitId, ReadInputRegister, reg, 1);
    const qint64 written = reader.write(frame, FrameSize);
    if (written != FrameSize) {
        std::printf("Failed sending read request to register, written %i instead of %lu!\n",
                    int(written), static_cast<unsigned long>(FrameSize));
        std::fflush(stdout);
        return false;
    }
    reader.flush();
    if (lcLink().isDebugEnabled())
        logFrame(host, "request", frame);
    *transactionId = id;
    return true;
}

bool MotorClient::writeRegister(int reg, int value)
{
    // A command for this rotor and register that still waits to go out is either
    // the same as this one, which would only repeat it, or overtaken by it: the
    // cabinet gets what is wanted now, not a backlog of what was wanted.
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        if (it->isWrite && it->unit == unitId && it->kind == reg) {
            if (it->value == quint16(value) && !reader.isOnWire(it->transactionId))
                return true;
            if (it->value != quint16(value) && reader.withdraw(it->transactionId))
                pending.erase(std::next(it).base());
            break;
        }
    }
    pending.append(PendingRequest{nullptr, nullptr, transactionCounter, reg, unitId, true,
                                  quint16(value)});
    const quint16 id = transactionCounter++;
    char frame[FrameSize];
    buildFrame(frame, id, unitId, WriteSingleRegister, reg, quint16(value));
    const qint64 written = reader.write(frame, FrameSize);
    if (written != FrameSize) {
        std::printf("Failed writing to register, written %i instead of %lu!\n", int(written),
                    static_cast<unsigned long>(FrameSize));
        std::fflush(stdout);
        return false;
    }
    reader.flush();
    if (lcLink().isDebugEnabled())
        logFrame(host, "request", frame);
    return true;
}

void MotorClient::dataIsReady()
{
    while (reader.bytesAvailable() > 0) {
        if (pending.isEmpty()) {
            discardUnasked();
            return;
        }
        // The function code tells an exception answer (9 bytes) from the others (12).
        char answer[FrameSize];
        if (reader.peek(answer, FunctionOffset + 1) < FunctionOffset + 1)
            return;
        const int length = answerLengthFor(answer[FunctionOffset]);
        if (reader.bytesAvailable() < length || reader.read(answer, length) != length)
            return; // the rest of it comes with a later readyRead()
        if (lcLink().isDebugEnabled())
            logFrame(host, "answer", answer, length);
        if (!takeAnswer(answer, length))
            return; // the link is being dropped; what else came is of no use
    }
}

bool MotorClient::takeAnswer(const char *answer, int length)
{
    // Answers come in the order their requests went on the wire, whatever order
    // they were asked in: this one is for the oldest request there.
    const int answered = reader.takeOldestFromWire();
    const quint16 transactionId = qFromBigEndian<quint16>(answer);
    const auto match = std::find_if(pending.begin(), pending.end(),
                                    [=](const PendingRequest &request) {
        return request.transactionId == transactionId;
    });
    if (answered != int(transactionId) || match == pending.end())
        return answerOutOfStep(answered);
    const PendingRequest request = *match;
    pending.erase(match);
    mismatchesInARow = 0;

    const int function = quint8(answer[FunctionOffset]);
    if (length == ExceptionFrameSize) {
        const int code = quint8(answer[FunctionOffset + 1]);
        std::printf("Read Err: Pump cabinet answered register %i with Modbus exception %i\n",
                    request.kind, code);
        std::fflush(stdout);
        if (++exceptionsInARow < MaxExceptionsInARow)
            return true;
        exceptionsInARow = 0;
        reader.dropLink(QAbstractSocket::OperationError,
                        tr("Pump cabinet rejected the requests (Modbus exception %1)").arg(code));
        return false;
    }
    exceptionsInARow = 0;
    const quint16 byteCount = qFromBigEndian<quint16>(answer + 8);
    const quint16 value = qFromBigEndian<quint16>(answer + 10);
    if (function == ReadInputRegister && byteCount != 2) {
        std::printf("Read Err: Response byte count was unexpected: %i, expected 2!\n",
                    int(byteCount));
        std::fflush(stdout);
    } else if (request.slot) {
        deliver(request, value);
    }
    return true;
}

// An answer that is not the one the request on the wire waits for: that request
// has lost its answer, and three in a row mean the stream is out of step.
bool MotorClient::answerOutOfStep(int displaced)
{
    std::printf("Read Err: Response from TRX header did not match the requests\n");
    std::fflush(stdout);
    if (displaced >= 0) {
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [=](const PendingRequest &request) {
            return request.transactionId == quint16(displaced);
        }), pending.end());
    }
    if (++mismatchesInARow < MaxMismatchesInARow)
        return true;
    mismatchesInARow = 0;
    reader.dropLink(QAbstractSocket::OperationError,
                    tr("Lost step with pump cabinet: answers do not match the requests"));
    return false;
}

// Bytes nobody asked for; kept, they would be taken for the next request's answer.
void MotorClient::discardUnasked()
{
    char sink[256];
    while (reader.read(sink, sizeof sink) > 0) {
    }
    answerOutOfStep(reader.takeOldestFromWire());
}

void MotorClient::deliver(const PendingRequest &request, quint16 value)
{
    QObject *receiver = request.receiver.data();
    if (!receiver)
        return; // the asker is gone; its answer is consumed all the same

    switch (request.kind) {
    case StateRegister:
        connect(this, SIGNAL(stateResponse(int,QString)), receiver, request.slot);
        emit stateResponse(value, stateName(value));
        break;
    case CrpmRegister:
        connect(this, SIGNAL(crpmResponse(int)), receiver, request.slot);
        emit crpmResponse(value);
        break;
    case DirectionRegister:
        connect(this, SIGNAL(directionResponse(int)), receiver, request.slot);
        emit directionResponse(value != 0 ? 1 : 0);
        break;
    case IdentifyRegister:
        connect(this, SIGNAL(identifyResponse(bool)), receiver, request.slot);
        emit identifyResponse(value == 1);
        break;
    case TemperatureRegister:
        connect(this, SIGNAL(temperatureResponse(qreal)), receiver, request.slot);
        emit temperatureResponse(value * 0.1);
        break;
    default:
        qDebug("MotorClient::ReadCallback: unknown response type!");
        return;
    }
    // A receiver that went during its own slot took its connections with it.
    if (QObject *stillThere = request.receiver.data())
        QObject::disconnect(this, nullptr, stillThere, nullptr);
}
