#pragma once

#include "historyevent.h"

#include <QAbstractTableModel>
#include <QSet>

#include <deque>

class History;

// The history as a table, newest first, read a page at a time as the view scrolls,
// with rows the program records from now on appearing on top.
class HistoryModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryModel)

public:
    enum Column
    {
        TimeColumn,
        CabinetColumn,
        RotorColumn,
        KindColumn,
        TextColumn,
        OldValueColumn,
        NewValueColumn,
        CauseColumn,
        UserColumn,
        ColumnCount
    };
    static constexpr int PageSize = 200;
    // Rows recorded live push the oldest out beyond this; scrolling reads them again.
    static constexpr int MaxRows = 20 * PageSize;

    explicit HistoryModel(History *history, QObject *parent = nullptr);

    void setFilter(const HistoryFilter &filter);
    HistoryFilter filter() const { return rowFilter; }
    HistoryEvent eventAt(int row) const;
    // No page asked for is still on its way.
    bool isSettled() const { return awaited == 0; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

private:
    void pageRead(int ticket, const HistoryEvents &events, bool atEnd);
    void recorded(const HistoryEvents &events);
    void prepend(const HistoryEvents &newestLast);

    History *history;
    HistoryFilter rowFilter;
    std::deque<HistoryEvent> rows; // live rows go on top without moving the rest
    QSet<qint64> ids;
    HistoryCursor cursor;
    bool atEnd = false;
    bool firstPageRead = false;
    int awaited = 0;
    HistoryEvents arrivedEarly; // recorded while the first page was on its way
};
