#pragma once

#include "alarmbook.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QProcess;
class QTimer;
QT_END_NAMESPACE

// The plant's own program, run for every raise, clearing and acknowledgement with the
// alarm in its environment, so that it can send mail or a message with the plant's
// tools. No shell; output thrown away; never waited for, but killed after a time;
// a few at once, the rest queued.
class AlarmCommand final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmCommand)

public:
    static constexpr int TimeoutMs = 30000;
    static constexpr int MaxRunning = 4;
    // What the program's end gives the commands still running or queued.
    static constexpr int EndWaitMs = 3000;

    explicit AlarmCommand(QObject *parent = nullptr);
    ~AlarmCommand() override;

    // A program path and its arguments, split as QProcess::splitCommand does; empty
    // runs nothing.
    void setCommand(const QString &commandLine);
    QString command() const { return commandLine; }
    void setTimeoutMs(int ms) { timeoutMs = ms; }

    // event: raised, cleared or acknowledged; at: when it happened.
    void run(const QString &event, const Alarm &alarm, const QDateTime &at);
    // The program ends: waits at most waitMs for what runs and is queued.
    void finish(int waitMs = EndWaitMs);

    int runningCount() const { return running.size(); }
    int queuedCount() const { return queued.size(); }
    // ISO 8601 with the local offset: 2026-12-08T21:04:05+01:00.
    static QString timeText(const QDateTime &at);
    static QProcessEnvironment environment(const QString &event, const Alarm &alarm, const QDateTime &at);

signals:
    void started(const QString &event, int alarmId);
    // The command did not start, ended with a status other than 0, or was killed:
    // in words a person reads.
    void failed(const QString &message);

private:
    struct Job
    {
        QProcessEnvironment environment;
        int alarmId = 0;
        QString event;
    };
    struct Run
    {
        QProcess *process = nullptr;
        QTimer *deadline = nullptr;
        bool killed = false;
    };

    void startNext();
    void ended(QProcess *process, int exitCode, bool crashed);
    void notStarted(QProcess *process);
    void remove(QProcess *process);

    QString commandLine;
    QString program;
    QStringList arguments;
    int timeoutMs = TimeoutMs;
    QList<Job> queued;
    QList<Run> running;
    bool starting = false;
};
