#pragma once

#include "alarmbook.h"

#include <QAbstractTableModel>
#include <QVector>

class AlarmList;

// The alarm list as a table, newest first: when it was raised, where, what, its
// state and how often it came back.
class AlarmModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmModel)

public:
    enum Column { RaisedColumn, PlaceColumn, TextColumn, StateColumn, RepeatsColumn, ColumnCount };
    static constexpr int IdRole = Qt::UserRole;

    explicit AlarmModel(AlarmList *alarms, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    int idAt(int row) const { return rows.at(row).id; }
    static QString placeText(const AlarmPlace &place);
    static QString stateText(AlarmState state);

private:
    void take(const AlarmBook::Outcome &outcome);
    int rowOf(int id) const;

    QVector<Alarm> rows; // newest first
};
