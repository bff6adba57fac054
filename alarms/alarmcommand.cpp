#include "alarmcommand.h"

#include "plantnames.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QScopedValueRollback>
#include <QTimer>

AlarmCommand::AlarmCommand(QObject *parent)
    : QObject(parent)
{
}

AlarmCommand::~AlarmCommand()
{
    // Left after finish(): ended now, not waited for.
    for (const Run &run : qAsConst(running)) {
        run.process->disconnect(this);
        run.process->kill();
        run.process->waitForFinished(100);
    }
}

void AlarmCommand::setCommand(const QString &commandLine)
{
    this->commandLine = commandLine;
    QStringList parts = QProcess::splitCommand(commandLine);
    program = parts.isEmpty() ? QString() : parts.takeFirst();
    arguments = parts;
}

QString AlarmCommand::timeText(const QDateTime &at)
{
    const QDateTime local = at.toLocalTime();
    const int offset = local.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QProcessEnvironment AlarmCommand::environment(const QString &event, const Alarm &alarm, const QDateTime &at)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TAVREL_ALARM_EVENT"), event);
    env.insert(QStringLiteral("TAVREL_ALARM_CABINET"), alarm.place.cabinet);
    env.insert(QStringLiteral("TAVREL_ALARM_ROTOR"),
               alarm.place.rotor < 0 ? QString() : QString::number(alarm.place.rotor + 1));
    env.insert(QStringLiteral("TAVREL_ALARM_TEXT"), alarm.text);
    env.insert(QStringLiteral("TAVREL_ALARM_TIME"), timeText(at));
    env.insert(QStringLiteral("TAVREL_ALARM_USER"),
               event == QLatin1String("acknowledged") ? alarm.acknowledgedBy : QString());
    return env;
}

void AlarmCommand::run(const QString &event, const Alarm &alarm, const QDateTime &at)
{
    if (program.isEmpty())
        return;
    queued.append({environment(event, alarm, at), alarm.id, event});
    startNext();
}

void AlarmCommand::startNext()
{
    // A start that fails at once reports from inside start(): this loop goes on.
    if (starting)
        return;
    const QScopedValueRollback<bool> guard(starting, true);
    while (running.size() < MaxRunning && !queued.isEmpty()) {
        const Job job = queued.takeFirst();
        Run run;
        run.process = new QProcess(this);
        run.deadline = new QTimer(run.process);
        run.deadline->setSingleShot(true);
        QProcess *process = run.process;
        process->setProcessEnvironment(job.environment);
        // Megabytes of output cost nothing: no pipe is read.
        process->setStandardInputFile(QProcess::nullDevice());
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
        connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                notStarted(process);
        });
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, process](int exitCode, QProcess::ExitStatus status) {
            ended(process, exitCode, status == QProcess::CrashExit);
        });
        connect(run.deadline, &QTimer::timeout, this, [this, process] {
            for (Run &r : running) {
                if (r.process == process)
                    r.killed = true;
            }
            process->kill();
        });
        running.append(run);
        run.deadline->start(timeoutMs);
        process->start(program, arguments);
        if (process->state() != QProcess::NotRunning)
            emit started(job.event, job.alarmId);
    }
}

void AlarmCommand::notStarted(QProcess *process)
{
    const QString reason = process->errorString();
    remove(process);
    emit failed(tr("Alarm command %1 could not be started: %2").arg(program, reason));
    startNext();
}

void AlarmCommand::ended(QProcess *process, int exitCode, bool crashed)
{
    bool killed = false;
    for (const Run &run : qAsConst(running)) {
        if (run.process == process)
            killed = run.killed;
    }
    remove(process);
    if (killed)
        emit failed(tr("Alarm command %1 was killed after %2 s").arg(program).arg(timeoutMs / 1000.0));
    else if (crashed)
        emit failed(tr("Alarm command %1 crashed").arg(program));
    else if (exitCode != 0)
        emit failed(tr("Alarm command %1 ended with status %2").arg(program).arg(exitCode));
    startNext();
}

void AlarmCommand::remove(QProcess *process)
{
    for (int i = 0; i < running.size(); ++i) {
        if (running.at(i).process == process) {
            running.removeAt(i);
            break;
        }
    }
    process->disconnect(this);
    process->deleteLater();
}

void AlarmCommand::finish(int waitMs)
{
    const QDeadlineTimer deadline(waitMs);
    while (!running.isEmpty() && !deadline.hasExpired()) {
        QProcess *process = running.first().process;
        // finished() comes out of the wait, which starts the next one queued.
        if (process->state() != QProcess::NotRunning
            && !process->waitForFinished(int(qMax<qint64>(1, deadline.remainingTime())))
            && process->state() != QProcess::NotRunning)
            break;
        if (!running.isEmpty() && running.first().process == process) {
            // Ended without its signal (it never started): let go of it.
            remove(process);
        }
        startNext();
    }
    queued.clear();
}
