#pragma once

#include "core/job/ResultRow.h"

#include <QList>

class QTreeWidget;
class QTreeWidgetItem;

// The bridge between ResultRow and the two list views, on the GUI thread.
namespace RowItems {

// Sets up a list view for rows: the seven columns, no sorting, focus across
// the whole row, the starting column widths.
void setupColumns(QTreeWidget *list);

// Puts a new item for the row at the head of the list and returns it.
QTreeWidgetItem *insertAtHead(QTreeWidget *list, const ResultRow &row);

ResultRow rowOf(const QTreeWidgetItem *item);

// The rows of the list, top to bottom.
QList<ResultRow> rows(const QTreeWidget *list);

// Why the row's download failed: its tooltip over every column. An empty
// reason clears it.
void setReason(QTreeWidgetItem *item, const QString &reason);
QString reasonOf(const QTreeWidgetItem *item);

} // namespace RowItems
