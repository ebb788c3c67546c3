// Finds a list row by its caption, for the window tests.
#pragma once

#include <QString>
#include <QTreeWidget>

// The selectable row captioned ACaption (group headers are not selectable);
// nullptr when there is none.
inline QTreeWidgetItem* Row(QTreeWidget* AList, const QString& ACaption) {
    for (int i = 0; i < AList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = AList->topLevelItem(i);
        if (item->text(0) == ACaption && (item->flags() & Qt::ItemIsSelectable))
            return item;
    }
    return nullptr;
}
