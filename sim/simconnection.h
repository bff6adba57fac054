#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

QT_BEGIN_NAMESPACE
class QTcpSocket;
QT_END_NAMESPACE

class SimCabinet;

// One client connected to a simulated cabinet: puts requests together from the
// stream and sends the answers out in order, late or in pieces when asked to.
class SimConnection final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SimConnection)

public:
    SimConnection(QTcpSocket *socket, SimCabinet *cabinet);

    // Bytes go out after delayMs; split sends them one per segment; close ends
    // the connection once they are out.
    void send(const QByteArray &bytes, int delayMs, bool split, bool close);
    void drop();

private:
    struct Chunk
    {
        qint64 due = 0;
        QByteArray bytes;
        bool close = false;
    };

    void readRequests();
    void sendDue();

    QTcpSocket *socket;
    SimCabinet *cabinet;
    QByteArray received;
    QList<Chunk> outgoing;
    QTimer outTimer;
    QElapsedTimer clock;
    int answered = 0;
    bool closing = false;
};
