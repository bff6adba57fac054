#include "motorclient.h"

#include "cabinetframe.h"

#include <QDebug>
#include <QLoggingCategory>

#include <cstdio>

using namespace CabinetProtocol;

// Every request and answer as hex, for troubleshooting at the plant; off unless
// switched on with a logging rule such as QT_LOGGING_RULES="tavrel.link.debug=true".
Q_LOGGING_CATEGORY(lcLink, "tavrel.link", QtInfoMsg)

namespace {

// Only called once the category is known to be on: the hex costs an allocation.
void logFrame(const QString &host, const char *direction, const QByteArray &frame)
{
    qCDebug(lcLink, "%s %s %s", qPrintable(host), direction, frame.toHex(' ').constData());
}

} // namespace

MotorClient::MotorClient(const QString &host, int port)
    : host(host)
    , port(port)
    , book(pending, [this](quint16 id) { return reader.isOnWire(id); },
           [this](quint16 id) { return reader.withdraw(id); })
{
    // Writes only: reads go out unannounced.
    connect(&reader, &SocketReader::commandWritten, this, &MotorClient::commandWritten,
            Qt::QueuedConnection);
}

void MotorClient::connectToHost()
{
    connect(&reader, SIGNAL(readyRead()), this, SLOT(dataIsReady()),
            Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    // Requests of a link that died will never be answered; kept, they would
    // turn every answer of the new link into a mismatch.
    book.reset();
    reportedOnWire.clear();
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
    return book.isWritePending(unit, reg);
}

bool MotorClient::isWritePending(int unit, int reg, int value) const
{
    return book.isWritePending(unit, reg, value);
}

int MotorClient::pendingCommandCount() const
{
    return book.pendingWriteCount();
}

void MotorClient::setAnswerTimeout(int ms)
{
    reader.setAnswerTimeout(ms);
}

int MotorClient::answerTimeout() const
{
    return reader.answerTimeout();
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
    // A poll that outpaces a slow cabinet must not pile up.
    if (book.isAskedAlready(reg, unitId, receiver, slot))
        return true;
    const quint16 id = transactionCounter++;
    if (!send(CabinetFrame::request(id, unitId, ReadInputRegister, reg, 1),
              "Failed sending read request to register, written %i instead of %lu!\n"))
        return false;
    pending.append(PendingRequest{receiver, slot, id, reg, unitId, false, 0});
    return true;
}

bool MotorClient::writeRegister(int reg, int value)
{
    // The same command still waiting to go out is not repeated.
    PendingRequest withdrawn;
    if (!book.addCommand(PendingRequest{nullptr, nullptr, transactionCounter, reg, unitId, true,
                                        quint16(value)}, &withdrawn))
        return true;
    const quint16 id = transactionCounter++;
    const bool sent = send(CabinetFrame::request(id, unitId, WriteSingleRegister, reg, quint16(value)),
                           "Failed writing to register, written %i instead of %lu!\n");
    // Told once the book is done with it: a listener may give the next command.
    if (withdrawn.isWrite)
        emit commandWithdrawn(withdrawn.unit, withdrawn.kind, withdrawn.value);
    return sent;
}

void MotorClient::commandWritten(const QByteArray &frame)
{
    CabinetFrame::Frame command;
    if (CabinetFrame::decodeRequest(frame.constData(), frame.size(), &command) != FrameSize
        || reportedWithAnswer.remove(command.transactionId))
        return;
    reportedOnWire.insert(command.transactionId);
    emit commandSent(command.unit, command.address, command.value);
}

// dataIsReady() takes every answer that has come, also one whose command's report from
// the worker still waits in the queue behind it: listeners hear first that it went.
void MotorClient::reportOnWire(const PendingRequest &command)
{
    if (reportedOnWire.remove(command.transactionId))
        return;
    reportedWithAnswer.insert(command.transactionId);
    emit commandSent(command.unit, command.kind, command.value);
}

bool MotorClient::send(const QByteArray &frame, const char *failure)
{
    const qint64 written = reader.write(frame);
    if (written != FrameSize) {
        std::printf(failure, int(written), static_cast<unsigned long>(FrameSize));
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
        char bytes[FrameSize];
        const qint64 peeked = reader.peek(bytes, FrameSize);
        CabinetFrame::Frame answer;
        const int length = CabinetFrame::decodeAnswer(bytes, peeked, &answer);
        if (length == 0 || reader.read(bytes, length) != length)
            return; // the rest of it comes with a later readyRead()
        if (lcLink().isDebugEnabled())
            logFrame(host, "answer", QByteArray::fromRawData(bytes, length));
        if (!takeAnswer(answer))
            return; // the link is being dropped; what else came is of no use
    }
}

bool MotorClient::takeAnswer(const CabinetFrame::Frame &answer)
{
    const RequestBook::Outcome outcome = book.take(answer, reader.takeOldestFromWire());
    const PendingRequest &request = outcome.request;
    switch (outcome.verdict) {
    case RequestBook::Verdict::Answered:
        if (request.isWrite) {
            if (answer.function == WriteSingleRegister && answer.address == request.kind
                && answer.value == request.value) {
                reportOnWire(request);
                emit commandConfirmed(request.unit, request.kind, request.value);
            } else {
                reportFailure(request, tr("answered with a different echo"));
            }
        } else if (request.slot) {
            deliver(request, answer.value);
        }
        return true;
    case RequestBook::Verdict::BadByteCount:
        std::printf("Read Err: Response byte count was unexpected: %i, expected 2!\n",
                    int(answer.address));
        std::fflush(stdout);
        if (request.isWrite)
            reportFailure(request, tr("answer with a wrong byte count"));
        return true;
    case RequestBook::Verdict::Exception:
    case RequestBook::Verdict::DropForExceptions:
        std::printf("Read Err: Pump cabinet answered register %i with Modbus exception %i\n",
                    request.kind, answer.exceptionCode());
        std::fflush(stdout);
        if (request.isWrite)
            reportFailure(request, tr("Modbus exception %1").arg(answer.exceptionCode()));
        if (outcome.verdict == RequestBook::Verdict::Exception)
            return true;
        reader.dropLink(QAbstractSocket::OperationError,
                        tr("Pump cabinet rejected the requests (Modbus exception %1)")
                                .arg(answer.exceptionCode()));
        return false;
    case RequestBook::Verdict::OutOfStep:
    case RequestBook::Verdict::DropForMismatches:
        break;
    }
    return reportOutOfStep(outcome);
}

bool MotorClient::reportOutOfStep(const RequestBook::Outcome &outcome)
{
    std::printf("Read Err: Response from TRX header did not match the requests\n");
    std::fflush(stdout);
    if (outcome.hasRequest && outcome.request.isWrite)
        reportFailure(outcome.request, tr("answered out of step"));
    if (outcome.verdict != RequestBook::Verdict::DropForMismatches)
        return true;
    reader.dropLink(QAbstractSocket::OperationError,
                    tr("Lost step with pump cabinet: answers do not match the requests"));
    return false;
}

void MotorClient::reportFailure(const PendingRequest &command, const QString &reason)
{
    reportOnWire(command);
    emit commandFailed(command.unit, command.kind, command.value, reason);
}

// Bytes nobody asked for; kept, they would be taken for the next request's answer.
void MotorClient::discardUnasked()
{
    char sink[256];
    while (reader.read(sink, sizeof sink) > 0) {
    }
    reportOutOfStep(book.unasked(reader.takeOldestFromWire()));
}

void MotorClient::deliver(const PendingRequest &request, quint16 value)
{
    QObject *receiver = request.receiver.data();
    if (!receiver)
        return; // the asker is gone; its answer is consumed all the same

    // Just this one delivery: the asker may listen to the client's other signals for
    // good. The handle lets go of it without looking the names up again.
    static const QMetaMethod stateSignal = QMetaMethod::fromSignal(&MotorClient::stateResponse);
    static const QMetaMethod crpmSignal = QMetaMethod::fromSignal(&MotorClient::crpmResponse);
    static const QMetaMethod directionSignal = QMetaMethod::fromSignal(&MotorClient::directionResponse);
    static const QMetaMethod identifySignal = QMetaMethod::fromSignal(&MotorClient::identifyResponse);
    static const QMetaMethod temperatureSignal = QMetaMethod::fromSignal(&MotorClient::temperatureResponse);
    QMetaObject::Connection delivery;
    switch (request.kind) {
    case StateRegister:
        delivery = connectOnce(stateSignal, SIGNAL(stateResponse(int,QString)), receiver, request.slot);
        emit stateResponse(value, stateName(value));
        break;
    case CrpmRegister:
        delivery = connectOnce(crpmSignal, SIGNAL(crpmResponse(int)), receiver, request.slot);
        emit crpmResponse(value);
        break;
    case DirectionRegister:
        delivery = connectOnce(directionSignal, SIGNAL(directionResponse(int)), receiver, request.slot);
        emit directionResponse(value != 0 ? 1 : 0);
        break;
    case IdentifyRegister:
        delivery = connectOnce(identifySignal, SIGNAL(identifyResponse(bool)), receiver, request.slot);
        emit identifyResponse(value == 1);
        break;
    case TemperatureRegister:
        delivery = connectOnce(temperatureSignal, SIGNAL(temperatureResponse(qreal)), receiver,
                               request.slot);
        emit temperatureResponse(value * 0.1);
        break;
    default:
        qDebug("MotorClient::ReadCallback: unknown response type!");
        return;
    }
    // A receiver that went during its own slot took it with it.
    QObject::disconnect(delivery);
}

// The connection QObject::connect() makes from the two texts, without reading them
// again for every answer: that, and the signatures the other overloads write out,
// cost more than the rest of a delivery. Qt's index-based connect takes the slot as
// found once. A slot that cannot be found this way goes the way of the texts, which
// says what is wrong with it.
QMetaObject::Connection MotorClient::connectOnce(const QMetaMethod &signal, const char *signalText,
                                                 QObject *receiver, const char *slot)
{
    const QMetaMethod method = replySlot(signal, receiver, slot);
    if (!method.isValid())
        return connect(this, signalText, receiver, slot);
    return QMetaObject::connect(this, signal.methodIndex(), receiver, method.methodIndex(),
                                Qt::AutoConnection);
}

QMetaMethod MotorClient::replySlot(const QMetaMethod &signal, const QObject *receiver, const char *slot)
{
    const QMetaObject *receiverClass = receiver->metaObject();
    // The text is compared too: an asker's text may have gone, and another taken its place.
    for (const ReplySlot &known : qAsConst(replySlots)) {
        if (known.receiverClass == receiverClass && known.slot == slot && known.text == slot)
            return known.method;
    }
    // SLOT() puts its code, 1, before the signature.
    if (!slot || slot[0] != '1')
        return QMetaMethod();
    const int index = receiverClass->indexOfSlot(QMetaObject::normalizedSignature(slot + 1).constData());
    if (index < 0 || !QMetaObject::checkConnectArgs(signal, receiverClass->method(index)))
        return QMetaMethod();
    replySlots.append(ReplySlot{receiverClass, slot, QByteArray(slot), receiverClass->method(index)});
    return replySlots.constLast().method;
}
