// TListView: a report-style table of the main window (the three definition
// lists and the traffic monitor). Row selection, grid lines, fixed columns
// that cannot be clicked, a selection drawn in the palette's highlight
// colours whether or not the window has the focus, and a grey line that
// says what to do while the list is empty. Main thread only.
#pragma once

#include <QStyledItemDelegate>
#include <QTreeWidget>

namespace kestrune {

// Draws each cell as the style does, then its grid lines. A selected row
// keeps the active highlight when its window is inactive (a dialog is
// open, or another program has the focus), so that it never fades into
// the list's background.
class TGridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    // Room for the grid line below the text's descenders.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The highlight pair of the active group, copied into every group.
    static QPalette SelectionPalette(QPalette palette);
    // A line colour between the base and the text: faint in light and in
    // dark themes alike.
    static QColor GridColor(const QPalette& palette);
};

class TListView : public QTreeWidget {
    Q_OBJECT
public:
    TListView(QWidget* parent, const QString& name, const QStringList& columns,
              const QList<int>& widths, const QString& emptyText = {});

    // The line shown while the list has no rows; empty for none.
    QString EmptyText() const { return mEmptyText; }
    // Widens a column whose texts do not fit (a full IPv6 address in an
    // address column), never below its designed width, nor above its limit.
    void FitColumnsToTexts();
    // A column of long texts (a host-name pattern, an upstream proxy) grows
    // to at most `width`; beyond it the text is cut short with "...", and
    // the whole text is the cell's tool-tip.
    void LimitColumn(int column, int width);
    bool Limited(int column) const { return mLimits.contains(column); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString mEmptyText;
    QList<int> mWidths;
    QMap<int, int> mLimits;
};

} // namespace kestrune
