#include "cabinet.h"

#include "cabinetprotocol.h"
#include "rotorhead.h"

Cabinet::Cabinet(const QString &host, int rotorCount, QObject *parent)
    : QObject(parent)
    , client(host, ModbusPort)
    , hostText(host)
{
    for (int i = 0; i < rotorCount; ++i)
        rotors.append(new RotorHead(&client, i, this));
    wireLink();
    // The rotor heads hear of their own commands from the client; identify is the
    // cabinet's.
    connect(&client, SIGNAL(commandConfirmed(int,int,int)), this, SLOT(clientCommandConfirmed(int,int,int)));
    connect(&client, SIGNAL(commandFailed(int,int,int,QString)),
            this, SLOT(clientCommandFailed(int,int,int,QString)));
    connect(&client, &MotorClient::commandSent, this, [this](int, int reg, int value) {
        if (reg == CabinetProtocol::IdentifyRegister)
            emit identifySent(this, value == 1);
    });
    linkCheck.setTimerType(Qt::PreciseTimer);
    linkCheck.setInterval(LinkCheckMs);
    connect(&linkCheck, &QTimer::timeout, this, &Cabinet::queryTemperature);
    rotorWatch.setInterval(WatchMs);
    connect(&rotorWatch, &QTimer::timeout, this, &Cabinet::watchRotors);
    linkClock.start();
    reconnectTimer.setTimerType(Qt::PreciseTimer);
    reconnectTimer.setSingleShot(true);
    connect(&reconnectTimer, &QTimer::timeout, this, &Cabinet::reconnectTimeout);
}

Cabinet::~Cabinet()
{
    // Going away: never tried again.
    linkWanted = false;
    reconnectTimer.stop();
    client.detachSocket();
    while (!rotors.isEmpty())
        delete rotors.takeFirst();
}

// Listens to the link: the rotor heads first, so they refresh before the cabinet
// reports the connection. Unique connections make this safe to repeat.
void Cabinet::wireLink()
{
    for (RotorHead *rotorHead : qAsConst(rotors)) {
        connect(&client.reader, SIGNAL(connected()), rotorHead, SLOT(updateAll()),
                Qt::UniqueConnection);
    }
    connect(&client.reader, SIGNAL(connected()), this, SLOT(socketConnected()),
            Qt::UniqueConnection);
    connect(&client.reader, SIGNAL(disconnected()), this, SLOT(socketDisconnected()),
            Qt::UniqueConnection);
    connect(&client.reader, SIGNAL(error(QAbstractSocket::SocketError)),
            this, SLOT(socketError(QAbstractSocket::SocketError)), Qt::UniqueConnection);
}

void Cabinet::connectToCabinet()
{
    linkWanted = true;
    if (isConnected() || isConnecting())
        return;
    // The operator's attempt goes at once, whatever wait was running.
    reconnectPolicy.restart();
    attemptConnection();
}

void Cabinet::attemptConnection()
{
    reconnectTimer.stop();
    if (isConnected() || isConnecting())
        return;
    // A link error detached everyone; a new attempt listens again.
    wireLink();
    client.connectToHost();
    emit willConnect(this);
}

void Cabinet::waitForNextAttempt()
{
    nextAttempt.setRemainingTime(reconnectPolicy.delayAfterFailure(linkClock.elapsed()),
                                 Qt::PreciseTimer);
    armReconnectTimer();
}

// Wakes each time the whole seconds left go down, so that a countdown shown stays
// current, and at the attempt itself.
void Cabinet::armReconnectTimer()
{
    const qint64 left = nextAttempt.remainingTime();
    reconnectTimer.start(left > 0 ? int((left - 1) % 1000 + 1) : 0);
}

void Cabinet::reconnectTimeout()
{
    if (nextAttempt.hasExpired()) {
        attemptConnection();
        return;
    }
    armReconnectTimer();
    emit nextAttemptChanged(this);
}

int Cabinet::secondsToNextAttempt() const
{
    if (!reconnectTimer.isActive())
        return 0;
    return qMax(1, int((nextAttempt.remainingTime() + 999) / 1000));
}

bool Cabinet::isConnected() const
{
    return client.isConnected();
}

bool Cabinet::isConnecting() const
{
    const QAbstractSocket::SocketState state = client.reader.state();
    return state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState;
}

bool Cabinet::hasError() const
{
    return client.reader.error() != QAbstractSocket::UnknownSocketError;
}

QString Cabinet::errorString() const
{
    return client.reader.errorString();
}

QString Cabinet::host() const
{
    return hostText;
}

RotorHead *Cabinet::rotor(int index) const
{
    return rotors.value(index, nullptr);
}

void Cabinet::queryTemperature()
{
    if (isConnected())
        client.readTemperature(this, SLOT(temperatureResponse(qreal)));
}

void Cabinet::queryIdentify()
{
    if (isConnected())
        client.readIdentify(this, SLOT(identifyResponse(bool)));
}

void Cabinet::setIdentify(bool on)
{
    if (on != identifyOn && isConnected())
        client.sendIdentify(on);
}

QString Cabinet::identifyRefusal() const
{
    return identifyRefused;
}

// A loop whose link was lost still counts: the rotor pumps on, and the loop goes
// on once the link is back.
bool Cabinet::noActiveLoops() const
{
    for (const RotorHead *rotorHead : rotors) {
        if (rotorHead->isLoopRunning())
            return false;
    }
    return true;
}

int Cabinet::pendingRequestCount() const
{
    return client.pendingRequestCount();
}

int Cabinet::pendingCommandCount() const
{
    return client.pendingCommandCount();
}

bool Cabinet::isStopPending(int rotor) const
{
    return client.isWritePending(rotor, CabinetProtocol::RunRegister, CabinetProtocol::RunStop);
}

void Cabinet::socketConnected()
{
    reconnectPolicy.linkUp(linkClock.elapsed());
    linkCheck.start();
    rotorWatch.start();
    emit didConnect(this);
}

void Cabinet::socketDisconnected()
{
    linkCheck.stop();
    rotorWatch.stop();
    for (RotorHead *rotorHead : qAsConst(rotors))
        rotorHead->keepUnansweredStop();
    emit didDisconnect(this);
}

void Cabinet::socketError(QAbstractSocket::SocketError)
{
    // Reported while a newer attempt was being started, the error belongs to the
    // old one; detaching now would cut the new attempt off from its listeners.
    if (!hasError())
        return;
    linkCheck.stop();
    rotorWatch.stop();
    for (RotorHead *rotorHead : qAsConst(rotors))
        rotorHead->keepUnansweredStop();
    if (linkWanted && !reconnectTimer.isActive())
        waitForNextAttempt();
    emit connectionError(this, client.reader.errorString());
    client.detachSocket();
}

void Cabinet::watchRotors()
{
    // Speed and direction wait while a slow cabinet's queue backs up: it is for its
    // state questions and commands.
    const bool readValues = client.pendingRequestCount() < WatchBacklog;
    for (RotorHead *rotorHead : qAsConst(rotors))
        rotorHead->watch(readValues);
}

int Cabinet::answerMs() const
{
    return client.reader.answerMs();
}

// Each looping rotor asks its state once a second and gets a command per phase.
bool Cabinet::isTooSlowForLoops() const
{
    const int ms = answerMs();
    if (ms <= 0)
        return false;
    double perSecond = 0;
    for (const RotorHead *rotorHead : rotors) {
        if (rotorHead->isLoopRunning())
            perSecond += 1.0 + 1.0 / qMax(1, qMin(rotorHead->loopRunSecs(), rotorHead->loopPauseSecs()));
    }
    return perSecond * ms >= 1000.0;
}

void Cabinet::temperatureResponse(qreal celcius)
{
    emit temperatureChanged(this, celcius);
    // The regular question is the moment to see whether the loops still fit.
    if (isTooSlowForLoops() != tooSlow) {
        tooSlow = !tooSlow;
        emit tooSlowChanged(this);
    }
}

void Cabinet::identifyResponse(bool blinking)
{
    identifyOn = blinking;
    emit identifyChanged(this, blinking);
}

// Identify goes with whatever unit was last used: it is the cabinet's own.
void Cabinet::clientCommandConfirmed(int, int reg, int value)
{
    if (reg != CabinetProtocol::IdentifyRegister)
        return;
    identifyRefused.clear();
    emit commandConfirmed(this, PumpCommand::Identify, value);
}

void Cabinet::clientCommandFailed(int, int reg, int value, QString reason)
{
    if (reg != CabinetProtocol::IdentifyRegister)
        return;
    identifyRefused = reason;
    emit commandRefused(this, PumpCommand::Identify, value, reason);
}
