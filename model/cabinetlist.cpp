#include "cabinetlist.h"

#include "cabinet.h"

#include <QDebug>

void CabinetList::appendCabinet(Cabinet *cabinet)
{
    append(cabinet);
    connect(cabinet, SIGNAL(willConnect(Cabinet*)), this, SLOT(childWillConnect(Cabinet*)));
    connect(cabinet, SIGNAL(didConnect(Cabinet*)), this, SLOT(childConnected(Cabinet*)));
    connect(cabinet, SIGNAL(didDisconnect(Cabinet*)), this, SLOT(childDisconnected(Cabinet*)));
    connect(cabinet, SIGNAL(connectionError(Cabinet*,QString)),
            this, SLOT(childConnectError(Cabinet*,QString)));
    connect(cabinet, SIGNAL(didEmergencyStop(Cabinet*)), this, SLOT(childEmergencyStop(Cabinet*)));
    connect(cabinet, SIGNAL(nextAttemptChanged(Cabinet*)), this, SLOT(childNextAttemptChanged(Cabinet*)));
    connect(cabinet, SIGNAL(tooSlowChanged(Cabinet*)), this, SLOT(childTooSlowChanged(Cabinet*)));
    // A refused identify shows in the row till one is confirmed.
    connect(cabinet, SIGNAL(commandConfirmed(Cabinet*,PumpCommand,int)),
            this, SLOT(childCommandAnswered(Cabinet*)));
    connect(cabinet, SIGNAL(commandRefused(Cabinet*,PumpCommand,int,QString)),
            this, SLOT(childCommandAnswered(Cabinet*)));
    emit childAppended();
}

bool CabinetList::noActiveLoops() const
{
    for (const Cabinet *cabinet : *this) {
        if (!cabinet->noActiveLoops())
            return false;
    }
    return true;
}

// The cabinet named in the signal, not the signal's sender, tells the row.
void CabinetList::reportChange(Cabinet *sender)
{
    const int position = indexOf(sender);
    if (position >= 0)
        emit childHasChanged(position);
}

void CabinetList::childWillConnect(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childConnected(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childDisconnected(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childConnectError(Cabinet *sender, QString errMsg)
{
    qDebug() << errMsg;
    reportChange(sender);
}

void CabinetList::childEmergencyStop(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childTooSlowChanged(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childNextAttemptChanged(Cabinet *sender)
{
    reportChange(sender);
}

void CabinetList::childCommandAnswered(Cabinet *sender)
{
    reportChange(sender);
}
