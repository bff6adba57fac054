#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

class SimCabinet;

namespace TestSupport {

// A signature typo in a string-based connection only shows as a warning at run
// time; every test turns such a warning into a failure of the whole run.
void failOnConnectWarnings();

// A simulated cabinet on a loopback address and a port of the system's choosing.
SimCabinet *startSimulator(QObject *parent, const QString &address = QStringLiteral("127.0.0.1"));

// A port on which nothing listens, for refused connections.
quint16 unusedPort(const QHostAddress &address = QHostAddress::LocalHost);

} // namespace TestSupport

// Collects what the process writes to its standard output while it lives.
class StdoutCapture final
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QString text();

private:
    Q_DISABLE_COPY_MOVE(StdoutCapture)
    int savedFd = -1;
    QByteArray path;
};

// Stands in for a requester: one slot per kind of answer, each call recorded.
class ReplyRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReplyRecorder)

public:
    struct Call
    {
        QByteArray slot;
        QVariantList args;
    };

    explicit ReplyRecorder(QObject *parent = nullptr)
        : QObject(parent)
    {
    }

    QList<Call> calls;

public slots:
    void stateReply(int state, const QString &name) { record("state", {state, name}); }
    void crpmReply(int crpm) { record("crpm", {crpm}); }
    void otherCrpmReply(int crpm) { record("otherCrpm", {crpm}); }
    void directionReply(int dir) { record("direction", {dir}); }
    void identifyReply(bool on) { record("identify", {on}); }
    void temperatureReply(qreal celsius) { record("temperature", {celsius}); }

private:
    void record(const QByteArray &slot, const QVariantList &args) { calls.append({slot, args}); }
};
