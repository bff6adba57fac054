#pragma once

#include "cabinetframe.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>

// A request handed over to a cabinet and not yet answered.
struct PendingRequest
{
    QPointer<QObject> receiver; // null for writes, and once the asker is gone
    const char *slot = nullptr; // null for writes
    quint16 transactionId = 0;
    int kind = 0; // the register
    int unit = 0;
    bool isWrite = false;
    quint16 value = 0; // written, for writes
};

// The client's rules over its pending requests, with no socket: a question is
// not queued again while it waits to go out, a waiting command is replaced
// rather than followed, and each answer gets a verdict. Answers that keep
// missing their requests mean the stream is out of step for good; a cabinet that
// keeps rejecting them will not change its mind.
class RequestBook
{
public:
    static constexpr int MaxMismatchesInARow = 3;
    static constexpr int MaxExceptionsInARow = 3;

    enum class Verdict {
        Answered, // the request is taken; its value goes to its asker, if any
        BadByteCount, // a read answer whose byte count is not 2; the request is taken
        Exception, // a Modbus exception answer; the request is taken
        OutOfStep, // not the answer the request on the wire waits for; that one is lost
        DropForExceptions, // the exception answer that makes three in a row
        DropForMismatches, // the answer out of step that makes three in a row
    };

    struct Outcome
    {
        Verdict verdict = Verdict::OutOfStep;
        // The request answered; out of step, the one on the wire that lost its
        // answer, if it was pending.
        PendingRequest request;
        bool hasRequest = false;
    };

    // isOnWire and withdraw ask the worker about requests it was handed.
    RequestBook(QList<PendingRequest> &pending, std::function<bool(quint16)> isOnWire,
                std::function<bool(quint16)> withdraw);

    // The same question from the same asker still waits to go out.
    bool isAskedAlready(int reg, int unit, const QObject *receiver, const char *slot) const;
    // Takes a command in; false when the same one still waits to go out, so that
    // nothing need be sent. A different one for the same unit and register that
    // waits to go out is withdrawn: the cabinet gets what is wanted now. That one is
    // put in withdrawn, if given (isWrite false when none was).
    bool addCommand(const PendingRequest &command, PendingRequest *withdrawn = nullptr);
    bool isWritePending(int unit, int reg) const;
    bool isWritePending(int unit, int reg, int value) const;
    int pendingWriteCount() const;

    // An answer, and the oldest request on the wire when it came (-1: none).
    Outcome take(const CabinetFrame::Frame &answer, int oldestOnWire);
    // Bytes came while nothing was asked: out of step.
    Outcome unasked(int oldestOnWire);

    // A new link: nothing asked on the old one will be answered.
    void reset();

private:
    Outcome outOfStep(int displaced);

    QList<PendingRequest> &pending;
    std::function<bool(quint16)> isOnWire;
    std::function<bool(quint16)> withdraw;
    int mismatchesInARow = 0;
    int exceptionsInARow = 0;
};
