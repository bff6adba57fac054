#include "stopallcontrols.h"

#include "cabinet.h"
#include "stopall.h"
#include "stopalldialog.h"

#include <QAbstractItemView>
#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QToolBar>

StopAllControls::StopAllControls(QMainWindow *window, QObject *parent)
    : QObject(parent)
    , window(window)
    , stopAllAct(new QAction(tr("Stop all pumps"), window))
    , bar(new QToolBar(tr("Control"), window))
    , menu(new QMenu(tr("Control"), window))
{
    stopAllAct->setObjectName(QStringLiteral("actionStopAll"));
    stopAllAct->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    stopAllAct->setShortcutContext(Qt::ApplicationShortcut);
    stopAllAct->setToolTip(tr("Stop all pumps on every cabinet (Ctrl+Shift+S)"));
    stopAllAct->setEnabled(false);
    connect(stopAllAct, &QAction::triggered, this, &StopAllControls::stopAllAsked);

    // Never out of sight: it cannot be hidden, moved off or floated away.
    bar->setObjectName(QStringLiteral("controlToolBar"));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->toggleViewAction()->setVisible(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    bar->addAction(stopAllAct);
    window->addToolBar(Qt::TopToolBarArea, bar);
    // The bar takes its room from the window, not from the panels and the list.
    window->setMinimumHeight(window->minimumHeight() + bar->sizeHint().height());

    menu->setObjectName(QStringLiteral("menuControl"));
    menu->addAction(stopAllAct);
    // Before Help, which stays last.
    QAction *help = nullptr;
    if (auto *helpMenu = window->menuBar()->findChild<QMenu *>(QStringLiteral("menuHelp")))
        help = helpMenu->menuAction();
    window->menuBar()->insertMenu(help, menu);
}

void StopAllControls::setStopAll(StopAll *stopAll)
{
    this->stopAll = stopAll;
    stopAllAct->setEnabled(stopAll != nullptr);
}

QAction *StopAllControls::stopCabinetAction(Cabinet *cabinet, QObject *parent)
{
    auto *action = new QAction(tr("Stop this cabinet"), parent);
    action->setObjectName(QStringLiteral("actionStopCabinet"));
    QPointer<Cabinet> target(cabinet);
    action->setEnabled(stopAll != nullptr);
    connect(action, &QAction::triggered, this, [this, target] {
        if (target)
            stopCabinet(target);
    });
    return action;
}

QMenu *StopAllControls::cabinetMenu(Cabinet *cabinet, QWidget *parent)
{
    auto *cabinetMenu = new QMenu(parent);
    cabinetMenu->setObjectName(QStringLiteral("cabinetMenu"));
    cabinetMenu->addAction(stopCabinetAction(cabinet, cabinetMenu));
    return cabinetMenu;
}

void StopAllControls::addCabinetMenu(QAbstractItemView *view, const std::function<Cabinet *(QPoint)> &cabinetAt)
{
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view, cabinetAt](const QPoint &pos) {
        Cabinet *cabinet = cabinetAt(pos);
        if (!cabinet)
            return;
        QMenu *shown = cabinetMenu(cabinet, view);
        shown->setAttribute(Qt::WA_DeleteOnClose);
        shown->popup(view->viewport()->mapToGlobal(pos));
    });
}

void StopAllControls::stopAllAsked()
{
    if (!stopAll)
        return;
    QMessageBox *question = StopAllDialog::confirmation(*stopAll, window);
    question->setAttribute(Qt::WA_DeleteOnClose);
    connect(question, &QMessageBox::finished, this, [this, question] {
        if (question->clickedButton() != question->defaultButton())
            return;
        auto *dialog = new StopAllDialog(stopAll->stopAll(), window);
        dialog->show();
        emit resultShown(dialog);
    });
    question->open();
}

void StopAllControls::stopCabinet(Cabinet *cabinet)
{
    if (!stopAll)
        return;
    auto *dialog = new StopAllDialog(stopAll->stopCabinet(cabinet), window);
    dialog->show();
    emit resultShown(dialog);
}
