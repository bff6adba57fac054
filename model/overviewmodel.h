#pragma once

#include <QAbstractTableModel>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

class Cabinet;
class CabinetList;
class RotorHead;

// The whole installation at a glance: one row per cabinet, its link and temperature
// in the first column and its rotors in the next four, kept current by the cabinets'
// and rotor heads' signals.
class OverviewModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverviewModel)

public:
    static constexpr int CabinetColumn = 0;
    static constexpr int RotorColumns = 4;
    // A state answer older than this shows its age rather than pass for current.
    static constexpr int StaleMs = 3000;

    enum Role {
        // The rotor's raw state code (int); -1 while not known, and for a cabinet.
        StateCodeRole = Qt::UserRole + 1,
        // What the cell says, as a Kind (int): what a view colours it by.
        KindRole,
        // Marked by setMarked() (bool).
        MarkedRole,
    };
    enum Kind {
        NotKnown, // a rotor whose cabinet is not connected, or not yet answered
        Running,
        Stopped, // any state that is neither running nor a fault
        Stale, // the last state answer is older than StaleMs
        Fault, // RotorHead::isFaultState
        LoopHalted,
        NotConnected, // a cabinet never connected, or not wanted
        Connecting,
        Connected,
        LinkLost, // the link failed and is tried again
    };
    Q_ENUM(Kind)

    struct Counts
    {
        int running = 0;
        int stopped = 0;
        int faults = 0;
        int haltedLoops = 0;
        int notConnected = 0;
        bool operator==(const Counts &o) const
        {
            return running == o.running && stopped == o.stopped && faults == o.faults
                    && haltedLoops == o.haltedLoops && notConnected == o.notConnected;
        }
        bool operator!=(const Counts &o) const { return !(*this == o); }
    };

    // tips: the roster's list model, whose tip says what each cabinet's link does.
    OverviewModel(CabinetList *list, QAbstractItemModel *tips, QObject *parent);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    Cabinet *cabinetAt(const QModelIndex &index) const;
    // The rotor of a cell counting from 0; -1 for the cabinet's own column.
    int rotorAt(const QModelIndex &index) const;
    QModelIndex indexOf(const Cabinet *cabinet, int rotor) const;

    Counts counts() const { return totals; }
    QString countsText() const;

    // Marks a rotor (or with rotor -1 the cabinet) for a view to make stand out.
    void setMarked(Cabinet *cabinet, int rotor, bool marked);
    bool isMarked(const Cabinet *cabinet, int rotor) const;

signals:
    void countsChanged();

private:
    struct Cell
    {
        QString text;
        Kind kind = NotKnown;
    };

    void rebuild();
    void watch(int row);
    Cell cabinetCell(int row) const;
    Cell rotorCell(const Cabinet *cabinet, const RotorHead *rotor) const;
    QString loopText(const RotorHead *rotor) const;
    void refreshCell(int row, int column);
    void refreshRow(int row);
    void refreshRotor(const Cabinet *cabinet, int rotor);
    void refreshAges();
    void recount();

    CabinetList *cabinets;
    QAbstractItemModel *tips;
    QVector<QVector<Cell>> cells; // per row, per column
    QVector<qreal> temperatures; // per row; NaN while not read
    QSet<QPair<const Cabinet *, int>> marks;
    Counts totals;
    // Ages and the time left in loop phases change by themselves: once a second the
    // cells whose text changed are reported.
    QTimer ageTimer;
};
