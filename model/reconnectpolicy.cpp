#include "reconnectpolicy.h"

void ReconnectPolicy::restart()
{
    failuresInARow = 0;
    upSinceMs = -1;
}

void ReconnectPolicy::linkUp(qint64 nowMs)
{
    upSinceMs = nowMs;
}

int ReconnectPolicy::delayAfterFailure(qint64 nowMs)
{
    if (upSinceMs >= 0 && nowMs - upSinceMs >= SteadyLinkMs)
        failuresInARow = 0;
    upSinceMs = -1;
    const int doubled = FirstDelayMs << failuresInARow;
    if (doubled < LongestDelayMs)
        ++failuresInARow; // and no further once the longest is reached
    return qMin(doubled, LongestDelayMs);
}
