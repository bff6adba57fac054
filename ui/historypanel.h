#pragma once

#include "historymodel.h"

#include <QDockWidget>
#include <QPointer>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QAction;
class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLayout;
class QMainWindow;
class QTableView;
QT_END_NAMESPACE

class History;

// The History dock of the main window: the newest events first, filtered by cabinet,
// rotor, kind and time; File > Export history… writes the filtered rows as CSV, and
// the status bar says when the history cannot be written.
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
    // Where File > Export history… writes without asking; for tests.
    void setExportTarget(const QString &path) { exportTarget = path; }

private:
    QLayout *makeFilters(const QStringList &cabinets, QWidget *contents);
    QTableView *makeView(QWidget *contents);
    void connectFilters();
    void connectMenus();
    void makeRoomForRows();
    void showHistoryState();
    void applyFilter();
    void exportHistory();
    void exported(int ticket, qint64 count, const QString &error);
    void showUnavailable(const QString &reason);

    History *history;
    QMainWindow *window;
    HistoryModel rows;
    QTableView *view;
    QComboBox *cabinetBox;
    QComboBox *rotorBox;
    QComboBox *kindBox;
    QCheckBox *sinceCheck;
    QDateTimeEdit *sinceEdit;
    QCheckBox *untilCheck;
    QDateTimeEdit *untilEdit;
    QPointer<QLabel> stateLabel; // in the window's status bar
    QString exportTarget;
    int exportTicket = 0;
    QString exportingTo;
};
