#include "historypanel.h"

#include "history.h"
#include "plantnames.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

HistoryPanel::HistoryPanel(History *history, const QStringList &cabinets, QMainWindow *window)
    : QDockWidget(tr("History"), window)
    , history(history)
    , window(window)
    , rows(history)
{
    setObjectName(QStringLiteral("historyPanel"));
    auto *contents = new QWidget(this);
    auto *layout = new QVBoxLayout(contents);
    layout->addLayout(makeFilters(cabinets, contents));
    layout->addWidget(makeView(contents));
    setWidget(contents);
    connectFilters();

    // Hidden at first; View > History opens it below the overview and the panels.
    window->addDockWidget(Qt::BottomDockWidgetArea, this);
    hide();
    connectMenus();
    showHistoryState();
}

QLayout *HistoryPanel::makeFilters(const QStringList &cabinets, QWidget *contents)
{
    cabinetBox = new QComboBox(contents);
    cabinetBox->setObjectName(QStringLiteral("historyCabinetBox"));
    cabinetBox->addItem(tr("All cabinets"));
    cabinetBox->addItems(cabinets);
    rotorBox = new QComboBox(contents);
    rotorBox->setObjectName(QStringLiteral("historyRotorBox"));
    rotorBox->addItem(tr("All rotors"), 0);
    for (int rotor = 1; rotor <= 4; ++rotor)
        rotorBox->addItem(PlantNames::rotor(rotor - 1), rotor);
    kindBox = new QComboBox(contents);
    kindBox->setObjectName(QStringLiteral("historyKindBox"));
    kindBox->addItem(tr("All kinds"));
    kindBox->addItems(HistoryKind::all());
    sinceCheck = new QCheckBox(tr("From"), contents);
    sinceEdit = new QDateTimeEdit(QDateTime(QDate::currentDate().startOfDay()), contents);
    untilCheck = new QCheckBox(tr("to"), contents);
    untilEdit = new QDateTimeEdit(QDateTime(QDate::currentDate().addDays(1).startOfDay()), contents);
    for (QDateTimeEdit *edit : {sinceEdit, untilEdit}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
        edit->setEnabled(false);
    }
    auto *filters = new QHBoxLayout;
    for (QWidget *widget : std::initializer_list<QWidget *>{cabinetBox, rotorBox, kindBox, sinceCheck,
                                                           sinceEdit, untilCheck, untilEdit})
        filters->addWidget(widget);
    filters->addStretch();
    return filters;
}

QTableView *HistoryPanel::makeView(QWidget *contents)
{
    view = new QTableView(contents);
    view->setObjectName(QStringLiteral("historyView"));
    view->setModel(&rows);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setWordWrap(false);
    return view;
}

void HistoryPanel::connectFilters()
{
    const auto changed = [this] { applyFilter(); };
    connect(cabinetBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, changed);
    connect(rotorBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, changed);
    connect(kindBox, QOverload<int>::of(&QComboBox::currentIndexChanged), this, changed);
    connect(sinceCheck, &QCheckBox::toggled, sinceEdit, &QWidget::setEnabled);
    connect(untilCheck, &QCheckBox::toggled, untilEdit, &QWidget::setEnabled);
    connect(sinceCheck, &QCheckBox::toggled, this, changed);
    connect(untilCheck, &QCheckBox::toggled, this, changed);
    connect(sinceEdit, &QDateTimeEdit::dateTimeChanged, this, changed);
    connect(untilEdit, &QDateTimeEdit::dateTimeChanged, this, changed);
}

// View > History and File > Export history…, which the form leaves disabled.
void HistoryPanel::connectMenus()
{
    if (QAction *show = window->findChild<QAction *>(QStringLiteral("actionShowHistory"))) {
        show->setEnabled(true);
        connect(show, &QAction::toggled, this, [this](bool on) {
            setVisible(on);
            if (on)
                makeRoomForRows();
        });
        connect(this, &QDockWidget::visibilityChanged, show, [this, show](bool) {
            show->setChecked(!isHidden());
        });
    }
    if (QAction *exportAction = window->findChild<QAction *>(QStringLiteral("actionExportHistory"))) {
        exportAction->setEnabled(true);
        connect(exportAction, &QAction::triggered, this, &HistoryPanel::exportHistory);
    }
}

// The dock takes the room it needs for RowsShown rows from the window's central
// part, which gives way down to its own minimum, rather than open with a header alone.
void HistoryPanel::makeRoomForRows()
{
    const int rowsHeight = view->horizontalHeader()->sizeHint().height() + 2 * view->frameWidth()
            + (RowsShown * 2 + 1) * view->verticalHeader()->defaultSectionSize() / 2;
    const int wanted = sizeHint().height() - view->sizeHint().height() + rowsHeight;
    if (view->viewport()->height() < rowsHeight)
        window->resizeDocks({this}, {wanted}, Qt::Vertical);
}

// A label in the window's status bar while the history cannot be written.
void HistoryPanel::showHistoryState()
{
    auto *label = new QLabel(window->statusBar());
    label->setObjectName(QStringLiteral("historyStateLbl"));
    label->hide();
    window->statusBar()->insertPermanentWidget(0, label);
    stateLabel = label;
    connect(history, &History::unavailable, this, &HistoryPanel::showUnavailable);
    connect(history, &History::available, this, [this] {
        if (stateLabel)
            stateLabel->hide();
    });
    connect(history, &History::exported, this, &HistoryPanel::exported);
    if (!history->isAvailable())
        showUnavailable(history->failureReason());
}

HistoryFilter HistoryPanel::currentFilter() const
{
    HistoryFilter filter;
    if (cabinetBox->currentIndex() > 0)
        filter.cabinet = cabinetBox->currentText();
    filter.rotor = rotorBox->currentData().toInt();
    if (kindBox->currentIndex() > 0)
        filter.kind = kindBox->currentText();
    if (sinceCheck->isChecked())
        filter.since = sinceEdit->dateTime().toMSecsSinceEpoch();
    if (untilCheck->isChecked())
        filter.until = untilEdit->dateTime().toMSecsSinceEpoch();
    return filter;
}

void HistoryPanel::applyFilter()
{
    rows.setFilter(currentFilter());
}

void HistoryPanel::exportHistory()
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
    exportTicket = history->exportCsv(currentFilter(), target);
    window->statusBar()->showMessage(tr("Exporting history to %1…").arg(QDir::toNativeSeparators(target)));
}

void HistoryPanel::exported(int ticket, qint64 count, const QString &error)
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

void HistoryPanel::showUnavailable(const QString &reason)
{
    if (!stateLabel)
        return;
    stateLabel->setText(tr("History unavailable: ") + reason);
    stateLabel->show();
}
