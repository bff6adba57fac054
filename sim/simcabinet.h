#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QTcpServer;
class QTcpSocket;
QT_END_NAMESPACE

class SimConnection;

// A stand-in for one pump cabinet: a Modbus TCP server on one address with four
// rotors, whose answers can be bent in every way a real cabinet or network might.
// Lives on the thread that made it.
class SimCabinet final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimCabinet)

public:
    static constexpr int RotorCount = 4;

    struct Request
    {
        quint16 transactionId = 0;
        int unit = 0;
        int function = 0;
        int reg = 0;
        int value = 0; // quantity for reads
    };

    explicit SimCabinet(QObject *parent = nullptr);
    ~SimCabinet() override;

    bool listen(const QHostAddress &address, quint16 port);
    QString errorString() const;
    QHostAddress address() const;
    quint16 port() const;
    QString name() const; // the address as text, as log lines start
    bool isListening() const;
    int connectionCount() const;

    // What the cabinet holds.
    int rotorState(int unit) const;
    void setRotorState(int unit, int code);
    int rotorSpeed(int unit) const;
    int rotorDirection(int unit) const;
    bool identify() const;
    int temperature() const; // tenths of a degree
    void setTemperature(int tenths);
    void resumeTemperatureDrift();

    // Faults; each holds until cleared.
    void setRefusing(bool refuse);
    void setAnswerDelay(int ms);
    void setSplitAnswers(bool split);
    void setSilent(bool silent);
    void setCloseAfterRequests(int count);
    void setCutAnswers(bool cut);
    void setWrongTransactionId(bool wrong);
    void setExceptionAnswers(bool exception);
    // The next count writes to this register are answered with Modbus exception 4
    // and not carried out, as a controller that will not take a command does.
    void rejectWrites(int reg, int count);
    void clearFaults();
    void sendUnrequested(int count);
    void sendUnrequested(const QByteArray &bytes);
    // The next requests are answered with exactly these bytes, one entry each
    // (an empty entry: no answer), before ordinary answers resume.
    void scriptAnswers(const QList<QByteArray> &answers);
    void dropConnections();
    QString faultSummary() const;

    // What the cabinet saw.
    QList<Request> requests() const;
    QList<QByteArray> receivedFrames() const;
    void clearRequests();
    int startCount(int unit) const;
    int stopCount(int unit) const;

    void setLogging(bool on);

signals:
    void requestReceived(const SimCabinet::Request &request);
    void logLine(const QString &line);
    void clientConnected();
    void clientDisconnected();

private:
    friend class SimConnection;

    struct Rotor
    {
        int state = 1;
        int speed = 0;
        int direction = 0;
        int starts = 0;
        int stops = 0;
    };

    void acceptConnections();
    QByteArray answer(const Request &request, const QByteArray &frame);
    int read(const Request &request, const Rotor &rotor, const QString &prefix, int *value);
    int write(const Request &request, Rotor &rotor, const QString &prefix);
    QByteArray exceptionAnswer(const Request &request, int code);
    void log(const QString &text);
    bool reopen();

    QTcpServer *server = nullptr;
    QHostAddress listenAddress;
    quint16 listenPort = 0;
    QString lastError;
    QList<SimConnection *> connections;

    Rotor rotors[RotorCount];
    bool identifyOn = false;
    int fixedTemperature = -1;
    QElapsedTimer clock;

    bool refusing = false;
    int answerDelayMs = 0;
    bool splitAnswers = false;
    bool silent = false;
    int closeAfterRequests = 0;
    bool cutAnswers = false;
    bool wrongTransactionId = false;
    bool exceptionAnswers = false;
    int rejectedRegister = -1;
    int writesToReject = 0;

    QList<QByteArray> scripted;
    QList<Request> seen;
    QList<QByteArray> frames;
    bool logging = true;
};

Q_DECLARE_METATYPE(SimCabinet::Request)
