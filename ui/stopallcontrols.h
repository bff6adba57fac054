#pragma once

#include <QObject>
#include <QPoint>

#include <functional>

QT_BEGIN_NAMESPACE
class QAbstractItemView;
class QAction;
class QMainWindow;
class QMenu;
class QToolBar;
QT_END_NAMESPACE

class Cabinet;
class StopAll;
class StopAllDialog;

// Where the operator finds Stop all pumps (the Control tool bar, always shown, the
// Control menu, Ctrl+Shift+S) and Stop this cabinet (a view's context menu), and
// what each shows: the one question before Stop all, then the result window.
class StopAllControls final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StopAllControls)

public:
    // Before the window shows: the bar's room is added to the window's least height.
    StopAllControls(QMainWindow *window, QObject *parent);
    // Till then Stop all pumps is disabled.
    void setStopAll(StopAll *stopAll);

    QAction *stopAllAction() const { return stopAllAct; }
    QToolBar *toolBar() const { return bar; }
    QMenu *controlMenu() const { return menu; }

    // An action that stops this cabinet's rotors, for a context menu.
    QAction *stopCabinetAction(Cabinet *cabinet, QObject *parent);
    // What a right click on the cabinet at this point of the view offers.
    QMenu *cabinetMenu(Cabinet *cabinet, QWidget *parent);
    // The view's context menu offers Stop this cabinet for the cabinet under the
    // pointer (cabinetAt gives null where there is none).
    void addCabinetMenu(QAbstractItemView *view, const std::function<Cabinet *(QPoint)> &cabinetAt);

public slots:
    // Asks first; the result window shows what became of each Stop.
    void stopAllAsked();
    void stopCabinet(Cabinet *cabinet);

signals:
    void resultShown(StopAllDialog *dialog);

private:
    StopAll *stopAll = nullptr;
    QMainWindow *window;
    QAction *stopAllAct;
    QToolBar *bar;
    QMenu *menu;
};
