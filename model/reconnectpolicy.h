#pragma once

#include <QtGlobal>

// When to try a failed link again: soon after the failure, then less and less often,
// so that a cabinet that stays away is not hammered. Times are milliseconds of one
// steady clock that the owner passes in.
class ReconnectPolicy final
{
public:
    static constexpr int FirstDelayMs = 2000;
    static constexpr int LongestDelayMs = 30000;
    // A link that held this long was a good one: its failure starts the backoff over.
    // One that fails sooner (a cabinet that takes the connection, then drops it) backs off.
    static constexpr qint64 SteadyLinkMs = LongestDelayMs;

    // The operator's own attempt: whatever happened before is forgiven.
    void restart();
    void linkUp(qint64 nowMs);
    // The link failed at nowMs: how long to wait before the next attempt.
    int delayAfterFailure(qint64 nowMs);

private:
    int failuresInARow = 0;
    qint64 upSinceMs = -1;
};
