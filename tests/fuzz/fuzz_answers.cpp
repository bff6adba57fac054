// libFuzzer target: arbitrary byte streams, cut at arbitrary points, through the
// link's answer rules (the codec, the client's request book and the worker's answer
// deadline), against arbitrary pending requests, some of them on the wire in any
// order.
//
// Input: byte 0 = number of pending requests (0..31); byte 1 = first transaction
// identifier; then one byte per request (its kind, whether its asker still exists,
// whether it is on the wire); the rest is the stream, as steps, each followed by
// the client's handling of what came. A step's first byte picks what it feeds:
// raw bytes (a length byte, then up to that many bytes), or an answer built for a
// request, for one never asked, or repeated (an index byte and a value), as a
// 12-byte answer or a 9-byte exception answer, cut in two at a chosen point.

#include "answerdeadline.h"
#include "cabinetframe.h"
#include "requestbook.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace CabinetProtocol;

class AnswerFuzzer
{
public:
    AnswerFuzzer()
        : book(pending, [this](quint16 id) { return onWire.contains(id); },
               [this](quint16 id) { return !onWire.contains(id); })
    {
    }

    void run(const uint8_t *data, size_t size);

private:
    static void check(bool ok, const char *what)
    {
        if (!ok) {
            std::fprintf(stderr, "answer processing broke: %s\n", what);
            std::abort();
        }
    }

    // As the client takes what came: false once the link would be dropped.
    bool takeAnswers();

    QList<PendingRequest> pending;
    QList<quint16> onWire;
    RequestBook book;
    AnswerDeadline deadline;
    QByteArray held; // received, not yet taken
    QObject asker;
    int answers = 0;
};

bool AnswerFuzzer::takeAnswers()
{
    while (!held.isEmpty()) {
        if (pending.isEmpty()) {
            held.clear();
            const int oldest = onWire.isEmpty() ? -1 : int(onWire.takeFirst());
            return book.unasked(oldest).verdict != RequestBook::Verdict::DropForMismatches;
        }
        CabinetFrame::Frame answer;
        const int length = CabinetFrame::decodeAnswer(held.constData(), held.size(), &answer);
        if (length == 0)
            return true;
        check(length == answerLengthFor(held.at(FunctionOffset)), "the length rule was not kept");
        held.remove(0, length);
        const int oldest = onWire.isEmpty() ? -1 : int(onWire.takeFirst());
        const int pendingBefore = pending.size();
        const RequestBook::Outcome outcome = book.take(answer, oldest);
        switch (outcome.verdict) {
        case RequestBook::Verdict::Answered:
        case RequestBook::Verdict::BadByteCount:
        case RequestBook::Verdict::Exception:
        case RequestBook::Verdict::DropForExceptions:
            // Only the request on the wire is answered, and only by its own answer.
            check(oldest == int(answer.transactionId), "an answer reached a request not on the wire");
            check(outcome.request.transactionId == answer.transactionId,
                  "an answer reached another request");
            check(pending.size() == pendingBefore - 1, "the answered request stayed pending");
            if (outcome.verdict == RequestBook::Verdict::Answered && outcome.request.receiver)
                ++answers;
            if (outcome.verdict == RequestBook::Verdict::DropForExceptions)
                return false;
            break;
        case RequestBook::Verdict::OutOfStep:
            break;
        case RequestBook::Verdict::DropForMismatches:
            return false;
        }
    }
    return true;
}

void AnswerFuzzer::run(const uint8_t *data, size_t size)
{
    if (size < 2)
        return;
    size_t at = 0;
    const int requests = data[at++] % 32;
    quint16 transactionId = data[at++];
    const quint16 firstId = transactionId;

    static const struct { int kind; const char *slot; } kinds[] = {
        { StateRegister, "1stateReceived(int,QString)" },
        { CrpmRegister, "1crpmReceived(int)" },
        { DirectionRegister, "1directionReceived(int)" },
        { IdentifyRegister, "1identifyReceived(bool)" },
        { TemperatureRegister, "1temperatureReceived(qreal)" },
        { RunRegister, nullptr }, // a write: nobody waits for its value
    };
    constexpr int KindCount = int(sizeof(kinds) / sizeof(kinds[0]));

    std::unique_ptr<QObject> gone; // an asker destroyed while its request waits
    for (int i = 0; i < requests && at < size; ++i) {
        const uint8_t pick = data[at++];
        PendingRequest request;
        request.kind = kinds[pick % KindCount].kind;
        request.slot = kinds[pick % KindCount].slot;
        request.isWrite = !request.slot;
        if (request.slot) {
            if (pick & 0x80) {
                if (!gone)
                    gone = std::make_unique<QObject>();
                request.receiver = gone.get();
            } else {
                request.receiver = &asker;
            }
        }
        request.transactionId = transactionId++;
        pending.append(request);
        // Sent in another order than asked, as commands pass waiting reads.
        if (pick & 0x40)
            onWire.prepend(request.transactionId);
        else if (pick & 0x20)
            onWire.append(request.transactionId);
    }
    gone.reset();
    for (int i = 0; i < onWire.size(); ++i)
        deadline.sent(0);

    answers = 0;
    const int asked = pending.size();
    const int sent = onWire.size();
    int completed = 0;
    bool dropped = false;
    qint64 fed = 0;
    auto feed = [&](const char *bytes, qint64 length) {
        if (dropped)
            return;
        held.append(bytes, int(length));
        fed += length;
        completed += deadline.received(bytes, length, fed);

        const int pendingBefore = pending.size();
        const int wireBefore = onWire.size();
        dropped = !takeAnswers();

        check(pending.size() <= pendingBefore, "pending requests grew");
        check(onWire.size() <= wireBefore, "requests on the wire grew");
        check(held.size() <= fed, "more bytes held than received");
        check(completed <= sent, "more answers counted than requests sent");
        if (dropped)
            return;
        // Nothing asked: nothing kept. Otherwise every complete answer was taken.
        if (pending.isEmpty())
            check(held.isEmpty(), "bytes kept that nobody asked for");
        else
            check(CabinetFrame::decodeAnswer(held.constData(), held.size(), nullptr) == 0,
                  "a complete answer was left unread");
    };

    while (at < size) {
        const uint8_t step = data[at++];
        if ((step & 3) == 0 || at + 3 > size) {
            const size_t wanted = at < size ? data[at++] : 0;
            const size_t length = qMin(wanted, size - at);
            feed(reinterpret_cast<const char *>(data + at), qint64(length));
            at += length;
            continue;
        }
        // An answer for the request at this index, or one never asked past the end.
        const int index = data[at++];
        const quint16 value = quint16(data[at] << 8 | data[at + 1]);
        at += 2;
        const quint16 id = index < asked ? quint16(firstId + index) : quint16(index * 257);
        const int function = step & 4 ? WriteSingleRegister : ReadInputRegister;
        const QByteArray answer = (step & 3) == 2
                ? CabinetFrame::exceptionAnswer(id, 0, function, value >> 8)
                : CabinetFrame::request(id, 0, function, 2, value);
        const int cut = (step >> 3) % (answer.size() + 1);
        const int copies = (step & 3) == 3 ? 2 : 1; // the same answer twice
        for (int copy = 0; copy < copies; ++copy) {
            feed(answer.constData(), cut);
            feed(answer.constData() + cut, answer.size() - cut);
        }
    }
    check(answers <= asked, "more answers delivered than asked for");

    // The next input starts from a clean link, as a reconnect would.
    book.reset();
    onWire.clear();
    deadline.clear();
    held.clear();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static AnswerFuzzer fuzzer;
    fuzzer.run(data, size);
    return 0;
}
