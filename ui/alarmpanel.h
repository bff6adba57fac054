#pragma once

#include "alarmmodel.h"

#include <QDockWidget>

QT_BEGIN_NAMESPACE
class QAction;
class QMainWindow;
class QPushButton;
class QTableView;
class QLabel;
QT_END_NAMESPACE

class AlarmList;

// The Alarms dock of the main window: the alarms newest first, Acknowledge and
// Acknowledge all on the operating-system user's account; and their count, always in
// the status bar, which opens the dock when clicked.
class AlarmPanel final : public QDockWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AlarmPanel)

public:
    AlarmPanel(AlarmList *alarms, QMainWindow *window);

    AlarmModel *model() { return &rows; }
    static QString countText(int unacknowledged, int total);

    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTableView *makeView(QWidget *contents);
    void addCount();
    void addMenuEntry();
    void acknowledgeSelected();
    void showCount(int unacknowledged, int total);
    void updateButtons();
    void open();

    AlarmList *alarms;
    QMainWindow *window;
    AlarmModel rows;
    QTableView *view = nullptr;
    QPushButton *acknowledgeBtn = nullptr;
    QPushButton *acknowledgeAllBtn = nullptr;
    QLabel *countLbl = nullptr;
    QAction *showAction = nullptr;
};
