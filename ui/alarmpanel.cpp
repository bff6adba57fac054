#include "alarmpanel.h"

#include "alarmlist.h"
#include "plantnames.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

AlarmPanel::AlarmPanel(AlarmList *alarms, QMainWindow *window)
    : QDockWidget(tr("Alarms"), window)
    , alarms(alarms)
    , window(window)
    , rows(alarms)
{
    setObjectName(QStringLiteral("alarmPanel"));
    auto *contents = new QWidget(this);
    auto *layout = new QVBoxLayout(contents);
    auto *buttons = new QHBoxLayout;
    acknowledgeBtn = new QPushButton(tr("Acknowledge"), contents);
    acknowledgeBtn->setObjectName(QStringLiteral("acknowledgeBtn"));
    acknowledgeAllBtn = new QPushButton(tr("Acknowledge all"), contents);
    acknowledgeAllBtn->setObjectName(QStringLiteral("acknowledgeAllBtn"));
    buttons->addWidget(acknowledgeBtn);
    buttons->addWidget(acknowledgeAllBtn);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addWidget(makeView(contents));
    setWidget(contents);

    connect(acknowledgeBtn, &QPushButton::clicked, this, &AlarmPanel::acknowledgeSelected);
    connect(acknowledgeAllBtn, &QPushButton::clicked, this, [this] {
        this->alarms->acknowledgeAll(PlantNames::currentUser());
    });
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, &AlarmPanel::updateButtons);
    connect(&rows, &QAbstractItemModel::modelReset, this, &AlarmPanel::updateButtons);
    connect(&rows, &QAbstractItemModel::dataChanged, this, &AlarmPanel::updateButtons);
    connect(&rows, &QAbstractItemModel::rowsRemoved, this, &AlarmPanel::updateButtons);

    window->addDockWidget(Qt::BottomDockWidgetArea, this);
    hide();
    addCount();
    addMenuEntry();
    updateButtons();
}

QTableView *AlarmPanel::makeView(QWidget *contents)
{
    view = new QTableView(contents);
    view->setObjectName(QStringLiteral("alarmView"));
    view->setModel(&rows);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setStretchLastSection(true);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->setWordWrap(false);
    return view;
}

QString AlarmPanel::countText(int unacknowledged, int total)
{
    if (total == 0)
        return tr("No alarms");
    if (unacknowledged == 0)
        return tr("Alarms: %1, all acknowledged").arg(total);
    return tr("ALARMS: %1, %2 NOT ACKNOWLEDGED").arg(total).arg(unacknowledged);
}

// Always in sight, whatever else the status bar says; a click opens the list. A label
// and not a button: the bar keeps its height, and the list above it its rows.
void AlarmPanel::addCount()
{
    countLbl = new QLabel(window->statusBar());
    countLbl->setObjectName(QStringLiteral("alarmCountLbl"));
    countLbl->setToolTip(tr("Click to show the alarms"));
    countLbl->setCursor(Qt::PointingHandCursor);
    countLbl->installEventFilter(this);
    window->statusBar()->addPermanentWidget(countLbl);
    connect(alarms, &AlarmList::countChanged, this, &AlarmPanel::showCount);
    showCount(alarms->unacknowledgedCount(), alarms->count());
}

bool AlarmPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == countLbl && event->type() == QEvent::MouseButtonRelease)
        open();
    return QDockWidget::eventFilter(watched, event);
}

void AlarmPanel::addMenuEntry()
{
    showAction = new QAction(tr("&Alarms"), this);
    showAction->setObjectName(QStringLiteral("actionShowAlarms"));
    showAction->setCheckable(true);
    if (auto *viewMenu = window->findChild<QMenu *>(QStringLiteral("menuView")))
        viewMenu->addAction(showAction);
    connect(showAction, &QAction::toggled, this, [this](bool on) {
        if (on)
            open();
        else
            hide();
    });
    connect(this, &QDockWidget::visibilityChanged, showAction, [this](bool) {
        showAction->setChecked(!isHidden());
    });
}

void AlarmPanel::open()
{
    show();
    raise();
    view->setFocus();
}

void AlarmPanel::showCount(int unacknowledged, int total)
{
    countLbl->setText(countText(unacknowledged, total));
    QFont font = countLbl->font();
    font.setBold(unacknowledged > 0);
    countLbl->setFont(font);
    updateButtons();
}

void AlarmPanel::acknowledgeSelected()
{
    QList<int> ids;
    for (const QModelIndex &index : view->selectionModel()->selectedRows())
        ids << index.data(AlarmModel::IdRole).toInt();
    const QString user = PlantNames::currentUser();
    for (int id : qAsConst(ids))
        alarms->acknowledge(id, user);
}

void AlarmPanel::updateButtons()
{
    if (!view)
        return;
    acknowledgeAllBtn->setEnabled(alarms->unacknowledgedCount() > 0);
    bool any = false;
    for (const QModelIndex &index : view->selectionModel()->selectedRows()) {
        const Alarm *alarm = alarms->book().find(index.data(AlarmModel::IdRole).toInt());
        any = any || (alarm && !alarm->isAcknowledged());
    }
    acknowledgeBtn->setEnabled(any);
}
