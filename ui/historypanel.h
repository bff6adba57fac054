#pragma once

#include "historymodel.h"

#include <QDockWidget>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLayout;
class QMainWindow;
class QTableView;
QT_END_NAMESPACE

class History;

// The History dock of the main window: the newest events first, filtered by cabinet,
// rotor, kind and time. While hidden its view lets go of the model, which then
// updates no view for the rows recorded meanwhile.
class HistoryPanel final : public QDockWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryPanel)

public:
    // Rows the dock shows at least when it opens, room allowing.
    static constexpr int RowsShown = 10;

    HistoryPanel(History *history, const QStringList &cabinets, QMainWindow *window);

    HistoryModel *model() { return &rows; }
    HistoryFilter currentFilter() const;
    // Called once shown: takes room for RowsShown rows from the window's central part.
    void makeRoomForRows();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QLayout *makeFilters(const QStringList &cabinets, QWidget *contents);
    QTableView *makeView(QWidget *contents);
    void connectFilters();
    void applyFilter();
    void attachView(bool attached);

    HistoryModel rows;
    QTableView *view;
    QComboBox *cabinetBox;
    QComboBox *rotorBox;
    QComboBox *kindBox;
    QCheckBox *sinceCheck;
    QDateTimeEdit *sinceEdit;
    QCheckBox *untilCheck;
    QDateTimeEdit *untilEdit;
};
