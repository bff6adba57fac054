#include "historymenus.h"

#include "history.h"
#include "historypanel.h"

#include <QAction>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>

HistoryMenus::HistoryMenus(History *history, const QStringList &cabinets, QMainWindow *window)
    : QObject(window)
    , history(history)
    , cabinets(cabinets)
    , window(window)
{
    setObjectName(QStringLiteral("historyMenus"));
    // The form leaves both disabled until there is a history to show.
    if (QAction *show = window->findChild<QAction *>(QStringLiteral("actionShowHistory"))) {
        show->setEnabled(true);
        connect(show, &QAction::toggled, this, &HistoryMenus::showHistory);
    }
    if (QAction *exportAction = window->findChild<QAction *>(QStringLiteral("actionExportHistory"))) {
        exportAction->setEnabled(true);
        connect(exportAction, &QAction::triggered, this, &HistoryMenus::exportHistory);
    }

    auto *label = new QLabel(window->statusBar());
    label->setObjectName(QStringLiteral("historyStateLbl"));
    label->hide();
    window->statusBar()->insertPermanentWidget(0, label);
    stateLabel = label;
    connect(history, &History::unavailable, this, &HistoryMenus::showUnavailable);
    connect(history, &History::available, this, [this] {
        if (stateLabel)
            stateLabel->hide();
    });
    connect(history, &History::exported, this, &HistoryMenus::exported);
    if (!history->isAvailable())
        showUnavailable(history->failureReason());
}

HistoryPanel *HistoryMenus::panel()
{
    if (made)
        return made;
    made = new HistoryPanel(history, cabinets, window);
    if (QAction *show = window->findChild<QAction *>(QStringLiteral("actionShowHistory"))) {
        connect(made, &QDockWidget::visibilityChanged, show, [this, show](bool) {
            show->setChecked(!made->isHidden());
        });
    }
    return made;
}

// Opened below the overview and the panels, with room for its rows.
void HistoryMenus::showHistory(bool on)
{
    if (!on && !made)
        return;
    panel()->setVisible(on);
    if (on)
        panel()->makeRoomForRows();
}

// The rows the panel's filter shows; all of them while the panel was never opened.
void HistoryMenus::exportHistory()
{
    QString target = exportTarget;
    if (target.isEmpty()) {
        const QString suggested = QDir::home().filePath(
                QStringLiteral("history-%1.csv").arg(QDate::currentDate().toString(Qt::ISODate)));
        target = QFileDialog::getSaveFileName(window, tr("Export history"), suggested,
                                              tr("CSV files (*.csv)"));
        if (target.isEmpty())
            return;
    }
    exportingTo = target;
    exportTicket = history->exportCsv(made ? made->currentFilter() : HistoryFilter(), target);
    window->statusBar()->showMessage(tr("Exporting history to %1…").arg(QDir::toNativeSeparators(target)));
}

void HistoryMenus::exported(int ticket, qint64 count, const QString &error)
{
    if (ticket != exportTicket)
        return;
    exportTicket = 0;
    if (count < 0) {
        window->statusBar()->showMessage(tr("History not exported: %1").arg(error));
        return;
    }
    window->statusBar()->showMessage(tr("History exported: %1 rows to %2")
                                     .arg(count).arg(QDir::toNativeSeparators(exportingTo)), 30000);
}

void HistoryMenus::showUnavailable(const QString &reason)
{
    if (!stateLabel)
        return;
    stateLabel->setText(tr("History unavailable: ") + reason);
    stateLabel->show();
}
