#include "cabinetprotocol.h"

QString rotorStateName(int code)
{
    // Indexed by code; the spelling of the last entry is what operators know.
    static const char *const names[] = {
        "RUNNING",
        "STOPPED",
        "EMERGENCY STOP",
        "SEQUENCE ENDED",
        "SEQUENCE FAULT",
        "PAUSED",
        "PRIMING",
        "TEMPERATURE STOP",
    };
    if (code < 0 || code >= int(sizeof names / sizeof names[0]))
        return QStringLiteral("UNKOWN STATE");
    return QString::fromLatin1(names[code]);
}
