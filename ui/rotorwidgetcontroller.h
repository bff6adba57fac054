#pragma once

#include <QObject>
#include <QString>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

class RotorHead;
class RotorWidget;

// Binds one rotor panel to one rotor head: panel input becomes rotor commands,
// the rotor's answers show on the panel, and its state is asked for every second.
class RotorWidgetController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RotorWidgetController)

public:
    RotorWidgetController(RotorWidget *widget, QObject *parent);

    void setRotor(RotorHead *newRotor);
    void refresh();

protected slots:
    void refreshTimerCallback();

public slots:
    void widgetCrpmChanged();
    void widgetCrpmCommit(int newValue, bool hasChanged);
    void widgetToggleStartStop();
    void widgetDirectionChanged(bool clockwise);
    void widgetLoopModeChanged(bool checked);
    void widgetRunTimeChanged(int secs);
    void widgetPauseTimeChanged(int secs);
    void rotorStateChanged(QString name, bool isRunning);
    void rotorCrpmChanged(int crpm);
    void rotorDirectionChanged(int dir);

private:
    void showLinkDown();
    void showInfo(const QString &state);
    void fitInfoLabel();

    RotorHead *rotor = nullptr;
    RotorWidget *widget;
    QTimer *refreshTimer;
    bool restoreFocus = false;
    bool stoppedForEdit = false; // one stop per speed edit, however many keys it takes
    QString infoShown; // the state line of the info label
};
