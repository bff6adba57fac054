#include "overviewdelegate.h"

#include "overviewmodel.h"

#include <QApplication>
#include <QPainter>

namespace {

struct Look
{
    QColor background; // invalid: the view's own
    QColor text; // invalid: the palette's
    bool bold = false;
    bool italic = false;
};

// Colour only repeats what the text says; the words alone must do.
Look lookOf(int kind, const QPalette &palette)
{
    switch (kind) {
    case OverviewModel::Fault:
        return {QColor(0xf4, 0xb8, 0xb8), QColor(0x80, 0x00, 0x00), true, false};
    case OverviewModel::LinkLost:
        return {QColor(0xf4, 0xb8, 0xb8), QColor(0x80, 0x00, 0x00), true, false};
    case OverviewModel::LoopHalted:
        return {QColor(0xff, 0xd8, 0x90), QColor(0x60, 0x30, 0x00), true, false};
    case OverviewModel::Running:
        return {QColor(0xd8, 0xf0, 0xd8), QColor(), false, false};
    case OverviewModel::Stale:
        return {QColor(), palette.color(QPalette::Disabled, QPalette::Text), false, true};
    case OverviewModel::NotKnown:
    case OverviewModel::NotConnected:
        return {QColor(), palette.color(QPalette::Disabled, QPalette::Text), false, false};
    case OverviewModel::Connecting:
        return {QColor(0xff, 0xf4, 0xc0), QColor(), false, false};
    }
    return {};
}

} // namespace

OverviewDelegate::OverviewDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

int OverviewDelegate::padding(const QFontMetrics &metrics)
{
    return qMax(2, metrics.height() / 8);
}

void OverviewDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const Look look = lookOf(index.data(OverviewModel::KindRole).toInt(), opt.palette);
    painter->save();
    if (opt.state & QStyle::State_Selected)
        painter->fillRect(opt.rect, opt.palette.color(QPalette::Highlight).lighter(170));
    else if (look.background.isValid())
        painter->fillRect(opt.rect, look.background);

    QFont font = opt.font;
    font.setBold(look.bold);
    font.setItalic(look.italic);
    painter->setFont(font);
    painter->setPen(look.text.isValid() ? look.text : opt.palette.color(QPalette::Text));
    const QFontMetrics metrics(font);
    const int pad = padding(metrics);
    QRect line = opt.rect.adjusted(pad, pad, -pad, 0);
    line.setHeight(metrics.height());
    // A line too long for its column ends in "…"; the tip holds it whole.
    // The model's own lines: the view's text has them joined for a single label.
    const QStringList lines = index.data(Qt::DisplayRole).toString().split(QLatin1Char('\n'));
    for (const QString &text : lines) {
        painter->drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                          metrics.elidedText(text, Qt::ElideRight, line.width()));
        line.translate(0, metrics.lineSpacing());
    }
    if (index.data(OverviewModel::MarkedRole).toBool()) {
        QPen pen(QColor(0xc0, 0x00, 0x00));
        pen.setWidth(qMax(2, pad / 2));
        painter->setPen(pen);
        painter->setBrush(Qt::NoBrush);
        painter->drawRect(opt.rect.adjusted(1, 1, -pen.width(), -pen.width()));
    }
    painter->restore();
}

QSize OverviewDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QFont font = option.font;
    font.setBold(true); // the widest a cell's text can be drawn
    const QFontMetrics metrics(font);
    const QStringList lines = index.data(Qt::DisplayRole).toString().split(QLatin1Char('\n'));
    int width = 0;
    for (const QString &text : lines)
        width = qMax(width, metrics.horizontalAdvance(text));
    const int pad = padding(metrics);
    return QSize(width + 2 * pad, metrics.height() + (lines.size() - 1) * metrics.lineSpacing() + 2 * pad);
}
