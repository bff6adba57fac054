#include "rotorwidget.h"

#include "loopschedule.h"

#include <QFont>
#include <QScopedValueRollback>

RotorWidget::RotorWidget(QWidget *parent)
    : QWidget(parent)
{
    ui.setupUi(this);
    // Larger rather than bold: the regular face is loaded already, a bold one would be
    // one more font file to open and keep at every start.
    QFont nameFont = ui.rotorNameLbl->font();
    if (nameFont.pointSizeF() > 0)
        nameFont.setPointSizeF(nameFont.pointSizeF() * 1.2);
    else
        nameFont.setPixelSize(qRound(nameFont.pixelSize() * 1.2));
    ui.rotorNameLbl->setFont(nameFont);
    ui.onTimeBox->setRange(LoopSchedule::MinSecs, LoopSchedule::MaxSecs);
    ui.offTimeBox->setRange(LoopSchedule::MinSecs, LoopSchedule::MaxSecs);

    connect(ui.rotorBtn, SIGNAL(clicked()), this, SLOT(rotorButtonPush()));
    connect(ui.cwBtn, SIGNAL(clicked()), this, SLOT(cwDirectionButtonPush()));
    connect(ui.ccwBtn, SIGNAL(clicked()), this, SLOT(ccwDirectionButtonPush()));
    connect(ui.rotorSpeedBox, SIGNAL(valueChanged(int)), this, SLOT(speedBoxChanged(int)));
    connect(ui.rotorSpeedBox, SIGNAL(editingFinished()), this, SLOT(speedBoxEditFinished()));
    connect(ui.loopEnableCheck, SIGNAL(stateChanged(int)), this, SLOT(toggleLoopMode(int)));
}

void RotorWidget::rotorButtonPush()
{
    emit toggleStartStop();
}

void RotorWidget::speedBoxChanged(int newVal)
{
    if (newVal != committedCrpm)
        emit willChangeCrpm();
}

void RotorWidget::speedBoxEditFinished()
{
    // A receiver that moves the focus finishes the edit again, from inside this
    // emission: that is the same edit, not a second one.
    if (finishingEdit)
        return;
    const QScopedValueRollback<bool> guard(finishingEdit, true);
    const int value = ui.rotorSpeedBox->value();
    emit didChangeCrpm(value, value != committedCrpm);
    committedCrpm = value;
}

// The two buttons are exclusive only through these two slots.
void RotorWidget::cwDirectionButtonPush()
{
    ui.ccwBtn->setEnabled(true);
    ui.ccwBtn->setChecked(false);
    ui.cwBtn->setEnabled(true);
    ui.cwBtn->setChecked(true);
    emit directionChanged(true);
}

void RotorWidget::ccwDirectionButtonPush()
{
    ui.ccwBtn->setEnabled(true);
    ui.ccwBtn->setChecked(true);
    ui.cwBtn->setEnabled(true);
    ui.cwBtn->setChecked(false);
    emit directionChanged(false);
}

void RotorWidget::toggleLoopMode(int state)
{
    const bool editable = state == Qt::Checked;
    ui.onTimeBox->setEnabled(editable);
    ui.offTimeBox->setEnabled(editable);
}
