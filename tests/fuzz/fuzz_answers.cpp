// libFuzzer target: arbitrary byte streams, cut at arbitrary points, through the
// client's answer processing, against arbitrary pending requests, some of them on
// the wire in any order.
//
// Input: byte 0 = number of pending requests (0..31); byte 1 = first transaction
// identifier; then one byte per request (its kind, whether its asker still exists,
// whether it is on the wire); the rest is the stream, as steps, each followed by
// the client's readyRead handling. A step's first byte picks what it feeds:
// raw bytes (a length byte, then up to that many bytes), or an answer built for a
// request, for one never asked, or repeated (an index byte and a value), as a
// 12-byte answer or a 9-byte exception answer, cut in two at a chosen point.

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QCoreApplication>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace CabinetProtocol;

// Stands for a rotor head or cabinet: takes every kind of answer.
class AnswerSink : public QObject
{
    Q_OBJECT

public:
    int answers = 0;

public slots:
    void stateReceived(int, QString) { ++answers; }
    void crpmReceived(int) { ++answers; }
    void directionReceived(int) { ++answers; }
    void identifyReceived(bool) { ++answers; }
    void temperatureReceived(qreal) { ++answers; }
};

class AnswerFuzzer
{
public:
    AnswerFuzzer()
        : client(QStringLiteral("127.0.0.1"), 1)
    {
        // A lost step ends the link through the worker; count it here.
        QObject::connect(&client.reader, &SocketReader::dropNotify, &sink, [this] { ++drops; },
                         Qt::DirectConnection);
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

    MotorClient client;
    AnswerSink sink;
    int drops = 0;
};

void AnswerFuzzer::run(const uint8_t *data, size_t size)
{
    if (size < 2)
        return;
    size_t at = 0;
    const int requests = data[at++] % 32;
    quint16 transactionId = data[at++];
    const quint16 firstId = transactionId;

    static const struct { int kind; const char *slot; } kinds[] = {
        { StateRegister, SLOT(stateReceived(int,QString)) },
        { CrpmRegister, SLOT(crpmReceived(int)) },
        { DirectionRegister, SLOT(directionReceived(int)) },
        { IdentifyRegister, SLOT(identifyReceived(bool)) },
        { TemperatureRegister, SLOT(temperatureReceived(qreal)) },
        { RunRegister, nullptr }, // a write: nobody waits for its value
    };
    constexpr int KindCount = int(sizeof(kinds) / sizeof(kinds[0]));

    std::unique_ptr<AnswerSink> gone; // an asker destroyed while its request waits
    QList<quint16> onWire;
    for (int i = 0; i < requests && at < size; ++i) {
        const uint8_t pick = data[at++];
        MotorClient::PendingRequest request;
        request.kind = kinds[pick % KindCount].kind;
        request.slot = kinds[pick % KindCount].slot;
        request.isWrite = !request.slot;
        if (request.slot) {
            if (pick & 0x80) {
                if (!gone)
                    gone = std::make_unique<AnswerSink>();
                request.receiver = gone.get();
            } else {
                request.receiver = &sink;
            }
        }
        request.transactionId = transactionId++;
        client.pending.append(request);
        // Sent in another order than asked, as commands pass waiting reads.
        if (pick & 0x40)
            onWire.prepend(request.transactionId);
        else if (pick & 0x20)
            onWire.append(request.transactionId);
    }
    gone.reset();
    client.reader.wireIds = onWire;

    sink.answers = 0;
    const int asked = client.pending.size();
    qint64 fed = 0;
    auto feed = [&](const char *bytes, qint64 length) {
        client.reader.incoming.write(bytes, length);
        fed += length;

        const int pendingBefore = client.pending.size();
        const int wireBefore = client.reader.wireIds.size();
        const int dropsBefore = drops;
        client.dataIsReady();
        const bool dropped = drops != dropsBefore;

        check(client.pending.size() <= pendingBefore, "pending requests grew");
        check(client.reader.wireIds.size() <= wireBefore, "requests on the wire grew");
        check(client.reader.bytesAvailable() <= fed, "more bytes held than received");
        if (dropped)
            return;
        // Nothing asked: nothing kept. Otherwise every complete answer was taken.
        const qint64 held = client.reader.bytesAvailable();
        if (client.pending.isEmpty()) {
            check(held == 0, "bytes kept that nobody asked for");
        } else if (held > FunctionOffset) {
            char head[FunctionOffset + 1];
            client.reader.incoming.peek(head, sizeof head);
            check(held < answerLengthFor(head[FunctionOffset]), "a complete answer was left unread");
        }
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
        const bool exception = (step & 3) == 2;
        char answer[FrameSize] = {};
        qToBigEndian<quint16>(id, answer);
        qToBigEndian<quint16>(exception ? 3 : 6, answer + 4);
        answer[FunctionOffset] = char((step & 4 ? WriteSingleRegister : ReadInputRegister)
                                      | (exception ? ExceptionFlag : 0));
        qToBigEndian<quint16>(exception ? quint16(value << 8) : 2, answer + 8);
        qToBigEndian<quint16>(value, answer + 10);
        const int length = exception ? ExceptionFrameSize : FrameSize;
        const int cut = (step >> 3) % (length + 1);
        const int copies = (step & 3) == 3 ? 2 : 1; // the same answer twice
        for (int copy = 0; copy < copies; ++copy) {
            feed(answer, cut);
            feed(answer + cut, length - cut);
        }
    }
    check(sink.answers <= asked, "more answers delivered than asked for");
    // The delivery connections are one-shot: none may stay behind.
    check(client.receivers(SIGNAL(stateResponse(int,QString))) == 0
              && client.receivers(SIGNAL(crpmResponse(int))) == 0
              && client.receivers(SIGNAL(directionResponse(int))) == 0
              && client.receivers(SIGNAL(identifyResponse(bool))) == 0
              && client.receivers(SIGNAL(temperatureResponse(qreal))) == 0,
          "a delivery connection stayed behind");

    // The next input starts from a clean link, as a reconnect would.
    client.pending.clear();
    client.mismatchesInARow = 0;
    client.exceptionsInARow = 0;
    client.reader.wireIds.clear();
    client.reader.incoming.clear();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_answers";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    // The client's per-answer messages would bury libFuzzer's own report.
    static FILE *quiet = std::freopen("/dev/null", "w", stdout);
    Q_UNUSED(quiet);
    static AnswerFuzzer fuzzer;
    fuzzer.run(data, size);
    return 0;
}

#include "fuzz_answers.moc"
