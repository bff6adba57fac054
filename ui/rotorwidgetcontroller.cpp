#include "rotorwidgetcontroller.h"

#include "rotorhead.h"
#include "rotorwidget.h"

#include <QTimer>

RotorWidgetController::RotorWidgetController(RotorWidget *widget, QObject *parent)
    : QObject(parent)
    , widget(widget)
    , refreshTimer(new QTimer(this))
{
    connect(widget, SIGNAL(willChangeCrpm()), this, SLOT(widgetCrpmChanged()));
    connect(widget, SIGNAL(didChangeCrpm(int,bool)), this, SLOT(widgetCrpmCommit(int,bool)));
    connect(widget, SIGNAL(toggleStartStop()), this, SLOT(widgetToggleStartStop()));
    connect(widget, SIGNAL(directionChanged(bool)), this, SLOT(widgetDirectionChanged(bool)));
    connect(widget->ui.loopEnableCheck, SIGNAL(toggled(bool)), this, SLOT(widgetLoopModeChanged(bool)));
    // A time takes effect once typed in full: a phase that began while "120" was being
    // typed would otherwise run for 1 s.
    QSpinBox *onTime = widget->ui.onTimeBox;
    QSpinBox *offTime = widget->ui.offTimeBox;
    connect(onTime, &QSpinBox::editingFinished, this, [this, onTime] { widgetRunTimeChanged(onTime->value()); });
    connect(offTime, &QSpinBox::editingFinished, this, [this, offTime] { widgetPauseTimeChanged(offTime->value()); });
}

void RotorWidgetController::setRotor(RotorHead *newRotor)
{
    if (rotor) {
        QObject::disconnect(rotor, nullptr, this, nullptr);
        refreshTimer->stop();
        QObject::disconnect(refreshTimer, nullptr, nullptr, nullptr);
    }
    rotor = newRotor;
    stoppedForEdit = false;
    connect(rotor, SIGNAL(stateChanged(QString,bool)), this, SLOT(rotorStateChanged(QString,bool)));
    connect(rotor, SIGNAL(crpmChanged(int)), this, SLOT(rotorCrpmChanged(int)));
    connect(rotor, SIGNAL(directionChanged(int)), this, SLOT(rotorDirectionChanged(int)));
    connect(rotor, &RotorHead::refusalsChanged, this, [this] { showInfo(infoShown); });
    connect(refreshTimer, SIGNAL(timeout()), this, SLOT(refreshTimerCallback()));
    refreshTimer->start(RotorHead::StatePollMs);
}

void RotorWidgetController::refresh()
{
    Ui::rotorWidget &ui = widget->ui;
    ui.rotorBtn->setEnabled(false);
    ui.rotorSpeedBox->setEnabled(false);
    ui.ccwBtn->setEnabled(false);
    ui.cwBtn->setEnabled(false);
    ui.ccwBtn->setChecked(false);
    ui.cwBtn->setChecked(false);
    showInfo(QStringLiteral("-"));
    ui.rotorBtn->setText(QStringLiteral("-"));

    rotor->queryCrpm();
    rotor->queryState(false);
    rotor->queryDirection();
    if (!rotor->isConnected())
        showLinkDown();

    // The check box reaches the rotor just attached with the value it already holds.
    ui.loopEnableCheck->setCheckState(rotor->loopModeEnabled() ? Qt::Checked : Qt::Unchecked);
    ui.onTimeBox->setValue(rotor->loopRunSecs());
    ui.offTimeBox->setValue(rotor->loopPauseSecs());
}

void RotorWidgetController::refreshTimerCallback()
{
    rotor->queryState(false);
    if (!rotor->isConnected())
        showLinkDown();
}

// Nothing can be asked or started; a Stop can still be given, and is kept for the link.
void RotorWidgetController::showLinkDown()
{
    Ui::rotorWidget &ui = widget->ui;
    showInfo(rotor->hasKeptStop() ? tr("NOT CONNECTED\nSTOP WAITING") : tr("NOT CONNECTED"));
    ui.rotorBtn->setText(tr("Stop"));
    ui.rotorBtn->setEnabled(true);
    ui.rotorSpeedBox->setEnabled(false);
    ui.ccwBtn->setEnabled(false);
    ui.cwBtn->setEnabled(false);
    ui.loopEnableCheck->setEnabled(true);
}

// What the rotor does, and below it each command the cabinet refused, till one of its
// kind is confirmed.
void RotorWidgetController::showInfo(const QString &state)
{
    infoShown = state;
    QStringList lines{state};
    for (const RotorHead::Refusal &refusal : rotor->refusals()) {
        QString line;
        switch (refusal.command) {
        case PumpCommand::Start:
            line = tr("START REFUSED (%1)");
            break;
        case PumpCommand::Stop:
            line = rotor->mayStillBeRunning() ? tr("STOP REFUSED (%1) \u2014 MAY STILL BE RUNNING")
                                              : tr("STOP REFUSED (%1)");
            break;
        case PumpCommand::Speed:
            line = tr("SPEED REFUSED (%1)");
            break;
        case PumpCommand::Direction:
            line = tr("DIRECTION REFUSED (%1)");
            break;
        case PumpCommand::Identify:
            break;
        }
        if (!line.isEmpty())
            lines << line.arg(refusal.reason);
    }
    QLabel *label = widget->ui.rotorInfoLbl;
    // A refusal's line is wider than the panel and wraps; a state alone does not.
    label->setWordWrap(lines.size() > 1);
    label->setText(lines.join(QLatin1Char('\n')));
    fitInfoLabel();
}

// The window keeps the size it was given, and its layout squeezes a label of more than
// one line: the label asks for the height its lines need, and the window grows to it.
void RotorWidgetController::fitInfoLabel()
{
    QLabel *label = widget->ui.rotorInfoLbl;
    const bool oneLine = !label->wordWrap() && !label->text().contains(QLatin1Char('\n'));
    if (oneLine) {
        label->setMinimumHeight(0);
        return;
    }
    label->setMinimumHeight(label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height());
    QWidget *window = label->window();
    const int needed = window->minimumSizeHint().height();
    if (window->height() < needed)
        window->resize(window->width(), needed);
}

void RotorWidgetController::widgetCrpmChanged()
{
    if (stoppedForEdit)
        return;
    stoppedForEdit = true;
    rotor->stop();
}

void RotorWidgetController::widgetCrpmCommit(int newValue, bool hasChanged)
{
    stoppedForEdit = false;
    if (hasChanged)
        rotor->setCrpm(newValue);
    widget->ui.rotorSpeedBox->clearFocus();
    widget->ui.rotorBtn->setFocus(Qt::OtherFocusReason);
}

void RotorWidgetController::widgetToggleStartStop()
{
    if (!rotor->isConnected()) {
        rotor->stop();
        showLinkDown();
        return;
    }
    // A button that offered only Stop while the link was down still means Stop.
    if (rotor->queryState(true) || rotor->isLoopRunning() || rotor->hasKeptStop()) {
        rotor->stop();
    } else {
        rotor->setCrpm(widget->ui.rotorSpeedBox->value());
        rotor->start();
    }
    QPushButton *button = widget->ui.rotorBtn;
    restoreFocus = button->hasFocus();
    if (restoreFocus)
        button->clearFocus();
    button->setEnabled(false);
    button->setText(QStringLiteral("-"));
    rotor->queryState(false);
}

void RotorWidgetController::widgetDirectionChanged(bool clockwise)
{
    rotor->setDirection(clockwise ? 0 : 1);
    rotor->queryDirection();
}

void RotorWidgetController::widgetLoopModeChanged(bool checked)
{
    rotor->setLoopMode(checked);
}

void RotorWidgetController::widgetRunTimeChanged(int secs)
{
    rotor->setLoopRunSecs(secs);
}

void RotorWidgetController::widgetPauseTimeChanged(int secs)
{
    rotor->setLoopPauseSecs(secs);
}

void RotorWidgetController::rotorStateChanged(QString name, bool isRunning)
{
    Ui::rotorWidget &ui = widget->ui;
    showInfo(name);
    ui.rotorBtn->setText(isRunning || rotor->isLoopRunning() ? tr("Stop") : tr("Start"));
    ui.rotorBtn->setEnabled(true);
    ui.rotorSpeedBox->setEnabled(true);
    ui.ccwBtn->setEnabled(true);
    ui.cwBtn->setEnabled(true);
    ui.loopEnableCheck->setEnabled(true);
    ui.onTimeBox->setEnabled(true);
    ui.offTimeBox->setEnabled(true);
    if (restoreFocus) {
        ui.rotorBtn->setFocus(Qt::OtherFocusReason);
        restoreFocus = false;
    }
}

void RotorWidgetController::rotorCrpmChanged(int crpm)
{
    QSpinBox *box = widget->ui.rotorSpeedBox;
    if (box->hasFocus())
        return; // the operator's typing wins
    box->setEnabled(true);
    if (box->value() != crpm) {
        widget->committedCrpm = crpm;
        box->setValue(crpm);
    }
}

void RotorWidgetController::rotorDirectionChanged(int dir)
{
    Ui::rotorWidget &ui = widget->ui;
    ui.ccwBtn->setEnabled(true);
    ui.ccwBtn->setChecked(dir != 0);
    ui.cwBtn->setEnabled(true);
    ui.cwBtn->setChecked(dir == 0);
}
