#pragma once

#include "saferwbuffer.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSet>
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

protected:
    // The hand-over signal of the same name must not hide QObject's hook.
    using QObject::connectNotify;

private:
    friend class AnswerFuzzer; // feeds answers straight into the incoming buffer

    void resetPacing();
    void resetLinkStatus();
    bool writeToSocket(const QByteArray &data);
    bool replaceWithdrawnCommand(const QByteArray &command);
    void countAnswers(const QByteArray &received);
    void armAnswerDeadline();
    void fail(QAbstractSocket::SocketError code, const QString &reason);

    QThread thread;
    QTcpSocket *socket = nullptr;
    SafeRWBuffer incoming;
    QList<QByteArray> writeQueue; // commands first, then reads, each in order
    int queuedCommands = 0;
    bool writePending = false;

    // Worker thread only: when each request on the wire must have its answer.
    QTimer *answerTimer = nullptr;
    QElapsedTimer clock;
    QList<qint64> answerDue;
    int answerBytesSoFar = 0; // of the answer coming in now
    int answerLength = 0; // of the answer coming in now, once its function code came

    // Under linkMutex: written to the socket, answer not yet taken by the reader;
    // and handed over, then withdrawn before they went out.
    QList<quint16> wireIds;
    QSet<quint16> withdrawnIds;

    mutable QMutex linkMutex;
    QAbstractSocket::SocketState linkState = QAbstractSocket::UnconnectedState;
    QAbstractSocket::SocketError linkError = QAbstractSocket::UnknownSocketError;
    QString linkErrorString;
};
