#pragma once

#include <QList>
#include <QObject>
#include <QString>

class Cabinet;

// The installation's cabinets in order; turns any cabinet's link events into
// "the cabinet at this position changed".
class CabinetList final : public QObject, public QList<Cabinet *>
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CabinetList)

public:
    CabinetList() = default;

    void appendCabinet(Cabinet *cabinet);
    bool noActiveLoops() const;

signals:
    void childAppended();
    void childHasChanged(int childIndex);
    void childRemoved(int removedChildIndex);

protected slots:
    void childWillConnect(Cabinet *sender);
    void childConnected(Cabinet *sender);
    void childDisconnected(Cabinet *sender);
    void childConnectError(Cabinet *sender, QString errMsg);
    void childEmergencyStop(Cabinet *sender);
    void childNextAttemptChanged(Cabinet *sender);
    void childTooSlowChanged(Cabinet *sender);
    void childCommandAnswered(Cabinet *sender);

private:
    void reportChange(Cabinet *sender);
};
