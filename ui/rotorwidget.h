#pragma once

#include "ui_rotorwidget.h"

#include <QWidget>

// The control strip of one rotor: direction, speed, start/stop, status and loop
// mode. It turns raw clicks and edits into four intent signals and knows nothing
// of rotors; its controller drives the controls.
class RotorWidget final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RotorWidget)

public:
    explicit RotorWidget(QWidget *parent);

    Ui::rotorWidget ui;
    int committedCrpm = 0;

signals:
    void toggleStartStop();
    void directionChanged(bool clockwise);
    void willChangeCrpm();
    void didChangeCrpm(int newValue, bool hasChanged);

protected slots:
    void rotorButtonPush();
    void speedBoxChanged(int newVal);
    void speedBoxEditFinished();
    void cwDirectionButtonPush();
    void ccwDirectionButtonPush();
    void toggleLoopMode(int state);

private:
    bool finishingEdit = false;
};
