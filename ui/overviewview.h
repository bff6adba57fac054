#pragma once

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
class QModelIndex;
class QPoint;
class QTableView;
QT_END_NAMESPACE

class Cabinet;
class OverviewModel;

// The whole installation at a glance: the counts above, and the table of every
// cabinet and rotor below. A click or activation chooses a cabinet; a right click
// asks for the cabinet's menu, which whoever builds it fills.
class OverviewView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverviewView)

public:
    explicit OverviewView(QWidget *parent = nullptr);

    void setModel(OverviewModel *model);
    OverviewModel *model() const { return overview; }
    QTableView *table() const { return view; }
    // The cabinet whose row is under a point of the table's viewport; nullptr if none.
    Cabinet *cabinetAt(const QPoint &viewportPos) const;
    // Every row showing, with the font as it is: the height the table wants.
    int heightForAllRows() const;

signals:
    void cabinetChosen(Cabinet *cabinet);
    // globalPos: where the menu opens.
    void cabinetMenuRequested(Cabinet *cabinet, const QPoint &globalPos);

private:
    void showCounts();
    void fitRows();
    void choose(const QModelIndex &index);

    QLabel *countsLabel;
    QTableView *view;
    OverviewModel *overview = nullptr;
    bool countsPending = false;
};
