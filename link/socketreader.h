#pragma once

#include "answerdeadline.h"
#include "saferwbuffer.h"
#include "sendqueue.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>

QT_BEGIN_NAMESPACE
class QTcpSocket;
class QTimer;
QT_END_NAMESPACE

// One cabinet's TCP connection, run on a worker thread of its own. Requests come
// in through queued hand-over signals and go out one at a time: the next is
// written only once data has come in for the previous one. Commands (writes)
// waiting to go out pass the reads that wait, so that a Stop never queues
// behind polls.
class SocketReader : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SocketReader)

public:
    SocketReader();
    ~SocketReader() override;

    void connectToHost(const QString &ip, int port);
    qint64 write(const char *data, qint64 len);
    // The same, sharing the frame's bytes rather than copying them.
    qint64 write(const QByteArray &data);
    void flush();
    qint64 read(char *data, qint64 maxLen);
    qint64 peek(char *data, qint64 maxLen);
    qint64 bytesAvailable() const;

    // Requests written to the socket whose answers the reader has not taken yet,
    // by transaction identifier. Safe from any thread.
    bool isOnWire(quint16 transactionId) const;
    // The oldest of them, taken off the list when its answer is taken; -1 when
    // there is none.
    int takeOldestFromWire();
    // A request handed over and not yet on the wire never goes out; false if it
    // is on the wire already.
    bool withdraw(quint16 transactionId);

    // Ends the link as a socket error would, with this code and text.
    void dropLink(QAbstractSocket::SocketError code, const QString &reason);

    // How long a request may wait for its answer before the link is dropped.
    // Safe from any thread; applies to the requests on the wire too.
    void setAnswerTimeout(int ms);
    int answerTimeout() const;
    // How long answers take of late (AnswerDeadline::answerMs); -1 before the
    // first. Safe from any thread.
    int answerMs() const;

    // Safe from any thread: copies kept by the worker thread.
    QAbstractSocket::SocketState state() const;
    QAbstractSocket::SocketError error() const;
    QString errorString() const;

signals:
    void readyRead();
    void connected();
    void disconnected();
    void error(QAbstractSocket::SocketError socketError);
    void writeDataNotify(QByteArray data);
    void flushNotify();
    void setupNotify();
    void connectNotify(QString ip, int port);
    void dropNotify(QAbstractSocket::SocketError code, QString reason);
    // A command (a write, never a read) went onto the wire; emitted on the worker
    // thread, before its answer comes in.
    void commandWritten(QByteArray frame);

public slots:
    void sockConnected();
    void sockDisconnected();
    void sockError(QAbstractSocket::SocketError err);

protected slots:
    void readIncomingData();
    void writeData(QByteArray data);
    void connectHost(QString ip, int port);
    void flushSlot();
    void setupSlot();

private slots:
    void sockStateChanged(QAbstractSocket::SocketState socketState);
    void releaseSocket();
    void dropSlot(QAbstractSocket::SocketError code, QString reason);
    void answerDeadlinePassed();
    void connectDeadlinePassed();

protected:
    // The hand-over signal of the same name must not hide QObject's hook.
    using QObject::connectNotify;

private:
    void resetPacing();
    void resetLinkStatus();
    bool sendNext();
    void armAnswerDeadline();
    void fail(QAbstractSocket::SocketError code, const QString &reason);

    QThread thread;
    QTcpSocket *socket = nullptr;
    SafeRWBuffer incoming;
    QList<QByteArray> writeQueue; // commands first, then reads, each in order
    bool writePending = false;

    // Under linkMutex: the order of writeQueue, and which requests are on the wire
    // or withdrawn; the client asks about them from its own thread.
    SendQueue sendQueue{writeQueue};
    // Under linkMutex: when each request on the wire must have its answer.
    AnswerDeadline deadline;
    // Worker thread only.
    QTimer *answerTimer = nullptr;
    // A cabinet whose packets are lost would keep an attempt waiting for the system's
    // own limit, minutes; it gets as long as an answer.
    QTimer *connectTimer = nullptr;
    QElapsedTimer clock;

    mutable QMutex linkMutex;
    QAbstractSocket::SocketState linkState = QAbstractSocket::UnconnectedState;
    QAbstractSocket::SocketError linkError = QAbstractSocket::UnknownSocketError;
    QString linkErrorString;
};
