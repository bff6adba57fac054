#include "overviewview.h"

#include "overviewdelegate.h"
#include "overviewmodel.h"

#include <QAbstractItemDelegate>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

OverviewView::OverviewView(QWidget *parent)
    : QWidget(parent)
    , countsLabel(new QLabel(this))
    , view(new QTableView(this))
{
    countsLabel->setObjectName(QStringLiteral("overviewCountsLbl"));
    countsLabel->setTextFormat(Qt::RichText);
    view->setObjectName(QStringLiteral("overviewTable"));
    view->setItemDelegate(new OverviewDelegate(view));
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(countsLabel);
    layout->addWidget(view, 1);

    connect(view, &QAbstractItemView::clicked, this, &OverviewView::choose);
    connect(view, &QAbstractItemView::activated, this, &OverviewView::choose);
    connect(view, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        if (Cabinet *cabinet = cabinetAt(pos))
            emit cabinetMenuRequested(cabinet, view->viewport()->mapToGlobal(pos));
    });
}

void OverviewView::setModel(OverviewModel *model)
{
    if (overview)
        QObject::disconnect(overview, nullptr, this, nullptr);
    overview = model;
    view->setModel(model);
    QHeaderView *header = view->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    header->setSectionResizeMode(OverviewModel::CabinetColumn, QHeaderView::ResizeToContents);
    // Counts change with each of many answers in a row: the label is set once after them.
    connect(model, &OverviewModel::countsChanged, this, [this] {
        if (!countsPending) {
            countsPending = true;
            QMetaObject::invokeMethod(this, &OverviewView::showCounts, Qt::QueuedConnection);
        }
    });
    connect(model, &QAbstractItemModel::modelReset, this, &OverviewView::fitRows);
    fitRows();
    showCounts();
}

// Every cell has the same number of lines: one height fits all rows, and is set once
// rather than measured on each change.
void OverviewView::fitRows()
{
    if (!overview || overview->rowCount() == 0)
        return;
    QHeaderView *rows = view->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    QStyleOptionViewItem option;
    option.font = view->font();
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(view->itemDelegate()->sizeHint(option, overview->index(0, 1)).height());
}

int OverviewView::heightForAllRows() const
{
    const int rows = overview ? overview->rowCount() : 0;
    return view->horizontalHeader()->height() + rows * view->verticalHeader()->defaultSectionSize()
            + 2 * view->frameWidth();
}

Cabinet *OverviewView::cabinetAt(const QPoint &viewportPos) const
{
    return overview ? overview->cabinetAt(view->indexAt(viewportPos)) : nullptr;
}

void OverviewView::choose(const QModelIndex &index)
{
    if (Cabinet *cabinet = overview ? overview->cabinetAt(index) : nullptr)
        emit cabinetChosen(cabinet);
}

// A count that needs the operator is set in bold; the words say it without.
void OverviewView::showCounts()
{
    countsPending = false;
    const OverviewModel::Counts counts = overview->counts();
    const auto part = [](const QString &text, int count, bool alarming) {
        const QString shown = text.arg(count).toHtmlEscaped();
        return alarming && count > 0 ? QStringLiteral("<b>%1</b>").arg(shown) : shown;
    };
    const QStringList parts = {
        part(tr("Running: %1"), counts.running, false),
        part(tr("Stopped: %1"), counts.stopped, false),
        part(tr("Fault: %1"), counts.faults, true),
        part(tr("Halted loops: %1"), counts.haltedLoops, true),
        part(tr("Cabinets not connected: %1"), counts.notConnected, false),
    };
    countsLabel->setText(parts.join(QStringLiteral(" &middot; ")));
    countsLabel->setToolTip(overview->countsText());
}
