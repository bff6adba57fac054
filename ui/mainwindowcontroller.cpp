#include "mainwindowcontroller.h"

#include "cabinet.h"
#include "cabinetlistmodel.h"
#include "overviewmodel.h"
#include "overviewview.h"
#include "plantnames.h"
#include "rotorhead.h"
#include "rotorwidget.h"
#include "rotorwidgetcontroller.h"
#include "shutdownsequence.h"
#include "stopallcontrols.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QToolTip>
#include <QUrl>

MainWindowController::MainWindowController(QObject *parent)
    : QObject(parent)
{
    ui.setupUi(&window);
    currentCabinet = nullptr;
    versionLabel.setText(QCoreApplication::applicationName() + QLatin1Char(' ')
                         + QCoreApplication::applicationVersion());
    window.statusBar()->addPermanentWidget(&versionLabel, 0);
    stopAllControls = new StopAllControls(&window, this); // its bar sizes the window
    window.show();

    RotorWidget *panels[RotorCount] = {ui.rotor1, ui.rotor2, ui.rotor3, ui.rotor4};
    for (int i = 0; i < RotorCount; ++i) {
        rotorControllers[i] = new RotorWidgetController(panels[i], this);
        panels[i]->ui.rotorNameLbl->setText(PlantNames::rotor(i));
    }

    connect(&window, SIGNAL(canCloseWindow(QCloseEvent*)), this, SLOT(canWindowClose(QCloseEvent*)),
            Qt::DirectConnection);
    connect(ui.identifyButton, SIGNAL(toggled(bool)), this, SLOT(identifyButton(bool)));
    connect(ui.actionAbout, SIGNAL(triggered()), this, SLOT(showAboutBox()));
    wireViews();
}

// The Overview page first; View > Overview and View > Cabinet switch, and a cabinet
// put on display from the list shows its panels.
void MainWindowController::wireViews()
{
    ui.viewTabWidget->setCurrentWidget(ui.overviewPage);
    QTabWidget *tabs = ui.viewTabWidget;
    connect(ui.actionShowOverview, &QAction::triggered, tabs, [this] {
        ui.viewTabWidget->setCurrentWidget(ui.overviewPage);
    });
    connect(ui.actionShowCabinet, &QAction::triggered, tabs, [this] {
        ui.viewTabWidget->setCurrentWidget(ui.cabinetPage);
    });
    connect(ui.cabinetListView, &QAbstractItemView::clicked, tabs, [this](const QModelIndex &index) {
        if (index.isValid())
            ui.viewTabWidget->setCurrentWidget(ui.cabinetPage);
    });
    connect(ui.overviewView, &OverviewView::cabinetChosen, this, [this](Cabinet *cabinet) {
        showCabinet(cabinet->host());
        ui.viewTabWidget->setCurrentWidget(ui.cabinetPage);
    });
}

void MainWindowController::setOverviewModel(OverviewModel *model)
{
    ui.overviewView->setModel(model);
}

// The label sits in the window's status bar; it has to leave before the window
// deletes its children, which declaring it after the window ensures.
MainWindowController::~MainWindowController() = default;

void MainWindowController::setCabinetModel(CabinetListModel *model)
{
    QObject::disconnect(ui.cabinetListView, nullptr, this, nullptr);
    if (QAbstractItemModel *old = ui.cabinetListView->model())
        QObject::disconnect(old, nullptr, this, nullptr);
    ui.cabinetListView->setModel(model);
    fitListToRows();
    connect(ui.cabinetListView, SIGNAL(activated(QModelIndex)),
            this, SLOT(cabinetItemActivated(QModelIndex)));
    connect(ui.cabinetListView, SIGNAL(clicked(QModelIndex)), this, SLOT(cabinetClicked(QModelIndex)));
    // The row under the pointer says in the status bar what its link does, not only
    // while a button is held.
    ui.cabinetListView->setMouseTracking(true);
    ui.cabinetListView->viewport()->installEventFilter(this);
    connect(ui.cabinetListView, &QAbstractItemView::entered, this, &MainWindowController::rowEntered);
    connect(ui.cabinetListView, &QAbstractItemView::viewportEntered, this,
            [this] { rowEntered(QModelIndex()); });
    connect(model, &QAbstractItemModel::dataChanged, this, &MainWindowController::refreshShownTip);
    for (int row = 0; row < model->rowCount(); ++row)
        watchRotors(model->cabinetAt(model->index(row)));
}

// A rotor that may still be running is news whether or not its cabinet is on display.
void MainWindowController::watchRotors(Cabinet *cabinet)
{
    for (int i = 0; RotorHead *rotor = cabinet->rotor(i); ++i) {
        QObject::disconnect(rotor, &RotorHead::mayStillBeRunningChanged, this, nullptr);
        connect(rotor, &RotorHead::mayStillBeRunningChanged, this,
                [this, cabinet, i](bool mayRun, const QString &reason) {
            const QString name = PlantNames::rotorAt(cabinet->host(), i);
            QStatusBar *bar = window.statusBar();
            if (mayRun)
                bar->showMessage(tr("%1 may still be running: its stop was refused (%2)").arg(name, reason));
            else if (bar->currentMessage().startsWith(name + QLatin1Char(' ')))
                bar->clearMessage();
        });
    }
}

bool MainWindowController::eventFilter(QObject *watched, QEvent *event)
{
    // The pointer left the list, and the view cleared its tip: nothing to keep current.
    if (event->type() == QEvent::Leave && watched == ui.cabinetListView->viewport())
        rowEntered(QModelIndex());
    return QObject::eventFilter(watched, event);
}

void MainWindowController::rowEntered(const QModelIndex &index)
{
    tipRow = index;
    tipShown = index.data(Qt::StatusTipRole).toString();
}

// The view shows a row's tip when the pointer comes onto the row; while the pointer
// stays, a changed tip is put up here.
void MainWindowController::refreshShownTip(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (!tipRow.isValid() || tipRow.row() < topLeft.row() || tipRow.row() > bottomRight.row())
        return;
    const QString tip = tipRow.data(Qt::StatusTipRole).toString();
    if (tip == tipShown)
        return;
    // Only where it still shows: another message may have taken the status bar over.
    if (window.statusBar()->currentMessage() == tipShown)
        window.statusBar()->showMessage(tip);
    if (QToolTip::isVisible() && QToolTip::text() == tipShown) {
        QListView *view = ui.cabinetListView;
        QToolTip::showText(QCursor::pos(), tip, view->viewport(), view->visualRect(tipRow));
    }
    tipShown = tip;
}

// Every address reads in full beside its mark, with room for the scroll bar, at
// whatever font and scale the workstation has.
void MainWindowController::fitListToRows()
{
    QListView *view = ui.cabinetListView;
    int widest = 0;
    for (int row = 0; view->model() && row < view->model()->rowCount(); ++row)
        widest = qMax(widest, view->sizeHintForIndex(view->model()->index(row, 0)).width());
    const int needed = widest + 2 * view->frameWidth() + 2 * view->spacing()
            + view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view);
    view->setMinimumWidth(qBound(view->minimumWidth(), needed, view->maximumWidth()));
    // No wider: the room beside it is the overview's and the panels'.
    view->setMaximumWidth(view->minimumWidth());
}

void MainWindowController::setShutdownSequence(ShutdownSequence *sequence)
{
    shutdown = sequence;
    connect(shutdown, SIGNAL(progress()), this, SLOT(showStopProgress()));
    connect(shutdown, SIGNAL(finished()), this, SLOT(closeWhenStopped()));
}

void MainWindowController::setStopAll(StopAll *stopAll)
{
    stopAllControls->setStopAll(stopAll);
    stopAllControls->addCabinetMenu(ui.cabinetListView, [this](const QPoint &pos) -> Cabinet * {
        CabinetListModel *model = cabinetModel();
        return model ? model->cabinetAt(ui.cabinetListView->indexAt(pos)) : nullptr;
    });
    connect(ui.overviewView, &OverviewView::cabinetMenuRequested, this,
            [this](Cabinet *cabinet, const QPoint &globalPos) {
                QMenu *shown = stopAllControls->cabinetMenu(cabinet, ui.overviewView);
                shown->setAttribute(Qt::WA_DeleteOnClose);
                shown->popup(globalPos);
            });
}

void MainWindowController::showEnding()
{
    window.centralWidget()->setEnabled(false);
    showStopProgress();
}

CabinetListModel *MainWindowController::cabinetModel() const
{
    return qobject_cast<CabinetListModel *>(ui.cabinetListView->model());
}

void MainWindowController::cabinetItemActivated(const QModelIndex &index)
{
    CabinetListModel *model = cabinetModel();
    if (Cabinet *cabinet = model ? model->cabinetAt(index) : nullptr)
        cabinet->connectToCabinet();
}

void MainWindowController::cabinetClicked(const QModelIndex &index)
{
    CabinetListModel *model = cabinetModel();
    Cabinet *cabinet = model ? model->cabinetAt(index) : nullptr;
    if (!cabinet || cabinet == currentCabinet)
        return;
    selectCabinet(cabinet);
    for (int i = 0; i < RotorCount; ++i)
        rotorControllers[i]->setRotor(cabinet->rotor(i));
    for (RotorWidgetController *controller : rotorControllers)
        controller->refresh();
}

void MainWindowController::showCabinet(const QString &host)
{
    CabinetListModel *model = cabinetModel();
    for (int row = 0; model && row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row);
        const Cabinet *cabinet = model->cabinetAt(index);
        if (!cabinet || cabinet->host() != host)
            continue;
        ui.cabinetListView->setCurrentIndex(index);
        cabinetClicked(index);
        return;
    }
}

void MainWindowController::selectCabinet(Cabinet *cabinet)
{
    if (currentCabinet)
        QObject::disconnect(currentCabinet, nullptr, this, nullptr);
    ui.identifyButton->setEnabled(false);
    currentCabinet = cabinet;
    connect(cabinet, SIGNAL(temperatureChanged(Cabinet*,qreal)),
            this, SLOT(cabinetChangedTemp(Cabinet*,qreal)));
    connect(cabinet, SIGNAL(identifyChanged(Cabinet*,bool)),
            this, SLOT(cabinetChangedIdentify(Cabinet*,bool)));
    // Asked again at every connection: what a cabinet said before its link was lost
    // may no longer be so.
    connect(cabinet, SIGNAL(didConnect(Cabinet*)), this, SLOT(queryCabTemp()));
    if (cabinet->isConnected()) {
        cabinet->queryTemperature();
        cabinet->queryIdentify();
    } else {
        ui.tempLbl->setText(QStringLiteral("-"));
        showIdentify(false);
        ui.identifyButton->setEnabled(false);
    }
}

void MainWindowController::queryCabTemp()
{
    if (!currentCabinet || !currentCabinet->isConnected())
        return;
    currentCabinet->queryTemperature();
    currentCabinet->queryIdentify();
}

void MainWindowController::cabinetChangedTemp(Cabinet *, qreal celcius)
{
    ui.tempLbl->setText(QString::number(celcius, 'g', 6) + QStringLiteral(" \u00B0C"));
}

void MainWindowController::cabinetChangedIdentify(Cabinet *, bool on)
{
    ui.identifyButton->setEnabled(true);
    showIdentify(on);
}

// What the cabinet reports is shown, not taken for an operator's toggle.
void MainWindowController::showIdentify(bool on)
{
    const QSignalBlocker blocker(ui.identifyButton);
    ui.identifyButton->setChecked(on);
}

void MainWindowController::identifyButton(bool checked)
{
    if (!currentCabinet)
        return;
    currentCabinet->setIdentify(checked);
    ui.identifyButton->setEnabled(false);
    // The button comes back with what the cabinet confirms.
    currentCabinet->queryIdentify();
}

void MainWindowController::canWindowClose(QCloseEvent *event)
{
    if (exitConfirmed || !shutdown)
        return;
    if (shutdown->isStarted()) {
        event->ignore(); // still waiting for the last commands to be answered
        return;
    }
    if (shutdown->hasActiveLoops()) {
        const QString message = tr("If you exit ") + QCoreApplication::applicationName()
                + tr(",\nthe loop behaviour will stop.\n\n")
                + tr("Are you sure you want to stop pump operation and exit?");
        const QMessageBox::StandardButton answer =
                QMessageBox::warning(&window, tr("Stop pump operation?"), message,
                                     QMessageBox::Ok | QMessageBox::Cancel);
        if (answer == QMessageBox::Cancel) {
            event->ignore();
            return;
        }
    }
    closingByWindow = true;
    shutdown->start();
    if (shutdown->isFinished()) {
        warnOfUnconfirmedStops();
        exitConfirmed = true;
        event->accept();
        return;
    }
    event->ignore();
    showEnding();
}

void MainWindowController::showStopProgress()
{
    if (shutdown && shutdown->isStarted())
        window.statusBar()->showMessage(shutdown->progressText());
}

void MainWindowController::closeWhenStopped()
{
    if (!closingByWindow)
        return; // the program ends by another way, which says what it must
    warnOfUnconfirmedStops();
    exitConfirmed = true;
    window.close();
}

void MainWindowController::warnOfUnconfirmedStops()
{
    QStringList parts;
    if (!shutdown->notConnected().isEmpty()) {
        parts << tr("These rotors could not be stopped because their cabinet is not connected. "
                    "They may still be running:")
                 + QStringLiteral("\n\n") + shutdown->notConnected().join(QLatin1Char('\n'));
    }
    if (!shutdown->linkFailed().isEmpty()) {
        parts << tr("The link failed before these rotors confirmed their stop. "
                    "They may still be running:")
                 + QStringLiteral("\n\n") + shutdown->linkFailed().join(QLatin1Char('\n'));
    }
    if (!shutdown->refused().isEmpty()) {
        parts << tr("The cabinet did not confirm the stop of these rotors. "
                    "They may still be running:")
                 + QStringLiteral("\n\n") + shutdown->refused().join(QLatin1Char('\n'));
    }
    if (!parts.isEmpty())
        QMessageBox::warning(&window, tr("Pumps may still be running"), parts.join(QStringLiteral("\n\n")));
}

void MainWindowController::showAboutBox()
{
    const QString title = tr("About ") + QCoreApplication::applicationName() + QLatin1Char(' ')
            + QCoreApplication::applicationVersion();
    const QString text = tr("Copyright \u00A9 2026 Dosivo A/S") + QStringLiteral("\n\n")
            + tr("This software controls Tavrel peristaltic pumps.\n")
            + tr("See ") + QStringLiteral("www.dosivo.com") + tr(" for more details.");
    QMessageBox::about(&window, title, text);
}

void MainWindowController::openDosivoWebsite()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral("https://www.dosivo.com"), QUrl::TolerantMode));
}
