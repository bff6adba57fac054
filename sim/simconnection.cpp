#include "simconnection.h"

#include "cabinetframe.h"
#include "simcabinet.h"

#include <QTcpSocket>

namespace {
constexpr int SplitGapMs = 2; // enough for each piece to travel in a segment of its own
}

SimConnection::SimConnection(QTcpSocket *socket, SimCabinet *cabinet)
    : QObject(cabinet)
    , socket(socket)
    , cabinet(cabinet)
{
    socket->setParent(this);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    clock.start();
    outTimer.setSingleShot(true);
    connect(&outTimer, &QTimer::timeout, this, &SimConnection::sendDue);
    connect(socket, &QTcpSocket::readyRead, this, &SimConnection::readRequests);
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        this->cabinet->connections.removeOne(this);
        emit this->cabinet->clientDisconnected();
        deleteLater();
    });
}

void SimConnection::drop()
{
    closing = true;
    outgoing.clear();
    outTimer.stop();
    socket->abort();
    // abort() on a connected socket emits disconnected(), which cleans up; one
    // that never got that far needs it done here.
    if (cabinet->connections.removeOne(this)) {
        emit cabinet->clientDisconnected();
        deleteLater();
    }
}

void SimConnection::readRequests()
{
    received.append(socket->readAll());
    while (!closing) {
        CabinetFrame::Frame decoded;
        const int length = CabinetFrame::decodeRequest(received.constData(), received.size(), &decoded);
        if (length < 0) {
            cabinet->log(QStringLiteral("%1: malformed request header (protocol %2, length %3), "
                                        "closing the connection")
                             .arg(cabinet->name())
                             .arg(decoded.protocol)
                             .arg(decoded.length));
            drop();
            return;
        }
        if (length == 0)
            return;

        const QByteArray frame = received.left(length);
        received.remove(0, length);

        SimCabinet::Request request;
        request.transactionId = decoded.transactionId;
        request.unit = decoded.unit;
        request.function = decoded.function;
        request.reg = decoded.address;
        request.value = decoded.value;

        const QByteArray reply = cabinet->answer(request, frame);
        if (cabinet->silent || reply.isEmpty())
            continue;
        ++answered;
        const bool closeNow = cabinet->closeAfterRequests > 0
                && answered >= cabinet->closeAfterRequests;
        if (cabinet->cutAnswers) {
            send(reply.left(reply.size() / 2), cabinet->answerDelayMs, cabinet->splitAnswers, true);
            closing = true;
        } else {
            send(reply, cabinet->answerDelayMs, cabinet->splitAnswers, closeNow);
            closing = closeNow;
        }
    }
}

void SimConnection::send(const QByteArray &bytes, int delayMs, bool split, bool close)
{
    if (bytes.isEmpty() && !close)
        return;
    // Nothing overtakes what is already waiting.
    qint64 due = clock.elapsed() + qMax(0, delayMs);
    if (!outgoing.isEmpty())
        due = qMax(due, outgoing.last().due);

    if (due <= clock.elapsed() && outgoing.isEmpty() && !split && !close) {
        socket->write(bytes);
        return;
    }
    if (split && bytes.size() > 1) {
        for (int i = 0; i < bytes.size(); ++i) {
            const bool last = i == bytes.size() - 1;
            outgoing.append(Chunk{due + i * SplitGapMs, bytes.mid(i, 1), last && close});
        }
    } else {
        outgoing.append(Chunk{due, bytes, close});
    }
    sendDue();
}

void SimConnection::sendDue()
{
    const qint64 now = clock.elapsed();
    while (!outgoing.isEmpty() && outgoing.first().due <= now) {
        const Chunk chunk = outgoing.takeFirst();
        if (!chunk.bytes.isEmpty()) {
            socket->write(chunk.bytes);
            socket->flush();
        }
        if (chunk.close) {
            outgoing.clear();
            socket->disconnectFromHost();
            return;
        }
    }
    if (!outgoing.isEmpty())
        outTimer.start(int(qMax<qint64>(0, outgoing.first().due - now)));
}
