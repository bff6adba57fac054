#pragma once

#include <QString>

// Why a command went to a pump. The history keeps it with every command, so that a
// row says whether the operator, a loop, the close or the link's return sent it.
enum class CommandCause
{
    Operator,
    LoopPhase,
    Close,
    Reconnection,
    Recovery,
    StopAll, // the operator's Stop all pumps
    StopCabinet, // the operator's Stop this cabinet
};

// As the history stores and shows it; never translated, so that exports compare.
inline QString commandCauseText(CommandCause cause)
{
    switch (cause) {
    case CommandCause::Operator:
        return QStringLiteral("operator");
    case CommandCause::LoopPhase:
        return QStringLiteral("loop phase");
    case CommandCause::Close:
        return QStringLiteral("close");
    case CommandCause::Reconnection:
        return QStringLiteral("reconnection");
    case CommandCause::Recovery:
        return QStringLiteral("recovery");
    case CommandCause::StopAll:
        return QStringLiteral("stop all");
    case CommandCause::StopCabinet:
        return QStringLiteral("stop cabinet");
    }
    return QString();
}
