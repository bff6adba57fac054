#pragma once

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QList>
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
class RotorWidgetController;

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

private:
    static constexpr int RotorCount = 4;

    void selectCabinet(Cabinet *cabinet);
    CabinetListModel *cabinetModel() const;
    void fitListToRows();
    void rowEntered(const QModelIndex &index);
    void refreshShownTip(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void showIdentify(bool on);
    void stopRunningLoops();
    void finishClosingWhenStopsAnswered();
    void showStopProgress(int confirmed);
    void warnOfUnconfirmedStops(const QStringList &failedLinks);

    MainWindow window;
    Ui::MainWindow ui;
    QLabel versionLabel;
    RotorWidgetController *rotorControllers[RotorCount] = {};
    Cabinet *currentCabinet = nullptr;
    // The row under the pointer and the tip it showed, so that a tip that changes
    // in place (the countdown to a reconnection) is shown afresh.
    QPersistentModelIndex tipRow;
    QString tipShown;

    // Closing with loops running: the program ends once every stop it sent is
    // answered, or its cabinet's link has failed (the answer deadline bounds that).
    struct StoppingRotor
    {
        QPointer<Cabinet> cabinet;
        int rotorIndex = 0;
    };
    QList<StoppingRotor> stoppingRotors;
    QStringList unreachableRotors; // looping on a cabinet that is not connected
    QTimer stopWatch;
    bool exitConfirmed = false;
};
