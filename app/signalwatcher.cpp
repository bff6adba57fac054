#include "signalwatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int Watched[] = {SIGTERM, SIGINT, SIGHUP};
std::atomic<int> writeEnd{-1};

// Only what is safe in a signal handler: one byte down a socket.
void handler(int signalNumber)
{
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const char byte = char(signalNumber);
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written; // a full socket means the signal is known already
    }
}

} // namespace

SignalWatcher::SignalWatcher(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        qWarning("signals cannot be watched: no socket pair");
        return;
    }
    notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::takeSignal);
    writeEnd.store(fds[0]);
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : Watched)
        ::sigaction(signalNumber, &action, nullptr);
}

SignalWatcher::~SignalWatcher()
{
    for (const int signalNumber : Watched)
        ::signal(signalNumber, SIG_DFL);
    writeEnd.store(-1);
    delete notifier;
    for (const int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SignalWatcher::takeSignal()
{
    char byte = 0;
    while (::read(fds[1], &byte, 1) == 1)
        emit signalled(int(byte));
}
