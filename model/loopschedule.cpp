#include "loopschedule.h"

#include <utility>

LoopSchedule::LoopSchedule(Clock clock)
    : clock(std::move(clock))
{
}

int LoopSchedule::msToDue() const
{
    return int(qBound(qint64(0), dueAt - clock(), qint64(INT_MAX)));
}

void LoopSchedule::begin(Phase phase, int secs, bool onSchedule)
{
    const qint64 now = clock();
    const qint64 begun = onSchedule && now - dueAt < LateStartMs ? dueAt : now;
    current = phase;
    dueAt = begun + qint64(secs) * 1000;
}

void LoopSchedule::catchUp(int runSecs, int pauseSecs)
{
    if (current == Phase::None)
        return;
    const qint64 now = clock();
    const qint64 runMs = qMax(1, runSecs) * qint64(1000);
    const qint64 pauseMs = qMax(1, pauseSecs) * qint64(1000);
    // Whole cycles missed change nothing; what is left is at most two phases.
    if (dueAt <= now)
        dueAt += (now - dueAt) / (runMs + pauseMs) * (runMs + pauseMs);
    while (dueAt <= now) {
        current = current == Phase::Run ? Phase::Pause : Phase::Run;
        dueAt += current == Phase::Run ? runMs : pauseMs;
    }
}
