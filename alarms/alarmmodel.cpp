#include "alarmmodel.h"

#include "alarmlist.h"
#include "plantnames.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QLocale>

AlarmModel::AlarmModel(AlarmList *alarms, QObject *parent)
    : QAbstractTableModel(parent)
{
    const QVector<Alarm> &book = alarms->book().alarms();
    for (auto it = book.crbegin(); it != book.crend(); ++it)
        rows.append(*it);
    connect(alarms, &AlarmList::changed, this, &AlarmModel::take);
}

int AlarmModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : rows.size();
}

int AlarmModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString AlarmModel::placeText(const AlarmPlace &place)
{
    if (place.cabinet.isEmpty())
        return tr("This workstation");
    return place.rotor < 0 ? place.cabinet : PlantNames::rotorAt(place.cabinet, place.rotor);
}

QString AlarmModel::stateText(AlarmState state)
{
    switch (state) {
    case AlarmState::Active:
        return tr("ACTIVE, NOT ACKNOWLEDGED");
    case AlarmState::ActiveAcknowledged:
        return tr("active, acknowledged");
    case AlarmState::ClearedUnacknowledged:
        return tr("CLEARED, NOT ACKNOWLEDGED");
    }
    return QString();
}

QVariant AlarmModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Alarm &alarm = rows.at(index.row());
    if (role == IdRole)
        return alarm.id;
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case RaisedColumn:
            return QLocale().toString(alarm.raisedAt, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        case PlaceColumn:
            return placeText(alarm.place);
        case TextColumn:
            return alarm.text;
        case StateColumn:
            return stateText(alarm.state);
        case RepeatsColumn:
            return alarm.repeats;
        }
    }
    if (role == Qt::ToolTipRole && alarm.isAcknowledged()) {
        return tr("Acknowledged by %1 at %2")
            .arg(alarm.acknowledgedBy, QLocale().toString(alarm.acknowledgedAt, QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    }
    // Text says it first; weight and colour help the eye to the ones nobody has seen.
    if (role == Qt::FontRole && !alarm.isAcknowledged()) {
        QFont bold;
        bold.setBold(true);
        return bold;
    }
    if (role == Qt::ForegroundRole && alarm.state == AlarmState::Active)
        return QBrush(QColor(Qt::darkRed));
    return {};
}

QVariant AlarmModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case RaisedColumn:
        return tr("Raised");
    case PlaceColumn:
        return tr("Place");
    case TextColumn:
        return tr("Alarm");
    case StateColumn:
        return tr("State");
    case RepeatsColumn:
        return tr("Repeats");
    }
    return {};
}

int AlarmModel::rowOf(int id) const
{
    for (int row = 0; row < rows.size(); ++row) {
        if (rows.at(row).id == id)
            return row;
    }
    return -1;
}

void AlarmModel::take(const AlarmBook::Outcome &outcome)
{
    const int row = rowOf(outcome.alarm.id);
    if (row < 0) {
        if (outcome.gone)
            return;
        beginInsertRows(QModelIndex(), 0, 0);
        rows.prepend(outcome.alarm);
        endInsertRows();
        return;
    }
    if (outcome.gone) {
        beginRemoveRows(QModelIndex(), row, row);
        rows.remove(row);
        endRemoveRows();
        return;
    }
    rows[row] = outcome.alarm;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
}
