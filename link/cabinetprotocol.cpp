#include "cabinetprotocol.h"

QString rotorStateName(int code)
{
    // Indexed by code; the spelling of the last entry is what operators know. Built
    // once: every state answer carries its name, and a copy of these costs nothing.
    static const QString names[] = {
        QStringLiteral("RUNNING"),
        QStringLiteral("STOPPED"),
        QStringLiteral("EMERGENCY STOP"),
        QStringLiteral("SEQUENCE ENDED"),
        QStringLiteral("SEQUENCE FAULT"),
        QStringLiteral("PAUSED"),
        QStringLiteral("PRIMING"),
        QStringLiteral("TEMPERATURE STOP"),
    };
    if (code < 0 || code >= int(sizeof names / sizeof names[0]))
        return QStringLiteral("UNKOWN STATE");
    return names[code];
}
