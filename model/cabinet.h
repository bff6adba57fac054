#pragma once

#include "motorclient.h"
#include "pumpcommand.h"
#include "reconnectpolicy.h"

#include <QAbstractSocket>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class RotorHead;

// One pump cabinet on the network: its link, its rotor heads, its temperature and
// identify function. Every signal carries the cabinet, so listeners know who spoke.
// Once the operator has connected it, a link that fails is made again by itself.
class Cabinet final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Cabinet)

public:
    static constexpr int ModbusPort = 502;
    // A link that died without a reset is only found by asking; every connected
    // cabinet is asked its temperature this often.
    static constexpr int LinkCheckMs = 10000;
    // While connected, every rotor is looked at this often, so that an emergency stop
    // is seen on any cabinet, on display or not.
    static constexpr int WatchMs = 500;
    // Requests waiting from which on the watch leaves speed and direction for later.
    static constexpr int WatchBacklog = 4;

    Cabinet(const QString &host, int rotorCount, QObject *parent);
    ~Cabinet() override;

    void connectToCabinet();
    bool isConnected() const;
    bool isConnecting() const;
    bool hasError() const;
    QString errorString() const;
    QString host() const;
    RotorHead *rotor(int index) const;
    void queryTemperature();
    void queryIdentify();
    void setIdentify(bool on);
    // Why the cabinet refused the last identify, till one is confirmed; empty when
    // it did not.
    QString identifyRefusal() const;
    bool noActiveLoops() const;
    int pendingRequestCount() const;
    int pendingCommandCount() const;
    // A Stop for this rotor went to the cabinet and has not been answered yet.
    bool isStopPending(int rotor) const;
    // Whole seconds, rounded up, until the next attempt at a failed link; 0 when
    // none is waiting.
    int secondsToNextAttempt() const;
    // How long the cabinet takes to answer of late, in ms; -1 before its first answer.
    int answerMs() const;
    // The questions and commands its running loops need in a second take the cabinet
    // longer than a second to answer: the loops cannot keep their times.
    bool isTooSlowForLoops() const;

signals:
    void willConnect(Cabinet *);
    void didConnect(Cabinet *);
    void didDisconnect(Cabinet *);
    void connectionError(Cabinet *, QString errMsg);
    void didEmergencyStop(Cabinet *);
    void temperatureChanged(Cabinet *, qreal celcius);
    void identifyChanged(Cabinet *, bool on);
    // The cabinet's own command (identify) answered by its echo, or refused and why;
    // a rotor's commands are reported by its RotorHead.
    void commandConfirmed(Cabinet *, PumpCommand command, int value);
    void commandRefused(Cabinet *, PumpCommand command, int value, QString reason);
    // For the history: an identify command went onto the wire to the cabinet.
    void identifySent(Cabinet *, bool on);
    // The whole seconds to the next attempt at a failed link went down.
    void nextAttemptChanged(Cabinet *);
    // isTooSlowForLoops() changed.
    void tooSlowChanged(Cabinet *);

protected slots:
    void socketConnected();
    void socketDisconnected();
    void socketError(QAbstractSocket::SocketError err);
    void temperatureResponse(qreal celcius);
    void identifyResponse(bool blinking);
    void clientCommandConfirmed(int unit, int reg, int value);
    void clientCommandFailed(int unit, int reg, int value, QString reason);

private:
    void wireLink();
    void attemptConnection();
    void waitForNextAttempt();
    void armReconnectTimer();
    void reconnectTimeout();
    void watchRotors();

    MotorClient client;
    QList<RotorHead *> rotors;
    QString hostText;
    bool identifyOn = false;
    QString identifyRefused;
    QTimer linkCheck;
    QTimer rotorWatch;

    // Set by the operator's connect; a failed link is then made again after the
    // policy's wait.
    bool linkWanted = false;
    ReconnectPolicy reconnectPolicy;
    QElapsedTimer linkClock;
    QDeadlineTimer nextAttempt;
    QTimer reconnectTimer;
    bool tooSlow = false;
};
