#include "stopall.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "rotorhead.h"
#include "stoprun.h"

#include <algorithm>

namespace {

int rotorCount(const Cabinet *cabinet)
{
    int count = 0;
    while (cabinet->rotor(count))
        ++count;
    return count;
}

} // namespace

StopAll::StopAll(CabinetList *cabinets, QObject *parent)
    : QObject(parent)
    , cabinets(cabinets)
{
}

int StopAll::connectedCabinetCount() const
{
    return int(std::count_if(cabinets->cbegin(), cabinets->cend(),
                             [](const Cabinet *cabinet) { return cabinet->isConnected(); }));
}

int StopAll::connectedRotorCount() const
{
    int count = 0;
    for (const Cabinet *cabinet : qAsConst(*cabinets)) {
        if (cabinet->isConnected())
            count += rotorCount(cabinet);
    }
    return count;
}

QStringList StopAll::notConnectedHosts() const
{
    QStringList hosts;
    for (const Cabinet *cabinet : qAsConst(*cabinets)) {
        if (!cabinet->isConnected())
            hosts << cabinet->host();
    }
    return hosts;
}

int StopAll::notConnectedRotorCount() const
{
    int count = 0;
    for (const Cabinet *cabinet : qAsConst(*cabinets)) {
        if (!cabinet->isConnected())
            count += rotorCount(cabinet);
    }
    return count;
}

StopRun *StopAll::stopAll()
{
    return run(CommandCause::StopAll, *cabinets);
}

StopRun *StopAll::stopCabinet(Cabinet *cabinet)
{
    return run(CommandCause::StopCabinet, {cabinet});
}

StopRun *StopAll::run(CommandCause cause, const QList<Cabinet *> &cabinets)
{
    auto *run = new StopRun(cause, cabinets, this);
    connect(run, &StopRun::finished, this, [this, run] {
        emit runFinished(run);
        const QStringList rotors = run->unconfirmed();
        if (!rotors.isEmpty())
            emit stopsNotConfirmed(run->cause(), rotors);
    });
    emit runStarted(run);
    run->start();
    return run;
}
