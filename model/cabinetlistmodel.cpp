#include "cabinetlistmodel.h"

#include "cabinet.h"
#include "cabinetlist.h"

#include <QColor>

CabinetListModel::CabinetListModel(CabinetList *list, QObject *parent)
    : QAbstractListModel(parent)
    , cabinets(list)
{
    connect(cabinets, SIGNAL(childHasChanged(int)), this, SLOT(childChanged(int)));
    connect(cabinets, SIGNAL(childAppended()), this, SLOT(childAppended()));
}

int CabinetListModel::rowCount(const QModelIndex &parent) const
{
    // Rows have no children: a list, not a tree.
    return parent.isValid() ? 0 : cabinets->size();
}

QVariant CabinetListModel::data(const QModelIndex &index, int role) const
{
    const Cabinet *cabinet = cabinetAt(index);
    if (!cabinet)
        return QVariant();

    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return cabinet->host();
    case Qt::DecorationRole:
        if (cabinet->hasError())
            return QColor(Qt::red);
        if (cabinet->isConnected())
            return QColor(Qt::green);
        if (cabinet->isConnecting())
            return QColor(Qt::yellow);
        return QColor(Qt::gray);
    case Qt::ToolTipRole:
    case Qt::StatusTipRole: {
        const QString tip = linkTip(cabinet);
        if (cabinet->identifyRefusal().isEmpty())
            return tip.isEmpty() ? QVariant() : QVariant(tip);
        const QString refusal = tr("Identify refused (%1)").arg(cabinet->identifyRefusal());
        return tip.isEmpty() ? refusal : tip + QStringLiteral(". ") + refusal;
    }
    }
    return QVariant();
}

// What the row's link does, for its tip; empty before its first connection.
QString CabinetListModel::linkTip(const Cabinet *cabinet) const
{
    if (cabinet->hasError()) {
        const int wait = cabinet->secondsToNextAttempt();
        if (wait > 0)
            return tr("Error: %1. Next attempt in %2 s")
                    .arg(cabinet->errorString(), QString::number(wait));
        return tr("Error: ") + cabinet->errorString();
    }
    if (cabinet->isConnecting())
        return tr("Connecting to pump cabinet: ") + cabinet->host();
    if (cabinet->isConnected() && cabinet->isTooSlowForLoops()) {
        return tr("Connected to: %1 (answers take %2 s: too slow for its loops)")
                .arg(cabinet->host(), QString::number(cabinet->answerMs() / 1000.0, 'f', 1));
    }
    if (cabinet->isConnected())
        return tr("Connected to: ") + cabinet->host();
    return QString();
}

QVariant CabinetListModel::headerData(int, Qt::Orientation, int) const
{
    return QVariant();
}

Cabinet *CabinetListModel::cabinetAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= cabinets->size())
        return nullptr;
    return cabinets->at(index.row());
}

bool CabinetListModel::noActiveLoops() const
{
    return cabinets->noActiveLoops();
}

void CabinetListModel::childChanged(int index)
{
    emit dataChanged(createIndex(index, 0), createIndex(index, 0), {});
}

void CabinetListModel::childAppended()
{
    emit dataChanged(createIndex(0, 0), createIndex(rowCount() - 1, 0), {});
}
