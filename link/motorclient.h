#pragma once

#include "requestbook.h"
#include "socketreader.h"

#include <QByteArray>
#include <QList>
#include <QMetaMethod>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVector>

// Modbus TCP client of one pump cabinet: turns typed requests into 12-byte
// frames, matches each answer to its request by transaction identifier and
// hands the value to the one slot that asked for it, once.
class MotorClient : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MotorClient)

public:
    using PendingRequest = ::PendingRequest;

    MotorClient(const QString &host, int port);

    void connectToHost();
    bool isConnected() const;
    void detachSocket();
    void setUnitId(int unitId);
    // Requests handed over and not yet answered, writes included.
    int pendingRequestCount() const;
    // A write to this unit and register is handed over and not yet answered.
    bool isWritePending(int unit, int reg) const;
    bool isWritePending(int unit, int reg, int value) const;
    // Commands handed over and not yet answered.
    int pendingCommandCount() const;
    // How long the cabinet may take to answer a request before the link is
    // dropped; 3000 ms unless set.
    void setAnswerTimeout(int ms);
    int answerTimeout() const;

    bool readState(QObject *receiver, const char *slot);
    bool readCrpm(QObject *receiver, const char *slot);
    bool readDirection(QObject *receiver, const char *slot);
    bool readIdentify(QObject *receiver, const char *slot);
    bool readTemperature(QObject *receiver, const char *slot);

    bool sendCrpm(int crpm);
    bool sendDirection(bool counterClockwise);
    bool sendIdentify(bool on);
    bool sendStart();
    bool sendStop();

    QString stateName(int code) const;

signals:
    void stateResponse(int state, QString stateName);
    void crpmResponse(int crpm);
    void directionResponse(int dir);
    void temperatureResponse(qreal temp);
    void identifyResponse(bool identify);
    // A command answered by its echo, and one that was not (refused with an
    // exception, answered out of step or with something else), with why in words a
    // person reads: whoever must know that a Stop took hold listens here.
    void commandConfirmed(int unit, int reg, int value);
    void commandFailed(int unit, int reg, int value, QString reason);
    // A command went onto the wire, always before what became of it; or it was
    // withdrawn before it did, replaced by a later one for the same unit and
    // register, and never reaches the cabinet.
    void commandSent(int unit, int reg, int value);
    void commandWithdrawn(int unit, int reg, int value);

protected slots:
    void dataIsReady();

private slots:
    void commandWritten(const QByteArray &frame);

private:
    bool readRegister(int reg, QObject *receiver, const char *slot);
    bool writeRegister(int reg, int value);
    bool send(const QByteArray &frame, const char *failure);
    // False when the link is being dropped.
    bool takeAnswer(const CabinetFrame::Frame &answer);
    bool reportOutOfStep(const RequestBook::Outcome &outcome);
    void reportFailure(const PendingRequest &command, const QString &reason);
    void reportOnWire(const PendingRequest &command);
    void discardUnasked();
    void deliver(const PendingRequest &request, quint16 value);
    QMetaObject::Connection connectOnce(const QMetaMethod &signal, const char *signalText,
                                        QObject *receiver, const char *slot);
    QMetaMethod replySlot(const QMetaMethod &signal, const QObject *receiver, const char *slot);

    // A reply slot found by its text, for its receiver's class.
    struct ReplySlot
    {
        const QMetaObject *receiverClass = nullptr;
        const char *slot = nullptr; // as the asker gave it
        QByteArray text; // what it said when it was found
        QMetaMethod method;
    };

    QList<PendingRequest> pending;
    QVector<ReplySlot> replySlots;
    // Commands the worker reported on the wire, till answered; and those answered
    // before that report was taken, which is then passed over.
    QSet<quint16> reportedOnWire;
    QSet<quint16> reportedWithAnswer;
    int unitId = 0;
    quint16 transactionCounter = 0;
    QString host;
    int port = 0;

public:
    SocketReader reader;

private:
    RequestBook book; // after reader, which it asks about the wire
};
