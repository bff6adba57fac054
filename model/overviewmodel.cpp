#include "overviewmodel.h"

#include "cabinet.h"
#include "cabinetlist.h"
#include "cabinetprotocol.h"
#include "plantnames.h"
#include "rotorhead.h"

#include <cmath>

OverviewModel::OverviewModel(CabinetList *list, QAbstractItemModel *tips, QObject *parent)
    : QAbstractTableModel(parent)
    , cabinets(list)
    , tips(tips)
{
    connect(cabinets, &CabinetList::childAppended, this, &OverviewModel::rebuild);
    connect(cabinets, &CabinetList::childHasChanged, this, &OverviewModel::refreshRow);
    ageTimer.setInterval(1000);
    connect(&ageTimer, &QTimer::timeout, this, &OverviewModel::refreshAges);
    ageTimer.start();
    rebuild();
}

int OverviewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : cells.size();
}

int OverviewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1 + RotorColumns;
}

QVariant OverviewModel::data(const QModelIndex &index, int role) const
{
    const Cabinet *cabinet = cabinetAt(index);
    if (!cabinet)
        return QVariant();
    const Cell &cell = cells.at(index.row()).at(index.column());
    const int rotorIndex = rotorAt(index);
    switch (role) {
    case Qt::DisplayRole:
        return cell.text;
    case Qt::ToolTipRole:
    case Qt::StatusTipRole: {
        if (rotorIndex < 0) {
            const QString tip = tips->index(index.row(), 0).data(Qt::ToolTipRole).toString();
            return tip.isEmpty() ? tr("%1: not connected").arg(cabinet->host()) : tip;
        }
        QString text = cell.text;
        return PlantNames::rotorAt(cabinet->host(), rotorIndex) + QStringLiteral(": ")
                + text.replace(QLatin1Char('\n'), QStringLiteral(", "));
    }
    case StateCodeRole: {
        const RotorHead *rotor = rotorIndex >= 0 ? cabinet->rotor(rotorIndex) : nullptr;
        if (!rotor || !cabinet->isConnected() || rotor->stateAgeMs() < 0)
            return -1;
        return rotor->stateCode();
    }
    case KindRole:
        return int(cell.kind);
    case MarkedRole:
        return isMarked(cabinet, rotorIndex);
    }
    return QVariant();
}

QVariant OverviewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    if (section == CabinetColumn)
        return tr("Cabinet");
    return PlantNames::rotor(section - 1);
}

Cabinet *OverviewModel::cabinetAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this || index.row() >= cells.size()
        || index.row() >= cabinets->size())
        return nullptr;
    return cabinets->at(index.row());
}

int OverviewModel::rotorAt(const QModelIndex &index) const
{
    return index.isValid() ? index.column() - 1 : -1;
}

QModelIndex OverviewModel::indexOf(const Cabinet *cabinet, int rotor) const
{
    const int row = cabinets->indexOf(const_cast<Cabinet *>(cabinet));
    if (row < 0 || row >= cells.size() || rotor < -1 || rotor >= RotorColumns)
        return QModelIndex();
    return index(row, rotor + 1);
}

QString OverviewModel::countsText() const
{
    return tr("Running: %1 \u00B7 Stopped: %2 \u00B7 Fault: %3 \u00B7 Halted loops: %4 \u00B7 "
              "Cabinets not connected: %5")
            .arg(totals.running).arg(totals.stopped).arg(totals.faults).arg(totals.haltedLoops)
            .arg(totals.notConnected);
}

void OverviewModel::setMarked(Cabinet *cabinet, int rotor, bool marked)
{
    const QPair<const Cabinet *, int> key(cabinet, rotor);
    if (marks.contains(key) == marked)
        return;
    if (marked)
        marks.insert(key);
    else
        marks.remove(key);
    const QModelIndex cell = indexOf(cabinet, rotor);
    if (cell.isValid())
        emit dataChanged(cell, cell, {MarkedRole});
}

bool OverviewModel::isMarked(const Cabinet *cabinet, int rotor) const
{
    return marks.contains(qMakePair(cabinet, rotor));
}

// The roster is built once, at start: the rows are made afresh as cabinets arrive.
void OverviewModel::rebuild()
{
    beginResetModel();
    for (int row = cells.size(); row < cabinets->size(); ++row)
        watch(row);
    cells.resize(cabinets->size());
    temperatures.resize(cabinets->size());
    for (int row = 0; row < cells.size(); ++row) {
        cells[row].resize(1 + RotorColumns);
        cells[row][CabinetColumn] = cabinetCell(row);
        const Cabinet *cabinet = cabinets->at(row);
        for (int i = 0; i < RotorColumns; ++i)
            cells[row][1 + i] = rotorCell(cabinet, cabinet->rotor(i));
    }
    endResetModel();
    recount();
}

void OverviewModel::watch(int row)
{
    Cabinet *cabinet = cabinets->at(row);
    temperatures.resize(qMax(temperatures.size(), row + 1));
    temperatures[row] = std::nan("");
    connect(cabinet, &Cabinet::temperatureChanged, this, [this](Cabinet *which, qreal celcius) {
        const int at = cabinets->indexOf(which);
        if (at < 0 || at >= temperatures.size())
            return;
        temperatures[at] = celcius;
        refreshCell(at, CabinetColumn);
    });
    for (int i = 0; i < RotorColumns; ++i) {
        RotorHead *rotor = cabinet->rotor(i);
        if (!rotor)
            continue;
        const auto refresh = [this, cabinet, i] { refreshRotor(cabinet, i); };
        connect(rotor, &RotorHead::stateChanged, this, refresh);
        connect(rotor, &RotorHead::crpmChanged, this, refresh);
        connect(rotor, &RotorHead::directionChanged, this, refresh);
        connect(rotor, &RotorHead::loopChanged, this, refresh);
    }
}

OverviewModel::Cell OverviewModel::cabinetCell(int row) const
{
    const Cabinet *cabinet = cabinets->at(row);
    const qreal celcius = temperatures.value(row, std::nan(""));
    QString first = cabinet->host();
    if (cabinet->isConnected() && !std::isnan(celcius))
        first += QStringLiteral(" \u00B7 ") + QString::number(celcius, 'f', 1) + QStringLiteral(" \u00B0C");
    if (cabinet->hasError()) {
        const int wait = cabinet->secondsToNextAttempt();
        const QString second = wait > 0 ? tr("LINK LOST, retry in %1 s").arg(wait) : tr("LINK LOST");
        return {first + QLatin1Char('\n') + second, LinkLost};
    }
    if (cabinet->isConnecting())
        return {first + QLatin1Char('\n') + tr("connecting"), Connecting};
    if (cabinet->isConnected()) {
        const QString second = cabinet->isTooSlowForLoops() ? tr("connected, too slow for its loops")
                                                            : tr("connected");
        return {first + QLatin1Char('\n') + second, Connected};
    }
    return {first + QLatin1Char('\n') + tr("not connected"), NotConnected};
}

OverviewModel::Cell OverviewModel::rotorCell(const Cabinet *cabinet, const RotorHead *rotor) const
{
    if (!rotor)
        return {};
    const QString loop = loopText(rotor);
    const qint64 age = rotor->stateAgeMs();
    if (!cabinet->isConnected() || age < 0)
        return {tr("not known") + QLatin1Char('\n') + loop, rotor->isLoopHalted() ? LoopHalted : NotKnown};

    const int code = rotor->stateCode();
    QString state = rotor->stateName();
    if (age > StaleMs)
        state = tr("%1, %2 s ago").arg(state).arg(age / 1000);
    const QString speed = tr("%1 cRPM %2").arg(rotor->knownCrpm())
            .arg(rotor->knownDirection() == 0 ? tr("CW") : tr("CCW"));
    Kind kind = code == CabinetProtocol::Running ? Running : Stopped;
    if (RotorHead::isFaultState(code))
        kind = Fault;
    else if (rotor->isLoopHalted())
        kind = LoopHalted;
    else if (age > StaleMs)
        kind = Stale;
    return {state + QLatin1Char('\n') + speed + QStringLiteral(" \u00B7 ") + loop, kind};
}

QString OverviewModel::loopText(const RotorHead *rotor) const
{
    if (!rotor->loopModeEnabled())
        return tr("loop off");
    if (rotor->isLoopHalted())
        return tr("LOOP HALTED (%1)").arg(rotor->loopHaltReason());
    const int msLeft = rotor->loopMsLeft();
    if (msLeft <= 0)
        return tr("loop on");
    const int secs = (msLeft + 999) / 1000;
    return rotor->isLoopInRunPhase() ? tr("on, %1 s left").arg(secs) : tr("off phase, %1 s left").arg(secs);
}

void OverviewModel::refreshCell(int row, int column)
{
    if (row < 0 || row >= cells.size())
        return;
    const Cabinet *cabinet = cabinets->at(row);
    const Cell fresh = column == CabinetColumn ? cabinetCell(row)
                                               : rotorCell(cabinet, cabinet->rotor(column - 1));
    Cell &cell = cells[row][column];
    if (fresh.text == cell.text && fresh.kind == cell.kind)
        return;
    cell = fresh;
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole, Qt::ToolTipRole, StateCodeRole, KindRole});
}

// A link that came or went changes what every cell of the row can say.
void OverviewModel::refreshRow(int row)
{
    for (int column = 0; column <= RotorColumns; ++column)
        refreshCell(row, column);
    recount();
}

void OverviewModel::refreshRotor(const Cabinet *cabinet, int rotor)
{
    refreshCell(cabinets->indexOf(const_cast<Cabinet *>(cabinet)), rotor + 1);
    recount();
}

void OverviewModel::refreshAges()
{
    for (int row = 0; row < cells.size(); ++row) {
        for (int column = 1; column <= RotorColumns; ++column)
            refreshCell(row, column);
    }
    recount();
}

void OverviewModel::recount()
{
    Counts fresh;
    for (const Cabinet *cabinet : qAsConst(*cabinets)) {
        const bool connected = cabinet->isConnected();
        if (!connected)
            ++fresh.notConnected;
        for (int i = 0; i < RotorColumns; ++i) {
            const RotorHead *rotor = cabinet->rotor(i);
            if (!rotor)
                continue;
            if (rotor->isLoopHalted())
                ++fresh.haltedLoops;
            if (!connected || rotor->stateAgeMs() < 0)
                continue;
            const int code = rotor->stateCode();
            if (RotorHead::isFaultState(code))
                ++fresh.faults;
            else if (code == CabinetProtocol::Running)
                ++fresh.running;
            else
                ++fresh.stopped;
        }
    }
    if (fresh == totals)
        return;
    totals = fresh;
    emit countsChanged();
}
