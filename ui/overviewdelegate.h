#pragma once

#include <QStyledItemDelegate>

// Paints an overview cell: its lines of text first, and behind them a colour that
// makes a fault, a halted loop and a lost link stand out from the calm rest.
class OverviewDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OverviewDelegate)

public:
    explicit OverviewDelegate(QObject *parent);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

    // Room around the text, grown with the font so that it scales with the screen.
    static int padding(const QFontMetrics &metrics);
};
