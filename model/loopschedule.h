#pragma once

#include <QtGlobal>

#include <climits>
#include <functional>

// The times of a loop's phases: when the current one ends, where the next one
// begins, and which one is due after a while in which the loop could not act.
// The clock (milliseconds) is passed in, so the arithmetic needs no waiting.
class LoopSchedule final
{
public:
    enum class Phase { None, Run, Pause };
    using Clock = std::function<qint64()>;

    // A phase command handled later than this after its time starts the schedule
    // afresh, rather than shortening the next phase to catch up.
    static constexpr qint64 LateStartMs = 50;
    // What an on or off time may be, in seconds.
    static constexpr int MinSecs = 1;
    static constexpr int MaxSecs = 36000;

    explicit LoopSchedule(Clock clock);

    Phase phase() const { return current; }
    qint64 due() const { return dueAt; }
    // Until the current phase ends, never below 0.
    int msToDue() const;

    // On schedule a phase begins where the one before ended, so that a dose does not
    // drift with the timer's slack.
    void begin(Phase phase, int secs, bool onSchedule);
    // The phases kept their times while the loop could not act (a lost link): the
    // phase due now becomes the current one, ending when the schedule says.
    void catchUp(int runSecs, int pauseSecs);

private:
    Clock clock;
    Phase current = Phase::None;
    qint64 dueAt = 0;
};
