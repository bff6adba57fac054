#pragma once

#include <QAbstractListModel>

class Cabinet;
class CabinetList;

// Shows the roster: one row per cabinet with its host, a mark for the state of
// its link and a tip that says what the link is doing.
class CabinetListModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CabinetListModel)

public:
    CabinetListModel(CabinetList *list, QObject *parent);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    Cabinet *cabinetAt(const QModelIndex &index) const;
    bool noActiveLoops() const;

protected slots:
    void childChanged(int index);
    void childAppended();

private:
    QString linkTip(const Cabinet *cabinet) const;

    CabinetList *cabinets;
};
