#include "historypanel.h"

#include "plantnames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QShowEvent>
#include <QTableView>
#include <QVBoxLayout>

HistoryPanel::HistoryPanel(History *history, const QStringList &cabinets, QMainWindow *window)
    : QDockWidget(tr("History"), window)
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

void HistoryPanel::showEvent(QShowEvent *event)
{
    attachView(true);
    QDockWidget::showEvent(event);
}

void HistoryPanel::hideEvent(QHideEvent *event)
{
    QDockWidget::hideEvent(event);
    // Not when the window is only minimised: it comes back as it was.
    if (!event->spontaneous())
        attachView(false);
}

void HistoryPanel::attachView(bool attached)
{
    if (attached == (view->model() == &rows))
        return;
    QItemSelectionModel *old = view->selectionModel();
    view->setModel(attached ? &rows : nullptr);
    delete old;
}

// The dock takes the room it needs for RowsShown rows from the window's central
// part, which gives way down to its own minimum, rather than open with a header alone.
void HistoryPanel::makeRoomForRows()
{
    const int rowsHeight = view->horizontalHeader()->sizeHint().height() + 2 * view->frameWidth()
            + (RowsShown * 2 + 1) * view->verticalHeader()->defaultSectionSize() / 2;
    const int wanted = sizeHint().height() - view->sizeHint().height() + rowsHeight;
    auto *window = qobject_cast<QMainWindow *>(parentWidget());
    if (window && view->viewport()->height() < rowsHeight)
        window->resizeDocks({this}, {wanted}, Qt::Vertical);
}
