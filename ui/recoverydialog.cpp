#include "recoverydialog.h"

#include "rotorhead.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

RecoveryDialog::RecoveryDialog(Recovery *recovery, QWidget *parent)
    : QDialog(parent)
    , model(recovery)
    , introLbl(new QLabel(this))
    , rotorList(new QTreeWidget(this))
    , progressLbl(new QLabel(this))
    , resumeButton(new QPushButton(tr("&Resume loops"), this))
    , stopButton(new QPushButton(tr("&Stop these rotors"), this))
    , leaveButton(new QPushButton(tr("&Leave as they are"), this))
{
    setObjectName(QStringLiteral("recoveryDialog"));
    setWindowTitle(tr("Loops left behind"));
    // No way out but a choice: not even the title bar's close button.
    setWindowFlags((windowFlags() | Qt::CustomizeWindowHint) & ~Qt::WindowCloseButtonHint);

    introLbl->setObjectName(QStringLiteral("introLbl"));
    introLbl->setWordWrap(true);
    introLbl->setText(tr("%1 ended without being closed (a crash, a kill or a power loss) and was "
                         "away for %2. These rotors were looping then; their cabinets went on "
                         "doing what they were last told.")
                      .arg(QCoreApplication::applicationName(), awayText(recovery->awaySecs())));

    rotorList->setObjectName(QStringLiteral("rotorList"));
    rotorList->setRootIsDecorated(false);
    rotorList->setSelectionMode(QAbstractItemView::NoSelection);
    rotorList->setHeaderLabels({tr("Rotor"), tr("Loop"), tr("Now")});
    for (int i = 0; i < recovery->rotorCount(); ++i) {
        const RotorHead *rotor = recovery->rotor(i);
        QString now;
        switch (recovery->reading(i)) {
        case Recovery::Runs:
        case Recovery::Stands:
            now = recovery->stateText(i);
            break;
        case Recovery::Unreachable:
            now = tr("cabinet not reachable; may be running");
            break;
        case Recovery::NotRead:
            now = tr("no answer; may be running");
            break;
        }
        const QString loop = rotor ? tr("%1 s on, %2 s off").arg(rotor->loopRunSecs()).arg(rotor->loopPauseSecs())
                                   : QString();
        rotorList->addTopLevelItem(new QTreeWidgetItem({recovery->rotorName(i), loop, now}));
    }
    rotorList->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    progressLbl->setObjectName(QStringLiteral("progressLbl"));
    resumeButton->setObjectName(QStringLiteral("resumeButton"));
    stopButton->setObjectName(QStringLiteral("stopButton"));
    leaveButton->setObjectName(QStringLiteral("leaveButton"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton *button : {resumeButton, stopButton, leaveButton}) {
        // Enter alone must not decide for the pumps.
        button->setAutoDefault(false);
        buttons->addWidget(button);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(introLbl);
    layout->addWidget(rotorList);
    layout->addWidget(progressLbl);
    layout->addLayout(buttons);

    connect(resumeButton, &QPushButton::clicked, this, [this] { choose(Recovery::ResumeLoops); });
    connect(stopButton, &QPushButton::clicked, this, [this] { choose(Recovery::StopRotors); });
    connect(leaveButton, &QPushButton::clicked, this, [this] { choose(Recovery::LeaveAsTheyAre); });
    connect(recovery, &Recovery::stopProgress, this, &RecoveryDialog::showStopProgress);
    connect(recovery, &Recovery::finished, this, &RecoveryDialog::finish);
}

QString RecoveryDialog::awayText(qint64 secs)
{
    if (secs < 0)
        return tr("an unknown time");
    // Known only to within the time between two signs of life.
    if (secs < 90)
        return tr("about %1 s").arg(secs);
    const qint64 minutes = (secs + 30) / 60;
    if (minutes < 90)
        return tr("about %1 min").arg(minutes);
    return tr("about %1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

void RecoveryDialog::reject()
{
}

void RecoveryDialog::choose(Recovery::Choice choice)
{
    for (QPushButton *button : {resumeButton, stopButton, leaveButton})
        button->setEnabled(false);
    if (model)
        model->choose(choice);
}

void RecoveryDialog::showStopProgress(int confirmed, int total)
{
    progressLbl->setText(tr("Stopping pumps: %1 of %2 confirmed").arg(confirmed).arg(total));
}

void RecoveryDialog::finish(const QStringList &mayStillRun)
{
    if (!mayStillRun.isEmpty()) {
        QMessageBox::warning(this, tr("Pumps may still be running"),
                             tr("These rotors did not confirm their stop. They may still be running:")
                             + QStringLiteral("\n\n") + mayStillRun.join(QLatin1Char('\n')));
    }
    accept();
}
