#include "simconsole.h"

#include "cabinetprotocol.h"
#include "simcabinet.h"

#include <cmath>
#include <functional>

namespace {

bool parseSwitch(const QString &word, bool *on)
{
    if (word == QLatin1String("on") || word == QLatin1String("1")) {
        *on = true;
        return true;
    }
    if (word == QLatin1String("off") || word == QLatin1String("0")) {
        *on = false;
        return true;
    }
    return false;
}

} // namespace

SimConsole::SimConsole(QObject *parent)
    : QObject(parent)
{
}

void SimConsole::addCabinet(SimCabinet *cabinet)
{
    cabinets.append(cabinet);
}

QString SimConsole::help()
{
    return QStringLiteral(
        "Commands (CABINET is an address, ADDRESS:PORT, the last number of the address, or all):\n"
        "  state CABINET UNIT CODE     set a rotor's state: 0 running, 1 stopped, 2 emergency stop,\n"
        "                              6 priming, 7 temperature stop (2 and 7 hold until set again)\n"
        "  temp CABINET DEGREES|drift  hold the temperature at DEGREES (e.g. 23.5), or let it drift\n"
        "  delay CABINET MS            answer MS milliseconds late\n"
        "  split CABINET on|off        send every answer one byte per TCP segment\n"
        "  silent CABINET on|off       take requests but answer none\n"
        "  close-after CABINET N       close each connection after N answers (0: never)\n"
        "  cut CABINET on|off          close the connection halfway through an answer\n"
        "  wrong-tid CABINET on|off    answer with a wrong transaction identifier\n"
        "  exception CABINET on|off    answer every request with a Modbus exception\n"
        "  reject CABINET REGISTER N   answer the next N writes to REGISTER (7: start and stop)\n"
        "                              with Modbus exception 4, not carrying them out\n"
        "  junk CABINET BYTES          send BYTES unrequested bytes to every client\n"
        "  refuse CABINET on|off       refuse connections (and drop the open ones)\n"
        "  drop CABINET                drop the open connections\n"
        "  clear CABINET               clear every fault\n"
        "  status [CABINET]            show rotors, temperature, identify and faults\n"
        "  help                        this text\n"
        "  quit                        stop the simulator\n");
}

QList<SimCabinet *> SimConsole::select(const QString &which, QString *error) const
{
    if (which == QLatin1String("all"))
        return cabinets;
    QList<SimCabinet *> found;
    for (SimCabinet *cabinet : cabinets) {
        const QString address = cabinet->name();
        const QString withPort = QStringLiteral("%1:%2").arg(address).arg(cabinet->port());
        const QString lastNumber = address.section(QLatin1Char('.'), -1);
        if (which == withPort || which == address || which == lastNumber)
            found.append(cabinet);
    }
    if (found.isEmpty())
        *error = QStringLiteral("no cabinet matches '%1'").arg(which);
    return found;
}

QString SimConsole::execute(const QString &line)
{
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QString();
    const QString command = words.first().toLower();

    if (command == QLatin1String("help"))
        return help();
    if (command == QLatin1String("quit") || command == QLatin1String("exit")) {
        emit quitRequested();
        return QStringLiteral("stopping");
    }

    QString error;
    QList<SimCabinet *> targets;
    if (command == QLatin1String("status") && words.size() == 1)
        targets = cabinets;
    else if (words.size() >= 2)
        targets = select(words.at(1), &error);
    else
        return QStringLiteral("'%1' needs a cabinet; try help").arg(command);
    if (!error.isEmpty())
        return error;

    return apply(command, words, targets);
}

// A command with its cabinets chosen: "ok", what to show, or what is wrong.
QString SimConsole::apply(const QString &command, const QStringList &words,
                          const QList<SimCabinet *> &targets)
{
    const QString arg = words.value(2);
    const QString usage = QStringLiteral("usage error; try help");
    auto forEach = [&targets](const std::function<void(SimCabinet *)> &apply) {
        for (SimCabinet *cabinet : targets)
            apply(cabinet);
        return QStringLiteral("ok");
    };
    auto onOff = [&](void (SimCabinet::*setter)(bool)) {
        bool on = false;
        if (words.size() != 3 || !parseSwitch(arg, &on))
            return usage;
        return forEach([&](SimCabinet *cabinet) { (cabinet->*setter)(on); });
    };
    auto number = [&](void (SimCabinet::*setter)(int)) {
        bool ok = false;
        const int n = arg.toInt(&ok);
        if (words.size() != 3 || !ok || n < 0)
            return usage;
        return forEach([&](SimCabinet *cabinet) { (cabinet->*setter)(n); });
    };

    if (command == QLatin1String("state")) {
        bool unitOk = false;
        bool codeOk = false;
        const int unit = arg.toInt(&unitOk);
        const int code = words.value(3).toInt(&codeOk);
        if (words.size() != 4 || !unitOk || !codeOk || unit < 0 || unit >= SimCabinet::RotorCount
            || code < 0 || code > 0xffff)
            return usage;
        return forEach([&](SimCabinet *cabinet) { cabinet->setRotorState(unit, code); });
    }
    if (command == QLatin1String("temp")) {
        if (words.size() != 3)
            return usage;
        if (arg == QLatin1String("drift"))
            return forEach([](SimCabinet *cabinet) { cabinet->resumeTemperatureDrift(); });
        bool ok = false;
        const double degrees = arg.toDouble(&ok);
        if (!ok || degrees < 0 || degrees > 6553.5)
            return usage;
        const int tenths = int(std::lround(degrees * 10));
        return forEach([&](SimCabinet *cabinet) { cabinet->setTemperature(tenths); });
    }
    if (command == QLatin1String("delay"))
        return number(&SimCabinet::setAnswerDelay);
    if (command == QLatin1String("close-after"))
        return number(&SimCabinet::setCloseAfterRequests);
    if (command == QLatin1String("junk"))
        return number(&SimCabinet::sendUnrequested);
    if (command == QLatin1String("split"))
        return onOff(&SimCabinet::setSplitAnswers);
    if (command == QLatin1String("silent"))
        return onOff(&SimCabinet::setSilent);
    if (command == QLatin1String("cut"))
        return onOff(&SimCabinet::setCutAnswers);
    if (command == QLatin1String("wrong-tid"))
        return onOff(&SimCabinet::setWrongTransactionId);
    if (command == QLatin1String("exception"))
        return onOff(&SimCabinet::setExceptionAnswers);
    if (command == QLatin1String("refuse"))
        return onOff(&SimCabinet::setRefusing);
    if (command == QLatin1String("reject")) {
        bool regOk = false;
        bool countOk = false;
        const int reg = arg.toInt(&regOk);
        const int count = words.value(3).toInt(&countOk);
        if (words.size() != 4 || !regOk || !countOk || reg < 0 || reg > 0xffff || count < 0)
            return usage;
        return forEach([&](SimCabinet *cabinet) { cabinet->rejectWrites(reg, count); });
    }
    if (command == QLatin1String("drop") && words.size() == 2)
        return forEach([](SimCabinet *cabinet) { cabinet->dropConnections(); });
    if (command == QLatin1String("clear") && words.size() == 2)
        return forEach([](SimCabinet *cabinet) { cabinet->clearFaults(); });
    if (command == QLatin1String("status"))
        return status(targets);
    return QStringLiteral("unknown command '%1'; try help").arg(command);
}

QString SimConsole::status(const QList<SimCabinet *> &targets)
{
    QStringList lines;
    for (SimCabinet *cabinet : targets) {
        lines << QStringLiteral("%1:%2  %3 client(s), %4 C, identify %5, %6")
                     .arg(cabinet->name()).arg(cabinet->port())
                     .arg(cabinet->connectionCount())
                     .arg(cabinet->temperature() / 10.0)
                     .arg(cabinet->identify() ? QStringLiteral("on") : QStringLiteral("off"))
                     .arg(cabinet->faultSummary());
        for (int unit = 0; unit < SimCabinet::RotorCount; ++unit) {
            lines << QStringLiteral("  unit %1: %2 %3, speed %4, direction %5")
                         .arg(unit).arg(cabinet->rotorState(unit))
                         .arg(rotorStateName(cabinet->rotorState(unit)))
                         .arg(cabinet->rotorSpeed(unit))
                         .arg(cabinet->rotorDirection(unit));
        }
    }
    return lines.join(QLatin1Char('\n'));
}
