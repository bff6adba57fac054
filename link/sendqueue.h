#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>

// Which request goes on the wire next, and which are on it. Commands (writes)
// pass the reads that wait, in their own order, so that a Stop never queues
// behind polls; but while reads wait, at most MaxCommandsAhead commands go in a
// row before the oldest read, so that a cabinet too slow for its commands still
// answers its polls (a Stop is never held back for that, nor are the commands
// ahead of it). A command that replaces
// one withdrawn for the same unit and register takes its place.
// Plain data: the worker guards it with its mutex, since the client asks about
// the wire from its own thread.
class SendQueue
{
public:
    static constexpr int MaxCommandsAhead = 4;

    // frames: where the waiting requests are kept, commands first, then reads.
    explicit SendQueue(QList<QByteArray> &frames);

    void add(const QByteArray &frame);
    // The next request to write, counted as on the wire from now; empty when
    // none waits. Withdrawn requests are skipped: they never go out. isCommand, if
    // given, tells whether it is a command.
    QByteArray takeNext(bool *isCommand = nullptr);
    bool isEmpty() const;

    bool isOnWire(quint16 transactionId) const;
    // The oldest request on the wire, taken off it now that its answer is taken;
    // -1 when there is none.
    int takeOldestOnWire();
    // A request handed over and not yet on the wire never goes out; false if it
    // is on the wire already.
    bool withdraw(quint16 transactionId);

    void clear();

private:
    bool replaceWithdrawnCommand(const QByteArray &command);
    bool stopWaits() const;

    QList<QByteArray> &frames;
    int commands = 0; // at the front of frames
    int commandsInARow = 0; // sent while reads waited
    QList<quint16> wire; // oldest first
    QSet<quint16> withdrawn;
};
