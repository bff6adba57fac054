#include "requestbook.h"

#include <algorithm>
#include <utility>

using namespace CabinetProtocol;

RequestBook::RequestBook(QList<PendingRequest> &pending, std::function<bool(quint16)> isOnWire,
                         std::function<bool(quint16)> withdraw)
    : pending(pending)
    , isOnWire(std::move(isOnWire))
    , withdraw(std::move(withdraw))
{
}

// Asked again while it still waits to go out, the same question would only queue
// behind itself. One already on the wire is asked again: its answer may predate a
// write made since.
bool RequestBook::isAskedAlready(int reg, int unit, const QObject *receiver, const char *slot) const
{
    return std::any_of(pending.cbegin(), pending.cend(), [&](const PendingRequest &request) {
        return !request.isWrite && request.kind == reg && request.unit == unit
                && request.receiver == receiver && qstrcmp(request.slot, slot) == 0
                && !isOnWire(request.transactionId);
    });
}

bool RequestBook::addCommand(const PendingRequest &command, PendingRequest *withdrawn)
{
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
        if (it->isWrite && it->unit == command.unit && it->kind == command.kind) {
            if (it->value == command.value && !isOnWire(it->transactionId))
                return false;
            if (it->value != command.value && withdraw(it->transactionId)) {
                if (withdrawn)
                    *withdrawn = *it;
                pending.erase(std::next(it).base());
            }
            break;
        }
    }
    pending.append(command);
    return true;
}

bool RequestBook::isWritePending(int unit, int reg) const
{
    return std::any_of(pending.cbegin(), pending.cend(), [=](const PendingRequest &request) {
        return request.isWrite && request.unit == unit && request.kind == reg;
    });
}

bool RequestBook::isWritePending(int unit, int reg, int value) const
{
    return std::any_of(pending.cbegin(), pending.cend(), [=](const PendingRequest &request) {
        return request.isWrite && request.unit == unit && request.kind == reg
                && request.value == quint16(value);
    });
}

int RequestBook::pendingWriteCount() const
{
    return int(std::count_if(pending.cbegin(), pending.cend(),
                             [](const PendingRequest &request) { return request.isWrite; }));
}

// Answers come in the order their requests went on the wire, whatever order they
// were asked in: this one is for the oldest request there, and for no other, even
// one that carries the identifier it names.
RequestBook::Outcome RequestBook::take(const CabinetFrame::Frame &answer, int oldestOnWire)
{
    const auto match = std::find_if(pending.begin(), pending.end(),
                                    [&](const PendingRequest &request) {
        return request.transactionId == answer.transactionId;
    });
    if (oldestOnWire != int(answer.transactionId) || match == pending.end())
        return outOfStep(oldestOnWire);

    Outcome outcome{Verdict::Answered, *match, true};
    pending.erase(match);
    mismatchesInARow = 0;
    if (answer.isException()) {
        outcome.verdict = Verdict::Exception;
        if (++exceptionsInARow == MaxExceptionsInARow) {
            exceptionsInARow = 0;
            outcome.verdict = Verdict::DropForExceptions;
        }
        return outcome;
    }
    exceptionsInARow = 0;
    if (answer.function == ReadInputRegister && answer.address != 2)
        outcome.verdict = Verdict::BadByteCount;
    return outcome;
}

RequestBook::Outcome RequestBook::unasked(int oldestOnWire)
{
    return outOfStep(oldestOnWire);
}

// The request on the wire has lost its answer.
RequestBook::Outcome RequestBook::outOfStep(int displaced)
{
    Outcome outcome;
    const auto lost = std::find_if(pending.begin(), pending.end(), [=](const PendingRequest &request) {
        return displaced >= 0 && request.transactionId == quint16(displaced);
    });
    if (lost != pending.end()) {
        outcome.request = *lost;
        outcome.hasRequest = true;
        pending.erase(lost);
    }
    if (++mismatchesInARow < MaxMismatchesInARow)
        return outcome;
    mismatchesInARow = 0;
    outcome.verdict = Verdict::DropForMismatches;
    return outcome;
}

void RequestBook::reset()
{
    pending.clear();
    mismatchesInARow = 0;
    exceptionsInARow = 0;
}
