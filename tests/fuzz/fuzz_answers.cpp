// libFuzzer target: arbitrary byte streams, cut at arbitrary points, through the
// client's answer processing, against arbitrary pending requests.
//
// Input: byte 0 = number of pending requests (0..31); byte 1 = first transaction
// identifier; then one byte per request (its kind, and whether its asker still
// exists); the rest is the stream, as chunks: a length byte, then up to that many
// bytes, each chunk followed by the client's readyRead handling.

#include "cabinetprotocol.h"
#include "motorclient.h"

#include <QCoreApplication>

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
    for (int i = 0; i < requests && at < size; ++i) {
        const uint8_t pick = data[at++];
        MotorClient::PendingRequest request;
        request.kind = kinds[pick % KindCount].kind;
        request.slot = kinds[pick % KindCount].slot;
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
    }
    gone.reset();

    sink.answers = 0;
    const int asked = client.pending.size();
    qint64 fed = 0;
    while (at < size) {
        const size_t wanted = data[at++];
        const size_t length = qMin(wanted, size - at);
        client.reader.incoming.write(reinterpret_cast<const char *>(data + at), qint64(length));
        at += length;
        fed += qint64(length);

        const int pendingBefore = client.pending.size();
        const int dropsBefore = drops;
        client.dataIsReady();

        // Every complete answer is taken while a request waits for it, unless the
        // link was just dropped for losing step.
        check(client.pending.size() <= pendingBefore, "pending requests grew");
        check(drops != dropsBefore || client.pending.isEmpty()
                  || client.reader.bytesAvailable() < FrameSize,
              "a complete answer was left unread");
        check(client.reader.bytesAvailable() <= fed, "more bytes held than received");
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
