#include "historymodel.h"

#include "history.h"
#include "historycsv.h"
#include "plantnames.h"

#include <QDateTime>

HistoryModel::HistoryModel(History *history, QObject *parent)
    : QAbstractTableModel(parent)
    , history(history)
{
    connect(history, &History::pageRead, this, &HistoryModel::pageRead);
    connect(history, &History::recorded, this, &HistoryModel::recorded);
    fetchMore(QModelIndex());
}

void HistoryModel::setFilter(const HistoryFilter &filter)
{
    beginResetModel();
    rowFilter = filter;
    rows.clear();
    ids.clear();
    cursor = HistoryCursor();
    atEnd = false;
    firstPageRead = false;
    awaited = 0;
    arrivedEarly.clear();
    endResetModel();
    fetchMore(QModelIndex());
}

HistoryEvent HistoryModel::eventAt(int row) const
{
    return row >= 0 && row < rowCount() ? rows[size_t(row)] : HistoryEvent();
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(rows.size());
}

int HistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const HistoryEvent &event = rows[size_t(index.row())];
    if (role == Qt::ToolTipRole && index.column() == TimeColumn)
        return HistoryCsv::timeText(event.time);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case TimeColumn:
        return QDateTime::fromMSecsSinceEpoch(event.time).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case CabinetColumn:
        return event.cabinet;
    case RotorColumn:
        return event.rotor > 0 ? PlantNames::rotor(event.rotor - 1) : QString();
    case KindColumn:
        return event.kind;
    case TextColumn:
        return event.text;
    case OldValueColumn:
        return event.oldValue;
    case NewValueColumn:
        return event.newValue;
    case CauseColumn:
        return event.cause;
    case UserColumn:
        return event.user;
    }
    return QVariant();
}

QVariant HistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case TimeColumn:
        return tr("Time");
    case CabinetColumn:
        return tr("Cabinet");
    case RotorColumn:
        return tr("Rotor");
    case KindColumn:
        return tr("Kind");
    case TextColumn:
        return tr("Event");
    case OldValueColumn:
        return tr("Old");
    case NewValueColumn:
        return tr("New");
    case CauseColumn:
        return tr("Cause");
    case UserColumn:
        return tr("User");
    }
    return QVariant();
}

bool HistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !atEnd && awaited == 0;
}

// The page comes later, by pageRead: the window never waits for the file.
void HistoryModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    awaited = history->readPage(rowFilter, cursor, PageSize);
}

void HistoryModel::pageRead(int ticket, const HistoryEvents &events, bool atEnd)
{
    if (ticket != awaited)
        return; // asked for under a filter since replaced
    awaited = 0;
    this->atEnd = atEnd;
    HistoryEvents fresh;
    for (const HistoryEvent &event : events) {
        if (!ids.contains(event.id))
            fresh << event;
    }
    if (!events.isEmpty())
        cursor = {events.last().time, events.last().id};
    if (!fresh.isEmpty()) {
        beginInsertRows(QModelIndex(), rowCount(), rowCount() + fresh.size() - 1);
        for (const HistoryEvent &event : qAsConst(fresh)) {
            rows.push_back(event);
            ids.insert(event.id);
        }
        endInsertRows();
    }
    if (!firstPageRead) {
        firstPageRead = true;
        HistoryEvents early;
        early.swap(arrivedEarly);
        prepend(early);
    }
}

void HistoryModel::recorded(const HistoryEvents &events)
{
    if (!firstPageRead) {
        arrivedEarly += events;
        return;
    }
    prepend(events);
}

void HistoryModel::prepend(const HistoryEvents &newestLast)
{
    HistoryEvents fresh;
    for (auto it = newestLast.crbegin(); it != newestLast.crend(); ++it) {
        if (rowFilter.matches(*it) && !ids.contains(it->id))
            fresh << *it;
    }
    if (fresh.isEmpty())
        return;
    beginInsertRows(QModelIndex(), 0, fresh.size() - 1);
    rows.insert(rows.begin(), fresh.cbegin(), fresh.cend());
    for (const HistoryEvent &event : qAsConst(fresh))
        ids.insert(event.id);
    endInsertRows();
    if (rowCount() <= MaxRows)
        return;
    beginRemoveRows(QModelIndex(), MaxRows, rowCount() - 1);
    for (size_t row = MaxRows; row < rows.size(); ++row)
        ids.remove(rows[row].id);
    rows.resize(MaxRows);
    endRemoveRows();
    cursor = {rows.back().time, rows.back().id};
    atEnd = false;
    // A page on its way starts below rows no longer kept: asked for again from here.
    if (awaited != 0) {
        awaited = 0;
        fetchMore(QModelIndex());
    }
}
