#pragma once

#include <QList>
#include <QtGlobal>

// When each request on the wire must have its answer. Each complete answer, 12
// bytes or a 9-byte exception answer, answers the oldest request on the wire;
// bytes that come while nothing is asked answer nothing sent later. Times are
// milliseconds of a clock the caller keeps.
class AnswerDeadline
{
public:
    static constexpr int DefaultTimeoutMs = 3000;

    void setTimeout(int ms);
    int timeout() const;

    void sent(qint64 now);
    // Bytes came in: returns how many answers they completed.
    int received(const char *data, qint64 size, qint64 now);

    bool isWaiting() const;
    // When the oldest request on the wire must be answered; -1 when none waits.
    qint64 nextDue() const;
    bool hasPassed(qint64 now) const;
    // How long answers take from their requests of late, an average that follows
    // the last few; -1 before the first.
    qint64 answerMs() const;

    void clear();

private:
    int timeoutMs = DefaultTimeoutMs;
    QList<qint64> sentAt; // of the requests on the wire, oldest first
    int bytesSoFar = 0; // of the answer coming in now
    int length = 0; // of the answer coming in now, once its function code came
    qint64 answerTime = -1;
};
