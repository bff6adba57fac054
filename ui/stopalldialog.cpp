#include "stopalldialog.h"

#include "stopall.h"
#include "stoprun.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

StopAllDialog::StopAllDialog(StopRun *run, QWidget *parent)
    : QDialog(parent)
    , stopRun(run)
    , summaryLbl(new QLabel(this))
    , rotorList(new QTreeWidget(this))
    , retryButton(new QPushButton(tr("&Retry the failed"), this))
    , closeButton(new QPushButton(tr("&Close"), this))
{
    setObjectName(QStringLiteral("stopAllDialog"));
    setWindowTitle(run->cause() == CommandCause::StopAll ? tr("Stop all pumps") : tr("Stop this cabinet"));
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);

    summaryLbl->setObjectName(QStringLiteral("summaryLbl"));
    summaryLbl->setWordWrap(true);
    rotorList->setObjectName(QStringLiteral("rotorList"));
    rotorList->setRootIsDecorated(false);
    rotorList->setSelectionMode(QAbstractItemView::NoSelection);
    rotorList->setHeaderLabels({tr("Rotor"), tr("Stop")});
    for (int row = 0; row < run->rotors().size(); ++row) {
        rotorList->addTopLevelItem(new QTreeWidgetItem({run->rotors().at(row).name, QString()}));
        showRotor(row);
    }
    rotorList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    rotorList->setMinimumWidth(560);

    retryButton->setObjectName(QStringLiteral("retryButton"));
    closeButton->setObjectName(QStringLiteral("closeButton"));
    // Nothing here is the default: a Return meant for the window behind sends nothing again.
    retryButton->setAutoDefault(false);
    closeButton->setAutoDefault(false);
    connect(retryButton, &QPushButton::clicked, this, [this] {
        if (stopRun)
            stopRun->retryFailed();
        showSummary();
    });
    connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(retryButton);
    buttons->addWidget(closeButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(summaryLbl);
    layout->addWidget(rotorList);
    layout->addLayout(buttons);

    connect(run, &StopRun::rotorSettled, this, [this](int row) {
        showRotor(row);
        showSummary();
    });
    connect(run, &StopRun::finished, this, &StopAllDialog::showSummary);
    connect(run, &QObject::destroyed, this, &StopAllDialog::showSummary);
    showSummary();
}

// The run is let go with its window, once nothing of it is waiting.
StopAllDialog::~StopAllDialog()
{
    if (!stopRun)
        return;
    if (stopRun->isSettled())
        stopRun->deleteLater();
    else
        connect(stopRun, &StopRun::finished, stopRun, &QObject::deleteLater);
}

StopRun *StopAllDialog::run() const
{
    return stopRun;
}

void StopAllDialog::showRotor(int row)
{
    const StopRun::Rotor &rotor = stopRun->rotors().at(row);
    QTreeWidgetItem *item = rotorList->topLevelItem(row);
    item->setText(1, StopRun::outcomeText(rotor.outcome, rotor.reason));
    // Text first: the words say it; the colour only helps the eye find it.
    const bool failed = rotor.outcome != StopRun::Outcome::Waiting && rotor.outcome != StopRun::Outcome::Confirmed;
    item->setForeground(1, failed ? QBrush(Qt::darkRed) : QBrush());
    QFont font = item->font(1);
    font.setBold(failed);
    item->setFont(1, font);
}

void StopAllDialog::showSummary()
{
    if (!stopRun) {
        retryButton->setEnabled(false);
        return;
    }
    using Outcome = StopRun::Outcome;
    const int total = stopRun->rotors().size();
    QStringList parts{tr("%1 of %2 stops confirmed").arg(stopRun->count(Outcome::Confirmed)).arg(total)};
    const std::pair<Outcome, const char *> counted[] = {
        {Outcome::Waiting, QT_TR_NOOP("%1 waiting for their answer")},
        {Outcome::Refused, QT_TR_NOOP("%1 refused")},
        {Outcome::LinkLost, QT_TR_NOOP("%1 lost with their link")},
        {Outcome::NotConnected, QT_TR_NOOP("%1 kept for cabinets not connected")},
        {Outcome::Replaced, QT_TR_NOOP("%1 replaced by a Start")},
    };
    for (const auto &[outcome, text] : counted) {
        if (const int n = stopRun->count(outcome))
            parts << tr(text).arg(n);
    }
    QString summary = parts.join(QStringLiteral(", ")) + QLatin1Char('.');
    if (stopRun->isSettled() && !stopRun->unconfirmed().isEmpty())
        summary += QLatin1Char(' ') + tr("The rotors not confirmed may still be running.");
    summaryLbl->setText(summary);
    retryButton->setEnabled(!stopRun->unconfirmed().isEmpty());
}

QMessageBox *StopAllDialog::confirmation(const StopAll &stopAll, QWidget *parent)
{
    auto *box = new QMessageBox(QMessageBox::Question, tr("Stop all pumps"),
                                tr("Stop all %1 pumps on %2 connected cabinets?")
                                    .arg(stopAll.connectedRotorCount())
                                    .arg(stopAll.connectedCabinetCount()),
                                QMessageBox::NoButton, parent);
    box->setObjectName(QStringLiteral("stopAllQuestion"));
    const QStringList away = stopAll.notConnectedHosts();
    QString more = tr("Every loop ends.");
    if (!away.isEmpty()) {
        more += QLatin1Char(' ')
                + tr("Not connected: %1. Their %2 pumps get their Stops first when their link is back, "
                     "and may run till then.")
                      .arg(away.join(QStringLiteral(", ")))
                      .arg(stopAll.notConnectedRotorCount());
    }
    box->setInformativeText(more);
    QPushButton *stop = box->addButton(tr("Stop all"), QMessageBox::AcceptRole);
    stop->setObjectName(QStringLiteral("stopAllButton"));
    QPushButton *cancel = box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(stop);
    box->setEscapeButton(cancel);
    return box;
}
