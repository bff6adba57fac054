#include "simcabinet.h"

#include "cabinetframe.h"
#include "simconnection.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <cmath>

using namespace CabinetProtocol;

namespace {

constexpr int RoomTemperature = 250; // tenths of a degree
constexpr int MaxCrpm = 30000; // the pumps' range; faster is refused

enum ExceptionCode {
    IllegalFunction = 1,
    IllegalDataAddress = 2,
    IllegalDataValue = 3,
    ServerDeviceFailure = 4,
};

// States a rotor only leaves when the cabinet is told so, not by a start command.
bool isLatched(int state)
{
    return state == 2 || state == 7;
}

QString registerName(int reg)
{
    switch (reg) {
    case StateRegister:
        return QStringLiteral("state");
    case CrpmRegister:
        return QStringLiteral("speed");
    case DirectionRegister:
        return QStringLiteral("direction");
    case RunRegister:
        return QStringLiteral("run command");
    case IdentifyRegister:
        return QStringLiteral("identify");
    case TemperatureRegister:
        return QStringLiteral("temperature");
    }
    return QStringLiteral("register %1").arg(reg);
}

} // namespace

SimCabinet::SimCabinet(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<SimCabinet::Request>();
    clock.start();
}

SimCabinet::~SimCabinet()
{
    // Before the list they would take themselves out of is gone.
    const QList<SimConnection *> all = connections;
    connections.clear();
    qDeleteAll(all);
}

bool SimCabinet::listen(const QHostAddress &address, quint16 port)
{
    listenAddress = address;
    listenPort = port;
    return reopen();
}

bool SimCabinet::reopen()
{
    delete server;
    server = new QTcpServer(this);
    connect(server, &QTcpServer::newConnection, this, &SimCabinet::acceptConnections);
    if (!server->listen(listenAddress, listenPort)) {
        lastError = server->errorString();
        delete server;
        server = nullptr;
        return false;
    }
    listenPort = server->serverPort();
    return true;
}

QString SimCabinet::errorString() const
{
    return lastError;
}

QHostAddress SimCabinet::address() const
{
    return listenAddress;
}

quint16 SimCabinet::port() const
{
    return listenPort;
}

QString SimCabinet::name() const
{
    return listenAddress.toString();
}

bool SimCabinet::isListening() const
{
    return server && server->isListening();
}

int SimCabinet::connectionCount() const
{
    return connections.size();
}

void SimCabinet::acceptConnections()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        auto *connection = new SimConnection(socket, this);
        connections.append(connection);
        log(QStringLiteral("%1: client %2 connected").arg(name(), socket->peerAddress().toString()));
        emit clientConnected();
    }
}

int SimCabinet::rotorState(int unit) const
{
    return unit >= 0 && unit < RotorCount ? rotors[unit].state : -1;
}

void SimCabinet::setRotorState(int unit, int code)
{
    if (unit < 0 || unit >= RotorCount)
        return;
    rotors[unit].state = code;
    log(QStringLiteral("%1 unit %2: state set to %3 %4")
            .arg(name()).arg(unit).arg(code).arg(rotorStateName(code)));
}

int SimCabinet::rotorSpeed(int unit) const
{
    return unit >= 0 && unit < RotorCount ? rotors[unit].speed : -1;
}

int SimCabinet::rotorDirection(int unit) const
{
    return unit >= 0 && unit < RotorCount ? rotors[unit].direction : -1;
}

bool SimCabinet::identify() const
{
    return identifyOn;
}

int SimCabinet::temperature() const
{
    if (fixedTemperature >= 0)
        return fixedTemperature;
    // A slow swing of a few tenths around room temperature.
    const double minutes = clock.elapsed() / 60000.0;
    return RoomTemperature + int(std::lround(4.0 * std::sin(minutes * 2.0)));
}

void SimCabinet::setTemperature(int tenths)
{
    fixedTemperature = qBound(0, tenths, 0xffff);
    log(QStringLiteral("%1: temperature set to %2").arg(name()).arg(fixedTemperature / 10.0));
}

void SimCabinet::resumeTemperatureDrift()
{
    fixedTemperature = -1;
}

void SimCabinet::setRefusing(bool refuse)
{
    refusing = refuse;
    if (refuse) {
        delete server;
        server = nullptr;
        dropConnections();
    } else if (!server) {
        reopen();
    }
}

void SimCabinet::setAnswerDelay(int ms)
{
    answerDelayMs = qMax(0, ms);
}

void SimCabinet::setSplitAnswers(bool split)
{
    splitAnswers = split;
}

void SimCabinet::setSilent(bool silent)
{
    this->silent = silent;
}

void SimCabinet::setCloseAfterRequests(int count)
{
    closeAfterRequests = qMax(0, count);
}

void SimCabinet::setCutAnswers(bool cut)
{
    cutAnswers = cut;
}

void SimCabinet::setWrongTransactionId(bool wrong)
{
    wrongTransactionId = wrong;
}

void SimCabinet::setExceptionAnswers(bool exception)
{
    exceptionAnswers = exception;
}

void SimCabinet::rejectWrites(int reg, int count)
{
    rejectedRegister = reg;
    writesToReject = qMax(0, count);
}

void SimCabinet::clearFaults()
{
    setRefusing(false);
    answerDelayMs = 0;
    splitAnswers = false;
    silent = false;
    closeAfterRequests = 0;
    cutAnswers = false;
    wrongTransactionId = false;
    exceptionAnswers = false;
    writesToReject = 0;
    scripted.clear();
}

void SimCabinet::sendUnrequested(int count)
{
    if (count > 0)
        sendUnrequested(QByteArray(count, char(0xa5)));
}

void SimCabinet::sendUnrequested(const QByteArray &bytes)
{
    for (SimConnection *connection : qAsConst(connections))
        connection->send(bytes, 0, false, false);
    log(QStringLiteral("%1: sent %2 unrequested bytes").arg(name()).arg(bytes.size()));
}

void SimCabinet::scriptAnswers(const QList<QByteArray> &answers)
{
    scripted.append(answers);
}

void SimCabinet::dropConnections()
{
    const QList<SimConnection *> all = connections;
    for (SimConnection *connection : all)
        connection->drop();
}

QString SimCabinet::faultSummary() const
{
    QStringList faults;
    if (refusing)
        faults << QStringLiteral("refusing connections");
    if (answerDelayMs > 0)
        faults << QStringLiteral("answers delayed %1 ms").arg(answerDelayMs);
    if (splitAnswers)
        faults << QStringLiteral("answers split");
    if (silent)
        faults << QStringLiteral("silent");
    if (closeAfterRequests > 0)
        faults << QStringLiteral("closes after %1 requests").arg(closeAfterRequests);
    if (cutAnswers)
        faults << QStringLiteral("cuts answers");
    if (wrongTransactionId)
        faults << QStringLiteral("wrong transaction identifiers");
    if (exceptionAnswers)
        faults << QStringLiteral("exception answers");
    if (writesToReject > 0)
        faults << QStringLiteral("rejects the next %1 writes to register %2").arg(writesToReject).arg(rejectedRegister);
    return faults.isEmpty() ? QStringLiteral("no faults") : faults.join(QStringLiteral(", "));
}

QList<SimCabinet::Request> SimCabinet::requests() const
{
    return seen;
}

QList<QByteArray> SimCabinet::receivedFrames() const
{
    return frames;
}

void SimCabinet::clearRequests()
{
    seen.clear();
    frames.clear();
}

int SimCabinet::startCount(int unit) const
{
    return unit >= 0 && unit < RotorCount ? rotors[unit].starts : 0;
}

int SimCabinet::stopCount(int unit) const
{
    return unit >= 0 && unit < RotorCount ? rotors[unit].stops : 0;
}

void SimCabinet::setLogging(bool on)
{
    logging = on;
}

void SimCabinet::log(const QString &text)
{
    if (logging)
        emit logLine(text);
}

QByteArray SimCabinet::exceptionAnswer(const Request &request, int code)
{
    log(QStringLiteral("%1 unit %2: function %3 %4 -> exception %5")
            .arg(name()).arg(request.unit).arg(request.function)
            .arg(registerName(request.reg)).arg(code));
    return CabinetFrame::exceptionAnswer(request.transactionId, request.unit, request.function, code);
}

// Applies one request and returns its answer.
// The register's value in *value, or the exception code to answer with.
int SimCabinet::read(const Request &request, const Rotor &rotor, const QString &prefix, int *value)
{
    if (request.value != 1)
        return IllegalDataValue;
    switch (request.reg) {
    case StateRegister:
        *value = rotor.state;
        log(prefix + QStringLiteral("read state -> %1 %2").arg(*value).arg(rotorStateName(*value)));
        return 0;
    case CrpmRegister:
        *value = rotor.speed;
        break;
    case DirectionRegister:
        *value = rotor.direction;
        break;
    case IdentifyRegister:
        *value = identifyOn ? 1 : 0;
        break;
    case TemperatureRegister:
        *value = temperature();
        break;
    default:
        return IllegalDataAddress;
    }
    log(prefix + QStringLiteral("read %1 -> %2").arg(registerName(request.reg)).arg(*value));
    return 0;
}

// Carries the write out, or says with which exception code it is refused.
int SimCabinet::write(const Request &request, Rotor &rotor, const QString &prefix)
{
    const int value = request.value;
    switch (request.reg) {
    case CrpmRegister:
        if (value > MaxCrpm)
            return IllegalDataValue;
        rotor.speed = value;
        log(prefix + QStringLiteral("write speed %1").arg(value));
        return 0;
    case DirectionRegister:
        if (value > 1)
            return IllegalDataValue;
        rotor.direction = value;
        log(prefix + QStringLiteral("write direction %1").arg(value));
        return 0;
    case RunRegister:
        if (value == RunStart) {
            ++rotor.starts;
            if (isLatched(rotor.state)) {
                log(prefix + QStringLiteral("start, ignored in %1").arg(rotorStateName(rotor.state)));
            } else {
                rotor.state = 0;
                log(prefix + QStringLiteral("start"));
            }
            return 0;
        }
        if (value == RunStop) {
            ++rotor.stops;
            if (!isLatched(rotor.state))
                rotor.state = 1;
            log(prefix + QStringLiteral("stop"));
            return 0;
        }
        return IllegalDataValue;
    case IdentifyRegister:
        if (value > 1)
            return IllegalDataValue;
        identifyOn = value == 1;
        log(prefix + QStringLiteral("write identify %1").arg(value));
        return 0;
    default:
        return IllegalDataAddress;
    }
}

QByteArray SimCabinet::answer(const Request &request, const QByteArray &frame)
{
    seen.append(request);
    frames.append(frame);
    emit requestReceived(request);

    if (!scripted.isEmpty())
        return scripted.takeFirst();
    if (exceptionAnswers)
        return exceptionAnswer(request, ServerDeviceFailure);
    if (writesToReject > 0 && request.function == WriteSingleRegister && request.reg == rejectedRegister) {
        --writesToReject;
        return exceptionAnswer(request, ServerDeviceFailure);
    }
    if (request.unit >= RotorCount)
        return exceptionAnswer(request, IllegalDataAddress);

    Rotor &rotor = rotors[request.unit];
    const QString prefix = QStringLiteral("%1 unit %2: ").arg(name()).arg(request.unit);
    int value = 0;

    int exception = 0;
    if (request.function == ReadInputRegister)
        exception = read(request, rotor, prefix, &value);
    else if (request.function == WriteSingleRegister)
        exception = write(request, rotor, prefix);
    else
        exception = IllegalFunction;
    if (exception != 0)
        return exceptionAnswer(request, exception);
    if (request.function == WriteSingleRegister)
        value = request.value;

    quint16 transactionId = request.transactionId;
    if (wrongTransactionId)
        ++transactionId;
    if (request.function == WriteSingleRegister)
        return CabinetFrame::request(transactionId, request.unit, request.function, request.reg,
                                     quint16(request.value));
    return CabinetFrame::readAnswer(transactionId, request.unit, quint16(value));
}
