#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QVariant>

#include <functional>

QT_BEGIN_NAMESPACE
class QAbstractButton;
class QMessageBox;
QT_END_NAMESPACE

class SimCabinet;

namespace TestSupport {

// A signature typo in a string-based connection only shows as a warning at run
// time; every test turns such a warning into a failure of the whole run.
void failOnConnectWarnings();

// A simulated cabinet, by default on a loopback address and a port of the system's choosing.
SimCabinet *startSimulator(QObject *parent, const QString &address = QStringLiteral("127.0.0.1"),
                           quint16 port = 0);

// A port on which nothing listens, for refused connections.
quint16 unusedPort(const QHostAddress &address = QHostAddress::LocalHost);

// True inside the private network namespace that scripts/netns-run makes: only
// loopback interfaces, and the installation's addresses on them. Tests that build
// cabinets (always port 502 at those addresses) skip anywhere else.
bool inPrivateNetwork();
#define TAVREL_REQUIRE_PRIVATE_NETWORK()                                                      \
    do {                                                                                      \
        if (!TestSupport::inPrivateNetwork())                                                 \
            QSKIP("needs the private network namespace of scripts/netns-run; never runs on the " \
                  "real network");                                                            \
    } while (false)

QString installationHost(int number); // "10.0.85.<number>"

// A number from /proc/self/status ("VmRSS" in KiB, "Threads"), or -1.
long procStatus(const char *field);

// For a test that starts the program as a process: its lock, settings, history and
// runtime folders all inside folder, so that neither an operator's copy running on this
// machine nor the user's own files meet the test; offscreen.
QProcessEnvironment programEnvironment(const QString &folder);

// Clicks a check box or radio button on its box, as a person does: a button wider than
// its text takes clicks only on the box and the text.
void clickCheckBox(QAbstractButton *box);

// Runs answer on the next modal message box, while the code that opened it waits.
void onNextDialog(const std::function<void(QMessageBox *)> &answer);
// Drops the answers no box has taken, so that a test's answer never meets the next
// test's box.
void forgetDialogAnswers();

// A listening socket whose queue is full: a connection attempt to it stays in
// progress (its SYN is dropped) instead of completing or being refused.
class BlackHole final
{
public:
    BlackHole(const QHostAddress &address, quint16 port);
    ~BlackHole();
    bool isReady() const { return ready; }

private:
    Q_DISABLE_COPY_MOVE(BlackHole)
    int listener = -1;
    int filler = -1;
    bool ready = false;
};

} // namespace TestSupport

// Collects what the process writes to its standard output while it lives.
class StdoutCapture final
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QString text();

private:
    Q_DISABLE_COPY_MOVE(StdoutCapture)
    int savedFd = -1;
    QByteArray path;
};

// Stands in for a requester: one slot per kind of answer, each call recorded.
class ReplyRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ReplyRecorder)

public:
    struct Call
    {
        QByteArray slot;
        QVariantList args;
    };

    explicit ReplyRecorder(QObject *parent = nullptr)
        : QObject(parent)
    {
    }

    QList<Call> calls;

public slots:
    void stateReply(int state, const QString &name) { record("state", {state, name}); }
    void crpmReply(int crpm) { record("crpm", {crpm}); }
    void otherCrpmReply(int crpm) { record("otherCrpm", {crpm}); }
    void directionReply(int dir) { record("direction", {dir}); }
    void identifyReply(bool on) { record("identify", {on}); }
    void temperatureReply(qreal celsius) { record("temperature", {celsius}); }

private:
    void record(const QByteArray &slot, const QVariantList &args) { calls.append({slot, args}); }
};
