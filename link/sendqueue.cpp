#include "sendqueue.h"

#include "cabinetframe.h"


using namespace CabinetProtocol;

namespace {

CabinetFrame::Frame decoded(const QByteArray &frame)
{
    CabinetFrame::Frame request;
    CabinetFrame::decodeRequest(frame.constData(), frame.size(), &request);
    return request;
}

quint16 transactionIdOf(const QByteArray &frame)
{
    return decoded(frame).transactionId;
}

bool isCommand(const QByteArray &frame)
{
    return frame.size() == FrameSize && decoded(frame).function == WriteSingleRegister;
}

bool isStop(const QByteArray &frame)
{
    const CabinetFrame::Frame request = decoded(frame);
    return request.function == WriteSingleRegister && request.address == RunRegister
            && request.value == RunStop;
}

// Same unit, same register.
bool sameTarget(const QByteArray &a, const QByteArray &b)
{
    const CabinetFrame::Frame first = decoded(a);
    const CabinetFrame::Frame second = decoded(b);
    return first.unit == second.unit && first.address == second.address;
}

} // namespace

SendQueue::SendQueue(QList<QByteArray> &frames)
    : frames(frames)
{
}

void SendQueue::add(const QByteArray &frame)
{
    if (!isCommand(frame)) {
        frames.append(frame);
        return;
    }
    if (!replaceWithdrawnCommand(frame))
        frames.insert(commands++, frame);
}

// A rotor whose commands keep changing keeps its turn.
bool SendQueue::replaceWithdrawnCommand(const QByteArray &command)
{
    for (int i = 0; i < commands; ++i) {
        if (sameTarget(frames.at(i), command) && withdrawn.remove(transactionIdOf(frames.at(i)))) {
            frames[i] = command;
            return true;
        }
    }
    return false;
}

// The commands ahead of a Stop go with it: it keeps its place among them.
bool SendQueue::stopWaits() const
{
    for (int i = 0; i < commands; ++i) {
        if (isStop(frames.at(i)))
            return true;
    }
    return false;
}

QByteArray SendQueue::takeNext(bool *isCommand)
{
    while (!frames.isEmpty()) {
        const bool readsWait = frames.size() > commands;
        const bool commandGoes = commands > 0
                && (!readsWait || commandsInARow < MaxCommandsAhead || stopWaits());
        QByteArray frame;
        if (commandGoes) {
            frame = frames.takeFirst();
            --commands;
            if (readsWait)
                ++commandsInARow;
        } else {
            frame = frames.takeAt(commands);
            commandsInARow = 0;
        }
        const quint16 transactionId = transactionIdOf(frame);
        if (withdrawn.remove(transactionId))
            continue;
        wire.append(transactionId);
        if (isCommand)
            *isCommand = commandGoes;
        return frame;
    }
    return QByteArray();
}

bool SendQueue::isEmpty() const
{
    return frames.isEmpty();
}

bool SendQueue::isOnWire(quint16 transactionId) const
{
    return wire.contains(transactionId);
}

int SendQueue::takeOldestOnWire()
{
    return wire.isEmpty() ? -1 : int(wire.takeFirst());
}

bool SendQueue::withdraw(quint16 transactionId)
{
    if (wire.contains(transactionId))
        return false;
    withdrawn.insert(transactionId);
    return true;
}

void SendQueue::clear()
{
    frames.clear();
    commands = 0;
    commandsInARow = 0;
    wire.clear();
    withdrawn.clear();
}
