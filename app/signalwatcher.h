#pragma once

#include <QObject>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the thread that made the watcher,
// so that the program ends the way it ends on a close, not in the middle of
// whatever it was doing. One watcher at a time; the default handling comes back
// when it goes.
class SignalWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalWatcher)

public:
    explicit SignalWatcher(QObject *parent = nullptr);
    ~SignalWatcher() override;

signals:
    void signalled(int signalNumber);

private:
    void takeSignal();

    int fds[2] = {-1, -1};
    QSocketNotifier *notifier = nullptr;
};
