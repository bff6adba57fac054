#include "answerdeadline.h"

#include "cabinetprotocol.h"

using namespace CabinetProtocol;

void AnswerDeadline::setTimeout(int ms)
{
    timeoutMs = qMax(1, ms);
}

int AnswerDeadline::timeout() const
{
    return timeoutMs;
}

void AnswerDeadline::sent(qint64 now)
{
    sentAt.append(now);
}

int AnswerDeadline::received(const char *data, qint64 size, qint64 now)
{
    int completed = 0;
    for (qint64 i = 0; i < size && !sentAt.isEmpty(); ++i) {
        if (bytesSoFar == FunctionOffset)
            length = answerLengthFor(data[i]);
        if (++bytesSoFar == qMax(length, FunctionOffset + 1)) {
            bytesSoFar = 0;
            length = 0;
            const qint64 took = now - sentAt.takeFirst();
            answerTime = answerTime < 0 ? took : (3 * answerTime + took) / 4;
            ++completed;
        }
    }
    if (sentAt.isEmpty()) {
        bytesSoFar = 0;
        length = 0;
    }
    return completed;
}

bool AnswerDeadline::isWaiting() const
{
    return !sentAt.isEmpty();
}

qint64 AnswerDeadline::nextDue() const
{
    return sentAt.isEmpty() ? -1 : sentAt.first() + timeoutMs;
}

bool AnswerDeadline::hasPassed(qint64 now) const
{
    return !sentAt.isEmpty() && sentAt.first() + timeoutMs <= now;
}

qint64 AnswerDeadline::answerMs() const
{
    return answerTime;
}

void AnswerDeadline::clear()
{
    sentAt.clear();
    bytesSoFar = 0;
    length = 0;
}
