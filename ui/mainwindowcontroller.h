#pragma once

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QTimer>

QT_BEGIN_NAMESPACE
class QCloseEvent;
class QModelIndex;
QT_END_NAMESPACE

class Cabinet;
class CabinetListModel;
class OverviewModel;
class RotorWidgetController;
class ShutdownSequence;
class StopAll;
class StopAllControls;

// Behind the main window: which cabinet is on display, temperature and identify,
// the About box, and whether the window may close while loops run.
class MainWindowController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindowController)

public:
    explicit MainWindowController(QObject *parent);
    ~MainWindowController() override;

    void setCabinetModel(CabinetListModel *model);
    // What ends the program: the window asks the operator and shows the progress.
    void setShutdownSequence(ShutdownSequence *sequence);
    // The program ends without the window's asking (a signal, the desktop session):
    // nothing new may start, and the progress shows.
    void showEnding();
    // Stop all pumps in the tool bar and the Control menu, and Stop this cabinet in
    // the list's context menu; other views add theirs through stopControls().
    void setStopAll(StopAll *stopAll);
    StopAllControls *stopControls() const { return stopAllControls; }
    MainWindow *mainWindow() { return &window; }
    Cabinet *displayedCabinet() const { return currentCabinet; }
    // Puts the cabinet with this host on display and its row current, as a click on
    // the row does; nothing for a host that is not in the list.
    void showCabinet(const QString &host);
    // The overview's model; a click on a cabinet or rotor in it puts that cabinet on
    // display on the Cabinet page.
    void setOverviewModel(OverviewModel *model);
    OverviewView *overviewView() const { return ui.overviewView; }

    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    void cabinetItemActivated(const QModelIndex &index);
    void cabinetClicked(const QModelIndex &index);
    void queryCabTemp();
    void cabinetChangedTemp(Cabinet *, qreal celcius);
    void cabinetChangedIdentify(Cabinet *, bool on);
    void identifyButton(bool checked);
    void canWindowClose(QCloseEvent *event);
    void showAboutBox();
    void openDosivoWebsite();

private slots:
    void showStopProgress();
    void closeWhenStopped();

private:
    static constexpr int RotorCount = 4;

    void wireViews();
    void selectCabinet(Cabinet *cabinet);
    void watchRotors(Cabinet *cabinet);
    CabinetListModel *cabinetModel() const;
    void fitListToRows();
    void rowEntered(const QModelIndex &index);
    void refreshShownTip(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void showIdentify(bool on);
    void warnOfUnconfirmedStops();

    MainWindow window;
    Ui::MainWindow ui;
    QLabel versionLabel;
    RotorWidgetController *rotorControllers[RotorCount] = {};
    Cabinet *currentCabinet = nullptr;
    // The row under the pointer and the tip it showed, so that a tip that changes
    // in place (the countdown to a reconnection) is shown afresh.
    QPersistentModelIndex tipRow;
    QString tipShown;

    ShutdownSequence *shutdown = nullptr;
    StopAllControls *stopAllControls = nullptr;
    bool closingByWindow = false;
    bool exitConfirmed = false;
};
