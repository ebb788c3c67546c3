#include "ui/ListView.h"

#include <QHeaderView>
#include <QPainter>

#include <climits>

namespace kestrune {

QPalette TGridDelegate::SelectionPalette(QPalette palette) {
    const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
    const QColor text = palette.color(QPalette::Active, QPalette::HighlightedText);
    for (auto group : {QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Highlight, highlight);
        palette.setColor(group, QPalette::HighlightedText, text);
    }
    return palette;
}

QColor TGridDelegate::GridColor(const QPalette& palette) {
    const QColor base = palette.color(QPalette::Base);
    const QColor text = palette.color(QPalette::Text);
    auto mix = [](int a, int b) { return (a * 5 + b) / 6; };
    return QColor(mix(base.red(), text.red()), mix(base.green(), text.green()),
                  mix(base.blue(), text.blue()));
}

void TGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
    QStyleOptionViewItem cell = option;
    cell.palette = SelectionPalette(option.palette);
    QStyledItemDelegate::paint(painter, cell, index);
    painter->save();
    painter->setPen(GridColor(option.palette));
    const QRect r = option.rect;
    painter->drawLine(r.bottomLeft(), r.bottomRight());
    painter->drawLine(r.topRight(), r.bottomRight());
    painter->restore();
}

QSize TGridDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    return QStyledItemDelegate::sizeHint(option, index) + QSize(0, 2);
}

TListView::TListView(QWidget* parent, const QString& name, const QStringList& columns,
                     const QList<int>& widths, const QString& emptyText)
    : QTreeWidget(parent), mEmptyText(emptyText), mWidths(widths) {
    setObjectName(name);
    setColumnCount(static_cast<int>(columns.size()));
    setHeaderLabels(columns);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAllColumnsShowFocus(true);
    setItemDelegate(new TGridDelegate(this));
    QHeaderView* header = this->header();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Fixed);
    for (int i = 0; i < widths.size(); ++i)
        setColumnWidth(i, widths[i]);
}

void TListView::FitColumnsToTexts() {
    const int padding = 2 * fontMetrics().averageCharWidth();
    for (int i = 0; i < mWidths.size(); ++i)
        setColumnWidth(i, std::min(std::max(mWidths[i], sizeHintForColumn(i) + padding),
                                   mLimits.value(i, INT_MAX)));
}

void TListView::LimitColumn(int column, int width) {
    mLimits[column] = width;
}

void TListView::paintEvent(QPaintEvent* event) {
    QTreeWidget::paintEvent(event);
    if (topLevelItemCount() > 0 || mEmptyText.isEmpty())
        return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::PlaceholderText));
    const int margin = fontMetrics().averageCharWidth();
    painter.drawText(viewport()->rect().adjusted(margin, margin / 2, -margin, 0),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, mEmptyText);
}

} // namespace kestrune
